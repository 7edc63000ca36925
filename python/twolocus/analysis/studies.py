"""Studies: first-passage times from twolocus-sim summary tables, per parameter set.

A summary table (OUT.summary.tsv) has the columns replicate, seed, end,
label, generations, then one column per stop or watch condition, headed by
its text and holding the label at which the run first met it (empty: never),
then the last population's statistics (STAT_COLUMNS). Its parameters are in
OUT.params beside it.

Times are generations elapsed: label + 1 (a first label of -1, the starting
population, is time 0). For one condition, a run is:

- an event at its first label + 1 when the condition's column holds a label;
- censored at its last label + 1 when the column is empty and the run went
  to its last generation (end is "last");
- a competing stop at its last label + 1 when the column is empty and
  another stop condition ended the run.

Runs are grouped into parameter sets by key columns (parameters of the
tables' OUT.params, "file", or the columns of a sweep's design); each set
and condition gives one survival.summary_row(). A parameter's number is
printed as shown_number() gives it: 0.1 for the 0.10000000000000001 of a
parameter file, 0 for the 0.0 of a design's canonical value.
"""

import math
import os
import sys

import numpy as np

from . import survival
from .errors import TwolocusError
from .files import open_regular
from .stats import STAT_COLUMNS, number_or_nan

LEADING = ["replicate", "seed", "end", "label", "generations"]
SUFFIX = ".summary.tsv"


def is_summary_table(path):
    """Whether the file at path starts with a summary table's header (False
    for anything that cannot be read: the trajectory reader reports it)."""
    if not os.path.isfile(path):
        return False
    try:
        with open(path, "rb") as file:
            start = file.read(64)
    except OSError:
        return False
    return start.startswith("\t".join(LEADING).encode() + b"\t")


class SummaryTable:
    """path; conditions: the condition headings in column order; end: the end
    of each row; last: each row's last label; first: {heading: first labels,
    None where empty}; notes: lines for standard error that are not failures."""

    def __init__(self, path, conditions, end, last, first, notes):
        self.path, self.conditions, self.end = path, conditions, end
        self.last, self.first, self.notes = last, first, notes

    def sample(self, condition):
        """(times, status) of every run for one condition heading."""
        column = self.first[condition]
        times, status = [], []
        for end, last, first in zip(self.end, self.last, column):
            if first is not None:
                times.append(first + 1)
                status.append(survival.EVENT)
            else:
                times.append(last + 1)
                status.append(survival.CENSORED if end == "last" else survival.COMPETING)
        return np.array(times, dtype=float), np.array(status, dtype=int)


def _label(text):
    """A label cell as an int >= -1, or None when it is not one."""
    if not text or not (text.isdigit() or (text[0] == "-" and text[1:].isdigit())):
        return None
    value = int(text)
    return value if value >= -1 else None


def read_summary_table(path):
    """Takes a path; returns its SummaryTable. Raises TwolocusError for a
    header or a row that is not of the format; an incomplete last line (a
    batch killed while writing) is left out with a note."""
    with open_regular(path, "summary table") as file:
        text = file.read().decode("utf-8", "surrogateescape")
    lines = text.split("\n")
    header = lines[0].rstrip("\r").split("\t")
    width = len(header)
    if (header[:5] != LEADING or header[width - len(STAT_COLUMNS):] != STAT_COLUMNS
            or width < len(LEADING) + len(STAT_COLUMNS)):
        raise TwolocusError(f"Line 1 of [{path}] is not a summary table's header.")
    conditions = header[5:width - len(STAT_COLUMNS)]
    notes = []
    body = lines[1:]
    if body and body[-1] == "":
        body.pop()
    elif body:
        notes.append(f"The last line of [{path}] is not complete; it is left out.")
        body.pop()
    end, last, first = [], [], {heading: [] for heading in conditions}
    for number, line in enumerate(body, start=2):
        cells = line.rstrip("\r").split("\t")
        label = _label(cells[3]) if len(cells) == width else None
        firsts = [None if cell == "" else _label(cell) for cell in cells[5:5 + len(conditions)]]
        bad = (label is None or any(value is None and cell != "" for value, cell in
                                    zip(firsts, cells[5:5 + len(conditions)]))
               or cells[2] == "" or any(value is not None and value > label for value in firsts)
               or (cells[2] in first and firsts[conditions.index(cells[2])] is None))
        if bad:
            raise TwolocusError(f"Line {number} of [{path}] is not a summary row.")
        end.append(cells[2])
        last.append(label)
        for heading, value in zip(conditions, firsts):
            first[heading].append(value)
    return SummaryTable(path, conditions, end, last, first, notes)


def sweep_tables(folder, by):
    """Takes a sweep folder of twolocus-sim and key columns (design columns,
    a dash or an underscore alike; "name" the design row); returns
    (SummaryTables, key dicts), one per batch done (a real parameter's value
    as shown_number() prints it). Batches not done, and
    done batches whose table cannot be read, are left out with a line on
    standard error per design row."""
    from .simdesign import REALS
    from .simsweep import read_sim_sweep
    tables, keys = [], []
    for entry in read_sim_sweep(folder):
        parameters = {"name": entry["name"], **entry["parameters"]}
        key = {}
        for column in by:
            name = column.replace("_", "-")
            if name not in parameters:
                raise TwolocusError(f"The sweep [{folder}] has no column [{column}].")
            key[column] = shown_number(parameters[name]) if name in REALS else parameters[name]
        missing = entry["replicates"] - entry["done"]
        for batch in entry["batches"]:
            if batch["state"] != "done":
                continue
            try:
                table = read_summary_table(batch["summary"])
            except TwolocusError as error:
                print(f"{error} Its replicates count as missing.", file=sys.stderr)
                missing += batch["replicates"]
                continue
            for note in table.notes:
                print(note, file=sys.stderr)
            tables.append(table)
            keys.append(key)
        if missing:
            print(f"Design row [{entry['name']}]: {missing} of its {entry['replicates']} "
                  "replicates are not done; they are left out.", file=sys.stderr)
    return tables, keys


