"""The commands twolocus-stats and twolocus-plot.

Each main_* takes its arguments (without the program name) and returns the
exit status. Every failure is one line on standard error, status 1, and
nothing is written. Each command's parser is built by its own function so
that options can be added to it; the list of runs is gathered by
run_paths().
"""

import argparse
import os
import signal
import sys
import warnings

from . import __version__
from .errors import TwolocusError
from .files import irregular_kind, refuse_overwriting, refuse_repeats
from .runs import load_runs
from .stats import STAT_COLUMNS, first_passage, format_threshold, number_or_nan, parse_threshold
from .summary import add_sweep_options, sweep_figure, sweep_stats_text
from .survival import ROW_COLUMNS


class _Parser(argparse.ArgumentParser):
    """argparse that reports a bad command line as one TwolocusError line."""

    def error(self, message):
        raise TwolocusError(f"{message[0].upper()}{message[1:]}. See [{self.prog} --help].")


def _threshold(text):
    """argparse type for --first: a parsed threshold (TwolocusError passes through)."""
    return parse_threshold(text)


def format_value(value):
    """A statistic as written in the table: empty for None, %.10g for floats."""
    if value is None:
        return ""
    if isinstance(value, float):
        return f"{value:.10g}"
    return str(value)


def run_paths(args):
    """Takes parsed arguments; returns the trajectory paths to read, in order."""
    if args.by is not None and not args.sweep:
        raise TwolocusError("Option --by needs --sweep.")
    return list(args.files)


def refuse_input_as_output(args):
    """Refuses, before anything is read or written, an -o that is a trajectory
    given, its .params, or a file of the --sweep folder."""
    if args.output is not None:
        inputs = [name for path in args.files for name in (path, path + ".params")]
        refuse_overwriting(args.output, inputs, args.sweep)


def _run(main, argv):
    """Calls main(argv); turns a TwolocusError into its line on standard error
    and status 1."""
    # Like other filters, end quietly when the reader of standard output goes away.
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    # File names that are not UTF-8 are written back as the bytes they were.
    for stream in (sys.stdout, sys.stderr):
        if stream is not None:  # None when the descriptor was closed
            stream.reconfigure(errors="surrogateescape")
    try:
        return main(sys.argv[1:] if argv is None else argv)
    except TwolocusError as error:
        print(error, file=sys.stderr)
        return 1


def _print_notes(runs):
    for run in runs:
        for note in run.notes:
            print(note, file=sys.stderr)


def _discard_stdout():
    """Points standard output at /dev/null, so that the exit's own flush of
    what could not be written does not fail again."""
    try:
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    except (OSError, ValueError):
        pass


def _write_text(path, text):
    """Writes text to path, or to standard output when path is None."""
    if path is None:
        if sys.stdout is None:
            raise TwolocusError("Could not write the table to standard output.")
        try:
            sys.stdout.write(text)
            sys.stdout.flush()
        except OSError:
            _discard_stdout()
            raise TwolocusError("Could not write the table to standard output.") from None
        return
    try:
        file = open(path, "w", encoding="utf-8", errors="surrogateescape")
    except OSError:
        raise TwolocusError(f"Could not open output file [{path}] to write.") from None
    try:
        with file:
            file.write(text)
    except OSError:
        if os.path.isfile(path):
            os.remove(path)
        raise TwolocusError(f"Could not write [{path}].") from None


def stats_parser():
    parser = _Parser(
        prog="twolocus-stats", formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Statistics of every population in twolocus trajectory files, as a "
                    "tab-separated table.",
        epilog="columns: file label generations " + " ".join(STAT_COLUMNS) + "\n\n"
               "example: twolocus-stats run.out --first 'h22 >= 0.5' --first 'a1 < 0.01'\n"
               "summary tables of twolocus-sim: twolocus-stats study/*.summary.tsv --by "
               "recombination\n(columns: the --by columns, condition, "
               + " ".join(ROW_COLUMNS) + ")")
    parser.add_argument("files", nargs="*", metavar="FILE", help="trajectory files")
    parser.add_argument("--version", action="version", version=f"%(prog)s version {__version__}")
    parser.add_argument("-o", "--output", metavar="OUT",
                        help="write the table to OUT instead of standard output")
    parser.add_argument("--first", action="append", default=[], type=_threshold,
                        metavar="'CONDITION'",
                        help="report per file the first population at which the condition "
                             "holds: 'STAT OP VALUE' (OP one of < <= > >= == !=), or comparisons "
                             "of statistics, count(LABEL) and freq(LABEL) joined by and, or and "
                             "parentheses; repeatable")
    add_sweep_options(parser)
    add_study_options(parser)
    parser.add_argument("--curves", action="store_true",
                        help="with summary tables: write the curves (a row per generation at "
                             "which one steps) instead of the table")
    return parser


def _level(text):
    from .survival import level_problem
    level = number_or_nan(text)
    if not 0 < level < 1:
        raise TwolocusError(f"Could not read the level [{text}].")
    problem = level_problem(level, text)
    if problem:
        raise TwolocusError(problem)
    return level


