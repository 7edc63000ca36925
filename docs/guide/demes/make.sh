#!/usr/bin/env bash
# Makes the runs, the tables and the pictures of the Several demes page,
# from the top of the repository, with build/twolocus-sim (about a minute on
# two cores). The runs go to example-run/demes/.
set -euo pipefail
cd "$(dirname "$0")/../../.."
here=docs/guide/demes
out=example-run/demes
mkdir -p "$out"
common=(--fitness examples/valley.tsv -s 0.01 -k 0.1 --mu 1e-4 --mu-a23 1e-6 --mu-b23 1e-6
        --record-every 0 --stop 'h22 >= 0.5' --stop 'a3 == 1 or b3 == 1' --watch 'h22 >= 0.05'
        --replicates 200 --threads 2 --seed 31)
# One population of 1000.
build/twolocus-sim "${common[@]}" -N 1000 --generations 20000 -o "$out/panmictic"
# Ten islands of 100, each pair exchanging parents at rate m; the first
# island to cross is watched too.
for m in 0.00001 0.0001 0.001 0.01; do
  build/twolocus-sim "${common[@]}" --demography "$here/islands-$m.yaml" --generations 20000 \
    --watch 'h22@D0 >= 0.5 or h22@D1 >= 0.5 or h22@D2 >= 0.5 or h22@D3 >= 0.5 or h22@D4 >= 0.5 or h22@D5 >= 0.5 or h22@D6 >= 0.5 or h22@D7 >= 0.5 or h22@D8 >= 0.5 or h22@D9 >= 0.5' -o "$out/islands-$m"
done
python/bin/twolocus-stats "$out"/panmictic.summary.tsv "$out"/islands-{0.00001,0.0001,0.001,0.01}.summary.tsv \
  -o "$here/crossing-times.tsv"
python/bin/twolocus-plot "$out"/panmictic.summary.tsv "$out"/islands-{0.00001,0.0001,0.001,0.01}.summary.tsv \
  --event 'h22 >= 0.5' \
  --title 'Crossing the valley: 1000 in one population or in ten islands of 100 (200 runs each)' \
  -o docs/guide/demes-crossing.png
# One run of the islands at m = 0.001, recorded every 20 generations.
build/twolocus-sim --fitness examples/valley.tsv -s 0.01 -k 0.1 --mu 1e-4 --mu-a23 1e-6 \
  --mu-b23 1e-6 --demography "$here/islands-0.001.yaml" --generations 3000 --record-every 20 \
  --seed 32 -o "$out/islands.run"
python/bin/twolocus-plot "$out/islands.run" \
  --title 'One run of ten islands of 100 (m = 0.001): the whole population' \
  -o docs/guide/demes-run.png
