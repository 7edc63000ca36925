#!/usr/bin/env bash
# Builds twolocus (Release, in build/), runs the shipped example of a
# population crossing a fitness plateau to the fitter double mutant, and plots
# it: example-run/crossing.out, its .params, and example-run/crossing.png.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j "$(nproc)" --target twolocus
mkdir -p example-run
# Column 1 of the valley table with s = 0 (single mutants neutral) and
# k = 10 % (2222 is 10 % fitter), 6000 generations of 10000 individuals,
# mutation 1->2 and 1->3 at 10^-5 and 2->3 at 10^-6 at both loci, seed 2222.
./build/twolocus examples/valley.tsv 1 0 10 6000 10000 \
  100000 10000 100000 100000 10000 100000 example-run/crossing.out 2222
echo
python/bin/twolocus-plot example-run/crossing.out -o example-run/crossing.png --first 'h22 >= 0.5'
echo "Trajectory: example-run/crossing.out  Parameters: example-run/crossing.out.params"
echo "Picture: example-run/crossing.png"
