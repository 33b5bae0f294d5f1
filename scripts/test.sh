#!/usr/bin/env bash
# Builds and runs the whole test suite twice: in the normal build and with AddressSanitizer and
# UndefinedBehaviorSanitizer, with the clang-tidy checks between them; then builds the fuzz
# targets with clang and runs each for 30 s (scripts/fuzz.sh); it then cross-builds the suite for
# Windows and runs it under wine (scripts/windows.sh), unless UNITFLASH_WINDOWS=0. A failure in
# any fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
jobs=$(nproc)

run_suite() {
    local dir=$1; shift
    echo "=== $dir: configure and build"
    cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
    ninja -C "$dir"
    echo "=== $dir: tests"
    (cd "$dir" && ctest --output-on-failure --timeout 600 -j "$jobs")
}

run_suite build/test -DCMAKE_BUILD_TYPE=RelWithDebInfo
echo "=== clang-tidy"
scripts/clang-tidy.sh build/test
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    run_suite build/sanitize -DCMAKE_BUILD_TYPE=Debug -DUNITFLASH_SANITIZE=ON -DUNITFLASH_BENCH=OFF
scripts/fuzz.sh 30
if [ "${UNITFLASH_WINDOWS:-1}" != 0 ]; then
    scripts/windows.sh
fi
