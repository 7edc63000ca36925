"""Conditions on a population: the language of stop, watch and --first.

Grammar (white space is free between tokens):

    expr    := or
    or      := and ('or' and)*
    and     := atom ('and' atom)*
    atom    := '(' expr ')' | operand OP operand | 'extinct'
    OP      := '<' | '<=' | '>' | '>=' | '==' | '!='
    operand := STAT | 'count(' LABEL ')' | 'freq(' LABEL ')' | NUMBER

Comparisons bind tightest, then 'and', then 'or'. STAT is a column of
twolocus-stats (stats.STAT_COLUMNS). LABEL is an ordered genotype's four
digits 1..3 as in the trajectory header; count(LABEL) is its individuals and
freq(LABEL) = count / N. NUMBER is decimal, [+-]?(D+[.D*]|.D+)([eE][+-]?D+)?,
finite, taken as the nearest double. 'extinct' alone means extinct == 1.

Every value is exact: statistics are ratios of the integer counts,
mean_fitness is sum(count * fitness) / N with each fitness double taken
exactly, a number is its double taken exactly, and comparisons are made on
those rationals (Fraction). An undefined value (a frequency of an extinct
population, D' or r2 with allele 1 fixed or lost at a locus, mean_fitness
without fitness values or with a non-finite fitness of an occupied class)
makes every comparison it is in false. The C++ evaluator,
src/model/conditions.hpp, reads the same grammar with the same error kinds
and positions; tests/cases/conditions/cases.tsv holds the cases both pass.
"""

import math
import operator
import re
from fractions import Fraction

import numpy as np

from .errors import TwolocusError
from .genotypes import GENOTYPE_COUNT, LABELS
from .stats import STAT_COLUMNS, _COPIES

# Error kinds (as in the C++ enum condition_error_kind) and their words.
ERROR_WORDS = {
    "unexpected_character": "an unexpected character",
    "unknown_name": "an unknown name",
    "bad_label": "a genotype label that is not four digits 1 to 3",
    "bad_number": "a number that is not finite",
    "expected_operand": "a missing operand",
    "expected_operator": "a missing comparison operator",
    "expected_paren": "a missing parenthesis",
    "trailing_text": "text after the end of the condition",
    "too_deep": "parentheses nested more than 32 deep",
}
MAX_DEPTH = 32
OPERATORS = {"<": operator.lt, "<=": operator.le, ">": operator.gt, ">=": operator.ge,
             "==": operator.eq, "!=": operator.ne}
_SPACE = " \t\n\v\f\r"
_NUMBER = re.compile(r"[+-]?(?:[0-9]+(?:\.[0-9]*)?|\.[0-9]+)(?:[eE][+-]?[0-9]+)?")
_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")
_WORD = re.compile(r"[A-Za-z0-9_]*")
_LABEL_INDEX = {label: index for index, label in enumerate(LABELS)}


class ConditionError(TwolocusError):
    """A condition that cannot be read: kind (a key of ERROR_WORDS) and the
    1-based character position."""

    def __init__(self, text, kind, position):
        super().__init__(f"Could not read the condition [{text}]: {ERROR_WORDS[kind]} "
                         f"at character {position}.")
        self.kind = kind
        self.position = position


