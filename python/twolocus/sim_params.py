"""The parameter file of twolocus-sim (OUT.params), read as the program reads
it (src/io/sim_params.cpp; cases in tests/cases/sim_params/): a first line
"twolocus-sim parameters 1", then one "KEY = VALUE" line per key, every key
exactly once, values whole and in range, a CR LF line end accepted; then
zero or more "stop = TEXT" or "watch = TEXT" lines, the run's distinct
conditions in the order of its summary's columns.
"""

import os
import re

import numpy as np

from .errors import TwolocusError
from .genotypes import GENOTYPE_COUNT, LABELS

FIRST_LINE = "twolocus-sim parameters 1"
INT_MIN, INT_MAX = -2147483648, 2147483647
# The six changes of a locus in the file's order: one-way, then back.
CHANGES = ["12", "23", "13", "21", "32", "31"]
_INTEGER = re.compile(r"-?[0-9]{1,19}")
_DECIMAL = re.compile(r"[+-]?(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?")
_VERSION = re.compile(r"[0-9A-Za-z.-]{1,32}")


def _integer(low, high):
    def read(text):
        if not _INTEGER.fullmatch(text) or not low <= int(text) <= high:
            return None
        return int(text)
    return read


def _real(low, high):
    def read(text):
        if not _DECIMAL.fullmatch(text):
            return None
        value = float(text)
        return value if np.isfinite(value) and low <= value <= high else None
    return read


def _word(*words):
    return lambda text: text if text in words else None


def _keys():
    """Every key with the reader of its value, in the order the file lists them."""
    keys = [("version", lambda t: t if _VERSION.fullmatch(t) else None),
            ("engine", _word("exact", "multinomial")),
            ("seed", _integer(INT_MIN, INT_MAX)),
            ("population_size", _integer(0, INT_MAX)),
            ("generations", _integer(0, INT_MAX)),
            ("record_every", _integer(0, INT_MAX)),
            ("recombination", _real(0, 0.5)),
            ("weights", _word("exact", "floor"))]
    keys += [(f"mu_{locus}{change}", _real(0, 1)) for locus in "ab" for change in CHANGES]
    keys += [(f"fitness_{label}", _real(0, float("inf"))) for label in LABELS]
    keys += [(f"initial_{label}", _integer(0, INT_MAX)) for label in LABELS]
    return keys


KEYS = _keys()


def _condition_text(text):
    """Whether a stop or watch line's text is a condition without a tab, a
    carriage return or a NUL."""
    from .conditions import ConditionError, parse_condition
    if any(c in text for c in "\t\r\0"):
        return False
    try:
        parse_condition(text)
    except ConditionError:
        return False
    return True


def is_sim_params(path):
    """Takes a path; returns whether it is a regular file that starts as a
    twolocus-sim parameter file."""
    if not os.path.isfile(path):
        return False
    try:
        with open(path, "rb") as file:
            return file.read(len("twolocus-sim parameters")) == b"twolocus-sim parameters"
    except OSError:
        return False


def parse_sim_params(text, path):
    """Takes a parameter file's text and its path; returns a dict of every
    key's value ('N' and 'n' too, as read_params gives them; 'fitness' and
    'initial' as arrays of 81 by genotype index; 'mutation_a' and
    'mutation_b' as 3x3 arrays). Raises TwolocusError naming the line or key
    that is wrong."""
    lines = text.split("\n")
    if lines[0].rstrip("\r") != FIRST_LINE:
        raise TwolocusError(f"Line 1 of [{path}] is not of the right format.")
    readers = dict(KEYS)
    values = {}
    conditions = []
    ended = text.endswith("\n")
    body = lines[1:-1] if ended else lines[1:]
    for number, line in enumerate(body, start=2):
        if line.endswith("\r"):
            line = line[:-1]
        key, equals, value = line.partition(" = ")
        reader = readers.get(key)
        last_unended = not ended and number == len(body) + 1
        if equals and key in ("stop", "watch") and not last_unended:
            if not _condition_text(value):
                raise TwolocusError(f"Line {number} of [{path}] is not of the right format.")
            if any(text == value for text, _ in conditions):
                raise TwolocusError(f"Line {number} of [{path}] gives [{key}] again.")
            conditions.append((value, key == "stop"))
            continue
        if not equals or reader is None or last_unended or "\0" in line:
            raise TwolocusError(f"Line {number} of [{path}] is not of the right format.")
        if key in values:
            raise TwolocusError(f"Line {number} of [{path}] gives [{key}] again.")
        read = reader(value)
        if read is None:
            raise TwolocusError(f"Line {number} of [{path}] is not of the right format.")
        values[key] = read
    for key, _ in KEYS:
        if key not in values:
            raise TwolocusError(f"Parameter file [{path}] gives no [{key}].")
    params = dict(values)
    for locus in "ab":
        matrix = np.zeros((3, 3))
        for change in CHANGES:
            matrix[int(change[0]) - 1, int(change[1]) - 1] = values[f"mu_{locus}{change}"]
        if (matrix.sum(axis=1) > 1).any():
            raise TwolocusError(f"Parameter file [{path}] is not consistent: "
                                f"a mutation row of locus {locus} sums above 1.")
        params[f"mutation_{locus}"] = matrix
    params["fitness"] = np.array([values[f"fitness_{label}"] for label in LABELS])
    params["initial"] = np.array([values[f"initial_{label}"] for label in LABELS], dtype=np.int64)
    if params["initial"].sum() > INT_MAX:
        raise TwolocusError(f"Parameter file [{path}] is not consistent: "
                            "the initial counts total above 2147483647.")
    params["N"], params["n"] = values["population_size"], values["generations"]
    params["sim"] = True
    params["conditions"] = conditions
    assert len(params["fitness"]) == GENOTYPE_COUNT
    return params
