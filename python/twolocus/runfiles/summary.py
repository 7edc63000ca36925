"""The summary table of twolocus-sim (OUT.summary.tsv), read back for the studies.

A summary table has the columns replicate, seed, end, label, generations,
then one column per stop or watch condition, headed by its text and holding
the label at which the run first met it (empty: never), then the last
population's statistics (STAT_COLUMNS) and, for a model of several demes,
each deme's statistics headed STAT@NAME. Its parameters are in OUT.params
beside it.

Times are generations elapsed: label + 1 (a first label of -1, the starting
population, is time 0). For one condition, a run is:

- an event at its first label + 1 when the condition's column holds a label;
- censored at its last label + 1 when the column is empty and the run went
  to its last generation (end is "last");
- a competing stop at its last label + 1 when the column is empty and
  another stop condition ended the run.
"""

import os

import numpy as np

from ..analysis import survival
from ..analysis.statistics import STAT_COLUMNS
from ..analysis.studies import shown_number
from ..errors import TwolocusError
from ..files import open_regular
from .params import params_as_written

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


def deme_columns(header):
    """Takes a summary table's header (its cells); returns the names of the
    demes whose statistics close it (STAT@NAME for every STAT, a deme after
    another), in their order; [] for a run of one population."""
    demes = []
    end = len(header)
    while end - len(STAT_COLUMNS) >= len(LEADING) + len(STAT_COLUMNS):
        block = header[end - len(STAT_COLUMNS):end]
        name = block[0].partition("@")[2]
        if not name or block != [f"{stat}@{name}" for stat in STAT_COLUMNS]:
            break
        demes.insert(0, name)
        end -= len(STAT_COLUMNS)
    return demes


def read_summary_table(path):
    """Takes a path; returns its SummaryTable. Raises TwolocusError for a
    header or a row that is not of the format; an incomplete last line (a
    batch killed while writing) is left out with a note."""
    with open_regular(path, "summary table") as file:
        text = file.read().decode("utf-8", "surrogateescape")
    lines = text.split("\n")
    header = lines[0].rstrip("\r").split("\t")
    width = len(header)
    stats_end = width - len(STAT_COLUMNS) * len(deme_columns(header))
    if (header[:5] != LEADING or header[stats_end - len(STAT_COLUMNS):stats_end] != STAT_COLUMNS
            or stats_end < len(LEADING) + len(STAT_COLUMNS)):
        raise TwolocusError(f"Line 1 of [{path}] is not a summary table's header.")
    conditions = header[5:stats_end - len(STAT_COLUMNS)]
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


def params_path(path):
    """The OUT.params of the summary table OUT.summary.tsv."""
    if not path.endswith(SUFFIX):
        raise TwolocusError(f"The parameters of [{path}] are unknown: its name does not end "
                            f"in [{SUFFIX}].")
    return path[:-len(SUFFIX)] + ".params"


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
                params = params_as_written(params_path(path))
            name = column.replace("-", "_")
            if name not in params:
                raise TwolocusError(f"The parameters of [{path}] have no [{column}].")
            key[column] = shown_number(params[name])
        keys.append(key)
    return keys
