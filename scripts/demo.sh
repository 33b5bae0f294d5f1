#!/usr/bin/env bash
# The main job: builds the tool and shows it at work.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DUNITFLASH_TESTS=OFF \
    -DUNITFLASH_BENCH=OFF >/dev/null
ninja -C build/release
build/release/app/unitflash --help
