#!/usr/bin/env bash
# Builds ZELDownload and starts it in the current directory's build/ tree.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/deps.sh"
cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C "$root/build" ZELDownload
# The program keeps its settings, log and downloads in its working directory.
mkdir -p "$root/run"
cd "$root/run"
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "No display found: starting under a virtual X server (xvfb-run)."
  exec xvfb-run -a "$root/build/ZELDownload"
fi
exec "$root/build/ZELDownload"
