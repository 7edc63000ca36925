#!/usr/bin/env bash
# Makes the picture of a run's demes on the twolocus-plot page, from the top
# of the repository, with build/twolocus-sim (a second). The run goes to
# example-run/plot-demes/.
set -euo pipefail
cd "$(dirname "$0")/../../.."
here=docs/reference/plot-demes
out=example-run/plot-demes
mkdir -p "$out"
build/twolocus-sim --fitness examples/valley.tsv -s 0.01 -k 0.1 --mu 1e-4 \
  --recombination 0.1 --demography "$here/islands.yaml" --generations 3000 \
  --record-every 10 --seed 6 -o "$out/islands.out"
python/bin/twolocus-plot "$out/islands.out" --demes --first 'h22 >= 0.5' \
  -o docs/reference/twolocus-plot-demes.png
