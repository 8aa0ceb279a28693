#!/usr/bin/env bash
# Runs a Windows program of ours under Wine in the project's private prefix, creating the
# prefix on first use. Exit code: the program's.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
export WINEPREFIX=${WINEPREFIX:-$here/../../build/wine-prefix}
# ZK_WINE_LOCALE=ru: Russian regional settings (a comma as decimal separator). Wine takes the
# user's locale from the environment and writes it into the prefix's registry, so the Russian
# runs get a prefix of their own: no other run ever sees a changed registry.
if [ "${ZK_WINE_LOCALE:-}" = ru ]; then
  export WINEPREFIX=$WINEPREFIX-ru LANG=ru_RU.UTF-8 LC_ALL=ru_RU.UTF-8
fi
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
mkdir -p "$(dirname "$WINEPREFIX")"
(
  # One creator at a time: tests start in parallel.
  flock 9
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    wineboot --init >/dev/null 2>&1 || true
    wineserver -w
  fi
  # One server for the prefix before any program starts: programs that start Wine at the same
  # moment on a prefix with no server running can race and hang.
  wineserver -p30 9>&- </dev/null >/dev/null 2>&1 || true
) 9>"$WINEPREFIX.lock"
exec wine "$@"
