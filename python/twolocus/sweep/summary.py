"""Summaries of a sweep: a row per run, fractions per group, and their picture.

A run that is not done (failed, running, pending, unknown when the Slurm
queue cannot be read, or done but unreadable)
keeps its row with empty statistics; fractions are over the runs done and
say how many are missing.
"""

import math
import os
import sys

import numpy as np

from .errors import TwolocusError
from .reader import read_params, read_trajectory
from .stats import STAT_COLUMNS, first_passage, format_threshold, trajectory_rows
from .sweepdir import TRAJECTORY, read_manifest


def threshold_text(threshold):
    """A parsed threshold as text for a column name: 'STAT OP VALUE' without
    blanks, for example "h22>=0.5"; another condition with single blanks."""
    text = format_threshold(threshold)
    return " ".join(text.split()) if threshold[1] is None else "".join(text.split())


def load_sweep(folder):
    """Takes a sweep folder; returns (manifest columns, items): per manifest run
    a dict with 'run' (the manifest row), 'state', and 'rows' (the statistics
    of every population, for runs done) or None. Prints a line on standard
    error for a done run that cannot be read, which then counts as missing."""
    from .sweep import states
    if not os.path.isdir(folder):
        raise TwolocusError(f"Could not open the sweep folder [{folder}].")
    folder = os.path.abspath(folder)
    columns, runs = read_manifest(folder)
    found = states(folder, runs, warn=True)
    items = []
    for run in runs:
        item = {"run": run, "state": found[run["run"]], "rows": None}
        if item["state"] == "done":
            path = os.path.join(folder, "runs", run["run"], TRAJECTORY)
            try:
                trajectory = read_trajectory(path)
                fitness = read_params(path + ".params")["fitness"]
                item["rows"] = trajectory_rows(trajectory, fitness)
            except TwolocusError as error:
                print(f"{error} Run [{run['run']}] counts as missing.", file=sys.stderr)
        items.append(item)
    return columns, items


def _value(value):
    if value is None:
        return ""
    return f"{value:.10g}" if isinstance(value, float) else str(value)


def _passage(item, threshold):
    """(label, generations) of the first population past threshold, ('none',
    generations of the last population) if none is, or None without rows."""
    if not item["rows"]:
        return None
    found = first_passage(item["rows"], threshold)
    return found if found is not None else ("none", item["rows"][-1]["generations"])


def run_table(columns, items, thresholds):
    """One row per run: run, status, the manifest's columns (not the command),
    the label and generations of the last population and its statistics
    (suffixed :final where a manifest column has the name),
    then for each threshold the label and generations of the first passage."""
    kept = [c for c in columns if c not in ("run", "command")]
    # The design's N is the generation size; the statistic N (individuals
    # counted, 0 once extinct) is then named N:final.
    header = ["run", "status"] + kept + [f"{c}:final" if c in kept else c
                                         for c in ["label", "generations"] + STAT_COLUMNS]
    for threshold in thresholds:
        text = threshold_text(threshold)
        header += [f"first_label:{text}", f"first_generations:{text}"]
    lines = ["\t".join(header)]
    for item in items:
        last = item["rows"][-1] if item["rows"] else {}
        cells = [item["run"]["run"], item["state"]] + [item["run"].get(c, "") for c in kept]
        cells += [_value(last.get(c)) for c in ["label", "generations"] + STAT_COLUMNS]
        for threshold in thresholds:
            found = _passage(item, threshold)
            cells += ["", ""] if found is None else [str(found[0]), str(found[1])]
        lines.append("\t".join(cells))
    return "\n".join(lines) + "\n"


def groups(items, by):
    """Takes items and a manifest column; returns {value: items} in manifest order."""
    if items and by not in items[0]["run"]:
        raise TwolocusError(f"The sweep has no column [{by}].")
    grouped = {}
    for item in items:
        grouped.setdefault(item["run"][by], []).append(item)
    return grouped


def counted(group):
    """(runs, done with rows, missing) of a group."""
    done = sum(1 for item in group if item["rows"])
    return len(group), done, len(group) - done


def fraction_table(items, thresholds, by):
    """One row per value of the column by: runs, done, missing, and for each
    threshold the runs done that passed it and their fraction of the runs
    done (empty when none is done)."""
    header = [by, "runs", "done", "missing"]
    for threshold in thresholds:
        text = threshold_text(threshold)
        header += [f"passed:{text}", f"fraction:{text}"]
    lines = ["\t".join(header)]
    for value, group in groups(items, by).items():
        runs, done, missing = counted(group)
        cells = [value, str(runs), str(done), str(missing)]
        for threshold in thresholds:
            passed = sum(1 for item in group if item["rows"]
                         and first_passage(item["rows"], threshold) is not None)
            cells += [str(passed), _value(passed / done) if done else ""]
        lines.append("\t".join(cells))
    return "\n".join(lines) + "\n"


