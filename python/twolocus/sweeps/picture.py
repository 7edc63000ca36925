"""The picture of a classic sweep: per group, the fraction of runs past a
threshold by generation, and the final allele frequencies."""

import math

import numpy as np
from matplotlib.figure import Figure

from ..analysis.conditions import format_threshold
from ..pictures.text import fitted_title
from .summary import counted, groups, passage_curve


def draw_sweep(items, threshold, by, size=(10.0, 7.0), title=None):
    """Takes items, a parsed threshold and a manifest column; returns a Figure:
    per value of by, the fraction of replicates past the threshold by
    generation, and the distribution of the final allele frequencies."""
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
        finals = [item["records"].statistics()[-1] for item in group
                  if item["records"] is not None]
        if not finals:
            continue
        for place, allele in enumerate(alleles):
            values = [float(row[allele]) for row in finals if not math.isnan(row[allele])]
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
