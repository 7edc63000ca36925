"""The design file of a sweep: a TSV table of parameter sets, checked whole.

read_design checks every line and cell before anything starts and reports
every problem at once, one line each, with its line and column. grid writes
a design as the product of value lists.
"""

import itertools
import os
import re
import shutil
import unicodedata
from dataclasses import dataclass

from .errors import TwolocusError
from .files import open_regular

RATE_COLUMNS = ["a12", "a23", "a13", "b12", "b23", "b13"]
# The simulator's arguments 1 to 12, in its order.
PARAMETER_COLUMNS = ["fitness", "column", "s", "k", "n", "N"] + RATE_COLUMNS
OPTIONAL_COLUMNS = ["name", "program"]
TAG_PREFIX = "tag_"
INT_MAX = 2147483647
# Lowest value of each integer column (all are at most INT_MAX).
INTEGER_RANGES = {"column": 1, "s": 0, "k": 0, "n": 0, "N": 1, "replicates": 1,
                  "seed": -INT_MAX - 1, **{rate: 0 for rate in RATE_COLUMNS}}
# The most runs a sweep holds: planned in a few seconds and under 200 MB.
MAX_RUNS = 100000
# The longest file name (bytes) of most file systems, which a run's folder
# name NAME_REPLICATE must fit.
MAX_FILE_NAME = 255
_INTEGER = re.compile(r"[+-]?[0-9]+")
_NAME = re.compile(r"[A-Za-z0-9][A-Za-z0-9._-]*")


class DesignErrors(TwolocusError):
    """Every problem found in a design; str() gives one line per problem."""

    def __init__(self, messages):
        super().__init__("\n".join(messages))
        self.messages = messages


@dataclass
class Design:
    """A checked design.

    path: the design file as given; folder: the folder its relative paths start from.
    columns: the header, in file order.
    rows: one dict per data row: every column's cell (integers in canonical
    form), plus 'line' (its line in the file), 'row' (1 for the first data row)
    and, when the design has no name column, 'name' (the row number as text).
    """

    path: str
    folder: str
    columns: list
    rows: list


def _control(text, where):
    """A problem for text holding a control character or a line separator
    (they would break the manifest's lines), else None."""
    for character in text:
        if unicodedata.category(character) in ("Cc", "Zl", "Zp"):
            return f"{where}: a control character (U+{ord(character):04X}) is not allowed."
    return None


def _check_header(columns, where):
    problems = []
    seen = {}
    for number, column in enumerate(columns, start=1):
        control = _control(column, where(1, number))
        if control:
            problems.append(control)
            continue
        if column in seen:
            problems.append(f"{where(1, number)}: column [{column}] is also column {seen[column]}.")
            continue
        seen[column] = number
        known = (column in PARAMETER_COLUMNS or column in OPTIONAL_COLUMNS
                 or column in ("replicates", "seed"))
        if not known and not (column.startswith(TAG_PREFIX) and len(column) > len(TAG_PREFIX)):
            problems.append(f"{where(1, number)}: unknown column [{column}]; "
                            f"extra columns start with [{TAG_PREFIX}].")
    for column in PARAMETER_COLUMNS:
        if column not in seen:
            problems.append(f"{where(1)}: no column [{column}].")
    if "replicates" in seen and "seed" in seen:
        problems.append(f"{where(1)}: give a column [replicates] or a column [seed], not both.")
    elif "replicates" not in seen and "seed" not in seen:
        problems.append(f"{where(1)}: no column [replicates] or [seed].")
    return problems


def find_program(value, folder):
    """Takes a program as written (a path with a slash, relative to folder, or a
    name looked up on PATH); returns its absolute path, or None if it is not
    an executable file."""
    if "/" in value:
        path = os.path.normpath(os.path.join(folder, value))
        return path if os.path.isfile(path) and os.access(path, os.X_OK) else None
    found = shutil.which(value)
    return os.path.abspath(found) if found else None


