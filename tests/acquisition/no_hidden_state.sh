#!/usr/bin/env bash
# The pipeline, acquisition and sharing libraries keep no state of their own: no writable data
# symbol (b, B, d, D) in them but the sections' own names. Arguments: the libraries.
set -euo pipefail
status=0
for lib in "$@"; do
  found=$(x86_64-w64-mingw32-nm -C "$lib" | awk '$2 ~ /^[bBdD]$/ && $3 !~ /^\./')
  if [ -n "$found" ]; then
    echo "writable data in $lib:"; echo "$found"; status=1
  fi
done
exit $status
