#!/usr/bin/env bash
# Builds the libFuzzer targets of the six readers (the fitness table, the
# checkpoint of the trajectory file, the parameter file, twolocus-sim's
# parameter file and batch file, and Demes files) with clang, in
# build-fuzz/, replays the regression inputs, then fuzzes each target and
# fails on any finding (a crash, a sanitizer report, a leak, a timeout or a
# broken check of the target). Inputs found along the way are kept in
# build-fuzz/corpus/, findings in build-fuzz/findings/.
#   scripts/fuzz.sh [seconds] [target...]   fuzz each target for that long (default 60)
#   scripts/fuzz.sh --runs N [target...]    fuzz each target for N executions
# The targets are fitness_table, checkpoint, params, sim_params, batch_file and demes (default: all six).
set -euo pipefail
cd "$(dirname "$0")/.."

limit=(-max_total_time=60)
case "${1:-}" in
  --runs) limit=(-runs="$2"); shift 2 ;;
  [0-9]*) limit=(-max_total_time="$1"); shift ;;
esac
targets=(fitness_table checkpoint params sim_params batch_file demes)
[ $# -gt 0 ] && targets=("$@")

bash scripts/setup.sh clang libclang-rt-14-dev
folder=build-fuzz
cmake -S . -B "$folder" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Release -DTWOLOCUS_DOCS=OFF \
  -DTWOLOCUS_TESTS=OFF -DTWOLOCUS_FUZZ=ON >/dev/null
cmake --build "$folder" -j "$(nproc)" --target "${targets[@]/%/_fuzz}" >/dev/null

failed=0
for target in "${targets[@]}"; do
  binary=$folder/tests/fuzz/${target}_fuzz
  mkdir -p "$folder/corpus/$target" "$folder/findings" "$folder/logs"
  log=$folder/logs/$target.log
  regressions=(tests/fuzz/regressions/"$target"/*)
  if [ -e "${regressions[0]}" ] && ! "$binary" "${regressions[@]}" >"$log" 2>&1; then
    echo "$target: a regression input fails again (see $log)"
    failed=1
    continue
  fi
  if "$binary" "${limit[@]}" -max_len=8192 -timeout=10 -print_final_stats=1 \
       -dict="tests/fuzz/$target.dict" -artifact_prefix="$folder/findings/$target-" \
       "$folder/corpus/$target" "tests/fuzz/seeds/$target" >"$log" 2>&1; then
    result=ok
  else
    result="FINDING (see $log and $folder/findings/)"
    failed=1
  fi
  awk -v target="$target" -v result="$result" '
    /^#[0-9]+/ { for (i = 1; i <= NF; ++i) { if ($i == "cov:") cov = $(i + 1); if ($i == "ft:") ft = $(i + 1);
                   if ($i == "corp:") corp = $(i + 1) } }
    /stat::number_of_executed_units/ { runs = $2 }
    /stat::average_exec_per_sec/ { speed = $2 }
    END { printf "%-14s %12s executions %8s exec/s  cov %5s  ft %6s  corpus %-8s %s\n",
                 target, runs, speed, cov, ft, corp, result }' "$log"
done
exit $failed
