"""Readers of the two files a twolocus run writes: the trajectory and its .params.

A trajectory file holds a header, then one record per line: a label and the
81 genotype counts. Records are written for every generation g that is a
multiple of 200 (after generation g, that is after g + 1 rounds of mutation
then mating) and, unless n is a multiple of 200, a final record labelled n
(after n rounds). A resume from record m appends a newline, the record m
again, then continues at generation m + 1. read_trajectory undoes all of
this: one row per population state, with the rounds that produced it.
"""

import os
import re
from dataclasses import dataclass

import numpy as np

from .errors import TwolocusError
from .files import open_regular
from .genotypes import GENOTYPE_COUNT, LABELS
from .sim_params import is_sim_params, parse_sim_params

SIM_FIRST_LINE = "twolocus-sim parameters"

RECORD_INTERVAL = 200
HEADER = "generation\t" + "\t".join(LABELS)
# The program prints every field with %d, so each is a 32-bit int: counts and
# labels are never negative in its own runs, but a resume repeats a
# hand-made checkpoint record as it reads it, signs included. An incomplete
# line may end in a TAB (a write cut after it).
_NUMBERS = re.compile(r"-?[0-9]{1,10}(\t-?[0-9]{1,10})*(\t?)")
INT_MIN, INT_MAX = -2147483648, 2147483647


@dataclass
class Trajectory:
    """One row per population state of a trajectory file, in file order.

    labels: the label of the first record that holds each state, as written.
    generations: the rounds of mutation then mating that produced each state.
    counts: int64 array (rows, 81) of genotype counts, in genotype index order.
    partial_last: None, or the number of counts on an incomplete last line,
    which is left out.
    line_numbers: the file line (1 = header) of each row's record.
    """

    path: str
    labels: list
    generations: list
    counts: np.ndarray
    partial_last: object
    line_numbers: list


def _not_a_record(number, path):
    return TwolocusError(f"Line {number} of [{path}] is not a trajectory record.")


def _split_record(line, number, path):
    """Takes a line after the header; returns its fields as ints (an empty
    line has none), or raises TwolocusError for a field that is not a
    number or a line with more than a label and 81 counts."""
    if line == "":
        return []
    match = _NUMBERS.fullmatch(line)
    if not match:
        raise _not_a_record(number, path)
    fields = [int(f) for f in line[:len(line) - len(match[2])].split("\t")]
    # A trailing TAB is only the cut end of an incomplete record.
    limit = GENOTYPE_COUNT if match[2] else GENOTYPE_COUNT + 1
    if len(fields) > limit or not all(INT_MIN <= f <= INT_MAX for f in fields):
        raise _not_a_record(number, path)
    return fields


def _rounds(label, base_label, base_rounds, sim_interval=None):
    """Rounds behind a record written in a segment that started from a state of
    base_rounds rounds labelled base_label (a fresh run starts from label -1
    and 0 rounds). Labels that are multiples of 200 are written after
    generation `label`; any other label n is a final record, written after
    generation n - 1, or, with no generation left to run, as a copy of the
    starting state.

    A twolocus-sim run (sim_interval: its K) writes a record labelled g
    after generation g when g is a multiple of K, and a final record n after
    n rounds; its resumes continue the rounds, so the label alone says."""
    if sim_interval is not None:
        return label + 1 if label % sim_interval == 0 else label
    if label % RECORD_INTERVAL == 0:
        return base_rounds + (label - base_label)
    return base_rounds + max(0, label - 1 - base_label)


