#!/usr/bin/env bash
# Builds the Debian package zeldownload_<version>_amd64.deb with CPack from a normal
# build tree:  scripts/package.sh [BUILD_DIR [OUTPUT_DIR]]
# BUILD_DIR defaults to build/ and is configured and built first when it has no
# build yet; the package is written to OUTPUT_DIR (default BUILD_DIR), and its path
# is the last line printed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$root/build}")
out=$(realpath -m "${2:-$build}")

if [ ! -f "$build/CMakeCache.txt" ]; then
  bash "$root/scripts/deps.sh"
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  ninja -C "$build"
fi
if [ ! -f "$build/CPackConfig.cmake" ]; then
  echo "package.sh: $build is not a build with the window (configured with ZEL_CORE_ONLY?)" >&2
  exit 1
fi
# CPack picks the programs out with file, finds the libraries they need with
# dpkg-shlibdeps and strips them.
for tool in cpack:cmake dpkg-shlibdeps:dpkg-dev file:file strip:binutils; do
  if ! command -v "${tool%%:*}" >/dev/null; then
    echo "package.sh: ${tool%%:*} is missing (Debian package ${tool#*:})" >&2
    exit 1
  fi
done

mkdir -p "$out"
log="$out/cpack.log"
# CPack first brings the build up to date (nothing to do after a build), then
# installs it into a staging tree, strips the programs and packs them.
if ! cpack -G DEB --config "$build/CPackConfig.cmake" -B "$out" >"$log" 2>&1; then
  cat "$log" >&2
  exit 1
fi
deb=$(sed -n 's/^CPack: - package: \(.*\.deb\) generated\.$/\1/p' "$log" | tail -n 1)
if [ -z "$deb" ] || [ ! -f "$deb" ]; then
  cat "$log" >&2
  echo "package.sh: CPack named no package" >&2
  exit 1
fi
echo "$deb"
