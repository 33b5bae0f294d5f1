#!/usr/bin/env bash
# Programs the same 1 MiB and 256 KiB images (data in every block) into the same simulated
# STM32F405 boot loader, with its real-chip defaults, with
# our DFU layer (unitflash-sim --discard-settings on the boot loader) and with Debian's dfu-util
# (through the drop-in libusb of the simulator), then runs a whole default update of the 1 MiB
# image on a simulated unit, and prints one table. docs/performance.md explains the figures.
#
# Usage: scripts/bench.sh [BUILD_DIR]   (default build/bench, configured and built when needed)
# BENCH_SIZES="1048576 262144" chooses the images. dfu-util runs on the virtual clock with its
# sleeps taken over (libunitflash-sim-sleep.so), as unitflash-sim does; BENCH_DFU_UTIL_PACE=<p>
# runs it in real time at pace p instead (then its CPU time and the machine's load count too).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$root/build/bench}")
sizes=${BENCH_SIZES:-1048576 262144}
dfu_util_pace=${BENCH_DFU_UTIL_PACE:-}
command -v dfu-util >/dev/null || { echo "dfu-util is missing: run scripts/install-deps.sh"; exit 1; }
[ -x /usr/bin/time ] || { echo "/usr/bin/time is missing (Debian package time)"; exit 1; }

if [ ! -f "$build/build.ninja" ]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
ninja -C "$build" -j2 unitflash-sim unitflash-mkdfu sim_usb_shared sim_virtual_sleep >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Scenario with one device of KIND at port 1.4 running firmware 1.0.0. No state file: writing it
# after every transfer would add the simulator's own file traffic to the host CPU figures.
scenario() {
    printf '{"devices": [{"kind": "%s", "port": "1.4", "firmwareVersion": "1.0.0"}]}\n' \
        "$1" >"$work/scenario.json"
}
# The same, with a state file that carries the flash from one run to the next (started afresh).
kept_scenario() {
    rm -f "$work"/state.json*
    printf '{"stateFile": "state.json", "devices": [{"kind": "%s", "port": "1.4", "firmwareVersion": "1.0.0"}]}\n' \
        "$1" >"$work/scenario.json"
}
# Value of KEY in the timing file the simulator wrote at the end of the last run.
timing() { sed -n "s/^$1=//p" "$work/timing"; }

# Runs one program with the simulator's timing file; its peak memory from /usr/bin/time, its
# CPU time (to the millisecond) from the shell's `times` for its children; fails loudly.
measure() {
    rm -f "$work/timing" "$work/rusage" "$work/cpu"
    if ! (cd "$work" && export UNITFLASH_SIM_SCENARIO=$work/scenario.json \
        UNITFLASH_SIM_TIMING_FILE=$work/timing &&
        /usr/bin/time -f '%M' -o "$work/rusage" "$@" >"$work/log" 2>&1 && times >"$work/cpu"); then
        cat "$work/log"
        echo "bench: $* failed" >&2
        exit 1
    fi
}

