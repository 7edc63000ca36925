"""Population-genetic statistics of one population, and threshold crossings.

Frequencies are over the 2N haplotypes: an individual of ordered genotype
(a1, a2, b1, b2) carries the haplotypes a1-b1 (slots 1 and 3, from one
parent) and a2-b2 (slots 2 and 4, from the other). D, D' and r^2 are those
of allele 1 at both loci. Ratios are formed from exact integer counts, so a
population in linkage equilibrium gets D = 0 exactly.
"""

import math
import operator
import re
from fractions import Fraction

import numpy as np

from .errors import TwolocusError
from .genotypes import GENOTYPE_COUNT, alleles

ALLELE_COLUMNS = ["a1", "a2", "a3", "b1", "b2", "b3"]
HAPLOTYPE_COLUMNS = [f"h{i}{j}" for i in (1, 2, 3) for j in (1, 2, 3)]
STAT_COLUMNS = (["N"] + ALLELE_COLUMNS + HAPLOTYPE_COLUMNS
                + ["D", "Dprime", "r2", "Ha", "Hb", "classes", "mean_fitness", "extinct"])
# Statistics left empty for an extinct population.
FREQUENCY_COLUMNS = STAT_COLUMNS[1:-3] + ["mean_fitness"]


def _copies_matrix():
    """81 x 15 matrix: per genotype, its copies of alleles a1..a3, b1..b3 and
    of haplotypes h11..h33 (each haplotype column indexed 3 (i - 1) + (j - 1))."""
    matrix = np.zeros((GENOTYPE_COUNT, 15), dtype=np.int64)
    for index in range(GENOTYPE_COUNT):
        a1, a2, b1, b2 = alleles(index)
        for a in (a1, a2):
            matrix[index, a - 1] += 1
        for b in (b1, b2):
            matrix[index, 3 + b - 1] += 1
        for a, b in ((a1, b1), (a2, b2)):
            matrix[index, 6 + 3 * (a - 1) + (b - 1)] += 1
    return matrix


_COPIES = _copies_matrix()


def _ratio(numerator, denominator):
    """Exact integer ratio as a float, or None when the denominator is 0."""
    return None if denominator == 0 else float(Fraction(numerator, denominator))


def population_stats(counts_row, fitness=None):
    """Takes the 81 genotype counts of one population and, optionally, the 81
    fitness values of its run; returns a dict of every STAT_COLUMNS name to
    its value: ints for N, classes and extinct, floats otherwise, None where
    undefined (frequencies of an extinct population, D' and r^2 with an
    allele fixed, mean_fitness without fitness values)."""
    counts = np.asarray(counts_row, dtype=np.int64)
    n = int(counts.sum())
    stats = {"N": n, "classes": int((counts > 0).sum()), "extinct": int(n == 0)}
    if n == 0:
        stats.update({column: None for column in FREQUENCY_COLUMNS})
        return stats
    copies = [int(c) for c in counts @ _COPIES]
    total = 2 * n
    for column, count in zip(ALLELE_COLUMNS + HAPLOTYPE_COLUMNS, copies):
        stats[column] = count / total
    a, b, h11 = copies[0], copies[3], copies[6]
    # D = h11 - a1 b1, scaled by total^2 to stay in integers.
    d = h11 * total - a * b
    stats["D"] = d / (total * total)
    d_max = (min(a * (total - b), (total - a) * b) if d > 0
             else min(a * b, (total - a) * (total - b)))
    stats["Dprime"] = _ratio(d, d_max)
    stats["r2"] = _ratio(d * d, a * (total - a) * b * (total - b))
    for column, first in (("Ha", 0), ("Hb", 3)):
        squares = sum(c * c for c in copies[first:first + 3])
        stats[column] = float(Fraction(total * total - squares, total * total))
    if fitness is None:
        stats["mean_fitness"] = None
    else:
        stats["mean_fitness"] = math.fsum(
            int(c) * float(w) for c, w in zip(counts, fitness)) / n
    return stats


