#!/usr/bin/env bash
# Makes the runs, the tables and the pictures of the Histories page, from
# the top of the repository, with build/twolocus-sim (some 10 s on two
# cores). The runs go to example-run/histories/.
set -euo pipefail
cd "$(dirname "$0")/../../.."
here=docs/guide/histories
out=example-run/histories
mkdir -p "$out"
for model in constant bottleneck long selfing-0.5 selfing-0.9 selfing-0.99; do
  build/twolocus-sim --fitness examples/valley.tsv -s 0.01 -k 0.1 --mu 1e-4 \
    --mu-a23 1e-6 --mu-b23 1e-6 --demography "$here/$model.yaml" --generations 20000 \
    --record-every 0 --stop 'h22 >= 0.5' --stop 'a3 == 1 or b3 == 1' --watch 'h22 >= 0.05' \
    --replicates 200 --threads 2 --seed 11 -o "$out/$model"
done
python/bin/twolocus-stats "$out"/{constant,bottleneck,long}.summary.tsv --event 'h22 >= 0.5' \
  -o "$here/bottleneck-times.tsv"
python/bin/twolocus-stats "$out"/constant.summary.tsv "$out"/selfing-{0.5,0.9,0.99}.summary.tsv \
  --event 'h22 >= 0.5' -o "$here/selfing-times.tsv"
python/bin/twolocus-plot "$out"/{constant,bottleneck,long}.summary.tsv --event 'h22 >= 0.5' \
  --title 'Crossing the valley after a bottleneck (N = 1000; 200 runs each)' \
  -o docs/guide/histories-bottleneck.png
# One run of each mating system, recorded every 20 generations, for its picture.
for model in constant selfing-0.9; do
  build/twolocus-sim --fitness examples/valley.tsv -s 0.01 -k 0.1 --mu 1e-4 \
    --mu-a23 1e-6 --mu-b23 1e-6 --demography "$here/$model.yaml" --generations 3000 \
    --record-every 20 --seed 12 -o "$out/$model.run"
done
python/bin/twolocus-stats "$out/selfing-0.9.run" -o "$out/selfing-0.9.stats.tsv"
python/bin/twolocus-plot "$out/selfing-0.9.run" \
  --title 'One run of a population of 1000 that selfs 90 % of its offspring' \
  -o docs/guide/histories-selfing-run.png
