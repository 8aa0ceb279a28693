#!/usr/bin/env bash
# The operator manual's PDF, printed from its HTML by headless Chromium. With --screens it first
# takes the manual's pictures anew from the running monitor (the Windows build must be there).
set -euo pipefail
cd "$(dirname "$0")/../.."
top=$PWD
if [ "${1:-}" = "--screens" ]; then
  ZK_MANUAL_IMAGES="$top/docs/ru/img" ZK_WINDOWS_DIR="$top/build/windows" \
    ZK_E2E_WORK="$top/build/linux/tests/e2e" PYTHONDONTWRITEBYTECODE=1 \
    python3 tests/release/test_manual_screens.py
fi
profile=$(mktemp -d)
trap 'rm -rf "$profile"' EXIT
chromium --headless --no-sandbox --disable-gpu --disable-background-networking \
  --disable-component-update --disable-sync --no-first-run --user-data-dir="$profile" \
  --no-pdf-header-footer --print-to-pdf="$top/docs/ru/operator-manual.pdf" \
  "file://$top/docs/ru/operator-manual.html" 2>/dev/null
echo "docs/ru/operator-manual.pdf: $(stat -c %s docs/ru/operator-manual.pdf) bytes"
