"""The picture of a run's demes: the whole population and each deme over
generations in one picture, one colour per population (the whole in
black, each deme in its own colour, in the model's order) and, within a
panel, one line style per statistic. A deme's lines span only the
generations in which it exists (its OUT@NAME records)."""

import math

import numpy as np
from matplotlib.figure import Figure
from matplotlib.lines import Line2D

from ..analysis.conditions import format_threshold
from ..analysis.statistics import HAPLOTYPE_COLUMNS
from .runs import LD_LABELS, _describe, _series, _shown
from .text import fitted_title

WHOLE = "all demes"
WHOLE_COLOUR = "black"
DEME_COLOURS = ["tab:blue", "tab:orange", "tab:green", "tab:red", "tab:purple", "tab:brown",
                "tab:pink", "tab:olive", "tab:cyan", "tab:gray"]
# A statistic's line style within a panel: solid, dashed, dotted, dash-dot,
# then dash patterns.
# Haplotypes that never reach this frequency are left out (fewer than in a
# picture of runs: each is drawn once per population): in the whole
# population when it is drawn, else in any deme.
HAPLOTYPE_SHOWN = 0.1
STYLES = ["-", "--", ":", "-.", (0, (6, 1.5)), (0, (3, 1, 1, 1, 1, 1)), (0, (1, 3)),
          (0, (6, 2, 1, 2)), (0, (10, 3))]


def population_colours(populations, whole, order=None):
    """The colour of each population: black for the whole, and each deme the
    colour of its place in `order` (the model's demes, so that a deme has
    the same colour in every picture of the run; default: as drawn)."""
    names = [name for name, _ in populations[1 if whole else 0:]]
    order = list(order or names)
    colours = [WHOLE_COLOUR] if whole else []
    return colours + [DEME_COLOURS[(order.index(name) if name in order else place)
                                   % len(DEME_COLOURS)] for place, name in enumerate(names)]


def _panel_statistics(panel, populations, ld, whole):
    """The (column, label) of each statistic a panel draws."""
    if panel in ("a", "b"):
        return [(f"{panel}{allele}", f"allele {allele}") for allele in (1, 2, 3)]
    if panel == "haplotypes":
        return [(column, f"{column[1]}-{column[2]}") for column in HAPLOTYPE_COLUMNS
                if any(np.nanmax(_series(run, column)[1], initial=0) >= HAPLOTYPE_SHOWN
                       for _, run in (populations[:1] if whole else populations))]
    if panel == "ld":
        return [(ld, ld)]
    if panel == "fitness":
        return [("mean_fitness", "mean fitness")]
    return [("Ha", "locus a"), ("Hb", "locus b")]


PANEL_TITLES = {"a": "allele frequencies at locus a", "b": "allele frequencies at locus b",
                "haplotypes": "haplotype frequencies (a-b, those reaching 10 %)",
                "fitness": "mean fitness", "heterozygosity": "expected heterozygosity 1 − Σ p²"}
PANEL_LABELS = {"a": "frequency", "b": "frequency", "haplotypes": "frequency",
                "fitness": "mean fitness", "heterozygosity": "heterozygosity"}


def draw_demes(populations, thresholds=(), ld="D", size=(10.0, 9.0), title=None, name=None,
               whole=True, order=None):
    """Takes (name, Run) pairs, the whole population first when `whole`;
    parsed thresholds and options; returns a Matplotlib Figure (not saved)
    with the populations' lines in each panel and, for each threshold, a
    dotted line where each population first meets it. name: the run's name
    for the title; order: the model's deme names, which give the colours."""
    colours = population_colours(populations, whole, order)
    panels = ["a", "b", "haplotypes", "ld", "fitness", "heterozygosity"]
    figure = Figure(figsize=size, layout="constrained")
    rows = math.ceil(len(panels) / 2)
    # The panels, and below them a strip for the populations' legend.
    layout = figure.add_gridspec(rows + 1, 2, height_ratios=[1.0] * rows + [0.14])
    first = figure.add_subplot(layout[0, 0])
    grid_axes = [first] + [figure.add_subplot(layout[row, column], sharex=first)
                           for row in range(rows) for column in range(2) if row or column]
    known_fitness = all(run.fitness is not None for _, run in populations)
    for axes, panel in zip(grid_axes, panels):
        statistics = _panel_statistics(panel, populations, ld, whole)
        if panel == "fitness" and not known_fitness:
            axes.text(0.5, 0.5, "no .params file", ha="center", va="center",
                      transform=axes.transAxes, color="gray")
            statistics = []
        for number, (column, label) in enumerate(statistics):
            style = STYLES[number % len(STYLES)]
            for place, (_, run) in enumerate(populations):
                axes.plot(*_series(run, column), color=colours[place],
                          linestyle=style, linewidth=1.8 if whole and place == 0 else 1.2)
            if len(statistics) > 1:
                # The statistic's style, in the panel's legend.
                axes.plot([], [], color="gray", linestyle=style, label=label)
        for number, threshold in enumerate(thresholds):
            for place, (_, run) in enumerate(populations):
                found = run.first(threshold)
                if found is not None:
                    axes.axvline(found[1], color=colours[place],
                                 linestyle=":", linewidth=0.9)
        if panel == "ld":
            axes.axhline(0, color="gray", linewidth=0.5)
            axes.set_title(f"linkage disequilibrium: {LD_LABELS[ld]}", fontsize=10)
            axes.set_ylabel(ld)
        else:
            axes.set_title(PANEL_TITLES[panel], fontsize=10)
            axes.set_ylabel(PANEL_LABELS[panel])
        if panel in ("a", "b", "haplotypes"):
            axes.set_ylim(-0.03, 1.03)
        elif panel == "heterozygosity":
            axes.set_ylim(-0.02, 0.69)
        if axes.get_legend_handles_labels()[0]:
            axes.legend(fontsize=8, loc="best")
        axes.grid(alpha=0.3)
        axes.set_xlabel("generations")
        axes.xaxis.set_tick_params(labelbottom=True)
        heading, fontsize = fitted_title(axes.get_title(), size[0] / 2 - 0.6, 10)
        axes.set_title(heading, fontsize=fontsize)
    # The populations' colours, once for the picture.
    handles = [Line2D([], [], color=colours[place],
                      linewidth=1.8 if whole and place == 0 else 1.2, label=label)
               for place, (label, _) in enumerate(populations)]
    handles += [Line2D([], [], color="gray", linestyle=":", linewidth=0.9,
                       label=f"first {format_threshold(threshold)}")
                for threshold in thresholds[:1]]
    if len(thresholds) > 1:
        handles[-1].set_label("first crossing of a threshold")
    strip = figure.add_subplot(layout[rows, :])
    strip.axis("off")
    strip.legend(handles=handles, loc="center", ncol=min(len(handles), 6), fontsize=9,
                 frameon=False)
    if title is None:
        params = populations[0][1].params()
        title = (_shown(name or populations[0][1].path or "run") + ": "
                 + ", ".join(label for label, _ in populations))
        if params is not None:
            title += "\n" + _describe(params, seed=True)
    text, fontsize = fitted_title(title, figure.get_size_inches()[0], 11)
    figure.suptitle(text, fontsize=fontsize)
    return figure
