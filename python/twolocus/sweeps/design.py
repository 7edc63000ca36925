"""The design file of a sweep: a TSV table of parameter sets, checked whole.

read_design checks every line and cell before anything starts and reports
every problem at once, one line each, with its line and column. grid writes
a design as the product of value lists. What a design may hold (its
columns, how each cell is read, what a row must give) is its kind's
(kinds.py); the reading is the same for both kinds.
"""

import itertools
import os
import re
import shutil
import unicodedata
from dataclasses import dataclass

from ..errors import TwolocusError
from ..files import open_regular

TAG_PREFIX = "tag_"
INT_MAX = 2147483647
# The most runs (or batches) a sweep holds: planned in a few seconds and under 200 MB.
MAX_RUNS = 100000
# The longest file name (bytes) of most file systems, which a unit's folder
# name must fit.
MAX_FILE_NAME = 255
NAME = re.compile(r"[A-Za-z0-9][A-Za-z0-9._-]*")
_LABELLED = re.compile(r"(.*):([0-9]+)")


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
    rows: one dict per data row: every column's cell (numbers in canonical
    form), plus 'line' (its line in the file), 'row' (1 for the first data row)
    and, when the design has no name column, 'name' (the row number as text).
    """

    path: str
    folder: str
    columns: list
    rows: list


def control(text, where):
    """A problem for text holding a control character or a line separator
    (they would break the manifest's lines), else None."""
    for character in text:
        if unicodedata.category(character) in ("Cc", "Zl", "Zp"):
            return f"{where}: a control character (U+{ord(character):04X}) is not allowed."
    return None


def is_tag(column):
    """Whether a column is an extra one, of the design's own (`tag_...`)."""
    return column.startswith(TAG_PREFIX) and len(column) > len(TAG_PREFIX)


def split_initial(value):
    """A cell of a file that may be given with a record label, as
    (file, label or None): FILE:LABEL when what follows the last colon is a
    whole number, as twolocus-sim reads it."""
    match = _LABELLED.fullmatch(value)
    return (match.group(1), match.group(2)) if match else (value, None)


def find_program(value, folder):
    """Takes a program as written (a path with a slash, relative to folder, or a
    name looked up on PATH); returns its absolute path, or None if it is not
    an executable file."""
    if "/" in value:
        path = os.path.normpath(os.path.join(folder, value))
        return path if os.path.isfile(path) and os.access(path, os.X_OK) else None
    found = shutil.which(value)
    return os.path.abspath(found) if found else None


def file_problem(path, what, folder, where):
    """The problem of an input file of a design (path relative to folder;
    what: "fitness file", ...), or None when it is a regular file that opens."""
    try:
        open_regular(os.path.join(folder, path), what).close()
    except TwolocusError as error:
        if str(error).endswith("is not a regular file."):
            return f"{where}: {what} [{path}] is not a regular file."
        return f"{where}: could not open {what} [{path}] to read."
    return None


def name_problem(column, text, folder, where):
    """The problem of a name or program cell (not empty), else None."""
    if column == "name" and not NAME.fullmatch(text):
        return (f"{where}: name [{text}] may hold only letters, digits, '.', '_' and '-', "
                "and starts with a letter or digit.")
    if column == "program" and find_program(text, folder) is None:
        return f"{where}: could not find the program [{text}]."
    return None


def design_text(path, text):
    """The text of the design file path: text itself when it is given (a
    design not yet written), else the file's. Raises TwolocusError."""
    if text is None:
        with open_regular(path, "design file") as file:
            try:
                text = file.read().decode("utf-8", errors="surrogateescape")
            except OSError:
                raise TwolocusError(f"Could not read design file [{path}].") from None
    return text


def places(path):
    """where(line, column=None, name=None): the place of a problem in the
    design file path, as its messages start."""

    def where(line, column=None, name=None):
        if column is None:
            return f"Line {line} of [{path}]"
        label = f" ({name})" if name else ""
        return f"Line {line}, column {column}{label} of [{path}]"

    return where


def name_place(columns, number, where):
    """The place of line number's name: its name cell, or the line when the
    design has no name column."""
    index = columns.index("name") + 1 if "name" in columns else 0
    return where(number, index, "name") if index else where(number)


def repeated_name(row, names, columns, number, where):
    """[the problem] when an earlier row has the row's name (names: {name:
    its line}), else []."""
    if row["name"] not in names:
        return []
    return [f"{name_place(columns, number, where)}: name [{row['name']}] is also on line "
            f"{names[row['name']]}."]


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


def read_design(kind, path, text=None):
    """Takes a kind of sweep, a design file's path (and its text, when it is
    not yet written); returns a Design, or raises DesignErrors listing every
    problem (or TwolocusError if the file cannot be read)."""
    lines = [line[:-1] if line.endswith("\r") else line
             for line in design_text(path, text).split("\n")]
    if lines and lines[-1] == "":
        lines.pop()
    folder = os.path.dirname(os.path.abspath(path))
    where = places(path)
    if not lines:
        raise DesignErrors([f"{where(1)}: no header."])
    columns = lines[0].split("\t")
    problems = kind.check_header(columns, where)
    if problems:
        raise DesignErrors(problems)
    rows, names = [], {}
    for number, cells in _data_lines(lines, columns, where, problems):
        row = {"line": number, "row": len(rows) + 1}
        before = len(problems)
        for index, (column, cell) in enumerate(zip(columns, cells), start=1):
            place = where(number, index, column)
            problem, value = control(cell, place), cell.strip()
            if problem is None:
                value, problem = kind.check_cell(column, value, folder, place)
            if problem:
                problems.append(problem)
            row[column] = value
        if len(problems) == before:
            problems += kind.check_row(row, where(number))
        if row.get("name", "") == "":
            row["name"] = str(row["row"])
        problems += kind.check_name(row, names, columns, number, where)
        names.setdefault(row["name"], number)
        rows.append(row)
    if not rows and not problems:
        problems.append(f"[{path}] has no parameter sets.")
    problems += kind.check_design(rows, columns, path)
    if problems:
        raise DesignErrors(problems)
    return Design(path=path, folder=folder, columns=columns, rows=rows)


def _name_part(column, value, file_values, files):
    """A column's part of a grid row's name; a file is named by its file name
    without extension, or by its path when two have the same name."""
    if column in files:
        stems = {os.path.splitext(os.path.basename(v))[0] for v in file_values}
        whole = len(stems) < len(set(file_values))
        value = os.path.splitext(value if whole else os.path.basename(value))[0]
    return re.sub(r"[^A-Za-z0-9.]", ".", f"{column}{value}")


# A deme's value in a cell: NAME=VALUE, NAME a deme's name.
DEME_PART = re.compile(r"([A-Za-z_][A-Za-z0-9_]*)=(.+)", re.S)


def _relative(value, folder, labelled, demes=False):
    """A file given on the command line, relative to the design's folder (a
    labelled file's :LABEL kept); in a column of demes' files, each of them
    ("A=FILE;B=FILE") with its NAME= kept."""
    if demes and ";" in value:
        return ";".join(_relative(part.strip(), folder, labelled, demes) for part in value.split(";"))
    deme = DEME_PART.fullmatch(value) if demes else None
    if deme:
        return deme.group(1) + "=" + _relative(deme.group(2), folder, labelled)
    label = ""
    if labelled:
        value, number = split_initial(value)
        label = f":{number}" if number is not None else ""
    return os.path.relpath(os.path.abspath(value), folder) + label


def grid(kind, assignments, output):
    """Takes a kind of sweep, 'column=v1,v2,...' strings and the design file
    to write; writes the product of the value lists, first column varying
    slowest, with a name made of the columns that take several values (the
    kind's file columns made relative to the design's folder), then checks
    it with read_design. A shortcut of the kind ('rates=v' for the classic
    programs) sets the columns it stands for that are not given one by one.
    Raises TwolocusError."""
    lists, shortcuts = {}, {}
    for assignment in assignments:
        column, sep, values = assignment.partition("=")
        if not sep or values == "":
            raise TwolocusError(f"Could not read [{assignment}]; write COLUMN=VALUE,VALUE,...")
        if column in kind.grid_shortcuts:
            shortcuts[column] = values.split(",")
        elif column in lists:
            raise TwolocusError(f"Column [{column}] is given twice." + kind.repeated_note(column))
        else:
            lists[column] = values.split(",")
    for shortcut, values in shortcuts.items():
        for column in kind.grid_shortcuts[shortcut]:
            lists.setdefault(column, values)
    # The simulator's columns in its argument order, then the others as given.
    order = [c for c in ["name"] + kind.parameters if c in lists]
    lists = {c: lists[c] for c in order + [c for c in lists if c not in order]}
    folder = os.path.dirname(os.path.abspath(output))
    for column in kind.files:
        if column in lists:
            lists[column] = [_relative(value, folder, column in kind.labelled, column in kind.deme_files)
                             for value in lists[column]]
    varying = [column for column, values in lists.items() if len(values) > 1]
    columns = (["name"] if varying and "name" not in lists else []) + list(lists)
    lines = ["\t".join(columns)]
    taken = set()
    for combination in itertools.product(*lists.values()):
        values = dict(zip(lists, combination))
        if columns[0] == "name" and "name" not in lists:
            name = "-".join(_name_part(column, values[column], lists.get(column, []), kind.files)
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
    read_design(kind, output, text)
    try:
        with open(output, "w", encoding="utf-8", errors="surrogateescape") as out:
            out.write(text)
    except OSError:
        raise TwolocusError(f"Could not write design file [{output}].") from None
    return len(lines) - 1
