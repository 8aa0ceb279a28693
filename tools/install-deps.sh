#!/usr/bin/env bash
# Installs, with apt-get, whatever the station needs to build, run and test and is missing.
# Quiet and idempotent: a machine that has everything runs no apt-get at all.
set -euo pipefail

pkgs=(
  build-essential cmake ninja-build pkg-config
  googletest libgtest-dev libbenchmark-dev
  clang libclang-rt-14-dev
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev
  wine wine64
  xvfb x11-utils xdotool imagemagick
  socat gnuplot-x11
  locales fonts-wine systemd
  chromium fonts-dejavu-core
  procps psmisc python3
  libmosquitto-dev libboost-dev nlohmann-json3-dev zlib1g-dev
  mosquitto mosquitto-clients prometheus openssl
)

missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages (${missing[*]}); run this as root" >&2
  exit 1
fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq >/dev/null
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
