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

from .errors import TwolocusError
from .files import refuse_overwriting
from .runs import load_runs
from .stats import STAT_COLUMNS, first_passage, format_threshold, parse_threshold
from .summary import add_sweep_options, sweep_figure, sweep_stats_text


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
               "example: twolocus-stats run.out --first 'h22 >= 0.5' --first 'a1 < 0.01'")
    parser.add_argument("files", nargs="*", metavar="FILE", help="trajectory files")
    parser.add_argument("-o", "--output", metavar="OUT",
                        help="write the table to OUT instead of standard output")
    parser.add_argument("--first", action="append", default=[], type=_threshold,
                        metavar="'STAT OP VALUE'",
                        help="report per file the first population at which STAT passes the "
                             "threshold (OP one of < <= > >=); repeatable")
    add_sweep_options(parser)
    return parser


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
    paths = run_paths(args)
    refuse_input_as_output(args)
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
               "--first 'h22 >= 0.5'")
    parser.add_argument("files", nargs="*", metavar="FILE", help="trajectory files")
    parser.add_argument("-o", "--output", metavar="OUT", required=True,
                        help="the picture to write: OUT.png, OUT.svg or OUT.pdf")
    parser.add_argument("--first", action="append", default=[], type=_threshold,
                        metavar="'STAT OP VALUE'",
                        help="mark the first population past the threshold; with several runs, "
                             "also plot the fraction of runs past it; repeatable")
    parser.add_argument("--ld", choices=["D", "Dprime", "r2"], default="D",
                        help="the linkage disequilibrium statistic to plot (default D)")
    parser.add_argument("--size", type=_size, default=(10.0, 9.0), metavar="WxH",
                        help="picture size in inches (default 10x9)")
    parser.add_argument("--dpi", type=_dpi, default=100,
                        help="dots per inch of a PNG (default 100)")
    parser.add_argument("--title", help="the picture's title (default: the run's parameters)")
    add_sweep_options(parser)
    return parser


def _plot(argv):
    args = plot_parser().parse_args(argv)
    extension = os.path.splitext(args.output)[1].lower().lstrip(".")
    if extension not in PLOT_FORMATS:
        raise TwolocusError(f"Plot file [{args.output}] must end in .png, .svg or .pdf.")
    width, height = args.size
    if max(width, height) * args.dpi > MAX_PIXELS:
        raise TwolocusError(f"A picture of [{width:g}x{height:g}] inches at [{args.dpi}] DPI "
                            f"is over {MAX_PIXELS} pixels a side.")
    paths = run_paths(args)
    refuse_input_as_output(args)
    if args.sweep:
        runs, figure = [], sweep_figure(args)
    elif not paths:
        raise TwolocusError("No trajectory file given. See [twolocus-plot --help].")
    else:
        runs = load_runs(paths)
        from .plot import draw  # Matplotlib loads slowly; only this command needs it.
        figure = draw(runs, thresholds=args.first, ld=args.ld, size=args.size, title=args.title)
    _print_notes(runs)
    try:
        figure.savefig(args.output, dpi=args.dpi, format=extension)
    except (OSError, ValueError, MemoryError):
        if os.path.isfile(args.output):
            os.remove(args.output)
        raise TwolocusError(f"Could not write plot file [{args.output}].") from None
    return 0


def main_plot(argv=None):
    """twolocus-plot: returns the exit status."""
    return _run(_plot, argv)