def _check_cell(column, text, folder, where):
    """Returns (canonical value, problem or None) of one cell (blanks stripped)."""
    if column in INTEGER_RANGES:
        if not _INTEGER.fullmatch(text):
            return text, f"{where}: [{text}] is not an integer."
        value = int(text)
        if value < INTEGER_RANGES[column]:
            return text, f"{where}: [{text}] is below [{INTEGER_RANGES[column]}]."
        if value > INT_MAX:
            return text, f"{where}: [{text}] is above [{INT_MAX}]."
        return str(value), None
    if column == "fitness":
        if text == "":
            return text, f"{where}: no fitness file given."
        path = os.path.join(folder, text)
        try:
            open_regular(path, "fitness file").close()
        except TwolocusError as error:
            if str(error).endswith("is not a regular file."):
                return text, f"{where}: fitness file [{text}] is not a regular file."
            return text, f"{where}: could not open fitness file [{text}] to read."
        return text, None
    if column == "name" and text != "" and not _NAME.fullmatch(text):
        return text, (f"{where}: name [{text}] may hold only letters, digits, '.', '_' and '-', "
                      "and starts with a letter or digit.")
    if column == "program" and text != "" and find_program(text, folder) is None:
        return text, f"{where}: could not find the program [{text}]."
    return text, None


def _whole(text):
    """A checked integer cell's value; 1 for one that did not pass its check."""
    return int(text) if text is not None and _INTEGER.fullmatch(text) and int(text) >= 1 else 1


def _design_text(path, text):
    """The text of the design file path: text itself when it is given (a
    design not yet written), else the file's. Raises TwolocusError."""
    if text is None:
        with open_regular(path, "design file") as file:
            try:
                text = file.read().decode("utf-8", errors="surrogateescape")
            except OSError:
                raise TwolocusError(f"Could not read design file [{path}].") from None
    return text


def _places(path):
    """where(line, column=None, name=None): the place of a problem in the
    design file path, as its messages start."""

    def where(line, column=None, name=None):
        if column is None:
            return f"Line {line} of [{path}]"
        label = f" ({name})" if name else ""
        return f"Line {line}, column {column}{label} of [{path}]"

    return where


def _header(lines, where, check_header):
    """The columns of a design's first line. Raises DesignErrors when there
    is none or check_header(columns, where) finds problems."""
    if not lines:
        raise DesignErrors([f"{where(1)}: no header."])
    columns = lines[0].split("\t")
    problems = check_header(columns, where)
    if problems:
        raise DesignErrors(problems)
    return columns


def _data_lines(lines, columns, where, problems):
    """(line number, cells) of each data line that is not blank; a line
    with more or fewer fields than columns adds its problem to problems."""
    for number, line in enumerate(lines[1:], start=2):
        if line.strip() == "":
            continue
        cells = line.split("\t")
        if len(cells) != len(columns):
            problems.append(f"{where(number)}: {len(cells)} fields, the header has {len(columns)}.")
            continue
        yield number, cells


def _name_place(columns, number, where):
    """The place of line number's name: its name cell, or the line when the
    design has no name column."""
    index = columns.index("name") + 1 if "name" in columns else 0
    return where(number, index, "name") if index else where(number)


def _repeated_name(row, names, columns, number, where):
    """[the problem] when an earlier row has the row's name (names: {name:
    its line}), else []."""
    if row["name"] not in names:
        return []
    return [f"{_name_place(columns, number, where)}: name [{row['name']}] is also on line "
            f"{names[row['name']]}."]


def read_design(path, text=None):
    """Takes a design file's path (and its text, when it is not yet written);
    returns a Design, or raises DesignErrors listing every problem (or
    TwolocusError if the file cannot be read)."""
    text = _design_text(path, text)
    lines = text.split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    lines = [line[:-1] if line.endswith("\r") else line for line in lines]
    folder = os.path.dirname(os.path.abspath(path))
    where = _places(path)
    columns = _header(lines, where, _check_header)
    rows, names, problems = [], {}, []
    total = 0
    for number, cells in _data_lines(lines, columns, where, problems):
        row = {"line": number, "row": len(rows) + 1}
        for index, (column, text) in enumerate(zip(columns, cells), start=1):
            place = where(number, index, column)
            problem = _control(text, place)
            value = text
            if problem is None:
                value, problem = _check_cell(column, text.strip(), folder, place)
            if problem:
                problems.append(problem)
            row[column] = value
        if row.get("name", "") == "":
            row["name"] = str(row["row"])
        count = 1 if "seed" in columns else _whole(row.get("replicates"))
        total += count
        longest = f"{row['name']}_{count}"
        if len(longest.encode(errors="surrogateescape")) > MAX_FILE_NAME:
            place = _name_place(columns, number, where)
            problems.append(f"{place}: the run name [{longest}] is longer than "
                            f"{MAX_FILE_NAME} bytes, the longest file name.")
        problems += _repeated_name(row, names, columns, number, where)
        names.setdefault(row["name"], number)
        rows.append(row)
    if not rows and not problems:
        problems.append(f"[{path}] has no parameter sets.")
    if total > MAX_RUNS:
        problems.append(f"[{path}] has {total} runs; a sweep holds at most {MAX_RUNS} runs.")
    if problems:
        raise DesignErrors(problems)
    return Design(path=path, folder=folder, columns=columns, rows=rows)


