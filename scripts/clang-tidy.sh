#!/usr/bin/env bash
# Runs clang-tidy with the checks in .clang-tidy over the product code, and its function-length
# bound over the simulator, two files at a time, on the compilation database of a configured
# build (default build/test). Any finding fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/test}
root=$PWD
[ -f "$build/compile_commands.json" ] || { echo "no $build/compile_commands.json" >&2; exit 1; }
log=$(mktemp)
trap 'rm -f "$log"' EXIT
status=0
run-clang-tidy -p "$build" -j 2 -quiet -header-filter="$root/(app|platform|tarnlib|dfu|dfuse|usb)/" \
    "$root/(app|platform|tarnlib|dfu|dfuse|usb)/" >"$log" 2>&1 || status=1
# The simulator is held to the length bound alone: the fault checks are for the code users run.
run-clang-tidy -p "$build" -j 2 -quiet -checks='-*,readability-function-size' \
    -header-filter="$root/sim/" "$root/sim/(src|usbfs|tools)/" >>"$log" 2>&1 || status=1
if grep -qE '(warning|error):' "$log" || [ $status -ne 0 ]; then
    grep -E -A3 '(warning|error):' "$log" || cat "$log"
    echo "clang-tidy: findings above" >&2
    exit 1
fi
echo "clang-tidy: no findings"
