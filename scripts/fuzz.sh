#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang (in build/fuzz) and runs each for a fixed
# time, as many at once as there are cores. A target that finds a crash, a leak, a hang of more
# than 10 s or an input that breaks its checks fails the run; its log and the input that did it
# (build/fuzz/crashes/) are shown.
#
#   scripts/fuzz.sh [--merge] [--seed] [SECONDS] [TARGET...]
#
# SECONDS defaults to 30 (what scripts/test.sh runs); all targets unless some are named. Each
# starts from the checked-in corpus fuzz/corpus/<target>/ and keeps what it finds in
# build/fuzz/corpus/<target>/, so that longer runs by hand go on where the last one stopped.
#   --merge  afterwards, merge what was found into fuzz/corpus/ (smallest set with the same
#            coverage), to check it in
#   --seed   first write the seeds anew (fuzz/fuzz_seeds.cpp) and merge them into fuzz/corpus/
set -euo pipefail
cd "$(dirname "$0")/.."

merge=0
seed=0
seconds=30
targets=()
for arg in "$@"; do
    case "$arg" in
        --merge) merge=1 ;;
        --seed) seed=1 ;;
        *[!0-9]*) targets+=("$arg") ;;
        *) seconds=$arg ;;
    esac
done
all=(fuzz_cbor fuzz_catalogue fuzz_import fuzz_frame_reader fuzz_dfu_file fuzz_device_texts
     fuzz_boot_loader)
[ ${#targets[@]} -gt 0 ] || targets=("${all[@]}")

scripts/install-deps.sh
build=build/fuzz
echo "=== $build: configure and build the fuzz targets (clang)"
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DUNITFLASH_FUZZ=ON -DUNITFLASH_TESTS=OFF -DUNITFLASH_BENCH=OFF >/dev/null
ninja -C "$build" fuzz_targets

# Merges the inputs of the directories after the first into fuzz/corpus/<target>, keeping the
# smallest set that covers what all of them cover.
merge_into_corpus() {
    local target=$1; shift
    local merged="$build/merged/$target"
    rm -rf "$merged" && mkdir -p "$merged" "fuzz/corpus/$target"
    "$build/fuzz/$target" -merge=1 "$merged" "fuzz/corpus/$target" "$@" \
        >"$build/logs/$target.merge.log" 2>&1
    rm -rf "fuzz/corpus/$target" && mv "$merged" "fuzz/corpus/$target"
}

mkdir -p "$build/logs" "$build/crashes"
rm -f "$build"/logs/*.status
if [ $seed = 1 ]; then
    ninja -C "$build" fuzz_seeds
    rm -rf "$build/seeds" && "$build/fuzz/fuzz_seeds" "$build/seeds"
    for target in "${targets[@]}"; do
        merge_into_corpus "$target" "$build/seeds/$target"
    done
fi

run_target() {
    local target=$1
    mkdir -p "$build/corpus/$target" "fuzz/corpus/$target"
    "$build/fuzz/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$build/crashes/$target-" \
        "$build/corpus/$target" "fuzz/corpus/$target" >"$build/logs/$target.log" 2>&1
}

echo "=== fuzzing ${#targets[@]} targets for $seconds s each"
parallel=$(nproc)
for target in "${targets[@]}"; do
    while [ "$(jobs -rp | wc -l)" -ge "$parallel" ]; do
        wait -n || true
    done
    (
        status=0
        run_target "$target" || status=$?
        echo "$status" >"$build/logs/$target.status"
    ) &
done
wait

failed=0
for target in "${targets[@]}"; do
    status=$(cat "$build/logs/$target.status")
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$build/logs/$target.log")
    if [ "$status" = 0 ]; then
        echo "$target: ${runs:-?} inputs, no failure"
    else
        failed=1
        echo "$target: FAILED (exit status $status); its log ends:"
        tail -n 40 "$build/logs/$target.log"
    fi
done
if [ $merge = 1 ]; then
    for target in "${targets[@]}"; do
        merge_into_corpus "$target" "$build/corpus/$target"
    done
    du -sh fuzz/corpus
fi
exit $failed
