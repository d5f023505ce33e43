#!/usr/bin/env bash
# Builds every fuzz/fuzz_*.cpp with clang and libFuzzer (address and
# undefined-behaviour sanitizers) in build-fuzz/, replays its regression
# inputs, then fuzzes it for a bounded time. Fails on the first crash.
#
# fuzz/<name>.deps lists the extra sources (and link flags such as -lz) a
# fuzzer needs, one per line, paths relative to the repository root.
# Seeds: fuzz/corpus/<short>/, regressions: fuzz/regressions/<short>/, where
# <short> is the name without the "fuzz_" prefix.
# Environment: FUZZ_SECONDS (default 20), FUZZ_BUILD_DIR, CXX_FUZZ (clang++).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=${FUZZ_BUILD_DIR:-$root/build-fuzz}
seconds=${FUZZ_SECONDS:-20}
cxx=${CXX_FUZZ:-clang++}
mkdir -p "$out"

flags=(-std=c++17 -g -O1 -fno-omit-frame-pointer
       -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined
       -I"$root")
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

shopt -s nullglob
status=0
for src in fuzz/fuzz_*.cpp; do
    name=$(basename "$src" .cpp)
    short=${name#fuzz_}
    sources=("$src")
    libs=()
    if [ -f "fuzz/$name.deps" ]; then
        while read -r line; do
            line=${line%%#*}
            line=$(echo "$line" | xargs)
            [ -z "$line" ] && continue
            case "$line" in
                *.cpp|*.c) sources+=("$root/$line") ;;
                *) libs+=("$line") ;;
            esac
        done < "fuzz/$name.deps"
    fi
    bin="$out/$name"
    echo "== $name: build"
    "$cxx" "${flags[@]}" "${sources[@]}" -o "$bin" "${libs[@]}"

    regressions=(fuzz/regressions/"$short"/*)
    if [ ${#regressions[@]} -gt 0 ]; then
        echo "== $name: ${#regressions[@]} regression input(s)"
        "$bin" -runs=1 "${regressions[@]}" >"$out/$name.regressions.log" 2>&1 || {
            tail -n 40 "$out/$name.regressions.log"
            echo "FAIL: $name crashed on a regression input" >&2
            status=1
            continue
        }
    fi

    work="$out/corpus/$short"
    mkdir -p "$work"
    seeds=()
    [ -d "fuzz/corpus/$short" ] && seeds=("fuzz/corpus/$short")
    echo "== $name: fuzzing for ${seconds}s"
    if ! "$bin" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=65536 \
            -print_final_stats=1 -artifact_prefix="$out/$name-" "$work" "${seeds[@]}" \
            >"$out/$name.log" 2>&1; then
        tail -n 40 "$out/$name.log"
        echo "FAIL: $name found a crash; keep the input as a regression file:" >&2
        ls "$out/$name-"* >&2 || true
        echo "      cp <artifact> fuzz/regressions/$short/" >&2
        status=1
        continue
    fi
    grep -E '^stat::number_of_executed_units|^Done' "$out/$name.log" || true
done
exit $status
