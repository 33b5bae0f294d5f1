#!/usr/bin/env bash
# Line coverage of the product (app, dfu, dfuse, tarnlib, platform, usb) by the whole suite, in
# its own build (default build/coverage). Needs gcovr (Debian package gcovr). Not part of CI.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/coverage}
command -v gcovr >/dev/null || { echo "gcovr is missing: apt-get install gcovr" >&2; exit 1; }
launcher=()
if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DUNITFLASH_BENCH=OFF \
    -DCMAKE_CXX_FLAGS="--coverage -O0" -DCMAKE_C_FLAGS="--coverage -O0" \
    -DCMAKE_EXE_LINKER_FLAGS=--coverage -DCMAKE_SHARED_LINKER_FLAGS=--coverage \
    "${launcher[@]}" >/dev/null
ninja -C "$build" -j "${JOBS:-2}"
# Counts from an earlier run (and from the test discovery at build time) are not this run's.
find "$build" -name '*.gcda' -delete
(cd "$build" && ctest -j "${JOBS:-2}" --timeout 600 --output-on-failure)
gcovr -r . "$build" --filter '(app|dfu|dfuse|tarnlib|platform|usb)/' --gcov-ignore-parse-errors