class _Parser:
    def __init__(self, text):
        self.text = text
        self.at = 0
        self.depth = 0

    def fail(self, kind, at=None):
        raise ConditionError(self.text, kind, (self.at if at is None else at) + 1)

    def skip(self):
        while self.at < len(self.text) and self.text[self.at] in _SPACE:
            self.at += 1

    def peek(self):
        """Skips white space; returns (kind, text) of the next token without
        taking it: kind is 'end', 'op', 'paren', 'number' or 'name'."""
        self.skip()
        text, at = self.text, self.at
        if at == len(text):
            return "end", ""
        char = text[at]
        if char in "()":
            return "paren", char
        if text.startswith(("<=", ">=", "==", "!="), at):
            return "op", text[at:at + 2]
        if char in "<>":
            return "op", char
        number = _NUMBER.match(text, at)
        if number:
            return "number", number[0]
        name = _NAME.match(text, at) if char.isascii() else None
        if name:
            return "name", name[0]
        self.fail("unexpected_character")

    def take(self):
        kind, token = self.peek()
        self.at += len(token)
        return kind, token

    def expression(self):
        terms = [self.conjunction()]
        while self.peek() == ("name", "or"):
            self.take()
            terms.append(self.conjunction())
        return terms[0] if len(terms) == 1 else ("or", terms)

    def conjunction(self):
        terms = [self.atom()]
        while self.peek() == ("name", "and"):
            self.take()
            terms.append(self.atom())
        return terms[0] if len(terms) == 1 else ("and", terms)

    def atom(self):
        kind, token = self.peek()
        if (kind, token) == ("paren", "("):
            self.depth += 1
            if self.depth > MAX_DEPTH:
                self.fail("too_deep")
            self.take()
            inner = self.expression()
            if self.peek() != ("paren", ")"):
                self.fail("expected_paren")
            self.take()
            self.depth -= 1
            return inner
        if (kind, token) == ("name", "extinct"):
            start = self.at
            self.take()
            if self.peek()[0] != "op":
                return ("cmp", "==", ("stat", "extinct"), ("num", Fraction(1), 1.0))
            self.at = start
        left = self.operand()
        kind, op = self.peek()
        if kind != "op":
            self.fail("expected_operator")
        self.take()
        return ("cmp", op, left, self.operand())

    def operand(self):
        kind, token = self.peek()
        start = self.at
        if kind == "number":
            value = float(token)
            if not math.isfinite(value):
                self.fail("bad_number")
            self.take()
            return ("num", Fraction(value), value)
        if kind != "name" or token in ("and", "or"):
            self.fail("expected_operand")
        self.take()
        if token in STAT_COLUMNS:
            return ("stat", token)
        if token not in ("count", "freq"):
            self.fail("unknown_name", start)
        if self.peek() != ("paren", "("):
            self.fail("expected_paren")
        self.take()
        self.skip()
        label = _WORD.match(self.text, self.at)[0]
        if label not in _LABEL_INDEX or not label.isascii():
            self.fail("bad_label")
        self.at += len(label)
        if self.peek() != ("paren", ")"):
            self.fail("expected_paren")
        self.take()
        return (token, _LABEL_INDEX[label])


def parse_condition(text):
    """Takes a condition's text; returns it compiled (nested tuples). Raises
    ConditionError (a TwolocusError) "Could not read the condition [TEXT]:
    WHAT at character P." with its kind and 1-based position."""
    parser = _Parser(text)
    tree = parser.expression()
    if parser.peek()[0] != "end":
        parser.fail("trailing_text")
    return tree


def _exact_value(operand, counts, fitness, memo):
    """Takes an operand and one population; returns its exact value as a
    Fraction, or None where undefined."""
    kind = operand[0]
    if kind == "num":
        return operand[1]
    n = memo.setdefault("N", sum(counts))
    if kind == "count":
        return Fraction(counts[operand[1]])
    if kind == "freq":
        return None if n == 0 else Fraction(counts[operand[1]], n)
    name = operand[1]
    if name == "N":
        return Fraction(n)
    if name == "extinct":
        return Fraction(int(n == 0))
    if name == "classes":
        return Fraction(sum(1 for c in counts if c > 0))
    if n == 0:
        return None
    if name == "mean_fitness":
        if fitness is None or not all(math.isfinite(w) for c, w in zip(counts, fitness) if c):
            return None
        return sum(c * Fraction(w) for c, w in zip(counts, fitness) if c) / n
    if "copies" not in memo:
        # Exact in int64: each column is at most 2N, N a sum of 81 32-bit counts.
        memo["copies"] = [int(c) for c in np.asarray(counts, dtype=np.int64) @ _COPIES]
    copies, total = memo["copies"], 2 * n
    position = STAT_COLUMNS.index(name) - 1
    if position < 15:
        return Fraction(copies[position], total)
    a, b, h11 = copies[0], copies[3], copies[6]
    d = h11 * total - a * b
    if name == "D":
        return Fraction(d, total * total)
    if name == "Dprime":
        d_max = (min(a * (total - b), (total - a) * b) if d > 0
                 else min(a * b, (total - a) * (total - b)))
        return None if d_max == 0 else Fraction(d, d_max)
    if name == "r2":
        denominator = a * (total - a) * b * (total - b)
        return None if denominator == 0 else Fraction(d * d, denominator)
    first = 0 if name == "Ha" else 3
    return 1 - Fraction(sum(c * c for c in copies[first:first + 3]), total * total)


def _holds(tree, counts, fitness, memo):
    kind = tree[0]
    if kind == "or":
        return any(_holds(term, counts, fitness, memo) for term in tree[1])
    if kind == "and":
        return all(_holds(term, counts, fitness, memo) for term in tree[1])
    left = _exact_value(tree[2], counts, fitness, memo)
    right = _exact_value(tree[3], counts, fitness, memo)
    return left is not None and right is not None and OPERATORS[tree[1]](left, right)