row_format='%-34s %6s %7s %7s %8s %8s %6s %6s %6s %4s\n'
rows=()
# Appends a table row for the last run: LABEL, image size.
add_row() {
    local label=$1 size=$2
    local virtual erase leave passes dfu ratio cpu cpu_pct rss readback
    if [ "$(timing written_bytes)" != "$size" ] || [ "$(timing leave_us)" = 0 ]; then
        cat "$work/log" "$work/timing"
        echo "bench: $label did not write the whole image and leave" >&2
        exit 1
    fi
    virtual=$(timing virtual_us)
    erase=$(timing first_erase_us)
    leave=$(timing leave_us)
    passes=1
    [ "$(timing upload_bytes)" -gt 0 ] && passes=2
    device_floor=$(($(timing erase_floor_us) + $(timing program_floor_us) + passes * $(timing bus_data_us)))
    floor=$(timing protocol_floor_us)
    dfu=$((leave - erase))
    last_floor=$floor
    readback=-
    if [ "$passes" = 2 ]; then
        readback=$(awk -v a="$(timing first_upload_us)" -v b="$(timing last_upload_us)" \
            'BEGIN { printf "%.2f", (b - a) / 1e6 }')
    fi
    rss=$(cat "$work/rusage")
    # Second line of `times`: the children's user and system time, as 0m0.012s 0m0.004s.
    cpu=$(sed -n 2p "$work/cpu" | awk '{ t = 0; for (i = 1; i <= 2; ++i) { split($i, p, /[ms]/); t += p[1] * 60 + p[2] } printf "%.3f", t }')
    cpu_pct=$(awk -v c="$cpu" -v v="$virtual" 'BEGIN { printf "%.2f", 100 * c / (v / 1e6) }')
    ratio=$(awk -v d="$dfu" -v f="$floor" 'BEGIN { printf "%.3f", d / f }')
    rows+=("$(printf "$row_format" "$label" "$((size / 1024))K" \
        "$(awk -v v="$virtual" 'BEGIN { printf "%.2f", v / 1e6 }')" \
        "$(awk -v v="$dfu" 'BEGIN { printf "%.2f", v / 1e6 }')" \
        "$(awk -v v="$device_floor" 'BEGIN { printf "%.2f", v / 1e6 }')" \
        "$(awk -v v="$floor" 'BEGIN { printf "%.2f", v / 1e6 }')" \
        "$ratio" "$cpu" "$cpu_pct" "$((rss / 1024))")")
    rows+=("$(printf '%-34s   device floor: erase %.2f s, program %.2f s, bus %d x %.2f s\n' "" \
        "$(awk -v v="$(timing erase_floor_us)" 'BEGIN { print v / 1e6 }')" \
        "$(awk -v v="$(timing program_floor_us)" 'BEGIN { print v / 1e6 }')" "$passes" \
        "$(awk -v v="$(timing bus_data_us)" 'BEGIN { print v / 1e6 }')")")
    if [ "$passes" = 2 ]; then
        rows+=("$(printf '%-34s   read-back: %s s (first to last upload); DFU s without it: %s s\n' "" \
            "$readback" "$(awk -v d="$dfu" -v r="$readback" 'BEGIN { printf "%.2f", d / 1e6 - r }')")")
    fi
}

for size in $sizes; do
    "$build/sim/unitflash-mkdfu" --example 2.0.0 --size "$size" --filled "$work/image-$size.dfu" >/dev/null

    scenario bootloader
    UNITFLASH_SIM_PACE=0 measure "$build/sim/unitflash-sim" --port 1.4 --discard-settings \
        "$work/image-$size.dfu"
    add_row "unitflash DFU layer (read-back)" "$size"

    scenario bootloader
    if [ -z "$dfu_util_pace" ]; then
        measure env LD_LIBRARY_PATH="$build/sim" UNITFLASH_SIM_PACE=0 \
            LD_PRELOAD="$build/sim/libunitflash-sim-sleep.so" \
            dfu-util -a 0 -s :leave -D "$work/image-$size.dfu"
        add_row "dfu-util -s :leave -D" "$size"
        # dfu-util sets the address pointer before every block: a command, two status requests
        # and the chip's 104 ms each time.
        blocks=$(((size + 2047) / 2048))
        rows+=("$(printf '%-34s   address pointer before each of %d blocks: %d x 0.107 s = %.2f s\n' "" \
            "$blocks" "$blocks" "$(awk -v n="$blocks" 'BEGIN { print n * 0.107 }')")")
    else
        measure env LD_LIBRARY_PATH="$build/sim" UNITFLASH_SIM_PACE="$dfu_util_pace" \
            dfu-util -a 0 -s :leave -D "$work/image-$size.dfu"
        add_row "dfu-util (real time, pace $dfu_util_pace)" "$size"
    fi
done

# The whole default update of the first image: backup, trigger, program, restore.
size=${sizes%% *}
scenario unit
UNITFLASH_SIM_PACE=0 measure "$build/sim/unitflash-sim" --port 1.4 "$work/image-$size.dfu"
add_row "unitflash default update" "$size"
whole=$(timing virtual_us)
erase=$(timing first_erase_us)
leave=$(timing leave_us)
floor_whole=$last_floor
seconds() { awk -v v="$1" 'BEGIN { printf "%.2f", v / 1e6 }'; }

