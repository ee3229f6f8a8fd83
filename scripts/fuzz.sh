#!/usr/bin/env bash
# Builds the libFuzzer targets (preset fuzz, build-fuzz/) and runs each for a
# bounded time on a copy of its seed corpus, so the repository is not changed.
#
#   scripts/fuzz.sh [--seconds N] [TARGET...]   N seconds per target (default 20)
#
# Targets are the names in tests/fuzz/ without "fuzz_" (command_line,
# profile, ...); all of them by default. Exits non-zero when any target
# crashes, leaks or times out, and prints the path of the input that did it
# (kept under the run's directory, which is then not removed).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=20
targets=()
while (($#)); do
    case "$1" in
        --seconds) seconds=${2:?--seconds needs a number}; shift 2 ;;
        --seconds=*) seconds=${1#--seconds=}; shift ;;
        -h|--help) sed -n '2,10p' "$0"; exit 0 ;;
        -*) echo "unknown option: $1" >&2; exit 2 ;;
        *) targets+=("$1"); shift ;;
    esac
done
[[ $seconds =~ ^[0-9]+$ && $seconds -gt 0 ]] || { echo "--seconds needs a positive number" >&2; exit 2; }

if ((${#targets[@]} == 0)); then
    for dir in tests/fuzz/corpus/*/; do
        targets+=("$(basename "$dir")")
    done
fi

scripts/deps.sh --test

echo "=== fuzz: configure and build"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc 2>/dev/null || echo 2)"

work=$(mktemp -d "${TMPDIR:-/tmp}/clst-fuzz-XXXXXX")
# The targets' own scratch files (TMPDIR), in memory where possible; removed
# even when a target crashes before it can clean up.
scratch=$(mktemp -d /dev/shm/clst-fuzz-XXXXXX 2>/dev/null || mktemp -d "$work/scratch-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:symbolize=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
failed=()
for target in "${targets[@]}"; do
    binary=build-fuzz/fuzz/fuzz_$target
    [[ -x $binary ]] || { echo "no fuzz target $target ($binary)" >&2; exit 2; }
    corpus=$work/$target/corpus
    artifacts=$work/$target/artifacts
    mkdir -p "$corpus" "$artifacts"
    if [[ -d tests/fuzz/corpus/$target ]]; then
        cp -r "tests/fuzz/corpus/$target/." "$corpus/"
    fi
    dict=()
    [[ -f tests/fuzz/dict/$target.dict ]] && dict=("-dict=tests/fuzz/dict/$target.dict")
    log=$work/$target/log
    echo "=== fuzz: $target for ${seconds}s"
    status=0
    TMPDIR=$scratch "$binary" "${dict[@]}" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$artifacts/" "$corpus" >"$log" 2>&1 || status=$?
    # The closing figures: executions, speed, corpus, coverage.
    grep -E '^#[0-9]+[[:space:]]+(DONE|INITED)|^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)' "$log" |
        sed "s/^/  $target: /" || true
    echo "  $target: corpus $(find "$corpus" -type f | wc -l) files, $(du -sk "$corpus" | cut -f1) KiB"
    if ((status != 0)); then
        failed+=("$target")
        tail -n 60 "$log" >&2
        for input in "$artifacts"/*; do
            [[ -e $input ]] && echo "  $target: FAILED on input $input" >&2
        done
        echo "  $target: full log $log" >&2
    fi
done

if ((${#failed[@]})); then
    echo "=== fuzz: ${#failed[@]} of ${#targets[@]} targets failed: ${failed[*]} (inputs kept in $work)" >&2
    exit 1
fi
rm -rf "$work"
echo "=== fuzz: all ${#targets[@]} targets ran ${seconds}s each without a failure"
