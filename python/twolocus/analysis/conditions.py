"""Conditions on a population: the language of stop, watch and --first.

Grammar (white space is free between tokens):

    expr    := or
    or      := and ('or' and)*
    and     := atom ('and' atom)*
    atom    := '(' expr ')' | operand OP operand | 'extinct'
    OP      := '<' | '<=' | '>' | '>=' | '==' | '!='
    operand := (STAT | 'count(' LABEL ')' | 'freq(' LABEL ')') ['@' DEME] | NUMBER

Comparisons bind tightest, then 'and', then 'or'. STAT is a column of
twolocus-stats (statistics.STAT_COLUMNS). LABEL is an ordered genotype's
four digits 1..3 as in the trajectory header; count(LABEL) is its
individuals and freq(LABEL) = count / N. NUMBER is decimal,
[+-]?(D+[.D*]|.D+)([eE][+-]?D+)?, finite, taken as the nearest double.
'extinct' alone means extinct == 1. With several demes, '@DEME' after an
operand (or after 'extinct' alone) reads that deme's population; without
it an operand reads the demes together.

Every value is exact and every comparison is made on the exact values,
by the programs' own reader and evaluator (src/model/conditions, through
the compiled module): a condition holds here where a run's stop or watch
condition holds. An undefined value (a frequency of an extinct population,
D' or r2 with allele 1 fixed or lost at a locus, mean_fitness without
fitness values or with a non-finite fitness of an occupied class) makes
every comparison it is in false.

A --first threshold (parse_threshold) is a condition, or the plain form
'STAT OP VALUE', which keeps its statistic, operator and value.
"""

import math
import re

from ..errors import TwolocusError
from ..native import core
from .statistics import STAT_COLUMNS, counts_array, fitness_array


class ConditionError(TwolocusError):
    """A condition that cannot be read: kind (its error's name, as in
    tests/cases/conditions/cases.tsv) and the 1-based character position."""

    def __init__(self, text, kind, position, words):
        super().__init__(f"Could not read the condition [{text}]: {words} at character "
                         f"{position}.")
        self.kind = kind
        self.position = position


class Condition:
    """A condition read from its text (str): text, and where it holds."""

    def __init__(self, text):
        compiled, kind, position, words = core.parse_condition(
            text.encode("utf-8", "surrogateescape"))
        if compiled is None:
            raise ConditionError(text, kind, position, words)
        self.text = text
        self._compiled = compiled

    @property
    def demes(self):
        """The demes the condition names after '@', in the order first named."""
        return list(self._compiled.demes)

    def _demes(self, demes):
        missing = [name for name in self.demes if demes is None or name not in demes]
        if missing:
            raise TwolocusError(f"The condition [{self.text}] reads deme [{missing[0]}]: "
                                f"give its records (OUT@{missing[0]}).")
        return {name: counts_array(demes[name]) for name in self.demes}

    def holds(self, counts, fitness=None, demes=None):
        """Takes populations (rows x 81 counts, or 81: the demes together),
        optional fitness values and, for a condition that names demes, a dict
        of each deme's populations row by row; returns a bool array: where
        the condition holds, exactly."""
        return self._compiled.holds(counts_array(counts), fitness_array(fitness), self._demes(demes))

    def first(self, counts, fitness=None, demes=None):
        """The index of the first population where the condition holds, or None."""
        found = self._compiled.first(counts_array(counts), fitness_array(fitness), self._demes(demes))
        return None if found < 0 else found


def parse_condition(text):
    """Takes a condition's text; returns it compiled (a Condition). Raises
    ConditionError (a TwolocusError) "Could not read the condition [TEXT]:
    WHAT at character P." with its kind and 1-based position."""
    return Condition(text)


_THRESHOLD = re.compile(r"\s*([A-Za-z_][A-Za-z0-9_]*)\s*(<=|>=|<|>)\s*(\S+)\s*")
_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")


class Threshold(tuple):
    """A parsed --first condition. The plain form 'STAT OP VALUE' (OP one of
    < <= > >=) is the tuple (stat, op, value); any other condition is
    (text, None, None). Either way, condition is its Condition."""

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
    match = _THRESHOLD.fullmatch(text)
    if match is not None:
        stat, op, value_text = match.groups()
        if stat not in STAT_COLUMNS:
            raise TwolocusError(f"Unknown statistic [{stat}].")
        value = number_or_nan(value_text)
        if not math.isfinite(value):
            raise TwolocusError(f"Could not read the threshold [{text}].")
        return Threshold((stat, op, value), Condition(f"{stat} {op} {value!r}"))
    try:
        condition = Condition(text)
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