# --skip-unchanged on the first image. Each case first brings the flash to where it starts with a
# normal update (unmeasured), then measures one run; the DFU part runs from the first DNLOAD (the
# first erase, or the compare's address command) to the leave.
raw=$work/image.bin
"$build/sim/unitflash-mkdfu" --example 2.0.0 --size "$size" --filled --raw "$raw" >/dev/null
# Writes the image of RAW with the byte at each OFFSET inverted to the .dfu file OUT.
variant() {
    local from=$1 out=$2
    shift 2
    cp "$from" "$work/variant.bin"
    perl -e 'open(my $f, "+<", shift) or die; binmode $f;
        for (@ARGV) { seek $f, $_, 0; read $f, my $b, 1; seek $f, $_, 0; print $f chr(ord($b) ^ 0xFF) }' \
        "$work/variant.bin" "$@"
    "$build/sim/unitflash-mkdfu" --image "$work/variant.bin" "$out" >/dev/null
}
image=$work/image-$size.dfu
variant "$raw" "$work/sector16k.dfu" $((0xC000 + 100))   # sector 3, 16 KiB
variant "$raw" "$work/sector128k.dfu" $((0x20000 + 100)) # sector 5, 128 KiB
# The older version, its settings sector holding data as a unit's does: every sector differs.
"$build/sim/unitflash-mkdfu" --example 1.0.0 --size "$size" --filled --raw "$work/old.bin" >/dev/null
variant "$work/old.bin" "$work/old.dfu" $((0x8000 + 100))
skip_format='%-40s %6s %6s %8s %8s %8s %7s\n'
skip_rows=()
# Runs the update of IMAGE (with OPTIONS) on a unit whose flash a normal update of START left, and
# adds a row LABEL; KIND bootloader measures the DFU layer (--discard-settings), unit the whole
# default update.
skip_case() {
    local label=$1 kind=$2 start=$3 image=$4 options=$5
    local -a base=(--port 1.4)
    [ "$kind" = bootloader ] && base+=(--discard-settings)
    kept_scenario "$kind"
    UNITFLASH_SIM_PACE=0 measure "$build/sim/unitflash-sim" "${base[@]}" "$start"
    UNITFLASH_SIM_PACE=0 measure "$build/sim/unitflash-sim" "${base[@]}" $options "$image"
    last_dfu=$(($(timing leave_us) - $(timing first_download_us)))
    skip_rows+=("$(printf "$skip_format" "$label" "$(seconds "$(timing virtual_us)")" \
        "$(seconds "$last_dfu")" "$(timing requests)" "$(($(timing download_bytes) / 1024))" \
        "$(($(timing upload_bytes) / 1024))" "$(seconds "$(timing erase_busy_us)")")")
}
skip_case "identical image" bootloader "$image" "$image" --skip-unchanged
skip_case "one 16 KiB sector differs" bootloader "$image" "$work/sector16k.dfu" --skip-unchanged
skip_case "one 128 KiB sector differs" bootloader "$image" "$work/sector128k.dfu" --skip-unchanged
skip_case "every sector differs (1.0.0 -> 2.0.0)" bootloader "$work/old.dfu" "$image" --skip-unchanged
with=$last_dfu
skip_case "  the same without --skip-unchanged" bootloader "$work/old.dfu" "$image" ""
every_ratio=$(awk -v a="$with" -v b="$last_dfu" 'BEGIN { printf "%.3f", a / b }')
skip_case "whole default update, unit runs 2.0.0" unit "$image" "$image" --skip-unchanged
skip_case "  the same without --skip-unchanged" unit "$image" "$image" ""

# --all on 4 units of one bus and on 8 units of two buses, the first image each, against one unit
# alone (the default update above). Each unit's run is a process with a bus of its own and its
# own virtual clock: the update takes as long as its slowest unit's run, and the frames the
# units of one real bus would share are left out; the table gives that load.
units_scenario() {
    local units=$1 buses=$2 i
    printf '{"devices": [' >"$work/scenario.json"
    for ((i = 0; i < units; ++i)); do
        printf '%s{"kind": "unit", "bus": %d, "port": "1.%d", "firmwareVersion": "1.0.0", "hardwareUid": "U%d"}' \
            "$([ "$i" = 0 ] || echo ,)" $((i % buses + 1)) $((i / buses + 1)) "$i" >>"$work/scenario.json"
    done
    printf ']}\n' >>"$work/scenario.json"
}
# The largest (with "sum": the summed) value of KEY over the blocks of the timing file.
timing_over() {
    sed -n "s/^$1=//p" "$work/timing" | sort -n |
        awk -v how="${2:-max}" '{ s += $1; m = $1 } END { print how == "sum" ? s : m }'
}
all_format='%-24s %7s %8s %6s %5s  %s\n'
all_rows=()
for layout in "4 1" "8 2"; do
    read -r units buses <<<"$layout"
    units_scenario "$units" "$buses"
    UNITFLASH_SIM_PACE=0 measure "$build/sim/unitflash-sim" --all "$work/image-$size.dfu"
    [ "$(grep -c "^written_bytes=$size\$" "$work/timing")" = "$units" ] ||
        { cat "$work/log"; echo "bench: --all did not write every unit" >&2; exit 1; }
    slowest=$(timing_over virtual_us)
    # What the units of one bus move over it in the DFU part (both ways), against its time.
    load=$(awk -v b="$(timing_over bus_data_us sum)" -v n="$buses" \
        -v d=$(($(timing_over leave_us) - $(timing_over first_erase_us))) \
        'BEGIN { printf "%.2f", 2 * b / n / d }')
    cpu=$(sed -n 2p "$work/cpu" | awk '{ t = 0; for (i = 1; i <= 2; ++i) { split($i, p, /[ms]/); t += p[1] * 60 + p[2] } printf "%.2f", t }')
    all_rows+=("$(printf "$all_format" "$units units, $buses bus(es)" "$(seconds "$slowest")" \
        "$(awk -v a="$slowest" -v w="$whole" 'BEGIN { printf "%.3f", a / w }')" "$cpu" \
        "$(($(cat "$work/rusage") / 1024))" "$load of a full-speed bus, per bus")")
