#!/usr/bin/env bash
# The main job: builds everything and updates a simulated unit from an example firmware file,
# showing the whole sequence, with the settings exported before and after.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DUNITFLASH_TESTS=OFF \
    -DUNITFLASH_BENCH=OFF >/dev/null
ninja -C build/release

release=$PWD/build/release
demo=$PWD/build/demo
rm -rf "$demo" && mkdir -p "$demo" && cd "$demo"
# A fresh simulated unit (port 1.4, firmware 1.0.0) whose state lives in build/demo/sim.
export UNITFLASH_SIM_HOME=$demo/sim
export PATH="$release/sim:$PATH"

step() { printf '\n=== %s\n$ %s\n' "$1" "${*:2}"; "${@:2}"; }

step "The attached units" unitflash-sim --list-devices
step "Its settings before the update" unitflash-sim --export before.json
grep -E '"Version: (Firmware|VIO)"' before.json
step "A default update to firmware 2.0.0: backup, boot loader, erase, program, restore" \
    unitflash-sim --verbose "$release/examples/firmware-2.0.0.dfu"
step "Its settings after the update" unitflash-sim --export after.json
echo "Differences between before.json and after.json:"
diff before.json after.json || true
echo
echo "Files in $demo:"
ls -1 "$demo"
