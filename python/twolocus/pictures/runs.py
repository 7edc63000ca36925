"""Pictures of runs: frequencies, linkage disequilibrium and mean fitness over generations.

One run: one line per statistic. Several runs (replicates): one thin line
per run and a thick line for their mean, and, with thresholds, the fraction
of runs past each one by generation.
"""

import math
import os
import textwrap

import numpy as np
from matplotlib.figure import Figure

from ..analysis.conditions import format_threshold, parse_threshold
from ..analysis.statistics import HAPLOTYPE_COLUMNS
from .text import fitted_title

ALLELE_COLOURS = ["tab:blue", "tab:orange", "tab:green"]
HAPLOTYPE_COLOURS = ["tab:blue", "tab:orange", "tab:green", "tab:red", "tab:purple",
                     "tab:brown", "tab:pink", "tab:gray", "tab:olive"]
LD_LABELS = {"D": "D = h11 − a1·b1", "Dprime": "D′ = D / Dmax", "r2": "r² of alleles 1"}
# Haplotypes that never reach this frequency in any run are left out.
HAPLOTYPE_SHOWN = 0.01


def _series(run, column):
    """Takes a Run and a statistic; returns (generations, values) arrays, NaN where empty."""
    table = run.statistics()
    return table["generations"].astype(float), table[column].astype(float)


def _on_grid(x, y, grid):
    """Values of a step series (x, y) at each point of grid: the last value at or
    before it, NaN before the first or after the last point."""
    if len(x) == 0:
        return np.full(len(grid), math.nan)
    at = np.searchsorted(x, grid, side="right") - 1
    values = y[np.clip(at, 0, None)]
    return np.where((at < 0) | (grid > x[-1]), math.nan, values)


def _grid(runs):
    return np.unique(np.concatenate([_series(run, "N")[0] for run in runs] + [np.zeros(0)]))


def _mean(runs, column, grid):
    stack = np.array([_on_grid(*_series(run, column), grid) for run in runs])
    with np.errstate(all="ignore"):
        counted = np.sum(~np.isnan(stack), axis=0)
        total = np.nansum(stack, axis=0)
        return np.where(counted > 0, total / np.maximum(counted, 1), math.nan)


def _lines(axes, runs, column, colour, label, grid):
    """Draws one statistic: a line for a single run; thin lines and their mean for several."""
    if len(runs) == 1:
        axes.plot(*_series(runs[0], column), color=colour, label=label, linewidth=1.6)
        return
    for run in runs:
        axes.plot(*_series(run, column), color=colour, linewidth=0.6, alpha=0.35)
    axes.plot(grid, _mean(runs, column, grid), color=colour, linewidth=2.2,
              label=f"{label} (mean)")


def _rate(value):
    return f"{value:.3g}"


def _describe(params, seed=True):
    """One line of a run's parameters from its .params dict, with its seed if asked."""
    if params.get("sim"):
        return _describe_sim(params, seed)
    rates = params["rates"]
    text = (f"s = {params['s']:g}, k = {params['k']:g}, N = {params['N']}, n = {params['n']}; "
            f"mutation 1→2, 2→3, 1→3: a {_rate(rates['a0'])}, {_rate(rates['a1'])}, "
            f"{_rate(rates['a2'])}; b {_rate(rates['b0'])}, {_rate(rates['b1'])}, "
            f"{_rate(rates['b2'])}")
    if seed and params["seed"] is not None:
        text += f"; seed {params['seed']}"
    return text


def _describe_sim(params, seed):
    """The same for a twolocus-sim run: N (with a demography, its demes and
    the size at the start), n, r, the weight rule, the nonzero mutation
    rates, K and the engine."""
    changes = [f"{locus}{change[0]}→{change[1]} {_rate(params[f'mu_{locus}{change}'])}"
               for locus in "ab" for change in ("12", "23", "13", "21", "32", "31")
               if params[f"mu_{locus}{change}"] > 0]
    model = params.get("demography")
    if model:
        count = len(model.get("demes", []))
        size = (f"a demography of {count} deme{'s' if count != 1 else ''} "
                f"(N = {params['N']} at the start)")
    elif params["N"] is None:
        size = "a deme"  # a deme's own Run: its size is in its records
    else:
        size = f"N = {params['N']}"
    text = (f"{size}, n = {params['n']}, r = {params['recombination']:g}, "
            f"{params['weights']} weights; mutation {', '.join(changes) or 'none'}; "
            f"a record every {params['record_every']}, {params['engine']} engine")
    if seed:
        text += f"; seed {params['seed']}"
    return text


def _shown(path):
    """A file name as text a font can draw: bytes that are not UTF-8 become �."""
    return os.fsencode(path).decode("utf-8", "replace")


def _title(runs, names):
    single = len(runs) == 1
    shown = (_shown(os.path.basename(names[0])) if single
             else f"{len(runs)} runs (thin lines: each run; thick lines: their mean)")
    described = {_describe(run.params(), seed=single) for run in runs if run.params() is not None}
    if len(described) == 1:
        return f"{shown}\n{described.pop()}"
    return shown


def _frequency_axes(axes, title):
    axes.set_title(title, fontsize=10)
    axes.set_ylabel("frequency")
    axes.set_ylim(-0.03, 1.03)


