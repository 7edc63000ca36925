"""The trajectory file a run writes, read back one population state a row.

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

from ..errors import TwolocusError
from ..files import open_regular
from ..genotypes import GENOTYPE_COUNT, LABELS
from .params import is_sim_params, params_path_of, read_params

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
    n rounds; its resumes continue the rounds, so the label says, but for a
    stop condition's record, which read_trajectory tells apart."""
    if sim_interval is not None:
        return label + 1 if label % sim_interval == 0 else label
    if label % RECORD_INTERVAL == 0:
        return base_rounds + (label - base_label)
    return base_rounds + max(0, label - 1 - base_label)


def _repeated_next(lines, number, label):
    """Whether the next whole record after line `number` (from 1, the
    header's; an empty or cut line between them passed over) has the label
    `label`: a resume's repeat of it."""
    for following in lines[number:]:
        fields = following.split("\t")
        if len(fields) >= GENOTYPE_COUNT + 1:
            first = fields[0]
            return first.lstrip("-").isdigit() and int(first) == label
    return False


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

    sim_interval = sim_total = None
    params_path = params_path_of(path) or os.fspath(path) + ".params"
    if is_sim_params(params_path):
        sim_params = read_params(params_path)
        sim_interval, sim_total = sim_params["record_every"], sim_params["generations"]
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
            if (sim_interval and label % sim_interval != 0 and label != sim_total
                    and not _repeated_next(lines, number, label)):
                # Not the final record of this total, nor of an earlier one
                # (a resume writes that again next): a stop condition's
                # record, written after generation `label`.
                rounds = label + 1
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


