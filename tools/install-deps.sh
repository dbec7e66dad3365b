#!/usr/bin/env bash
# Installs the Debian packages that building, testing, fuzzing (clang and its libFuzzer
# runtime), taking screenshots, packaging and checking the package (lintian) need.
# Prints what it installs; does nothing when everything is already there.
set -euo pipefail

packages=(
    build-essential cmake clang-14 libclang-rt-14-dev
    qt6-base-dev qt6-serialport-dev libgl-dev
    xvfb xauth fonts-dejavu-core
    dpkg-dev file binutils desktop-file-utils appstream lintian
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

echo "install-deps: installing ${missing[*]}"
sudo=()
if [ "$(id -u)" -ne 0 ]; then
    sudo=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
