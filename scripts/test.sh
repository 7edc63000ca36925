#!/usr/bin/env bash
# Builds twolocus and its test suite (Release, in build/) and runs every test
# (the long statistical ones in Release only).
# Usage: scripts/test.sh [build type] [build folder]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
type=${1:-Release}
folder=${2:-build}
cmake -S . -B "$folder" -DCMAKE_BUILD_TYPE="$type" -DTWOLOCUS_BENCHMARKS=ON >/dev/null
cmake --build "$folder" -j "$(nproc)"
# The long statistical tests (label "long") run in the Release suite only.
skip_long=()
[ "$type" = Release ] || skip_long=(-LE long)
ctest --test-dir "$folder" --output-on-failure -j "$(nproc)" "${skip_long[@]}"