def evaluate(condition, counts_row, fitness=None):
    """Takes a parsed condition, the 81 genotype counts of one population and,
    optionally, its run's 81 fitness values; returns whether it holds, exactly."""
    counts = [int(c) for c in counts_row]
    return _holds(condition, counts, None if fitness is None else [float(w) for w in fitness],
                  {})


def _approximate(operand, counts, fitness, cache):
    """Takes an operand and rows x 81 counts; returns (values, scale, defined):
    float64 values within a relative 1e-14 of the exact ones (plus 1e-14 scale
    for mean_fitness), and where the exact value is defined."""
    rows = len(counts)
    kind = operand[0]
    everywhere = np.ones(rows, dtype=bool)
    if kind == "num":
        return np.full(rows, operand[2]), 0.0, everywhere
    if "N" not in cache:
        cache["N"] = counts.sum(axis=1)
        cache["copies"] = counts @ _COPIES
    n, copies = cache["N"], cache["copies"]
    alive = n > 0
    safe_n = np.where(alive, n, 1)
    if kind == "count":
        return counts[:, operand[1]].astype(float), 0.0, everywhere
    if kind == "freq":
        return counts[:, operand[1]] / safe_n, 0.0, alive
    name = operand[1]
    if name in ("N", "extinct", "classes"):
        value = {"N": n, "extinct": n == 0, "classes": (counts > 0).sum(axis=1)}[name]
        return value.astype(float), 0.0, everywhere
    if name == "mean_fitness":
        if fitness is None:
            return np.zeros(rows), 0.0, np.zeros(rows, dtype=bool)
        weights = np.asarray(fitness, dtype=float)
        finite = np.isfinite(weights)
        safe = np.where(finite, weights, 0.0)
        defined = alive & ((counts[:, ~finite] > 0).sum(axis=1) == 0)
        return counts @ safe / safe_n, counts @ np.abs(safe) / safe_n, defined
    total = 2 * safe_n
    position = STAT_COLUMNS.index(name) - 1
    if position < 15:
        return copies[:, position] / total, 0.0, alive
    a, b, h11 = copies[:, 0], copies[:, 3], copies[:, 6]
    with np.errstate(over="ignore", divide="ignore", invalid="ignore"):
        # Exact in int64 while 2N <= 2^31; larger rows are decided exactly.
        d = h11 * total - a * b
        if name == "D":
            return d / total / total, 0.0, alive
        if name == "Dprime":
            d_max = np.where(d > 0, np.minimum(a * (total - b), (total - a) * b),
                             np.minimum(a * b, (total - a) * (total - b)))
            return d / np.where(d_max == 0, 1, d_max), 0.0, alive & (d_max != 0)
        if name == "r2":
            ea, eb = a * (total - a), b * (total - b)
            defined = alive & (ea != 0) & (eb != 0)
            return (d / np.where(ea == 0, 1, ea)) * (d / np.where(eb == 0, 1, eb)), 0.0, defined
        c = copies[:, 0:3] if name == "Ha" else copies[:, 3:6]
        pairs = c[:, 0] * c[:, 1] + c[:, 0] * c[:, 2] + c[:, 1] * c[:, 2]
        return 2 * pairs / total / total, 0.0, alive


def evaluate_rows(condition, counts, fitness=None):
    """Takes a parsed condition, an array of rows x 81 genotype counts and
    optional fitness values; returns a bool array, row by row equal to
    evaluate(). Comparisons are made in float64 where the gap between the two
    sides is far above their rounding error, and exactly in the other rows."""
    counts = np.asarray(counts, dtype=np.int64).reshape(-1, GENOTYPE_COUNT)
    exact_rows = counts.sum(axis=1) > 2 ** 30
    return _rows(condition, counts, fitness, {}, exact_rows)


def _rows(tree, counts, fitness, cache, exact_rows):
    kind = tree[0]
    if kind in ("or", "and"):
        results = [_rows(term, counts, fitness, cache, exact_rows) for term in tree[1]]
        return np.logical_or.reduce(results) if kind == "or" else np.logical_and.reduce(results)
    left, left_scale, left_defined = _approximate(tree[2], counts, fitness, cache)
    right, right_scale, right_defined = _approximate(tree[3], counts, fitness, cache)
    defined = left_defined & right_defined
    with np.errstate(invalid="ignore", over="ignore"):
        gap = np.abs(left - right)
        decided = (gap > 1e-9 * (np.abs(left) + np.abs(right) + left_scale + right_scale)) \
            & np.isfinite(gap) & ~exact_rows
        result = defined & decided & OPERATORS[tree[1]](left, right)
    for row in np.flatnonzero(defined & ~decided):
        result[row] = _holds(tree, [int(c) for c in counts[row]],
                             None if fitness is None else [float(w) for w in fitness], {})
    return result
