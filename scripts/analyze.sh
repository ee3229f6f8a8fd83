#!/usr/bin/env bash
# Static analysis of the system's own sources (not tests, not benchmarks):
# clang-tidy with the checks in .clang-tidy, and cppcheck. Needs a configured
# build/ (compile_commands.json); exits non-zero on any finding.
set -euo pipefail
cd "$(dirname "$0")/.."

[[ -f build/compile_commands.json ]] || cmake --preset default >/dev/null
mapfile -t sources < <(git ls-files '*.cpp' '*.c' | grep -v -E '^(tests|bench)/')
jobs=$(nproc 2>/dev/null || echo 2)

echo "=== clang-tidy (${#sources[@]} files)"
run-clang-tidy-14 -p build -quiet -j "$jobs" "${sources[@]}" >build/clang-tidy.log 2>&1 || {
    grep -E "(warning|error):" build/clang-tidy.log | sort -u >&2
    echo "clang-tidy found problems (build/clang-tidy.log)" >&2
    exit 1
}

echo "=== cppcheck"
cppcheck --std=c++20 -I. --enable=warning,performance,portability --inline-suppr \
    --suppress=missingIncludeSystem --suppress=missingInclude --error-exitcode=1 --quiet \
    -j "$jobs" "${sources[@]}"
echo "=== analysis clean"
