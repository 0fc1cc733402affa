#!/usr/bin/env bash
# Builds and runs every test: a normal build with all tests, each test binary also
# run whole in a shuffled order; an AddressSanitizer +
# UndefinedBehaviorSanitizer build (clang) of every target, the window included, with
# the core's tests and a short run of each fuzz target; a ThreadSanitizer build of the
# core with its tests. Both clang builds check the lock annotations; the first one thus
# checks the window's too.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/deps.sh"
jobs=$(nproc)
fuzz_seconds=${ZEL_FUZZ_SECONDS:-15}

echo "== normal build: every test"
cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C "$root/build"
ctest --test-dir "$root/build" --output-on-failure -j "$jobs" --timeout 300
echo "== every test binary run whole, shuffled"
bash "$root/scripts/run-whole.sh" "$root/build"

echo "== sanitizer build: every target, core tests and fuzz targets"
CC=clang CXX=clang++ cmake -S "$root" -B "$root/build-asan" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DZEL_CORE_ONLY=OFF -DZEL_SANITIZE=ON -DZEL_FUZZ=ON >/dev/null
ninja -C "$root/build-asan"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# The window's and the package's tests run in the normal build only.
ctest --test-dir "$root/build-asan" --output-on-failure -j "$jobs" --timeout 600 -LE '^(gui|package)$'

shopt -s nullglob
for target in "$root"/build-asan/fuzz/*Fuzz; do
  name=$(basename "$target")
  work=$(mktemp -d)
  cp -r "$root/fuzz/corpus/$name/." "$work/" 2>/dev/null || true
  echo "== fuzzing $name for ${fuzz_seconds}s"
  "$target" -max_total_time="$fuzz_seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=0 \
    "$work" 2>"$work.log" || { tail -50 "$work.log"; rm -rf "$work" "$work.log"; exit 1; }
  tail -1 "$work.log"
  rm -rf "$work" "$work.log"
done
echo "== thread sanitizer build: core tests"
CC=clang CXX=clang++ cmake -S "$root" -B "$root/build-tsan" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DZEL_CORE_ONLY=ON -DZEL_SANITIZE_THREAD=ON >/dev/null
ninja -C "$root/build-tsan"
TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$root/tests/tsan.supp" \
  ctest --test-dir "$root/build-tsan" --output-on-failure -j "$jobs" --timeout 600
echo "== all tests passed"