def draw(runs, thresholds=(), ld="D", size=(10.0, 9.0), title=None, names=None):
    """Takes Runs, parsed thresholds and options; returns a Matplotlib
    Figure (not saved). names: the runs' names for the title (default their
    paths)."""
    panels = ["a", "b", "haplotypes", "ld", "fitness", "heterozygosity"]
    if len(runs) > 1 and thresholds:
        panels.append("passed")
    rows = math.ceil(len(panels) / 2)
    figure = Figure(figsize=size, layout="constrained")
    grid_axes = figure.subplots(rows, 2, sharex=True, squeeze=False).ravel()
    grid = _grid(runs)
    for axes, panel in zip(grid_axes, panels):
        if panel in ("a", "b"):
            for allele in (1, 2, 3):
                column = f"{panel}{allele}"
                _lines(axes, runs, column, ALLELE_COLOURS[allele - 1], f"allele {allele}", grid)
            _frequency_axes(axes, f"allele frequencies at locus {panel}")
        elif panel == "haplotypes":
            shown = [c for c in HAPLOTYPE_COLUMNS
                     if any(np.nanmax(_series(run, c)[1], initial=0) >= HAPLOTYPE_SHOWN
                            for run in runs)]
            for column in shown:
                colour = HAPLOTYPE_COLOURS[HAPLOTYPE_COLUMNS.index(column)]
                _lines(axes, runs, column, colour, f"{column[1]}-{column[2]}", grid)
            _frequency_axes(axes, "haplotype frequencies (a-b, those above 1 %)")
        elif panel == "ld":
            _lines(axes, runs, ld, "black", ld, grid)
            axes.axhline(0, color="gray", linewidth=0.5)
            axes.set_title(f"linkage disequilibrium: {LD_LABELS[ld]}", fontsize=10)
            axes.set_ylabel(ld)
        elif panel == "fitness":
            if any(run.params() is not None for run in runs):
                _lines(axes, runs, "mean_fitness", "black", "mean fitness", grid)
            else:
                axes.text(0.5, 0.5, "no .params file", ha="center", va="center",
                          transform=axes.transAxes, color="gray")
            axes.set_title("mean fitness", fontsize=10)
            axes.set_ylabel("mean fitness")
        elif panel == "heterozygosity":
            _lines(axes, runs, "Ha", ALLELE_COLOURS[0], "locus a", grid)
            _lines(axes, runs, "Hb", ALLELE_COLOURS[1], "locus b", grid)
            axes.set_title("expected heterozygosity 1 − Σ p²", fontsize=10)
            axes.set_ylabel("heterozygosity")
            axes.set_ylim(-0.02, 0.69)
        elif panel == "passed":
            for number, threshold in enumerate(thresholds):
                times = [run.first(threshold) for run in runs]
                times = np.array([math.inf if t is None else t[1] for t in times])
                fraction = np.array([(times <= g).mean() for g in grid])
                axes.step(grid, fraction, where="post", label=format_threshold(threshold),
                          color=HAPLOTYPE_COLOURS[number % len(HAPLOTYPE_COLOURS)],
                          linestyle=["-", "--", ":", "-."][number % 4])
            axes.set_title("fraction of runs past the threshold", fontsize=10)
            axes.set_ylabel("fraction of runs")
            axes.set_ylim(-0.03, 1.03)
        if len(runs) == 1:
            # Dashed lines at the first crossings, named in the first panel's legend only.
            for number, threshold in enumerate(thresholds):
                found = runs[0].first(threshold)
                if found is not None:
                    axes.axvline(found[1], color=HAPLOTYPE_COLOURS[-1 - number % 9],
                                 linestyle="--", linewidth=0.8,
                                 label=None if panel != "a" else
                                 f"first {format_threshold(threshold)}: {found[1]}")
        if axes.get_legend_handles_labels()[0]:
            axes.legend(fontsize=8, loc="best")
        axes.grid(alpha=0.3)
    for axes in grid_axes[len(panels):]:
        axes.set_visible(False)
    for axes in grid_axes[:len(panels)]:
        axes.set_xlabel("generations")
        axes.xaxis.set_tick_params(labelbottom=True)
        # A panel's title fits above its axes (its half of the width but the axis labels).
        heading, fontsize = fitted_title(axes.get_title(), size[0] / 2 - 0.6, 10)
        axes.set_title(heading, fontsize=fontsize)
    text, fontsize = fitted_title(
        title if title is not None else _title(runs, names or [run.path for run in runs]),
        figure.get_size_inches()[0], 11)
    figure.suptitle(text, fontsize=fontsize)
    return figure


def plot_runs(runs, thresholds=(), ld="D", size=(10.0, 9.0), title=None, names=None):
    """twolocus-plot's picture of several runs of `simulate` (thin lines each, thick their mean).

    Returns
    -------
    matplotlib.figure.Figure
    """
    if title is None and len(runs) == 1:
        line = _describe(runs[0].params(), seed=True)
        title = "\n".join([names[0] if names else "run"] + textwrap.wrap(line, 110))
    names = [names[number] if names else f"run {number}" for number in range(len(runs))]
    return draw(runs, [parse_threshold(text) for text in thresholds], ld, size, title, names)