def passage_curve(group, threshold):
    """Takes a group's items and a threshold; returns (generations, fraction)
    arrays: the fraction of its runs done that passed the threshold by each
    recorded generation (a step function), or None when none is done."""
    done = [item for item in group if item["rows"]]
    if not done:
        return None
    times = []
    grid = {0}
    for item in done:
        grid.update(row["generations"] for row in item["rows"])
        found = first_passage(item["rows"], threshold)
        times.append(math.inf if found is None else found[1])
    x = np.array(sorted(grid), dtype=float)
    y = np.array([sum(t <= g for t in times) for g in x], dtype=float) / len(done)
    return x, y


def draw_sweep(items, threshold, by, size=(10.0, 7.0), title=None):
    """Takes items, a parsed threshold and a manifest column; returns a Figure:
    per value of by, the fraction of replicates past the threshold by
    generation, and the distribution of the final allele frequencies."""
    from matplotlib.figure import Figure
    grouped = groups(items, by)
    figure = Figure(figsize=size, layout="constrained")
    top, bottom = figure.subplots(2, 1, height_ratios=[3, 2])
    colours = [f"C{i % 10}" for i in range(len(grouped))]
    for colour, (value, group) in zip(colours, grouped.items()):
        runs, done, missing = counted(group)
        # A manifest value that is not UTF-8 (kept as surrogates) is drawn with U+FFFD.
        shown = value.encode("utf-8", "surrogateescape").decode("utf-8", "replace")
        label = f"{by} = {shown} ({done} runs" + (f", {missing} missing)" if missing else ")")
        curve = passage_curve(group, threshold)
        if curve is not None:
            top.step(*curve, where="post", color=colour, linewidth=2, label=label)
    top.set_xlabel("generation")
    top.set_ylabel(f"fraction of runs with {format_threshold(threshold)}")
    top.set_ylim(-0.03, 1.03)
    top.grid(alpha=0.3)
    top.legend(loc="upper left", fontsize=9, frameon=False)
    total = len(items)
    missing = sum(counted(group)[2] for group in grouped.values())
    from .plot import fitted_title
    # The panel spans the width but for the axis labels on its left.
    heading, fontsize = fitted_title(
        title or (f"{total} runs by {by}" + (f", {missing} not done and left out" if missing
                                             else "")
                  + ": fraction past the threshold by generation (known to within the 200 "
                    "generations between records)"), size[0] - 0.8, 10)
    top.set_title(heading, fontsize=fontsize)
    alleles = ["a1", "a2", "a3", "b1", "b2", "b3"]
    width = 0.8 / max(1, len(grouped))
    for offset, (colour, (value, group)) in enumerate(zip(colours, grouped.items())):
        finals = [item["rows"][-1] for item in group if item["rows"]]
        if not finals:
            continue
        for place, allele in enumerate(alleles):
            values = [row[allele] for row in finals if row[allele] is not None]
            if not values:
                continue
            x = place - 0.4 + width * (offset + 0.5)
            # Final frequencies are often bimodal (lost or fixed): dots and their mean, no box.
            jitter = np.linspace(-width * 0.3, width * 0.3, len(values)) if len(values) > 1 else [0]
            bottom.scatter(x + np.asarray(jitter), values, s=9, color=colour, alpha=0.6, zorder=3)
            bottom.hlines(np.mean(values), x - width * 0.45, x + width * 0.45, color=colour,
                          linewidth=2.5, zorder=4)
    bottom.set_xticks(range(len(alleles)), [f"allele {a[1]} at locus {a[0]}" for a in alleles],
                      fontsize=8)
    bottom.set_ylabel("final frequency")
    bottom.set_ylim(-0.03, 1.03)
    bottom.grid(axis="y", alpha=0.3)
    bottom.set_title("final allele frequencies (a dot per run done, a bar at their mean; "
                     "colours as above)", fontsize=10)
    return figure


# Hooks of twolocus-stats and twolocus-plot ----------------------------------

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


def _one_by(args):
    """The one --by column of a sweep of twolocus runs, or None."""
    if args.by and len(args.by) > 1:
        raise TwolocusError("Give one --by column with a sweep of twolocus runs.")
    return args.by[0] if args.by else None


def _check(args):
    if args.files:
        raise TwolocusError("Give trajectory files or --sweep, not both.")


def sweep_stats_text(args):
    """twolocus-stats --sweep: the table of runs, or of groups with --by."""
    _check(args)
    by = _one_by(args)
    columns, items = load_sweep(args.sweep)
    if by:
        return fraction_table(items, args.first, by)
    return run_table(columns, items, args.first)


def sweep_figure(args):
    """twolocus-plot --sweep: the figure of draw_sweep for the one --first threshold."""
    _check(args)
    if len(args.first) != 1:
        raise TwolocusError("Give one --first threshold with --sweep.")
    by = _one_by(args)
    _, items = load_sweep(args.sweep)
    return draw_sweep(items, args.first[0], by or "name", size=args.size or (10.0, 9.0),
                      title=args.title)
