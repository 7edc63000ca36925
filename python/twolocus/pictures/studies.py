"""Pictures of studies: per condition, the fraction of runs past it by
generation with its band, or the median time against a parameter."""

import math

import numpy as np
from matplotlib.figure import Figure

from ..analysis import survival
from ..analysis.conditions import number_or_nan
from ..errors import TwolocusError
from .text import fitted_title, text_points


def _key_text(key):
    return ", ".join(f"{column} = {value}" for column, value in key.items())


def _readable(text):
    """Text that may hold surrogates (bytes that were not UTF-8), drawable."""
    return text.encode("utf-8", "surrogateescape").decode("utf-8", "replace")


def _count(number, noun):
    return f"{number} {noun}" + ("" if number == 1 else "s")


def _conditions(found):
    return list(dict.fromkeys(condition for _, condition, _, _ in found))


def _curve_label(key, times, status):
    row = survival.counts(times, status)
    return (f"{_readable(_key_text(key))}: {_count(row['runs'], 'run')}, "
            f"{_count(row['events'], 'event')}, {row['censored']} censored"
            + (f", {row['competing']} stopped otherwise" if row["competing"] else ""))


def _legend_layout(labels, panels, width):
    """Takes the legends' labels, the panel of each and the picture's width
    in inches; returns (columns, labels, lines): two columns where two of
    the widest entries fit side by side, else one, with labels wider than
    the picture wrapped; lines is the tallest legend's height in lines of
    text."""
    room = width * 72 - 20
    # An entry is its line's handle and gaps (about 5 em) beside its text.
    entry = max((text_points(label, 8) for label in labels), default=0) + 40
    columns = 2 if 2 * entry <= room else 1
    if entry > room:
        # Beside the handle, and centred under a panel shifted by its axis labels.
        labels = [fitted_title(label, width - 1.4, 8, smallest=8)[0] for label in labels]
    lines = 1
    for panel in set(panels):
        heights = [label.count("\n") + 1 for label, shown in zip(labels, panels)
                   if shown == panel]
        lines = max(lines, -(-sum(heights) // columns), max(heights))
    return columns, labels, lines


def draw_curves(found, level, size=None, title=None, log_x=False):
    """Takes samples(); returns a Figure: per condition a panel with, per
    parameter set, the fraction past the event by generation (a step curve)
    and its band, on a log generation axis with log_x. The legend, below
    each panel, takes two columns where they fit the width, else one."""
    conditions = _conditions(found)
    keys = list(dict.fromkeys(tuple(key.items()) for key, _, _, _ in found))
    width = size[0] if size else 10.0
    labels = [_curve_label(key, times, status) for key, _, times, status in found]
    columns, labels, lines = _legend_layout(labels, [shown for _, shown, _, _ in found], width)
    # A panel of 3.6 inches and its legend's lines.
    height = 3.6 + 0.2 * lines
    figure = Figure(figsize=size or (width, 0.6 + height * len(conditions)),
                    layout="constrained")
    panels = np.atleast_1d(figure.subplots(len(conditions), 1, squeeze=False)[:, 0])
    for panel, condition in zip(panels, conditions):
        for (key, shown, times, status), label in zip(found, labels):
            if shown != condition:
                continue
            colour = f"C{keys.index(tuple(key.items())) % 10}"
            x, y, low, high = survival.step_curve(times, status, level)
            panel.step(x, y, where="post", color=colour, linewidth=1.8, label=label)
            panel.fill_between(x, low, high, step="post", color=colour, alpha=0.2, linewidth=0)
        competing = any(s == condition and np.any(st == survival.COMPETING)
                        for _, s, _, st in found)
        panel.set_title(f"{_readable(condition)}: fraction of runs past it with its "
                        f"{100 * level:g} % band"
                        + ("\n(cumulative incidence where other stops ended runs)"
                           if competing else ""), fontsize=10)
        panel.set_xlabel("generations elapsed (label + 1)")
        panel.set_ylabel("fraction of runs")
        panel.set_ylim(-0.02, 1.02)
        if log_x:
            panel.set_xscale("log")
        else:
            panel.set_xlim(left=0)
        panel.grid(alpha=0.3)
        # Below the panel: curves fill any corner inside it.
        panel.legend(loc="upper center", bbox_to_anchor=(0.5, -0.14), fontsize=8,
                     frameon=False, ncol=columns)
    if title:
        _suptitle(figure, title)
    return figure


def _suptitle(figure, title):
    """The figure's title, wrapped (or made smaller) to fit its width."""
    text, fontsize = fitted_title(title, figure.get_size_inches()[0], 12)
    figure.suptitle(text, fontsize=fontsize)


def _number(column, value):
    number = number_or_nan(value)
    if not math.isfinite(number):
        raise TwolocusError(f"The value [{value}] of [{column}] is not a number.")
    return number


def draw_medians(found, against, level, log_x=False, log_y=False, size=None, title=None):
    """Takes samples() whose keys hold the column against; returns a Figure:
    per condition a panel of the median with its interval against that
    column's values, one line per value of the other key columns. A median
    or an upper limit beyond the horizon is drawn as a caret at the horizon."""
    conditions = _conditions(found)
    figure = Figure(figsize=size or (8.0, 1.0 + 4.0 * len(conditions)), layout="constrained")
    panels = np.atleast_1d(figure.subplots(len(conditions), 1, squeeze=False)[:, 0])
    for panel, condition in zip(panels, conditions):
        series = {}
        for key, shown, times, status in found:
            if shown != condition:
                continue
            rest = tuple((c, v) for c, v in key.items() if c != against)
            row = survival.summary_row(times, status, level)
            if row["runs"]:  # a table without rows has nothing to draw
                series.setdefault(rest, []).append((_number(against, key[against]), row))
        beyond_drawn = False
        for number, (rest, points) in enumerate(series.items()):
            colour = f"C{number % 10}"
            points.sort(key=lambda point: point[0])
            # Series side by side at one x: shifted by up to 2 % (of a decade on a log axis).
            shift = 0.02 * (number - (len(series) - 1) / 2) / max(len(series) - 1, 1)
            x = np.array([p[0] for p in points])
            x = x * 10 ** shift if log_x else x + shift * (np.ptp(x) if x.size > 1 else 1)
            horizon = np.array([p[1]["horizon"] for p in points], dtype=float)
            median = np.array([math.nan if p[1]["median"] is None else p[1]["median"]
                               for p in points])
            low = np.array([horizon[i] if p[1]["median_low"] is None else p[1]["median_low"]
                            for i, p in enumerate(points)], dtype=float)
            high_open = np.array([p[1]["median_high"] is None for p in points])
            high = np.where(high_open, horizon,
                            [0.0 if p[1]["median_high"] is None else p[1]["median_high"]
                             for p in points])
            label = _readable(_key_text(dict(rest))) or "median"
            panel.plot(x, median, "o-", color=colour, label=label, markersize=5)
            low_known = np.array([p[1]["median_low"] is not None for p in points])
            panel.vlines(x, low, high, color=colour, linewidth=1.5)
            panel.plot(x[low_known], low[low_known], "_", color=colour, markersize=9)
            panel.plot(x[~high_open], high[~high_open], "_", color=colour, markersize=9)
            if np.any(high_open):
                panel.plot(x[high_open], horizon[high_open], "^", color=colour, markersize=7,
                           fillstyle="none")
                beyond_drawn = True
        if beyond_drawn:
            panel.plot([], [], "^", color="grey", fillstyle="none", linestyle="none",
                       label="not reached by the horizon (drawn at it)")
        panel.set_xscale("log" if log_x else "linear")
        panel.set_yscale("log" if log_y else "linear")
        panel.set_xlabel(against)
        panel.set_ylabel("median generations elapsed")
        panel.set_title(f"{_readable(condition)}: median time with its {100 * level:g} % "
                        "Brookmeyer-Crowley interval", fontsize=10)
        panel.grid(alpha=0.3, which="both")
        if series:
            panel.legend(fontsize=8, frameon=False)
    if title:
        _suptitle(figure, title)
    return figure
