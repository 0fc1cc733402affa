#!/usr/bin/env bash
# Builds ZELDownload and starts it in run/. With a display it starts the window; on a
# machine without one it starts the headless server zeldownloadd, which serves at once,
# and prints the address of its web dashboard.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/deps.sh"
cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
# The program keeps its settings, log and downloads in its working directory.
mkdir -p "$root/run"
cd "$root/run"
if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  ninja -C "$root/build" ZELDownload
  exec "$root/build/ZELDownload"
fi

ninja -C "$root/build" zeldownloadd
# The dashboard's address and port, from the settings file when it names them.
setting() {
  { sed -n "s:.*<$1>[[:space:]]*\([^<]*[^<[:space:]]\)[[:space:]]*</$1>.*:\1:p" QorConfig.xml 2>/dev/null || true; } |
    head -n 1
}
addr=$(setting httpaddr); addr=${addr:-127.0.0.1}
port=$(setting httpport); port=${port:-5991}
scheme=http
[ -n "$(setting httpcert)" ] && [ -n "$(setting httpkey)" ] && scheme=https
case "$addr" in
  0.0.0.0 | ::) shown=127.0.0.1 ;;
  *:*) shown="[$addr]" ;;
  *) shown=$addr ;;
esac
echo "No display: starting the headless server zeldownloadd in $root/run (Ctrl+C stops it)."
if [ "$port" = 0 ]; then
  echo "The web dashboard is turned off (httpport 0 in run/QorConfig.xml)."
else
  echo "Dashboard: $scheme://$shown:$port/   (log: run/log.txt)"
fi
exec "$root/build/zeldownloadd"
