"""twolocus-stats: statistics of every population in trajectory files, first
passages, the runs of a sweep, and the crossing times of summary tables."""

import argparse

from ..analysis.conditions import format_threshold
from ..analysis.statistics import STAT_COLUMNS, format_value
from ..analysis.studies import curve_table, survival_table
from ..analysis.survival import ROW_COLUMNS
from ..errors import TwolocusError
from ..runfiles.runs import load_runs
from ..sweeps.summary import fraction_table, load_sweep, run_table
from .base import Parser, version_option
from .common import (add_study_options, add_sweep_options, one_by, print_notes,
                     refuse_files_with_sweep, refuse_input_as_output, run_command, run_paths,
                     study_inputs, study_samples, threshold, write_text)


def parser():
    made = Parser(
        prog="twolocus-stats", formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Statistics of every population in twolocus trajectory files, as a "
                    "tab-separated table.",
        epilog="columns: file label generations " + " ".join(STAT_COLUMNS) + "\n\n"
               "example: twolocus-stats run.out --first 'h22 >= 0.5' --first 'a1 < 0.01'\n"
               "summary tables of twolocus-sim: twolocus-stats study/*.summary.tsv --by "
               "recombination\n(columns: the --by columns, condition, "
               + " ".join(ROW_COLUMNS) + ")")
    made.add_argument("files", nargs="*", metavar="FILE", help="trajectory files")
    version_option(made)
    made.add_argument("-o", "--output", metavar="OUT",
                      help="write the table to OUT instead of standard output")
    made.add_argument("--first", action="append", default=[], type=threshold,
                      metavar="'CONDITION'",
                      help="report per file the first population at which the condition "
                           "holds: 'STAT OP VALUE' (OP one of < <= > >= == !=), or comparisons "
                           "of statistics, count(LABEL) and freq(LABEL) joined by and, or and "
                           "parentheses; repeatable")
    add_sweep_options(made)
    add_study_options(made)
    made.add_argument("--curves", action="store_true",
                      help="with summary tables: write the curves (a row per generation at "
                           "which one steps) instead of the table")
    return made


def stats_table(runs):
    """Takes Runs; returns the table of every population as TSV text."""
    columns = ["label", "generations"] + STAT_COLUMNS
    lines = ["\t".join(["file"] + columns)]
    for run in runs:
        for row in run.statistics():
            lines.append("\t".join([run.path] + [format_value(row[c]) for c in columns]))
    return "\n".join(lines) + "\n"


def first_table(runs, thresholds):
    """Takes Runs and parsed thresholds; returns the --first table as TSV text:
    per file and threshold the label and generations of the first population
    past it, or "none" and the generations of the last population."""
    lines = ["file\tthreshold\tlabel\tgenerations"]
    for run in runs:
        for found_threshold in thresholds:
            found = run.first(found_threshold)
            if found is None:
                last = run.generations[-1] if len(run.generations) else ""
                found = ("none", last)
            lines.append(f"{run.path}\t{format_threshold(found_threshold)}\t{found[0]}\t{found[1]}")
    return "\n".join(lines) + "\n"


def sweep_text(args):
    """twolocus-stats --sweep: the table of runs, or of groups with --by."""
    refuse_files_with_sweep(args)
    by = one_by(args)
    columns, items = load_sweep(args.sweep)
    if by:
        return fraction_table(items, args.first, by)
    return run_table(columns, items, args.first)


def _stats(argv):
    args = parser().parse_args(argv)
    refuse_input_as_output(args)
    if study_inputs(args):
        found = study_samples(args)
        level = args.level or 0.95
        write_text(args.output, curve_table(found, level) if args.curves
                   else survival_table(found, level))
        return 0
    paths = run_paths(args)
    if args.sweep:
        write_text(args.output, sweep_text(args))
        return 0
    if not paths:
        raise TwolocusError("No trajectory file given. See [twolocus-stats --help].")
    runs = load_runs(paths)
    text = first_table(runs, args.first) if args.first else stats_table(runs)
    print_notes(runs)
    write_text(args.output, text)
    return 0


def main(argv=None):
    """twolocus-stats: returns the exit status."""
    return run_command(_stats, argv)
