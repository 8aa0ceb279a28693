#!/usr/bin/env bash
# Builds the station and says what it built.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
bash tools/build.sh
ls -l build/windows/*.exe build/linux/zksrv build/linux/zkrelay 2>/dev/null || true