OPERATORS = {"<": operator.lt, "<=": operator.le, ">": operator.gt, ">=": operator.ge}
_THRESHOLD = re.compile(r"\s*([A-Za-z_][A-Za-z0-9_]*)\s*(<=|>=|<|>)\s*(\S+)\s*")
_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")


class Threshold(tuple):
    """A parsed --first condition. The plain form 'STAT OP VALUE' (OP one of
    < <= > >=) is the tuple (stat, op, value) as it always was; any other
    condition is (text, None, None). Either way, condition is the compiled
    condition (see conditions.py)."""

    def __new__(cls, parts, condition):
        threshold = super().__new__(cls, parts)
        threshold.condition = condition
        return threshold


def number_or_nan(text):
    """float(text), or NaN for a text that is no number."""
    try:
        return float(text)
    except ValueError:
        return math.nan


def parse_threshold(text):
    """Takes a --first condition such as "h22 >= 0.5" or "a1 < 0.01 or
    a1 > 0.99"; returns a Threshold. Raises TwolocusError "Unknown statistic
    [%s]." for a name that is no statistic, or "Could not read the threshold
    [%s]." for any other text that is not a condition (the plain form with
    a value that is not a finite number included)."""
    from .conditions import ConditionError, parse_condition
    match = _THRESHOLD.fullmatch(text)
    if match is not None:
        stat, op, value_text = match.groups()
        if stat not in STAT_COLUMNS:
            raise TwolocusError(f"Unknown statistic [{stat}].")
        value = number_or_nan(value_text)
        if not math.isfinite(value):
            raise TwolocusError(f"Could not read the threshold [{text}].")
        return Threshold((stat, op, value), parse_condition(f"{stat} {op} {value!r}"))
    try:
        condition = parse_condition(text)
    except ConditionError as error:
        if error.kind == "unknown_name":
            name = _NAME.match(text, error.position - 1)[0]
            raise TwolocusError(f"Unknown statistic [{name}].") from None
        raise TwolocusError(f"Could not read the threshold [{text}].") from None
    return Threshold((text.strip(), None, None), condition)


def format_threshold(threshold):
    """Takes a parsed threshold; returns it as text, for example "h22 >= 0.5"
    (a condition other than 'STAT OP VALUE' as given, without outer blanks)."""
    stat, op, value = threshold
    return stat if op is None else f"{stat} {op} {value:g}"


def passes(row, threshold):
    """Takes a row (dict with the threshold's statistic) and a plain threshold
    (stat, op, value); returns whether the row's value passes it (an empty
    value never does)."""
    stat, op, value = threshold
    return row[stat] is not None and OPERATORS[op](row[stat], value)


def first_passage(rows, threshold):
    """Takes rows in file order (dicts with 'label', 'generations' and either
    the 'counts' and 'fitness' of trajectory_rows() or the statistic) and a
    threshold; returns (label, generations) of the first row that passes it,
    or None. With counts, conditions are evaluated exactly (conditions.py);
    a plain tuple on rows of values compares the values."""
    condition = getattr(threshold, "condition", None)
    if condition is not None and rows and "counts" in rows[0]:
        from .conditions import evaluate_rows
        held = np.flatnonzero(evaluate_rows(condition, np.array([row["counts"] for row in rows]),
                                            rows[0]["fitness"]))
        return None if len(held) == 0 else (rows[held[0]]["label"], rows[held[0]]["generations"])
    for row in rows:
        if passes(row, threshold):
            return row["label"], row["generations"]
    return None


def trajectory_rows(trajectory, fitness=None):
    """Takes a reader.Trajectory and optional fitness values; returns one dict
    per population with 'label', 'generations', every STAT_COLUMNS value, and
    its 'counts' and the 'fitness' (for conditions)."""
    return [{"label": label, "generations": rounds, **population_stats(row, fitness),
             "counts": row, "fitness": fitness}
            for label, rounds, row in zip(trajectory.labels, trajectory.generations,
                                          trajectory.counts)]
