#!/usr/bin/env bash
# Installs the Debian packages that building, testing and running Pictolan need.
# Idempotent: when everything is present it only asks dpkg and returns.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  qt6-base-dev libgl-dev
  zlib1g-dev libjpeg62-turbo-dev
  libfreetype-dev libfontconfig-dev fonts-liberation fonts-dejavu-core fonts-crosextra-carlito fonts-crosextra-caladea
  libgtest-dev libgmock-dev libbenchmark-dev libpng-dev
  libstb-dev libtiff-dev
  clang libclang-rt-14-dev
  xvfb xauth
  desktop-file-utils appstream
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
