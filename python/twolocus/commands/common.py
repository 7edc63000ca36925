"""What twolocus-stats and twolocus-plot share: the parser's common options,
the inputs (trajectories, a sweep folder, summary tables), and how a
command ends: every failure is one line on standard error, status 1, and
nothing is written.
"""

import glob
import os
import signal
import sys

from ..analysis.conditions import number_or_nan, parse_threshold
from ..analysis.studies import parameter_sets, samples
from ..analysis.survival import level_problem
from ..errors import TwolocusError
from ..files import irregular_kind, refuse_overwriting, refuse_repeats
from ..runfiles.summary import file_keys, is_summary_table, read_summary_table
from ..sweeps.kinds import kind_of
from ..sweeps.summary import sweep_tables


def threshold(text):
    """argparse type for --first: a parsed threshold (TwolocusError passes through)."""
    return parse_threshold(text)


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
        # A run's demes' files, which --demes reads.
        inputs += [name for path in args.files for name in glob.glob(glob.escape(path) + "@*")]
        refuse_overwriting(args.output, inputs, args.sweep)


def run_command(main, argv):
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


def print_notes(runs):
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


def write_text(path, text):
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


def add_sweep_options(parser):
    """Adds --sweep DIR and --by COLUMN (repeatable) to a command's parser."""
    parser.add_argument("--sweep", metavar="DIR",
                        help="summarise the sweep in DIR (made by twolocus-sweep): one row per "
                             "run, or with --by one row per group")
    parser.add_argument("--by", metavar="COLUMN", action="append",
                        help="group the runs by this column: of a twolocus sweep's manifest "
                             "with --sweep (stats: fractions past each --first threshold; plot: "
                             "one curve per value; default for the plot: name), or a parameter "
                             "of summary tables (repeatable; default: one set per table, or per "
                             "design row of a twolocus-sim sweep)")


def one_by(args):
    """The one --by column of a sweep of twolocus runs, or None."""
    if args.by and len(args.by) > 1:
        raise TwolocusError("Give one --by column with a sweep of twolocus runs.")
    return args.by[0] if args.by else None


def refuse_files_with_sweep(args):
    if args.files:
        raise TwolocusError("Give trajectory files or --sweep, not both.")


def _level(text):
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
    sweep whose units write them: of twolocus-sim). Refuses a mix of
    trajectories and summary tables, --first with summary tables, and the
    options of summary tables with trajectories."""
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
    study_sweep = args.sweep is not None and kind_of(args.sweep).study
    if study_sweep and args.files:
        raise TwolocusError("Give trajectory files or --sweep, not both.")
    study = bool(tables) or study_sweep
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
    """The samples (analysis.studies.samples) of the summary tables given,
    or of the sweep of twolocus-sim, grouped by --by."""
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
