#!/usr/bin/env bash
# Prints verdicts.tsv from the program itself: each case becomes the .params
# of a trajectory holding records 0 and 1, which `twolocus FILE 2` resumes;
# the verdict is "ok" (status 0) or the last line printed, with the
# parameter file's name written {file}.
# Usage: tests/cases/params/derive_verdicts.sh BUILD_FOLDER > tests/cases/params/verdicts.tsv
set -uo pipefail
program=$(realpath "$1")/twolocus
cases=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$work" && "$program" "$cases/../../../examples/valley.tsv" 1 0 10 1 10 \
   100000 10000 100000 100000 10000 100000 base.out 5 >/dev/null)
printf 'file\tverdict\n'
for path in "$cases"/*.params; do
  name=$(basename "$path")
  mkdir "$work/run" && cp "$work/base.out" "$work/run/t.out" && cp "$path" "$work/run/t.out.params"
  if out=$(cd "$work/run" && "$program" t.out 2); then verdict=ok
  else verdict=$(printf '%s\n' "$out" | tail -n 1 | sed 's/t\.out\.params/{file}/g'); fi
  printf '%s\t%s\n' "$name" "$verdict"
  rm -rf "$work/run"
done