def read_trajectory(path):
    """Takes the path of a trajectory file; returns its Trajectory. A
    twolocus-sim run's generations follow the K of its parameter file.

    Raises TwolocusError when the file cannot be read, its header is wrong, a
    field is not a number, or an incomplete line is neither the last line nor
    followed by a resume's repeat of the last complete record."""
    with open_regular(path, "trajectory file") as file:
        try:
            # The header first, so that a file of another kind (even /dev/zero)
            # is refused before it is read whole.
            head = file.read(len(HEADER) + 1).decode("latin-1")
            if head.rstrip("\n") != HEADER:
                raise _not_a_record(1, path)
            text = head + file.read().decode("latin-1")
        except OSError:
            raise TwolocusError(f"Could not read trajectory file [{path}].") from None
    lines = text.split("\n")
    if text.endswith("\n"):
        lines.pop()
    if not lines or lines[0] != HEADER:
        raise _not_a_record(1, path)

    sim_interval = None
    params_path = os.fspath(path) + ".params"
    if is_sim_params(params_path):
        sim_interval = read_params(params_path)["record_every"]
    labels, generations, rows, line_numbers = [], [], [], []
    base_label, base_rounds = -1, 0
    last = None  # (label, rounds) of the last complete record
    pending = None  # (line number, entries) of an incomplete line not yet explained
    for number, line in enumerate(lines[1:], start=2):
        fields = _split_record(line, number, path)
        if len(fields) < GENOTYPE_COUNT + 1:
            if pending is not None:
                raise _not_a_record(pending[0], path)
            pending = (number, max(0, len(fields) - 1))
            continue
        label = fields[0]
        if pending is not None:
            # An incomplete or empty line is ended by a resume's newline, so
            # the repeat of the last complete record must follow.
            if last is None or label != last[0]:
                raise _not_a_record(pending[0], path)
            repeat = True
            pending = None
        elif last is not None and label <= last[0]:
            # A record killed before its newline, then ended by a resume's.
            if label != last[0]:
                raise _not_a_record(number, path)
            repeat = True
        else:
            repeat = False
        if repeat:
            base_label, base_rounds = label, last[1]
            rounds = last[1]
        else:
            rounds = _rounds(label, base_label, base_rounds, sim_interval)
        last = (label, rounds)
        if generations and rounds == generations[-1]:
            continue  # the same population written again
        labels.append(label)
        generations.append(rounds)
        rows.append(fields[1:])
        line_numbers.append(number)

    counts = np.array(rows, dtype=np.int64).reshape(len(rows), GENOTYPE_COUNT)
    partial_last = None if pending is None else pending[1]
    return Trajectory(path, labels, generations, counts, partial_last, line_numbers)


# The programs' grammar of a .params file (src/io/params.cpp), which
# tests/cases/params/ holds cases of. Line 1 is read as by fscanf with
# "s = [%f], k = [%f], n = [%ld] gerneration_size=[%ld].\n": a space matches
# any white space (none too), a conversion skips white space before it, and
# the final "\n" skips every white space after, blank lines included.
_WS = r"[ \t\n\v\f\r]*"  # C white space, not Unicode's
_SCANF_FLOAT = (r"[+-]?(?:0[xX](?:[0-9a-fA-F]+\.?[0-9a-fA-F]*|\.[0-9a-fA-F]+)(?:[pP][+-]?[0-9]+)?"
                r"|(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?"
                r"|[iI][nN][fF](?:[iI][nN][iI][tT][yY])?|[nN][aA][nN](?:\([0-9A-Za-z_]*\))?)")
_HEAD = re.compile(
    rf"s{_WS}={_WS}\[{_WS}({_SCANF_FLOAT})\],{_WS}k{_WS}={_WS}\[{_WS}({_SCANF_FLOAT})\],"
    rf"{_WS}n{_WS}={_WS}\[{_WS}([+-]?[0-9]+)\]{_WS}gerneration_size=\[{_WS}([+-]?[0-9]+)\]\.{_WS}")
# After line 1: a line is blank (spaces and TABs) or whole triples of tokens
# between spaces and TABs: a key, any token, a value. Values are decimal
# numbers that strtod reads whole and finite; a seed is a 32-bit integer.
_DECIMAL = re.compile(r"[+-]?(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?")
_WHOLE = re.compile(r"[+-]?[0-9]+")
_TOKENS = re.compile(r"[^ \t]+")
RATE_KEYS = ["a0", "a1", "a2", "b0", "b1", "b2"]


