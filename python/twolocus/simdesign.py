"""The design file of a sweep of twolocus-sim: its columns are twolocus-sim's
long options, in its names and units; one row is one parameter set of
`replicates` replicates.

A cell left empty is an option not given (twolocus-sim's default), except in
the required columns. Numbers are kept in a canonical form (integers in
decimal, real numbers as the shortest text of their double), so that a
value's seed and command do not depend on how it was spelled. A cell of
`stop` or `watch` holds one condition or several separated by CONDITION_SEPARATOR.
"""

import math
import os
import re

from .conditions import parse_condition
from .design import (Design, DesignErrors, INT_MAX, MAX_FILE_NAME, TAG_PREFIX, _control, _NAME,
                     _data_lines, _design_text, _header, _places, _repeated_name, find_program)
from .errors import TwolocusError
from .files import open_regular

INT_MIN = -INT_MAX - 1
# ';' cannot occur in a condition (the language has no such character).
CONDITION_SEPARATOR = ";"
CHANGES = ["12", "23", "13", "21", "32", "31"]
RATES = ["mu"] + [f"mu-{locus}{change}" for locus in "ab" for change in CHANGES]
# Whole numbers: lowest and highest value.
INTEGERS = {"population-size": (1, INT_MAX), "generations": (0, INT_MAX),
            "column": (1, 1000), "record-every": (0, INT_MAX),
            "replicates": (1, INT_MAX), "seed": (INT_MIN, INT_MAX)}
# Real numbers: lowest and highest value.
REALS = {"s": (0.0, 1.0), "k": (-1.0, 1000.0), "recombination": (0.0, 0.5),
         **{rate: (0.0, 1.0) for rate in RATES}}
WORDS = {"weights": ("exact", "floor"), "engine": ("exact", "multinomial")}
FILES = {"fitness": "fitness file", "fitness-values": "fitness file", "initial": "initial file"}
CONDITIONS = ["stop", "watch"]
# The columns that are options of every batch, in the order of the command line.
PARAMETERS = (["population-size", "generations", "fitness", "fitness-values", "column", "s", "k"]
              + RATES + ["recombination", "weights", "engine", "initial", "record-every"]
              + CONDITIONS)
REQUIRED = ["population-size", "generations", "replicates"]
OPTIONAL = ["name", "program", "seed"]
# The classic programs' columns that twolocus-sim names otherwise.
CLASSIC_NAMES = {"N": "population-size", "n": "generations",
                 **{f"{l}{c}": f"mu-{l}{c}" for l in "ab" for c in ("12", "23", "13")}}
_INTEGER = re.compile(r"[+-]?[0-9]+")
_REAL = re.compile(r"[+-]?(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?")
_LABELLED = re.compile(r"(.*):([0-9]+)")


def split_initial(value):
    """An initial cell as (file, label or None): FILE:LABEL when what follows
    the last colon is a whole number, as twolocus-sim reads it."""
    match = _LABELLED.fullmatch(value)
    return (match.group(1), match.group(2)) if match else (value, None)


def split_conditions(value):
    """The conditions of a stop or watch cell, each without outer blanks."""
    return [part.strip() for part in value.split(CONDITION_SEPARATOR)]


def _check_header(columns, where):
    problems, seen, classic = [], {}, []
    for number, column in enumerate(columns, start=1):
        control = _control(column, where(1, number))
        if control:
            problems.append(control)
        elif column in seen:
            problems.append(f"{where(1, number)}: column [{column}] is also column {seen[column]}."
                            + (f" Several conditions go in one cell, separated by "
                               f"[{CONDITION_SEPARATOR}]." if column in CONDITIONS else ""))
        else:
            seen[column] = number
            if column in PARAMETERS or column in REQUIRED or column in OPTIONAL or (
                    column.startswith(TAG_PREFIX) and len(column) > len(TAG_PREFIX)):
                continue
            if column in CLASSIC_NAMES:
                classic.append(column)
            else:
                problems.append(f"{where(1, number)}: unknown column [{column}] for "
                                f"twolocus-sim; extra columns start with [{TAG_PREFIX}].")
    if classic:
        # The classic columns, all in one line.
        problems.insert(0, f"{where(1)}: " + ", ".join(f"[{c}]" for c in classic)
                        + (" are columns" if len(classic) > 1 else " is a column")
                        + " of the classic programs; twolocus-sim's "
                        + ("are " if len(classic) > 1 else "is ")
                        + ", ".join(f"[{CLASSIC_NAMES[c]}]" for c in classic)
                        + ", in its units.")
    named = {CLASSIC_NAMES[c] for c in classic}
    for column in REQUIRED:
        if column not in seen and column not in named:
            problems.append(f"{where(1)}: no column [{column}].")
    if "fitness" not in seen and "fitness-values" not in seen:
        problems.append(f"{where(1)}: no column [fitness] or [fitness-values].")
    return problems


