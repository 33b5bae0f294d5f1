#!/usr/bin/env bash
# Drives the simulated STM32 boot loader with Debian's dfu-util, unmodified, through the drop-in
# libusb-1.0.so.0. A departure from what dfu-util expects of a real STM32F405/407 boot loader is
# a simulator defect.
# Usage: dfu-util-test.sh CASE SIM_LIBRARY_DIR EXAMPLES_DIR
set -euo pipefail
case_name=$1
export LD_LIBRARY_PATH=$2
examples=$3
command -v dfu-util >/dev/null || { echo "dfu-util is missing: run scripts/install-deps.sh"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
export UNITFLASH_SIM_SCENARIO=$work/scenario.json
# dfu-util lives in real time; virtual time runs 20 times faster, and its sleeps still count.
export UNITFLASH_SIM_PACE=0.05
# A sanitizer build of the library needs its runtime loaded first; dfu-util's own leaks are not
# ours to find.
if [ -n "${SIM_PRELOAD:-}" ]; then
    export LD_PRELOAD=$SIM_PRELOAD ASAN_OPTIONS=detect_leaks=0
fi

fail() { echo "FAIL: $*"; exit 1; }
# A boot loader at port 1.4 over flash holding an example image of VERSION; state in state.json.
bootloader() {
    printf '{"stateFile": "state.json", "devices": [{"kind": "bootloader", "port": "1.4", "firmwareVersion": "%s"}]}\n' \
        "$1" >scenario.json
    rm -f state.json*
}
# The side of the chip on the bus after the last run: "unit" or "bootloader".
side() { sed -n 's/.*"mode": "\(.*\)".*/\1/p' state.json; }
flash() { cat state.json-1-1.4.flash; }
run() { dfu-util "$@" >dfu-util.log 2>&1 || { cat dfu-util.log; fail "dfu-util $*"; }; }

case $case_name in
list)
    bootloader 1.0.0
    run -l
    grep '^Found DFU' dfu-util.log
    [ "$(grep -c '^Found DFU: \[0483:df11\] ver=2200, .*path="1-1.4"' dfu-util.log)" = 4 ] ||
        fail "four alternate settings expected"
    for expected in \
        'alt=0, name="@Internal Flash  /0x08000000/04*016Kg,01*064Kg,07*128Kg"' \
        'alt=1, name="@Option Bytes  /0x1FFFC000/01*016 e"' \
        'alt=2, name="@OTP Memory /0x1FFF7800/01*512 e,01*016 e"' \
        'alt=3, name="@Device Feature/0xFFFF0000/01*004 e"'; do
        grep -qF "$expected" dfu-util.log || fail "missing $expected"
    done
    ;;
download-upload)
    bootloader 1.0.0
    head -c 1048576 /dev/urandom >image.bin
    run -a 0 -s 0x08000000 -D image.bin
    [ "$(side)" = bootloader ] || fail "the chip left DFU mode without being asked"
    # A later process reads back what the earlier one wrote.
    run -a 0 -s 0x08000000:1048576 -U read.bin
    cmp image.bin read.bin || fail "uploaded bytes differ"
    ;;
leave)
    bootloader 1.0.0
    run -a 0 -s 0x08000000:leave
    [ "$(side)" = unit ] || fail "the firmware did not start"
    ;;
dfu-leave)
    for version in 1.0.0 2.0.0; do
        bootloader 0.9.0
        run -a 0 -s :leave -D "$examples/firmware-$version.dfu"
        [ "$(side)" = unit ] || fail "firmware $version did not start"
        grep -aqF "QUOREL-FIRMWARE-VERSION:$version" state.json-1-1.4.flash || fail "firmware $version not in flash"
    done
    ;;
mass-erase)
    bootloader 1.0.0
    run -a 0 -s 0x08000000:mass-erase:force
    [ "$(flash | tr -d '\377' | wc -c)" = 0 ] || fail "flash not erased"
    # With nothing left to start, leaving brings the boot loader back.
    run -a 0 -s 0x08000000:leave
    [ "$(side)" = bootloader ] || fail "an erased chip started something"
    ;;
option-bytes)
    # Writing the option bytes resets the chip: dfu-util manages only when told so.
    bootloader 1.0.0
    run -a 1 -s 0x1FFFC000:16 -U ob.bin
    ! dfu-util -a 1 -s 0x1FFFC000 -D ob.bin >dfu-util.log 2>&1 || fail "the chip did not reset"
    run -a 1 -s 0x1FFFC000:will-reset -D ob.bin
    [ "$(side)" = bootloader ] || fail "the chip did not come back as its boot loader"
    ;;
virtual-time)
    # With its sleeps on the virtual clock dfu-util's time is the device's and its own waits:
    # the same in every run, and within reach of the device floor.
    key() { sed -n "s/^$1=//p" timing; }
    for attempt in 1 2; do
        bootloader 0.9.0
        rm -f timing  # each process appends its block
        env UNITFLASH_SIM_PACE=0 UNITFLASH_SIM_TIMING_FILE="$work/timing" \
            LD_PRELOAD="${LD_PRELOAD:+$LD_PRELOAD }$LD_LIBRARY_PATH/libunitflash-sim-sleep.so" \
            dfu-util -a 0 -s :leave -D "$examples/firmware-2.0.0.dfu" >dfu-util.log 2>&1 ||
            { cat dfu-util.log; fail "dfu-util with virtual sleeps"; }
        [ "$(side)" = unit ] || fail "firmware 2.0.0 did not start"
        [ "$(key pace)" = 0 ] || fail "dfu-util still runs in real time"
        # 48 KiB: three 16 KiB sectors, 12,288 words, 59,076 us on the bus.
        [ "$(key written_bytes) $(key erase_floor_us) $(key program_floor_us) $(key bus_data_us)" = \
            "49152 750000 196608 59076" ] || fail "floor parts: $(cat timing)"
        dfu[attempt]=$(($(key leave_us) - $(key first_erase_us)))
    done
    [ "${dfu[1]}" = "${dfu[2]}" ] || fail "two runs took ${dfu[1]} and ${dfu[2]} us"
    # dfu-util sets the address pointer before each of the 24 blocks, 104 ms each on the chip.
    [ "${dfu[1]}" -gt 3500000 ] && [ "${dfu[1]}" -lt 3800000 ] || fail "DFU part took ${dfu[1]} us"
    ;;
*)
    fail "unknown case $case_name"
    ;;
esac
echo "PASS: $case_name"