def _scanf_float(text):
    """Takes a %f conversion's text; returns its value as a float."""
    return float.fromhex(text) if "x" in text.lower() else float(text.split("(")[0])


def _scanf_long(text):
    """Takes a %ld conversion's text; returns the 32 low bits of the long it
    stores (clamped to the long range first), as a signed int."""
    value = min(max(int(text), -2**63), 2**63 - 1)
    return (value + 2**31) % 2**32 - 2**31


def _finite(text):
    """Takes a value token; returns it as a float, or None unless it is a
    decimal number with a finite value."""
    if not _DECIMAL.fullmatch(text):
        return None
    value = float(text)
    return value if np.isfinite(value) else None


def _store_triple(key, value, params):
    """Takes one triple's key and value; stores the value in params. Returns
    False when the key or the value is not one the program reads."""
    if key == "seed":
        if not _WHOLE.fullmatch(value) or not INT_MIN <= int(value) <= INT_MAX:
            return False
        params["seed"] = int(value)
        return True
    number = _finite(value)
    if number is None:
        return False
    if key in RATE_KEYS:
        params["rates"][key] = number
    elif re.fullmatch("[0-9]+", key) and int(key) < GENOTYPE_COUNT:
        params["fitness"][int(key)] = number
    else:
        return False
    return True


def read_params(path):
    """Takes the path of a .params file; returns a dict with 's', 'k' (fractions),
    'n', 'N', 'rates' (a0..b2: 0 is 1->2, 1 is 2->3, 2 is 1->3), 'fitness'
    (float array of 81, by genotype index) and 'seed' (int, or None without a
    `seed = N` line). Reads what the programs read, as they read it. A
    twolocus-sim parameter file gives the dict of sim_params.parse_sim_params
    ('n', 'N', 'fitness', 'record_every' and every other key).

    Raises TwolocusError when the file cannot be read, a line is not of the
    right format, or a rate or fitness is missing, with the program's
    message less its "You have to reenter the parameters." start."""
    with open_regular(path, "param file") as file:
        try:
            text = file.read().decode("latin-1")
        except OSError:
            raise TwolocusError(f"Could not read param file [{path}].") from None

    if text.startswith(SIM_FIRST_LINE):
        return parse_sim_params(text, path)

    def wrong(number):
        return TwolocusError(f"Line {number} of [{path}] is not of the right format.")

    head = _HEAD.match(text)
    if head is None:
        raise wrong(1)
    params = {"s": _scanf_float(head[1]), "k": _scanf_float(head[2]),
              "n": _scanf_long(head[3]), "N": _scanf_long(head[4]),
              "rates": {}, "fitness": np.full(GENOTYPE_COUNT, np.nan), "seed": None}
    # The rest of line 1 (after the white space that line 1's reading
    # skipped) counts as a line of its own, numbered as the line it is in.
    first_number = 1 + head[0].count("\n")
    body = text[head.end():]
    lines = body.split("\n")
    for number, line in enumerate(lines, start=first_number):
        if number < first_number + len(lines) - 1 and line.endswith("\r"):
            line = line[:-1]  # a CR LF line end
        tokens = _TOKENS.findall(line)
        if "\0" in line or len(tokens) % 3 != 0 or not all(
                _store_triple(tokens[i], tokens[i + 2], params) for i in range(0, len(tokens), 3)):
            raise wrong(number)
    if len(params["rates"]) < len(RATE_KEYS):
        raise TwolocusError(f"Mutation rates of [{path}] are incomplete.")
    if np.isnan(params["fitness"]).any():
        raise TwolocusError(f"Fitnesses of [{path}] are incomplete.")
    return params
