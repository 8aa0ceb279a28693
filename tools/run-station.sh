#!/usr/bin/env bash
# Runs the station: the monitor under Wine, reading COM1, which is either a real serial port
# (--port /dev/serial/by-id/usb-..., the adapter's stable name, or /dev/ttyUSB0) or, by
# default, the meter simulator on a pseudo-terminal pair.
# Everything lives under the station folder (default ./station): the Wine prefix (Russian
# regional settings), the monitor's working directory (its data/ folder holds the logs), a
# screenshot of the screen and station.log, which takes Wine's own output.
# Ctrl-C (or SIGTERM) closes the monitor's window, as a user would, then stops everything else
# this script started, and nothing else. The exit code is the monitor's.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD

port=""
autostart="--autostart"
station=${ZK_STATION_DIR:-$top/station}
sim_args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --port) port=$2; shift 2 ;;
    --no-autostart) autostart=""; shift ;;
    --dir) station=$2; shift 2 ;;
    --sim) sim_args+=("$2"); shift 2 ;;
    -h|--help)
      sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//'
      echo "usage: tools/run-station.sh [--port DEVICE] [--no-autostart] [--dir FOLDER] [--sim SIMULATOR-OPTION]..."
      exit 0 ;;
    *) echo "run-station: unknown option $1" >&2; exit 2 ;;
  esac
done

bash tools/install-deps.sh

# A port that cannot be opened would only show as an error box of the monitor, much later.
if [ -n "$port" ]; then
  if ! why=$(python3 - "$port" 2>&1 <<'PY'
import os, sys
try:
    os.close(os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK))
except OSError as e:
    sys.exit(e.strerror)
PY
  ); then
    echo "run-station: cannot open the port $port: $why" >&2
    exit 1
  fi
fi

bash tools/build.sh --programs

mkdir -p "$station/work" "$station/pty"
station=$(cd "$station" && pwd)
work=$station/work
log=$station/station.log
[ -f "$log" ] && mv -f "$log" "$log.old"
: >"$log"
for exe in zk47 zksrv wgnuplot; do cp "$top/build/windows/$exe.exe" "$work/"; done

# Russian regional settings, as on the stations' own Windows: ANSI code page 1251, so that
# Cyrillic folder and file names work, and Wine's dialogs in Russian. The locale is made
# privately: the machine's own locales stay as they are.
locales=$station/locale
if [ ! -f "$locales/ru_RU.UTF-8/LC_CTYPE" ]; then
  mkdir -p "$locales"
  made=$(mktemp -d "$locales/.new.XXXXXX")
  localedef -i ru_RU -f UTF-8 "$made/ru_RU.UTF-8" >>"$log" 2>&1 || true  # 1 on mere warnings
  if [ -f "$made/ru_RU.UTF-8/LC_CTYPE" ]; then
    rm -rf "$locales/ru_RU.UTF-8"
    mv "$made/ru_RU.UTF-8" "$locales/"
  else
    echo "run-station: cannot make the ru_RU.UTF-8 locale (see $log)" >&2
  fi
  rm -rf "$made"
fi
export LOCPATH=$locales
# This shell cannot take a locale from a LOCPATH set after it started and would warn; the
# programs it starts can.
{ export LANG=ru_RU.UTF-8 LC_ALL=ru_RU.UTF-8; } 2>/dev/null
export WINEPREFIX=$station/wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

# Helpers run in sessions of their own: a Ctrl-C at the terminal reaches this script alone,
# which closes the monitor first; the display and the port must outlive its exit path.
pids=()     # socat, simulator, Xvfb, screenshot loop
monitor=""  # the monitor's Wine process
code=0      # the monitor's exit code, once it has one

alive() {
  local state
  state=$(ps -o stat= -p "$1" 2>/dev/null) && [[ $state != Z* ]]
}

# Closes the monitor's window as a user would (Wine's taskkill without /f posts WM_CLOSE), so
# that its own exit path runs; gives it 10 s.
close_monitor() {
  [ -n "$monitor" ] && alive "$monitor" || return 0
  echo "run-station: closing the monitor"
  local until=$((SECONDS + 10))
  timeout 10 wine taskkill /im zk47.exe >>"$log" 2>&1 || true
  while [ "$SECONDS" -lt "$until" ]; do alive "$monitor" || return 0; sleep 0.1; done
  echo "run-station: the monitor did not close within 10 s; stopping it" >&2
}

