#!/usr/bin/env bash
# Runs the station: the monitor under Wine, reading COM1, which is either a real serial port
# (--port /dev/ttyUSB0) or, by default, the meter simulator on a pseudo-terminal pair.
# Everything lives under the station folder (default ./station): the Wine prefix, the
# monitor's working directory (its data/ folder holds the logs) and a screenshot of the screen.
# Ctrl-C stops everything this script started, and nothing else.
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
      sed -n '2,6p' "$0" | sed 's/^# \{0,1\}//'
      echo "usage: tools/run-station.sh [--port DEVICE] [--no-autostart] [--dir FOLDER] [--sim SIMULATOR-OPTION]..."
      exit 0 ;;
    *) echo "run-station: unknown option $1" >&2; exit 2 ;;
  esac
done

bash tools/install-deps.sh
bash tools/build.sh --programs

mkdir -p "$station/work" "$station/pty"
station=$(cd "$station" && pwd)
work=$station/work
export WINEPREFIX=$station/wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
for exe in zk47 zksrv wgnuplot; do cp "$top/build/windows/$exe.exe" "$work/"; done

pids=()
cleanup() {
  trap - INT TERM EXIT
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wineserver -k 2>/dev/null || true
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
}
trap cleanup INT TERM EXIT

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "run-station: preparing the Wine prefix in $WINEPREFIX"
  wineboot --init >/dev/null 2>&1 || true
  wineserver -w
fi

if [ -z "$port" ]; then
  rm -f "$station/pty/com1" "$station/pty/meter"
  socat pty,raw,echo=0,link="$station/pty/com1" pty,raw,echo=0,link="$station/pty/meter" 2>/dev/null &
  pids+=($!)
  for _ in $(seq 50); do [ -e "$station/pty/meter" ] && break; sleep 0.1; done
  port=$station/pty/com1
  "$top/tools/zk47-meter-sim" "$station/pty/meter" "${sim_args[@]}" &
  pids+=($!)
  echo "run-station: COM1 is the meter simulator ($port)"
else
  echo "run-station: COM1 is $port"
fi
wine reg add 'HKLM\Software\Wine\Ports' /v COM1 /t REG_SZ /d "$port" /f >/dev/null 2>&1
wineserver -w

if [ -z "${DISPLAY:-}" ] || ! xdpyinfo >/dev/null 2>&1; then
  exec 8< <(Xvfb -displayfd 1 -screen 0 1024x768x24 -nolisten tcp 2>/dev/null)
  pids+=($!)
  read -r -t 10 num <&8 || { echo "run-station: no virtual display" >&2; exit 1; }
  export DISPLAY=:$num
  echo "run-station: no display found; using the virtual display $DISPLAY"
fi

(cd "$work" && exec wine zk47.exe $autostart) &
monitor=$!
pids+=($monitor)

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
  Ctrl-C stops the station.
MSG
wait "$monitor" || true
