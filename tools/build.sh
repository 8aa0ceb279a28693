#!/usr/bin/env bash
# Builds both trees: build/windows (mingw-w64 cross build) and build/linux (native, clang,
# which also builds the fuzzers and the sanitizer run of the core tests).
# The Windows build also makes the release files in build/dist (tools/release/).
# With --programs, builds only what the station runs.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
jobs=$(nproc)

cmake -S . -B build/windows -G Ninja -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64.cmake" >/dev/null
if [ "${1:-}" = "--programs" ]; then
  cmake --build build/windows -j "$jobs" --target zk47 zksrv zkrelay wgnuplot
  exit 0
fi
cmake --build build/windows -j "$jobs"

cmake -S . -B build/linux -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
      -DZK_WINDOWS_DIR="$top/build/windows" >/dev/null
cmake --build build/linux -j "$jobs"
