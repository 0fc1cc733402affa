#!/usr/bin/env bash
# Makes the README's picture of the fleet of all depots (docs/screenshots/
# fleet-all-depots.png): a scratch PostgreSQL server as the shared fleet database,
# zeldownloadd as depot "north" with three simulated recorders offloading to it, the
# rows two other depots would have sent written straight into the shared database,
# and headless Chromium photographing the Status view with the fleet of all depots.
# Needs chromium, the postgresql package, curl and python3 (scripts/deps.sh installs them).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out="$root/docs/screenshots"
build="$root/build"

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C "$build" zeldownloadd dvrsim

pgbin=$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -1)
work=$(mktemp -d /tmp/zel-fleet-shots.XXXXXX)
server_pid=""
sim_pid=""
# PostgreSQL refuses to run as root: then its own user runs it.
as_pg() {
  if [ "$(id -u)" = 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi
}
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null || true
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
  [ -f "$work/pg/PG_VERSION" ] && as_pg "$pgbin/pg_ctl" -D "$work/pg" -m fast -w stop >/dev/null 2>&1 || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work"
[ "$(id -u)" = 0 ] && chown postgres "$work"

free_port() {
  python3 -c 'import socket,sys; s=socket.socket(socket.AF_INET, getattr(socket, sys.argv[1])); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])' "$1"
}
control_port=$(free_port SOCK_DGRAM)
web_port=$(free_port SOCK_STREAM)
pg_port=$(free_port SOCK_STREAM)
now=$(python3 -c 'import calendar,time; print(calendar.timegm(time.localtime()))')
api="http://127.0.0.1:$web_port/api/v1"

as_pg "$pgbin/initdb" -D "$work/pg" -U zel --auth=trust -E UTF8 --no-locale >/dev/null
as_pg "$pgbin/pg_ctl" -D "$work/pg" -o "-c listen_addresses=127.0.0.1 -p $pg_port -k $work -c fsync=off" \
  -l "$work/pg.log" -w start >/dev/null
conn="host=127.0.0.1 port=$pg_port user=zel dbname=postgres"

cat >QorConfig.xml <<EOF
<QorConf>
<port>$control_port</port>
<downdir>store</downdir>
<startdown>$((now - 86400))</startdown>
<stoptdown>$((now + 86400))</stoptdown>
<filetype>0</filetype>
<rollinghours>24</rollinghours>
<httpport>$web_port</httpport>
<centraldb>$conn</centraldb>
<depotname>north</depotname>
</QorConf>
EOF
"$build/zeldownloadd" >/dev/null 2>&1 &
server_pid=$!
"$build/tools/dvrsim/dvrsim" --port "$control_port" --names BUS-0412,BUS-0413,BUS-0520 --channels 2 \
  --recordings 6 --rec-seconds 600 --rec-bytes 4194304 --start "now-$((3 * 3600))" --keepalive-ms 1000 \
  --quiet >/dev/null 2>&1 &
sim_pid=$!

# Until every recording is stored and the outbox is empty.
settled() {
  curl -sf "$api/fleet" | python3 -c 'import json,sys; sys.exit(0 if sum(v["files_total"] for v in json.load(sys.stdin)) >= 36 else 1)' &&
    curl -sf "$api/status" | python3 -c 'import json,sys; c=json.load(sys.stdin).get("central") or {}; sys.exit(0 if c.get("connected") and c.get("outbox_rows") == 0 else 1)'
}
for _ in $(seq 120); do
  settled 2>/dev/null && break
  sleep 1
done
settled || { echo "the recordings were not all stored and sent" >&2; exit 1; }
kill "$sim_pid"
sim_pid=""

# What depots south and east sent of the same fleet, and of a vehicle north never saw.
vehicle() {  # depot name first_seen last_seen visits files bytes last_complete pending
  echo "INSERT INTO vehicle(depot, name, first_seen, last_seen, last_address, visits, files_total, bytes_total," \
    "files_last_visit, bytes_last_visit, last_complete_offload, pending, last_failure_time, last_failure," \
    "missed_dropped) VALUES ('$1', '$2', $3, $4, '198.51.100.20:7000', $5, $6, $7, 0, 0, $8, $9, 0, '', 0);"
}
{
  vehicle south BUS-0412 $((now - 40 * 86400)) $((now - 2 * 86400)) 57 3420 $((712 << 30)) $((now - 2 * 86400 - 300)) 0
  vehicle east BUS-0412 $((now - 90 * 86400)) $((now - 6 * 86400)) 12 688 $((151 << 30)) $((now - 6 * 86400)) 0
  vehicle south BUS-0520 $((now - 30 * 86400)) $((now - 3 * 86400)) 21 1290 $((268 << 30)) $((now - 3 * 86400)) 0
  vehicle east BUS-0777 $((now - 60 * 86400)) $((now - 5400)) 44 2611 $((540 << 30)) $((now - 3 * 86400)) 18
  vehicle south BUS-0777 $((now - 200 * 86400)) $((now - 9 * 86400)) 80 4800 $((930 << 30)) $((now - 9 * 86400)) 0
} | psql "$conn" -v ON_ERROR_STOP=1 -q

chromium --headless --no-sandbox --disable-gpu --hide-scrollbars --user-data-dir="$work/chromium" \
  --window-size=1280,760 --virtual-time-budget=6000 --screenshot="$out/fleet-all-depots.png" \
  "http://127.0.0.1:$web_port/#status?fleet=all&open=BUS-0412" 2>/dev/null
echo "Made $out/fleet-all-depots.png"
