#!/usr/bin/env bash
# Installs the Debian 12 packages the build and the tests need, when missing.
# Only real package names: dpkg never reports a virtual one as installed, so
# naming one would reinstall on every run.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  libjpeg62-turbo-dev libpng-dev libgif-dev libtiff-dev zlib1g-dev libsqlite3-dev
  qt6-base-dev qt6-base-dev-tools qt6-svg-dev qt6-image-formats-plugins
  libgl1-mesa-dev adwaita-icon-theme
  libgtest-dev libgmock-dev libbenchmark-dev
)
if [[ "${FERROVIN_WITH_XVFB:-0}" == 1 ]]; then
  packages+=(xvfb xauth)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "Installing: ${missing[*]}"
if [[ $(id -u) -eq 0 ]]; then
  sudo=()
else
  sudo=(sudo)
fi
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
