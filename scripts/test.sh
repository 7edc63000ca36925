#!/usr/bin/env bash
# Builds twolocus, its test suite and its documentation (Release, in build/;
# Sphinx's warnings are errors) and runs every test: the C++ suite (its long
# statistical tests in Release only) with the check of the installed
# documentation, then (Release only) the Python commands' tests.
# As root it also installs the Slurm test cluster's packages (setup.sh
# --slurm-test-cluster); the cluster's test is skipped where slurmd cannot
# start, unless TWOLOCUS_REQUIRE_SLURM=1.
# Usage: scripts/test.sh [build type] [build folder]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh --slurm-test-cluster
type=${1:-Release}
folder=${2:-build}
cmake -S . -B "$folder" -DCMAKE_BUILD_TYPE="$type" -DTWOLOCUS_BENCHMARKS=ON >/dev/null
cmake --build "$folder" -j "$(nproc)"
# The long statistical tests (label "long") run in the Release pass only.
skip_long=()
[ "$type" = Release ] || skip_long=(-LE long)
ctest --test-dir "$folder" --output-on-failure -j "$(nproc)" "${skip_long[@]}"
# The Python commands' tests run the programs of this build, with Debian's
# python3 (another python3 may come first on PATH); once, in the Release pass.
if [ "$type" = Release ]; then
  TWOLOCUS_BUILD="$folder" /usr/bin/python3 -m pytest -q -p no:cacheprovider python/tests
fi
