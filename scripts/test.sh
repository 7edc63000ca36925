#!/usr/bin/env bash
# Builds twolocus and its test suite (Release, in build/) and runs every test.
# Usage: scripts/test.sh [build type] [build folder]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
type=${1:-Release}
folder=${2:-build}
cmake -S . -B "$folder" -DCMAKE_BUILD_TYPE="$type" -DTWOLOCUS_BENCHMARKS=ON >/dev/null
cmake --build "$folder" -j "$(nproc)"
ctest --test-dir "$folder" --output-on-failure -j "$(nproc)"
