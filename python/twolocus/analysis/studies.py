"""Studies: first-passage times from twolocus-sim summary tables, per parameter set.

Runs are grouped into parameter sets by key columns (parameters of the
tables' OUT.params, "file", or the columns of a sweep's design: their keys
are runfiles.summary.file_keys and sweep.summary.sweep_tables); each set
and condition gives one survival.summary_row() (the times and statuses of
runfiles.summary.SummaryTable.sample). A parameter's number is printed as
shown_number() gives it: 0.1 for the 0.10000000000000001 of a parameter
file, 0 for the 0.0 of a design's canonical value.
"""

import math
import re

import numpy as np

from ..errors import TwolocusError
from . import survival

# A number as a design or a parameter file writes it.
NUMBER = r"[+-]?(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?"


def shown_number(text):
    """A number's text as the tools print it: the shortest text that reads
    back to the same double (Python's repr of the float) without a trailing
    ".0", so 0.10000000000000001 is 0.1, 0.0 is 0 and 1e-06 stays 1e-06.
    Text that is not a number (a word, a condition) is returned as it is."""
    if not re.fullmatch(NUMBER, text):
        return text
    value = float(text)
    if not math.isfinite(value):
        return text
    shown = repr(value)
    return shown[:-2] if shown.endswith(".0") else shown


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
