#!/usr/bin/env bash
# The release files from the Windows build: zk47-setup-VERSION.exe, the installer, and
# zk47-VERSION-windows.zip, the same programs for running from any writable folder. The
# programs are stripped copies; the manual comes from docs/ru.
#   make-release.sh WINDOWS_BUILD_DIR OUT_DIR VERSION
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
win=$1 out=$2 version=$3
mkdir -p "$out"
out=$(cd "$out" && pwd)
stage=$out/zk47-$version
rm -rf "$stage"
mkdir -p "$stage/docs"
trap 'rm -rf "$stage"' EXIT
for exe in zk47 zksrv zkrelay wgnuplot; do
  x86_64-w64-mingw32-strip -o "$stage/$exe.exe" "$win/$exe.exe"
done
cp -r "$root/docs/ru/." "$stage/docs/"
makensis -V2 -INPUTCHARSET UTF8 -DVERSION="$version" -DSTAGE="$stage" \
  -DOUTFILE="$out/zk47-setup-$version.exe" "$root/tools/release/zk47.nsi"
rm -f "$out/zk47-$version-windows.zip"
(cd "$out" && python3 -m zipfile -c "zk47-$version-windows.zip" "zk47-$version")