def _check_cell(column, text, folder, where):
    """Returns (canonical value, problem or None) of one non-empty cell."""
    if column in INTEGERS:
        low, high = INTEGERS[column]
        if not _INTEGER.fullmatch(text):
            return text, f"{where}: [{text}] is not a whole number."
        if not low <= int(text) <= high:
            return text, f"{where}: [{text}] is not from {low} to {high}."
        return str(int(text)), None
    if column in REALS:
        low, high = REALS[column]
        value = float(text) if _REAL.fullmatch(text) else math.nan
        if not math.isfinite(value):
            return text, f"{where}: [{text}] is not a number."
        if not low <= value <= high:
            return text, f"{where}: [{text}] is not from {low:g} to {high:g}."
        return repr(value + 0.0), None
    if column in WORDS:
        if text not in WORDS[column]:
            return text, f"{where}: [{text}] is not " + " or ".join(WORDS[column]) + "."
        return text, None
    if column in FILES:
        path = split_initial(text)[0] if column == "initial" else text
        try:
            open_regular(os.path.join(folder, path), FILES[column]).close()
        except TwolocusError as error:
            if str(error).endswith("is not a regular file."):
                return text, f"{where}: {FILES[column]} [{path}] is not a regular file."
            return text, f"{where}: could not open {FILES[column]} [{path}] to read."
        return text, None
    if column in CONDITIONS:
        parts = split_conditions(text)
        for part in parts:
            try:
                parse_condition(part)
            except TwolocusError as error:
                return text, f"{where}: {error}"
        return CONDITION_SEPARATOR.join(parts), None
    if column == "name" and not _NAME.fullmatch(text):
        return text, (f"{where}: name [{text}] may hold only letters, digits, '.', '_' and '-', "
                      "and starts with a letter or digit.")
    if column == "program" and find_program(text, folder) is None:
        return text, f"{where}: could not find the program [{text}]."
    return text, None


def _rate(row, locus, change):
    value = row.get(f"mu-{locus}{change}", "")
    if value == "" and change in ("12", "23", "13"):
        value = row.get("mu", "")
    return float(value) if value != "" else 0.0


def _check_row(row, where):
    """The problems of a row that no single cell shows."""
    problems = []
    given = [c for c in ("fitness", "fitness-values") if row.get(c, "") != ""]
    if len(given) != 1:
        problems.append(f"{where}: give one of [fitness] and [fitness-values]"
                        + (", not both." if given else "."))
    elif given == ["fitness-values"]:
        problems += [f"{where}: [{c}] is only for [fitness], not [fitness-values]."
                     for c in ("s", "k") if row.get(c, "") != ""]
    for column in ("population-size", "generations"):
        if row.get(column, "") == "":
            problems.append(f"{where}: no value of [{column}].")
    for locus in "ab":
        for allele, (first, second) in zip("123", (("12", "13"), ("21", "23"), ("31", "32"))):
            total = _rate(row, locus, first) + _rate(row, locus, second)
            if total > 1:
                problems.append(f"{where}: the mutation rates out of allele {allele} at locus "
                                f"{locus} sum to {total:.17g}, more than 1.")
    return problems


def batch_count(replicates, batch_size):
    return -(-replicates // batch_size)


def read_sim_design(path, text=None):
    """Takes a design file's path (and its text, when it is not yet written);
    returns a design.Design whose rows hold canonical cells, or raises
    DesignErrors listing every problem (TwolocusError if it cannot be read)."""
    lines = [line[:-1] if line.endswith("\r") else line
             for line in _design_text(path, text).split("\n")]
    if lines and lines[-1] == "":
        lines.pop()
    folder = os.path.dirname(os.path.abspath(path))
    where = _places(path)
    columns = _header(lines, where, _check_header)
    rows, names, problems = [], {}, []
    for number, cells in _data_lines(lines, columns, where, problems):
        row = {"line": number, "row": len(rows) + 1}
        before = len(problems)
        for index, (column, cell) in enumerate(zip(columns, cells), start=1):
            place = where(number, index, column)
            problem, value = _control(cell, place), cell.strip()
            if problem is None and value != "":
                value, problem = _check_cell(column, value, folder, place)
            elif problem is None and column == "replicates":
                problem = f"{place}: no number of replicates."
            if problem:
                problems.append(problem)
            row[column] = value
        if len(problems) == before:
            problems += _check_row(row, where(number))
        if row.get("name", "") == "":
            row["name"] = str(row["row"])
        problems += _repeated_name(row, names, columns, number, where)
        longest = f"{row['name']}_{INT_MAX}-{INT_MAX}"
        if len(longest.encode(errors="surrogateescape")) > MAX_FILE_NAME:
            problems.append(f"{where(number)}: the name [{row['name']}] is too long for the "
                            f"batches' folder names ({MAX_FILE_NAME} bytes at most).")
        names.setdefault(row["name"], number)
        rows.append(row)
    if not rows and not problems:
        problems.append(f"[{path}] has no parameter sets.")
    if problems:
        raise DesignErrors(problems)
    return Design(path=path, folder=folder, columns=columns, rows=rows)


def input_files(row):
    """{column: file path as written} of a row's fitness, fitness-values and initial cells."""
    files = {}
    for column in FILES:
        value = row.get(column, "")
        if value:
            files[column] = split_initial(value)[0] if column == "initial" else value
    return files
