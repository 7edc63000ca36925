#!/usr/bin/env bash
# Writes the seed corpora of the fuzz targets (tests/fuzz/seeds/<target>/)
# from files the program writes and the shipped fitness tables. Run from the
# top of the repository after building the program:
#   bash tests/fuzz/make_seeds.sh [program, default build/twolocus]
set -euo pipefail
cd "$(dirname "$0")/../.."
program=$(realpath "${1:-build/twolocus}")
seeds=tests/fuzz/seeds
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
rm -rf "$seeds"
mkdir -p "$seeds"/{fitness_table,checkpoint,params}

# Fitness tables: column (one byte), s and k in percent (32-bit little-endian).
prefixed_table() {
  local column=$1 s=$2 k=$3 table=$4 out=$5
  {
    printf "\\x$(printf %02x "$column")"
    for value in "$s" "$k"; do
      printf "\\x$(printf %02x $((value & 255)))\\x$(printf %02x $((value >> 8 & 255)))"
      printf "\\x$(printf %02x $((value >> 16 & 255)))\\x$(printf %02x $((value >> 24 & 255)))"
    done
    cat "$table"
  } >"$out"
}
prefixed_table 1 5 10 examples/valley.tsv "$seeds/fitness_table/valley-1"
prefixed_table 3 3 7 examples/additive.tsv "$seeds/fitness_table/additive-3"
prefixed_table 2 200 10 examples/lethal.tsv "$seeds/fitness_table/lethal-2"

# Trajectories and parameter files of small runs, fresh and resumed.
rates=(100000000 100000000 100000000 100000000 100000000 100000000)
cd "$work"
"$program" "$OLDPWD/examples/valley.tsv" 2 5 10 601 100 "${rates[@]}" run.out 7 >/dev/null
cp run.out "$OLDPWD/$seeds/checkpoint/fresh"
cp run.out.params "$OLDPWD/$seeds/params/fresh"
# A run cut inside its last record (as a kill leaves it), then resumed twice:
# the file then holds an incomplete line and an empty line, each followed by
# a repeated record.
head -c -150 run.out >cut.out
cp run.out.params cut.out.params
cp cut.out "$OLDPWD/$seeds/checkpoint/cut"
"$program" cut.out 801 >/dev/null
"$program" cut.out 1001 >/dev/null
cp cut.out "$OLDPWD/$seeds/checkpoint/resumed"
cp cut.out.params.new "$OLDPWD/$seeds/params/resumed-new"
"$program" "$OLDPWD/examples/lethal.tsv" 2 200 10 0 100 "${rates[@]}" empty.out >/dev/null
cp empty.out "$OLDPWD/$seeds/checkpoint/header-only"
# Lines 2 to 88 in reverse order, as a hand edit may leave them.
{ head -n 1 run.out.params; tail -n +2 run.out.params | tac; } >"$OLDPWD/$seeds/params/reversed"
# With the seed line that the parameter files of a resume that continues its
# random stream end with.
{ cat run.out.params; echo "seed = 7"; } >"$OLDPWD/$seeds/params/with-seed"

# Demes models: the examples, some resolved, and valid cases with metadata,
# infinities, defaults, a Unicode name and pulses at one time.
cd "$OLDPWD"
mkdir -p "$seeds/demes"
cp tests/cases/demes/examples/*.yaml "$seeds/demes/"
for name in minimal offshoots browning_america; do
  cp "tests/cases/demes/examples/$name.resolved.json" "$seeds/demes/"
done
for name in toplevel_metadata_01 infinity_06 defaults_size_function_01 unicode_deme_name_04 \
            pulse_same_time_01 isclose_16 toplevel_defaults_migration_09; do
  cp "tests/cases/demes/valid/$name.yaml" "$seeds/demes/"
done