def add_study_options(parser):
    """The options of summary tables: --level and --event."""
    parser.add_argument("--level", type=_level, metavar="L",
                        help="with summary tables: the intervals' and bands' level, a fraction "
                             "(default 0.95)")
    parser.add_argument("--event", action="append", default=[], metavar="'CONDITION'",
                        help="with summary tables: a condition column to summarise, by its "
                             "heading (repeatable; default every condition column)")


STUDY_ONLY = ("level", "event", "curves", "against", "log_x", "log_y")


def study_inputs(args):
    """Takes parsed arguments; returns whether they name summary tables (or a
    sweep of twolocus-sim runs). Refuses a mix of trajectories and summary
    tables, --first with summary tables, and the options of summary tables
    with trajectories."""
    from .simsweep import is_sim_sweep
    from .studies import is_summary_table
    if args.sweep is not None and not os.path.isdir(args.sweep):
        raise TwolocusError(f"Could not open the sweep folder [{args.sweep}].")
    for path in args.files:
        kind = irregular_kind(path)
        if kind:
            raise TwolocusError(f"Input [{path}] is {kind}, not a trajectory file or a "
                                "summary table.")
    tables = [path for path in args.files if is_summary_table(path)]
    if tables and len(tables) != len(args.files):
        raise TwolocusError("Give trajectory files or summary tables, not both.")
    if tables and args.sweep:
        raise TwolocusError("Give summary tables or --sweep, not both.")
    sim_sweep = args.sweep is not None and is_sim_sweep(args.sweep)
    if sim_sweep and args.files:
        raise TwolocusError("Give trajectory files or --sweep, not both.")
    study = bool(tables) or sim_sweep
    if study and args.first:
        raise TwolocusError("Option --first needs trajectory files; a summary table's "
                            "conditions are its columns (see --event).")
    if not study:
        for name in STUDY_ONLY:
            if getattr(args, name, None):
                option = "--" + name.replace("_", "-")
                raise TwolocusError(f"Option {option} needs summary tables.")
    return study


def study_samples(args):
    """The samples (studies.samples) of the summary tables given, or of the
    sweep of twolocus-sim, grouped by --by."""
    from .studies import file_keys, parameter_sets, read_summary_table, samples, sweep_tables
    by = list(dict.fromkeys(args.by or ["name" if args.sweep else "file"]))
    against = getattr(args, "against", None)
    if against and against not in by:
        by.append(against)
    if args.sweep:
        tables, keys = sweep_tables(args.sweep, by)
        if not tables:
            raise TwolocusError(f"No batch of the sweep [{args.sweep}] is done.")
    else:
        # A table given twice (by another path or link too) would count its runs twice.
        refuse_repeats(args.files, "summary table")
        tables = [read_summary_table(path) for path in args.files]
        for table in tables:
            for note in table.notes:
                print(note, file=sys.stderr)
        keys = file_keys(args.files, by)
    sets = parameter_sets(tables, keys)
    return samples(sets, args.event)


def stats_table(runs):
    """Takes Runs; returns the table of every population as TSV text."""
    columns = ["file", "label", "generations"] + STAT_COLUMNS
    lines = ["\t".join(columns)]
    for run in runs:
        for row in run.rows:
            lines.append("\t".join([run.path] + [format_value(row[c]) for c in columns[1:]]))
    return "\n".join(lines) + "\n"


def first_table(runs, thresholds):
    """Takes Runs and parsed thresholds; returns the --first table as TSV text:
    per file and threshold the label and generations of the first population
    past it, or "none" and the generations of the last population."""
    lines = ["file\tthreshold\tlabel\tgenerations"]
    for run in runs:
        for threshold in thresholds:
            found = first_passage(run.rows, threshold)
            if found is None:
                last = run.rows[-1]["generations"] if run.rows else ""
                found = ("none", last)
            lines.append(f"{run.path}\t{format_threshold(threshold)}\t{found[0]}\t{found[1]}")
    return "\n".join(lines) + "\n"


def _stats(argv):
    args = stats_parser().parse_args(argv)
    refuse_input_as_output(args)
    if study_inputs(args):
        from .studies import curve_table, survival_table
        found = study_samples(args)
        level = args.level or 0.95
        _write_text(args.output, curve_table(found, level) if args.curves
                    else survival_table(found, level))
        return 0
    paths = run_paths(args)
    if args.sweep:
        _write_text(args.output, sweep_stats_text(args))
        return 0
    if not paths:
        raise TwolocusError("No trajectory file given. See [twolocus-stats --help].")
    runs = load_runs(paths)
    text = first_table(runs, args.first) if args.first else stats_table(runs)
    _print_notes(runs)
    _write_text(args.output, text)
    return 0


def main_stats(argv=None):
    """twolocus-stats: returns the exit status."""
    return _run(_stats, argv)


PLOT_FORMATS = ("png", "svg", "pdf")
# The largest side of a picture, in pixels (--size times --dpi).
MAX_PIXELS = 20000


