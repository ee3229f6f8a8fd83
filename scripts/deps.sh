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
    socat tio python3-serial procps dpkg-dev lintian
    gcc-mingw-w64-x86-64 gcc-mingw-w64-i686 gcc-multilib wine ser2net minicom tmux
    systemd man-db
    xvfb xauth openbox trayer xdotool x11-utils imagemagick
)

packages=("${run_packages[@]}")
case "${1:-}" in
    --test) packages+=("${test_packages[@]}") ;;
    "") ;;
    *) echo "usage: $0 [--test]" >&2; exit 2 ;;
esac

sudo=()
if [[ $(id -u) -ne 0 ]]; then
    sudo=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive

install_missing() {
    local missing=() p
    for p in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
            missing+=("$p")
        fi
    done
    if ((${#missing[@]} == 0)); then
        return 0
    fi
    echo "Installing missing packages: ${missing[*]}"
    "${sudo[@]}" apt-get update
    "${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
}

install_missing "${packages[@]}"

# 32-bit Windows programs need wine32 (i386 packages); it takes over the
# wine command, which then fails for every program where the kernel refuses
# i386 programs. So wine32 only where a 32-bit program runs; elsewhere
# qemu-i386 runs the 32-bit check of clsertolvane-run's library.
if [[ ${1:-} == --test ]]; then
    probe=$(mktemp)
    if echo 'int main(void){return 0;}' | cc -m32 -x c -o "$probe" - 2>/dev/null && "$probe" 2>/dev/null; then
        if ! dpkg --print-foreign-architectures | grep -qx i386; then
            "${sudo[@]}" dpkg --add-architecture i386
            "${sudo[@]}" apt-get update
        fi
        install_missing wine32:i386
    else
        install_missing qemu-user
    fi
    rm -f "$probe"
fi
