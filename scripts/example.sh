#!/usr/bin/env bash
# Builds twolocus (Release, in build/) and runs the shipped fitness-valley
# example, writing example-run/valley.out and example-run/valley.out.params.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j "$(nproc)" --target twolocus
mkdir -p example-run
# Column 1 of the valley table, s = 5 %, k = 10 %, 2000 generations of 10000
# individuals, every mutation probability 10^-6, seed 2222.
./build/twolocus examples/valley.tsv 1 5 10 2000 10000 \
  10000 10000 10000 10000 10000 10000 example-run/valley.out 2222
echo
echo "Trajectory: example-run/valley.out  Parameters: example-run/valley.out.params"
