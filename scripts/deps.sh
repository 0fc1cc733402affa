#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the tests and the window need, when
# any is missing. Runs apt-get as root (or through sudo).
set -euo pipefail

packages=(
  g++ clang libclang-rt-14-dev cmake ninja-build pkg-config
  qt6-base-dev liblog4cpp5-dev libgtest-dev libsqlite3-dev
  xvfb xauth fonts-wqy-zenhei
  libcpp-httplib-dev nlohmann-json3-dev libssl-dev openssl
  chromium prometheus curl unzip
  libsystemd-dev qt6-svg-dev dpkg-dev file lintian desktop-file-utils appstream systemd man-db
  ccache ffmpeg postgresql libpq-dev universal-ctags
)

missing=()
for pkg in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$pkg")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
as_root=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "Run as root to install: ${missing[*]}" >&2; exit 1; }
  as_root=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -q
"${as_root[@]}" apt-get install -y -q "${missing[@]}"
