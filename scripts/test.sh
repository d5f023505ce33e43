#!/usr/bin/env bash
# Builds the project and runs every test: the optimised build with assertions,
# then AddressSanitizer + UndefinedBehaviorSanitizer, then ThreadSanitizer on
# the threaded link core, then each fuzzer for a bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

configure() {  # dir sanitize
    cmake -S . -B "$1" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUPDATER_SANITIZE="$2" >/dev/null
}

build_and_test() {  # dir sanitize ctest-args...
    local dir=$1 sanitize=$2
    shift 2
    configure "$dir" "$sanitize"
    ninja -C "$dir" -j "$jobs"
    (cd "$dir" && ctest --output-on-failure -j "$jobs" "$@")
}

echo "== build (RelWithDebInfo, assertions on)"
build_and_test build ""
echo "== build-asan (address,undefined)"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    build_and_test build-asan "address,undefined" -LE e2e
echo "== build-tsan (thread), link core and object layer"
# Only the link core and object layer test programs are built here.
configure build-tsan thread
core_targets=$(ninja -C build-tsan -t targets all | grep -oE '^tests/test_(common|objects)_[A-Za-z0-9_]+:' | tr -d ':' | sort -u)
ninja -C build-tsan -j "$jobs" $core_targets
(cd build-tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ctest --output-on-failure -j "$jobs" -L core)
if [ -x fuzz/run.sh ]; then
    echo "== fuzzers (bounded)"
    fuzz/run.sh
fi