stop_rest() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wineserver -k >>"$log" 2>&1 || true
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  if [ -n "$monitor" ]; then wait "$monitor" 2>/dev/null && code=0 || code=$?; fi
}

on_signal() {
  trap '' INT TERM  # a second Ctrl-C must not cut the clean-up short
  [ -n "$monitor" ] || code=$1  # stopped before the monitor ran
  close_monitor
  stop_rest
  trap - EXIT
  exit "$code"
}
trap 'on_signal 130' INT
trap 'on_signal 143' TERM
trap 'trap - EXIT; trap "" INT TERM; stop_rest' EXIT

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "run-station: preparing the Wine prefix in $WINEPREFIX"
  setsid wineboot --init >>"$log" 2>&1 || true
  wineserver -w >>"$log" 2>&1
fi

bash tools/prefix-fonts.sh "$WINEPREFIX"

if [ -z "${DISPLAY:-}" ] || ! xdpyinfo >/dev/null 2>&1; then
  exec 8< <(exec setsid Xvfb -displayfd 1 -screen 0 1024x768x24 -nolisten tcp 2>>"$log")
  pids+=($!)
  read -r -t 10 num <&8 || { echo "run-station: no virtual display" >&2; exit 1; }
  export DISPLAY=:$num
  echo "run-station: no display found; using the virtual display $DISPLAY"
fi

# Without a window manager (a virtual display has none) Wine waits 2 s for one to confirm
# every window it hides, and the alert thread, which closes every alert, would hold the next
# alert back that long: windows are then left unmanaged.
if xprop -root -notype _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'; then managed=Y; else managed=N; fi

com1=${port:-$station/pty/com1}
# Wine maps the ports when its server starts: the mapping goes in before the run's server.
# The link is kept as given: a /dev/serial/by-id/ name follows its adapter to whatever ttyUSB
# number it gets when it is plugged in again, and the monitor opens the port again by it.
setsid wine reg add 'HKLM\Software\Wine\Ports' /v COM1 /t REG_SZ /d "$com1" /f >>"$log" 2>&1
setsid wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d "$managed" /f >>"$log" 2>&1
wineserver -w >>"$log" 2>&1
# One server for the whole run, in its own session and writing to the log only.
setsid wineserver -p >>"$log" 2>&1 || true

if [ -z "$port" ]; then
  rm -f "$station/pty/com1" "$station/pty/meter"
  setsid socat pty,raw,echo=0,link="$station/pty/com1" pty,raw,echo=0,link="$station/pty/meter" 2>>"$log" &
  pids+=($!)
  for _ in $(seq 50); do [ -e "$station/pty/meter" ] && break; sleep 0.1; done
  setsid "$top/tools/zk47-meter-sim" "$station/pty/meter" "${sim_args[@]}" &
  pids+=($!)
  echo "run-station: COM1 is the meter simulator ($com1)"
else
  echo "run-station: COM1 is $port"
fi

(cd "$work" && exec setsid wine zk47.exe $autostart >>"$log" 2>&1) &
monitor=$!

(
  # The pause runs in the background so that stopping the loop also stops it at once.
  trap 'kill $! 2>/dev/null; exit 0' TERM
  while sleep 5 & wait $!; do
    import -window root "$station/screenshot.tmp.png" 2>/dev/null &&
      mv -f "$station/screenshot.tmp.png" "$station/screenshot.png"
  done
) &
pids+=($!)

cat <<MSG
run-station: the monitor runs in $work
  logs:       $work/data/<date>/<start stamp>.txt and .csv
  screenshot: $station/screenshot.png (refreshed every 5 s)
  Wine:       $log
  Ctrl-C stops the station.
MSG
wait "$monitor" && code=0 || code=$?
monitor=""
echo "run-station: the monitor ended with code $code"
stop_rest
trap - EXIT
exit "$code"
