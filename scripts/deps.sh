#!/usr/bin/env bash
# Installs the Debian packages that are missing, and only those. Safe to run
# again and again.
#
#   scripts/deps.sh          what building and running the program need
#                            (scripts/run-emulated.sh)
#   scripts/deps.sh --test   also what the tests, the sanitizer builds, the
#                            fuzz targets and the analysis need (scripts/test.sh)
set -euo pipefail

run_packages=(
    cmake ninja-build g++ qt6-base-dev picocom
)
test_packages=(
    clang clang-format clang-tidy cppcheck libclang-rt-14-dev
    libgtest-dev libgmock-dev
    socat tio python3-serial procps dpkg-dev
    gcc-mingw-w64-x86-64 wine ser2net systemd man-db
    xvfb xauth openbox trayer xdotool x11-utils imagemagick
)

packages=("${run_packages[@]}")
case "${1:-}" in
    --test) packages+=("${test_packages[@]}") ;;
    "") ;;
    *) echo "usage: $0 [--test]" >&2; exit 2 ;;
esac

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
