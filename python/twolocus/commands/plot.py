"""twolocus-plot: pictures of runs over generations, of the runs of a sweep,
and of the crossing times of summary tables."""

import argparse
import os
import sys
import warnings

from ..errors import TwolocusError
from ..pictures.demes import WHOLE, draw_demes
from ..pictures.runs import draw
from ..pictures.studies import draw_curves, draw_medians
from ..sweeps.picture import draw_sweep
from ..runfiles.runs import deme_names, load_run, load_runs
from ..sweeps.summary import load_sweep
from .base import Parser, version_option
from .common import (add_study_options, add_sweep_options, one_by, print_notes,
                     refuse_files_with_sweep, refuse_input_as_output, run_command, run_paths,
                     study_inputs, study_samples, threshold)

FORMATS = ("png", "svg", "pdf")
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


def parser():
    made = Parser(
        prog="twolocus-plot", formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Plot allele and haplotype frequencies, linkage disequilibrium and mean "
                    "fitness of twolocus runs over generations.",
        epilog="example: twolocus-plot run1.out run2.out run3.out -o runs.png "
               "--first 'h22 >= 0.5'\n"
               "a run's demes: twolocus-plot run.out --demes -o demes.png\n"
               "summary tables of twolocus-sim: twolocus-plot study/*.summary.tsv --by "
               "population_size --against population_size --log-x -o medians.png")
    made.add_argument("files", nargs="*", metavar="FILE", help="trajectory files")
    version_option(made)
    made.add_argument("-o", "--output", metavar="OUT", required=True,
                      help="the picture to write: OUT.png, OUT.svg or OUT.pdf")
    made.add_argument("--first", action="append", default=[], type=threshold,
                      metavar="'CONDITION'",
                      help="mark the first population that meets the condition (as in "
                           "twolocus-stats --first); with several runs, "
                           "also plot the fraction of runs past it; repeatable")
    made.add_argument("--demes", action="store_true",
                      help="draw the run's demes (FILE@NAME, for the demes its parameter "
                           "file names) with the whole population in one picture, one "
                           "colour each; one FILE")
    made.add_argument("--ld", choices=["D", "Dprime", "r2"], default="D",
                      help="the linkage disequilibrium statistic to plot (default D)")
    made.add_argument("--size", type=_size, metavar="WxH",
                      help="picture size in inches (default 10x9; with summary tables 10 "
                           "wide and 0.6 + 3.6 high per condition and 0.2 per line of its "
                           "legend, 8 and 1 + 4 with --against)")
    made.add_argument("--dpi", type=_dpi, default=100,
                      help="dots per inch of a PNG (default 100)")
    made.add_argument("--title", help="the picture's title (default: the run's parameters)")
    add_sweep_options(made)
    add_study_options(made)
    made.add_argument("--against", metavar="COLUMN",
                      help="with summary tables: draw the median time with its interval "
                           "against this parameter (a --by column), instead of the curves")
    made.add_argument("--log-x", action="store_true",
                      help="with summary tables: a log x axis (generations, or --against's)")
    made.add_argument("--log-y", action="store_true", help="with --against: a log y axis")
    return made


def sweep_figure(args):
    """twolocus-plot --sweep: the figure of draw_sweep for the one --first threshold."""
    refuse_files_with_sweep(args)
    if len(args.first) != 1:
        raise TwolocusError("Give one --first threshold with --sweep.")
    by = one_by(args)
    _, items = load_sweep(args.sweep)
    return draw_sweep(items, args.first[0], by or "name", size=args.size or (10.0, 9.0),
                      title=args.title)


def _deme_of(path):
    """(OUT, NAME) of a path OUT@NAME, or (path, None)."""
    folder, base = os.path.split(path)
    if "@" not in base:
        return path, None
    out, name = base.rsplit("@", 1)
    return os.path.join(folder, out), name


def deme_populations(paths, demes):
    """The populations of a picture of demes: ((name, Run) pairs, whether the
    whole population is first, the run's name, the model's deme names), or
    None for a picture of runs. With --demes: the one FILE and its demes.
    Without: files that are all OUT or OUT@NAME of one run, at least one a
    deme's, with the whole first when OUT is given (each deme's file read
    with the run's parameter file, as load_run reads it)."""
    if demes:
        if len(paths) != 1:
            raise TwolocusError("Give one trajectory file with --demes.")
        run = load_run(paths[0])
        if not run.demes:
            raise TwolocusError(f"Run [{paths[0]}] has no demes: its parameter file names "
                                "no demes whose FILE@NAME file is there.")
        return [(WHOLE, run)] + list(run.demes.items()), True, paths[0], list(run.demes)
    split = [_deme_of(path) for path in paths]
    outs = {out for out, _ in split}
    if len(paths) < 2 or len(outs) != 1 or all(name is None for _, name in split):
        return None
    out = outs.pop()
    whole = [load_run(out)] if out in paths else []
    demes = [(name, load_run(path)) for path, (_, name) in zip(paths, split) if name is not None]
    params = demes[0][1].params()
    return ([(WHOLE, run) for run in whole] + demes, bool(whole), out,
            deme_names(params) if params is not None else None)


def _plot(argv):
    args = parser().parse_args(argv)
    extension = os.path.splitext(args.output)[1].lower().lstrip(".")
    if extension not in FORMATS:
        raise TwolocusError(f"Plot file [{args.output}] must end in .png, .svg or .pdf.")
    width, height = args.size or (10.0, 9.0)
    if max(width, height) * args.dpi > MAX_PIXELS:
        raise TwolocusError(f"A picture of [{width:g}x{height:g}] inches at [{args.dpi}] DPI "
                            f"is over {MAX_PIXELS} pixels a side.")
    refuse_input_as_output(args)
    if study_inputs(args):
        if args.log_y and not args.against:
            raise TwolocusError("Option --log-y needs --against.")
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
    elif (found := deme_populations(paths, args.demes)) is not None:
        populations, whole, name, order = found
        runs = [run for _, run in populations]
        figure = draw_demes(populations, thresholds=args.first, ld=args.ld,
                            size=args.size or (10.0, 9.0), title=args.title, name=name,
                            whole=whole, order=order)
    else:
        runs = load_runs(paths)
        figure = draw(runs, thresholds=args.first, ld=args.ld, size=args.size or (10.0, 9.0),
                      title=args.title)
    print_notes(runs)
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


def main(argv=None):
    """twolocus-plot: returns the exit status."""
    return run_command(_plot, argv)