done

printf 'bench: %s, %s cores, %s\n' "$(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -1)" \
    "$(nproc)" "$(. /etc/os-release && echo "$PRETTY_NAME")"
printf "$row_format" tool image "sim s" "DFU s" "device s" "proto s" ratio "CPU s" "CPU %" MiB
printf '%s\n' "${rows[@]}"
cat <<EOF

sim s: simulated time of the whole process; DFU s: first erase request to the request that
makes the boot loader leave; device s (device floor): erase of the sectors the image covers,
16 us per word, the image's bytes at 832,000 B/s each way the tool moves them; proto s
(protocol floor): the device's erase and programming time with the requests DFU 1.1 and DfuSe
require, each in whole 1 ms frames; ratio: DFU s / proto s; CPU: user + system; MiB: peak RSS.

default update of the $((size / 1024)) KiB image, $(seconds "$whole") s simulated:
  before the first erase (backup, trigger, search)  $(seconds "$erase") s
  DFU part (erase, program, read-back, leave)       $(seconds $((leave - erase))) s
  after the leave (restart, restore settings)       $(seconds $((whole - leave))) s
  whole update / its floor                          $(awk -v w="$whole" -v f="$floor_whole" -v d=$((leave - erase)) 'BEGIN { printf "%.3f", w / (f + w - d) }')
    (its floor: the DFU part's protocol floor, and around it the settings traffic and the
    prescribed waits as they are)
prescribed waits inside it (fixed by the update sequence and the devices):
  wait after the trigger                            0.50 s
  unit leaves the bus, boot loader enumerates       0.02 + 0.30 s (inside the 0.50 s wait)
  100 ms before each connection attempt             0.10 s each
  DFU runner polls                                  0.10 s at most each: the end of an
                                                    operation wakes the runner at once
  runner's wait after the leave                     0.10 s (overlaps the restart below)
  boot loader leaves, firmware enumerates           0.005 + 0.30 s

--skip-unchanged, $((size / 1024)) KiB image; the flash as a normal update of the start image left it:
EOF
printf "$skip_format" case "sim s" "DFU s" requests "down KiB" "up KiB" "erase s"
printf '%s\n' "${skip_rows[@]}"
cat <<EOF
DFU s: first DNLOAD (the compare's address command, or the first erase) to the leave; requests:
control requests the boot loader answered in the run; down / up: data blocks written / read;
erase s: the chip's erase time. Every sector differs, with / without: $every_ratio.

--all, the $((size / 1024)) KiB image on every unit, against one unit alone ($(seconds "$whole") s):
EOF
printf "$all_format" case "sim s" "x alone" "CPU s" "MiB" "bus load left out"
printf '%s\n' "${all_rows[@]}"
cat <<EOF
sim s: the slowest unit's run (each unit's run is a process with a simulated bus and clock of
its own, so the runs share no frames); x alone: against the default update of one unit; CPU:
user + system of the tool and all its runs; MiB: peak RSS of the largest process; bus load:
the DFU data of the units of one bus, both ways at 832,000 B/s, over the DFU part's time: what
a real shared bus would carry besides each unit's own traffic.
EOF
