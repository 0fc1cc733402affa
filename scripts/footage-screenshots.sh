#!/usr/bin/env bash
# Makes the README's pictures of the footage views (docs/screenshots/recordings.png,
# requests.png, audit.png): zeldownloadd in a scratch directory, three simulated
# recorders serving a real H.264 clip made by ffmpeg, a few footage requests through
# the API, and headless Chromium photographing each view.
# Needs chromium, ffmpeg, curl and python3 (scripts/deps.sh installs them).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out="$root/docs/screenshots"
build="$root/build"

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C "$build" zeldownloadd dvrsim

work=$(mktemp -d /tmp/zel-footage-shots.XXXXXX)
server_pid=""
sim_pid=""
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null || true
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work"

free_port() {
  python3 -c 'import socket,sys; s=socket.socket(socket.AF_INET, getattr(socket, sys.argv[1])); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])' "$1"
}
control_port=$(free_port SOCK_DGRAM)
web_port=$(free_port SOCK_STREAM)
# Wall-clock seconds: local time counted as if it were UTC, as the program counts.
now=$(python3 -c 'import calendar,time; print(calendar.timegm(time.localtime()))')
api="http://127.0.0.1:$web_port/api/v1"

ffmpeg -nostdin -loglevel error -f lavfi -i testsrc2=duration=8:size=640x360:rate=25 \
  -c:v libx264 -pix_fmt yuv420p -movflags +faststart clip.mp4

cat >QorConfig.xml <<EOF
<QorConf>
<port>$control_port</port>
<downdir>store</downdir>
<startdown>$((now - 86400))</startdown>
<stoptdown>$((now + 86400))</stoptdown>
<filetype>0</filetype>
<rollinghours>24</rollinghours>
<httpport>$web_port</httpport>
</QorConf>
EOF
"$build/zeldownloadd" >/dev/null 2>&1 &
server_pid=$!
# Six ten-minute recordings a channel from three hours ago.
first=$((now - 3 * 3600))
"$build/tools/dvrsim/dvrsim" --port "$control_port" --names BUS-0412,BUS-0413,BUS-0520 --channels 2 \
  --recordings 6 --rec-seconds 600 --rec-file clip.mp4 --start "now-$((3 * 3600))" --keepalive-ms 1000 \
  --quiet >/dev/null 2>&1 &
sim_pid=$!

# Until every recording is stored and hashed.
count_hashed() {
  curl -sf "$api/recordings?limit=500" |
    python3 -c 'import json,sys; print(sum(1 for r in json.load(sys.stdin)["recordings"] if r["sha256"]))' 2>/dev/null ||
    echo 0
}
for _ in $(seq 120); do
  [ "$(count_hashed)" -ge 36 ] && break
  sleep 1
done
[ "$(count_hashed)" -ge 36 ] || { echo "the recordings were not all stored and hashed" >&2; exit 1; }

request() {
  curl -sf -X POST -H 'Content-Type: application/json' -d "$1" "$api/requests" |
    python3 -c 'import json,sys; print(json.load(sys.stdin)["id"])'
}
# Done (stored already), partial (the recorder has nothing before its first recording),
# waiting (a vehicle that is away) and cancelled.
request "{\"vehicle\":\"BUS-0412\",\"channels\":[1],\"from\":$((first + 1800)),\"to\":$((first + 2700)),\"reason\":\"complaint 4411: passenger fell at Market St\"}" >/dev/null
request "{\"vehicle\":\"BUS-0413\",\"channels\":[2],\"from\":$((first - 600)),\"to\":$((first + 600)),\"reason\":\"police request PR-2291\"}" >/dev/null
request "{\"vehicle\":\"BUS-0777\",\"channels\":[],\"from\":$((now - 7200)),\"to\":$((now - 6600)),\"reason\":\"damaged mirror, depot yard\"}" >/dev/null
cancelled=$(request "{\"vehicle\":\"BUS-0901\",\"channels\":[1,2],\"from\":$((now - 5400)),\"to\":$((now - 5100)),\"reason\":\"asked by mistake\"}")
curl -sf -X DELETE "$api/requests/$cancelled" >/dev/null
sleep 3
# Something for the audit trail besides: a verification and an export.
curl -sf -X POST "$api/recordings/1/verify" >/dev/null
export_url=$(curl -sf "$api/requests/1" | python3 -c 'import json,sys; print(json.load(sys.stdin)["export_url"])')
curl -sf "http://127.0.0.1:$web_port$export_url" -o /dev/null

shot() {
  chromium --headless --no-sandbox --disable-gpu --hide-scrollbars --user-data-dir="$work/chromium" \
    --window-size=1280,900 --virtual-time-budget=6000 --screenshot="$out/$1.png" \
    "http://127.0.0.1:$web_port/#$2" 2>/dev/null
}
shot recordings 'recordings?vehicle=BUS-0412&channel=1&play=first'
shot requests requests
shot audit audit
echo "Made $out/recordings.png, requests.png and audit.png"