def _name_part(column, value, fitness_values):
    """A column's part of a grid row's name; a fitness table is named by its
    file name without extension, or by its path when two have the same name."""
    if column in ("fitness", "fitness-values", "initial"):
        stems = {os.path.splitext(os.path.basename(v))[0] for v in fitness_values}
        whole = len(stems) < len(set(fitness_values))
        value = os.path.splitext(value if whole else os.path.basename(value))[0]
    return re.sub(r"[^A-Za-z0-9.]", ".", f"{column}{value}")


def _relative(value, folder, labelled):
    """A file given on the command line, relative to the design's folder (an
    initial file's :LABEL kept)."""
    label = ""
    if labelled:
        from .simdesign import split_initial
        value, number = split_initial(value)
        label = f":{number}" if number is not None else ""
    return os.path.relpath(os.path.abspath(value), folder) + label


def grid(assignments, output, sim=False):
    """Takes 'column=v1,v2,...' strings and the design file to write; writes the
    product of the value lists, first column varying slowest, with a name
    made of the columns that take several values (fitness paths are made
    relative to the design's folder), then checks it with read_design.
    'rates=v' sets the six rates not given one by one. With sim, the design
    is for twolocus-sim (simdesign.py: its own columns, no 'rates'; the
    fitness, fitness-values and initial paths made relative). Raises
    TwolocusError."""
    from . import simdesign
    lists = {}
    rates = None
    for assignment in assignments:
        column, sep, values = assignment.partition("=")
        if not sep or values == "":
            raise TwolocusError(f"Could not read [{assignment}]; write COLUMN=VALUE,VALUE,...")
        if column == "rates" and not sim:
            rates = values.split(",")
        elif column in lists:
            raise TwolocusError(f"Column [{column}] is given twice." + (
                f" Several conditions go in one value, separated by [;]: "
                f"'{column}=h22 >= 0.5;a3 == 1'." if sim and column in ("stop", "watch") else ""))
        else:
            lists[column] = values.split(",")
    for rate in RATE_COLUMNS if rates else ():
        lists.setdefault(rate, rates)
    # The simulator's columns in its argument order, then the others as given.
    known = simdesign.PARAMETERS if sim else PARAMETER_COLUMNS
    order = [c for c in ["name"] + known if c in lists]
    lists = {c: lists[c] for c in order + [c for c in lists if c not in order]}
    folder = os.path.dirname(os.path.abspath(output))
    for column in simdesign.FILES if sim else ["fitness"]:
        if column in lists:
            lists[column] = [_relative(value, folder, column == "initial")
                             for value in lists[column]]
    varying = [column for column, values in lists.items() if len(values) > 1]
    columns = (["name"] if varying and "name" not in lists else []) + list(lists)
    lines = ["\t".join(columns)]
    taken = set()
    for combination in itertools.product(*lists.values()):
        values = dict(zip(lists, combination))
        if columns[0] == "name" and "name" not in lists:
            name = "-".join(_name_part(column, values[column], lists.get(column, []))
                            for column in varying)
            # Values that differ only in characters a name cannot hold.
            unique, number = name, 1
            while unique in taken:
                number += 1
                unique = f"{name}-{number}"
            taken.add(unique)
            values["name"] = unique
        lines.append("\t".join(values[column] for column in columns))
    text = "\n".join(lines) + "\n"
    # Nothing is written unless the design is valid.
    (simdesign.read_sim_design if sim else read_design)(output, text)
    try:
        with open(output, "w", encoding="utf-8", errors="surrogateescape") as out:
            out.write(text)
    except OSError:
        raise TwolocusError(f"Could not write design file [{output}].") from None
    return len(lines) - 1
