#!/usr/bin/env bash
# Builds ClSerTolvane and runs every test.
#
#   scripts/test.sh               normal build (build/), all tests (with the 30 s soak
#                                 runs), then every libFuzzer target for 20 s
#                                 (scripts/fuzz.sh, build-fuzz/)
#   scripts/test.sh --sanitizers  also ASan+UBSan (build-asan/, all tests) and
#                                 ThreadSanitizer (build-tsan/, threaded tests)
#   scripts/test.sh --analysis    also clang-tidy and cppcheck (scripts/analyze.sh)
#   scripts/test.sh --no-fuzz     without the fuzz targets
#
# Missing Debian packages are installed first (scripts/deps.sh --test).
set -euo pipefail
cd "$(dirname "$0")/.."

sanitizers=0
analysis=0
fuzz=1
for arg in "$@"; do
    case "$arg" in
        --sanitizers) sanitizers=1 ;;
        --analysis) analysis=1 ;;
        --fuzz) fuzz=1 ;;
        --no-fuzz) fuzz=0 ;;
        -h|--help) sed -n '2,12p' "$0"; exit 0 ;;
        *) echo "unknown option: $arg" >&2; exit 2 ;;
    esac
done

scripts/deps.sh --test

jobs=$(nproc 2>/dev/null || echo 2)

run_preset() {
    local preset=$1
    echo "=== $preset: configure and build"
    cmake --preset "$preset"
    cmake --build --preset "$preset" -j "$jobs"
    echo "=== $preset: tests"
    ctest --preset "$preset" -j "$jobs"
}

run_preset default
if ((analysis)); then
    scripts/analyze.sh
fi
if ((sanitizers)); then
    run_preset asan
    run_preset tsan
fi
if ((fuzz)); then
    scripts/fuzz.sh
fi
echo "=== all tests passed"
