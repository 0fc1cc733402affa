#!/usr/bin/env bash
# Runs every benchmark once with the figures compared between builds, each in a fresh
# temporary directory: bench/run-all.sh BENCH_DIR [OUTPUT] (BENCH_DIR is e.g.
# build-rel/bench). Prints to OUTPUT, or to the terminal.
set -uo pipefail
bench=$(cd "${1:?usage: run-all.sh BENCH_DIR [OUTPUT]}" && pwd)
out=${2:-/dev/stdout}
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
: > "$out" 2>/dev/null || true
for cmd in "XmlDocBench" "RecordIndexBench 100000" "ControlChannelBench" "ThroughputBench" \
  "ThroughputBench --vehicles 4 --channels 2 --files 4 --size 16777216" \
  "FleetRushBench --vehicles 300 --channels 4 --files 3" "LossBench --loss 5 --catalogue large" \
  "LossBench --loss 5 --catalogue small" "RedrawGuiBench" "WebPollBench --seconds 5" "WebFileBench" "FootageServeBench" \
  "SoakBench --minutes 2" "CentralSyncBench"; do
  echo "### $cmd" >> "$out"
  [ -x "$bench/${cmd%% *}" ] || { echo "(not built)" >> "$out"; continue; }
  # shellcheck disable=SC2086
  timeout 300 "$bench"/$cmd >> "$out" 2>&1 || echo "exit status $?" >> "$out"
done
