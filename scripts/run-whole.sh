#!/usr/bin/env bash
# Runs every test binary of a build whole, its tests in a shuffled order, two at a
# time: a test that passes alone but not after another (state left behind in the
# process) fails here. scripts/run-whole.sh BUILD_DIR [SKIP_REGEX]
set -uo pipefail
tests=$(cd "${1:?usage: run-whole.sh BUILD_DIR [SKIP_REGEX]}/tests" && pwd)
skip=${2:-^DebianPackageTest$}
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
run() {
  local name=$1
  if ! (cd "$logs" && "$tests/$name" --gtest_shuffle --gtest_brief=1) >"$logs/$name.log" 2>&1; then
    echo "== $name failed when run whole and shuffled:"
    grep -E "Randomizing|Failure|FAILED" "$logs/$name.log" | head -20
    return 1
  fi
}
export -f run
export tests logs
find "$tests" -maxdepth 1 -type f -executable -name '*Test' -printf '%f\n' | grep -Ev "$skip" | sort |
  xargs -P 2 -I{} bash -c 'run {}'
