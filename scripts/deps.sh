#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the emulated board
# need, but only those that are missing. Safe to run again and again.
set -euo pipefail

packages=(
    cmake ninja-build g++ clang clang-format clang-tidy cppcheck libclang-rt-14-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    qt6-base-dev
    socat picocom tio python3-serial xvfb xauth procps dpkg-dev
    openbox trayer xdotool x11-utils imagemagick
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

if ((${#missing[@]} == 0)); then
    exit 0
fi

echo "Installing missing packages: ${missing[*]}"
sudo=()
if [[ $(id -u) -ne 0 ]]; then
    sudo=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update
"${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
