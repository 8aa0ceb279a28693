#!/usr/bin/env bash
# Gives a Wine prefix Debian's fonts-wine (Wine's own System, MS Sans Serif and Tahoma, with
# Windows' metrics): this Wine loads them only from the prefix's Fonts folder, and without them
# the system font falls back to a wider face that cuts the monitor's fixed-width labels.
#   tools/prefix-fonts.sh PREFIX
set -euo pipefail
prefix=$1
fonts=$prefix/drive_c/windows/Fonts
mkdir -p "$fonts"
shopt -s nullglob
for f in /usr/share/wine/fonts/*; do ln -sfn "$f" "$fonts/"; done
