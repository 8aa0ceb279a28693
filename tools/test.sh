#!/usr/bin/env bash
# The one test command: installs what is missing, builds both trees, runs every test through ctest.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
bash tools/build.sh
ctest --test-dir build/linux --output-on-failure -j 2 "$@"