def shown_number(text):
    """A number's text as the tools print it: the shortest text that reads
    back to the same double (Python's repr of the float) without a trailing
    ".0", so 0.10000000000000001 is 0.1, 0.0 is 0 and 1e-06 stays 1e-06.
    Text that is not a number (a word, a condition) is returned as it is."""
    from .simdesign import _REAL
    if not _REAL.fullmatch(text):
        return text
    value = float(text)
    if not math.isfinite(value):
        return text
    shown = repr(value)
    return shown[:-2] if shown.endswith(".0") else shown


def params_path(path):
    """The OUT.params of the summary table OUT.summary.tsv."""
    if not path.endswith(SUFFIX):
        raise TwolocusError(f"The parameters of [{path}] are unknown: its name does not end "
                            f"in [{SUFFIX}].")
    return path[:-len(SUFFIX)] + ".params"


def _params_text(path):
    """{key: value as written} of a twolocus-sim parameter file, checked whole."""
    from .sim_params import parse_sim_params
    with open_regular(path, "parameter file") as file:
        text = file.read().decode("utf-8", "surrogateescape")
    parse_sim_params(text, path)
    return dict(line.rstrip("\r").partition(" = ")[::2] for line in text.split("\n")[1:] if line)


def file_keys(paths, by):
    """Takes summary table paths and key column names; returns one dict per
    path of {column: value as text}: "file" is the path, any other name a key
    of the table's OUT.params (a dash may stand for an underscore, as in the
    long options: population-size), a number as shown_number() prints it."""
    keys = []
    for path in paths:
        params = None
        key = {}
        for column in by:
            if column == "file":
                key[column] = path
                continue
            if params is None:
                params = _params_text(params_path(path))
            name = column.replace("-", "_")
            if name not in params:
                raise TwolocusError(f"The parameters of [{path}] have no [{column}].")
            key[column] = shown_number(params[name])
        keys.append(key)
    return keys


def _order(value):
    """Sort key of a key value: numbers by value before other text."""
    try:
        return (0, float(value), "")
    except ValueError:
        return (1, 0.0, value)


def parameter_sets(tables, keys):
    """Takes SummaryTables and their key dicts; returns [(key, [tables])] in
    the order of the key values (numbers by value). The tables of one set
    must have the same conditions."""
    grouped = {}
    for table, key in zip(tables, keys):
        found = grouped.setdefault(tuple(key.items()), [])
        if found and found[0].conditions != table.conditions:
            raise TwolocusError(f"Summary tables [{found[0].path}] and [{table.path}] of one "
                                "parameter set have different conditions.")
        found.append(table)
    order = sorted(grouped, key=lambda key: [_order(value) for _, value in key])
    return [(dict(key), grouped[key]) for key in order]


def samples(sets, events=()):
    """Takes parameter sets; returns (key, condition, times, status) per set
    and condition (every condition, or those named in events, in that order)."""
    found = []
    named = set()
    for key, tables in sets:
        chosen = events or tables[0].conditions
        for condition in chosen:
            if condition not in tables[0].conditions:
                continue
            named.add(condition)
            parts = [table.sample(condition) for table in tables]
            found.append((key, condition, np.concatenate([p[0] for p in parts]),
                          np.concatenate([p[1] for p in parts])))
    for condition in events:
        if condition not in named:
            raise TwolocusError(f"No summary table has the condition [{condition}].")
    if not found:
        raise TwolocusError("The summary tables have no condition column.")
    return found


def _value(value):
    if value is None:
        return ""
    if isinstance(value, float):
        return "" if math.isnan(value) else f"{value:.10g}"
    return str(value)


def survival_table(found, level):
    """The table text: key columns, condition, then survival.ROW_COLUMNS."""
    keys = list(found[0][0])
    lines = ["\t".join(keys + ["condition"] + survival.ROW_COLUMNS)]
    for key, condition, times, status in found:
        row = survival.summary_row(times, status, level)
        lines.append("\t".join([key[k] for k in keys] + [condition]
                               + [_value(row[c]) for c in survival.ROW_COLUMNS]))
    return "\n".join(lines) + "\n"


CURVE_COLUMNS = ["generations", "at_risk", "events", "competing", "fraction", "low", "high",
                 "method"]


def curve_table(found, level):
    """The curves' text: per set and condition, one row per generation at
    which the curve steps (an event or a competing stop)."""
    keys = list(found[0][0])
    lines = ["\t".join(keys + ["condition"] + CURVE_COLUMNS)]
    for key, condition, times, status in found:
        steps = survival.curve(times, status, level)
        competing = steps.get("competing", np.zeros(steps["time"].size))
        method = "aalen-johansen" if "competing" in steps else None
        for j in range(steps["time"].size):
            kind = method or ("wilson" if steps["wilson"][j] else "kaplan-meier")
            cells = [steps["time"][j], int(steps["at_risk"][j]), int(steps["events"][j]),
                     int(competing[j]), steps["fraction"][j], steps["low"][j], steps["high"][j]]
            lines.append("\t".join([key[k] for k in keys] + [condition]
                                   + [_value(c) for c in cells] + [kind]))
    return "\n".join(lines) + "\n"


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
    from .plot import fitted_title, text_points
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
    from matplotlib.figure import Figure
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
    from .plot import fitted_title
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
    from matplotlib.figure import Figure
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