def _size(text):
    try:
        width, height = (float(part) for part in text.lower().split("x"))
    except ValueError:
        raise TwolocusError(f"Could not read the size [{text}].") from None
    if not (0 < width <= 100 and 0 < height <= 100):
        raise TwolocusError(f"Could not read the size [{text}].")
    return width, height


def _dpi(text):
    try:
        dpi = int(text)
    except ValueError:
        dpi = 0
    if not 10 <= dpi <= 1200:
        raise TwolocusError(f"Could not read the DPI [{text}].")
    return dpi


def plot_parser():
    parser = _Parser(
        prog="twolocus-plot", formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Plot allele and haplotype frequencies, linkage disequilibrium and mean "
                    "fitness of twolocus runs over generations.",
        epilog="example: twolocus-plot run1.out run2.out run3.out -o runs.png "
               "--first 'h22 >= 0.5'\n"
               "summary tables of twolocus-sim: twolocus-plot study/*.summary.tsv --by "
               "population_size --against population_size --log-x -o medians.png")
    parser.add_argument("files", nargs="*", metavar="FILE", help="trajectory files")
    parser.add_argument("--version", action="version", version=f"%(prog)s version {__version__}")
    parser.add_argument("-o", "--output", metavar="OUT", required=True,
                        help="the picture to write: OUT.png, OUT.svg or OUT.pdf")
    parser.add_argument("--first", action="append", default=[], type=_threshold,
                        metavar="'CONDITION'",
                        help="mark the first population that meets the condition (as in "
                             "twolocus-stats --first); with several runs, "
                             "also plot the fraction of runs past it; repeatable")
    parser.add_argument("--ld", choices=["D", "Dprime", "r2"], default="D",
                        help="the linkage disequilibrium statistic to plot (default D)")
    parser.add_argument("--size", type=_size, metavar="WxH",
                        help="picture size in inches (default 10x9; with summary tables 10 "
                             "wide and 0.6 + 3.6 high per condition and 0.2 per line of its "
                             "legend, 8 and 1 + 4 with --against)")
    parser.add_argument("--dpi", type=_dpi, default=100,
                        help="dots per inch of a PNG (default 100)")
    parser.add_argument("--title", help="the picture's title (default: the run's parameters)")
    add_sweep_options(parser)
    add_study_options(parser)
    parser.add_argument("--against", metavar="COLUMN",
                        help="with summary tables: draw the median time with its interval "
                             "against this parameter (a --by column), instead of the curves")
    parser.add_argument("--log-x", action="store_true",
                        help="with summary tables: a log x axis (generations, or --against's)")
    parser.add_argument("--log-y", action="store_true", help="with --against: a log y axis")
    return parser


def _plot(argv):
    args = plot_parser().parse_args(argv)
    extension = os.path.splitext(args.output)[1].lower().lstrip(".")
    if extension not in PLOT_FORMATS:
        raise TwolocusError(f"Plot file [{args.output}] must end in .png, .svg or .pdf.")
    width, height = args.size or (10.0, 9.0)
    if max(width, height) * args.dpi > MAX_PIXELS:
        raise TwolocusError(f"A picture of [{width:g}x{height:g}] inches at [{args.dpi}] DPI "
                            f"is over {MAX_PIXELS} pixels a side.")
    refuse_input_as_output(args)
    if study_inputs(args):
        if args.log_y and not args.against:
            raise TwolocusError("Option --log-y needs --against.")
        from .studies import draw_curves, draw_medians
        found = study_samples(args)
        level = args.level or 0.95
        figure = (draw_medians(found, args.against, level, args.log_x, args.log_y, args.size,
                               args.title) if args.against
                  else draw_curves(found, level, args.size, args.title, args.log_x))
        return _save(figure, args.output, args.dpi, extension)
    paths = run_paths(args)
    if args.sweep:
        runs, figure = [], sweep_figure(args)
    elif not paths:
        raise TwolocusError("No trajectory file given. See [twolocus-plot --help].")
    else:
        runs = load_runs(paths)
        from .plot import draw  # Matplotlib loads slowly; only this command needs it.
        figure = draw(runs, thresholds=args.first, ld=args.ld, size=args.size or (10.0, 9.0),
                      title=args.title)
    _print_notes(runs)
    return _save(figure, args.output, args.dpi, extension)


def _save(figure, output, dpi, extension):
    width, height = figure.get_size_inches()
    if max(width, height) * dpi > MAX_PIXELS:
        raise TwolocusError(f"A picture of [{width:g}x{height:g}] inches at [{dpi}] DPI "
                            f"is over {MAX_PIXELS} pixels a side.")
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            figure.savefig(output, dpi=dpi, format=extension)
        if any("axes sizes collapsed" in str(w.message) for w in caught):
            print(f"The picture [{output}] is too small for its panels; give a larger --size.",
                  file=sys.stderr)
    except (OSError, ValueError, MemoryError):
        if os.path.isfile(output):
            os.remove(output)
        raise TwolocusError(f"Could not write plot file [{output}].") from None
    return 0


def main_plot(argv=None):
    """twolocus-plot: returns the exit status."""
    return _run(_plot, argv)
