"""The statistics of populations: every column of twolocus-stats.

Each statistic is computed once, by the programs' own code (src/model/
statistics, through the compiled module): frequencies over the 2N
haplotypes (an individual of ordered genotype (a1, a2, b1, b2) carries the
haplotypes a1-b1, slots 1 and 3, and a2-b2, slots 2 and 4); D, D' and r^2
of allele 1 at both loci; the heterozygosities 1 - sum p^2; each the exact
ratio of the integer counts rounded once, so a population in linkage
equilibrium gets D = 0 exactly. mean_fitness is the sum of count x fitness
(as math.fsum adds them) over N.
"""

import math

import numpy as np

from ..genotypes import GENOTYPE_COUNT
from ..native import core

STAT_COLUMNS = core.statistic_names()
ALLELE_COLUMNS = STAT_COLUMNS[1:7]
HAPLOTYPE_COLUMNS = STAT_COLUMNS[7:16]
# Whole numbers; every other statistic is a real number (NaN: undefined).
INTEGER_COLUMNS = ("N", "classes", "extinct")


def counts_array(counts):
    """Takes counts of one population (81) or of several (rows x 81);
    returns them as an int64 array of rows x 81."""
    return np.ascontiguousarray(np.asarray(counts, dtype=np.int64).reshape(-1, GENOTYPE_COUNT))


def fitness_array(fitness):
    """Takes 81 fitness values or None; returns a float64 array or None."""
    return None if fitness is None else np.ascontiguousarray(fitness, dtype=np.float64)


def statistics(counts, fitness=None):
    """twolocus-stats' statistics of many populations at once.

    Parameters
    ----------
    counts : array of ints, shape (populations, 81) or (81,)
        Genotype counts by genotype index, each from -2147483648 to
        2147483647 (as a trajectory file holds them).
    fitness : array of 81 floats, optional
        For ``mean_fitness`` (NaN without it).

    Returns
    -------
    numpy.ndarray
        A structured array with the columns of `STAT_COLUMNS`, one row per
        population: ``N``, ``classes`` and ``extinct`` as integers, every
        other statistic the correctly rounded ratio of the integer counts,
        NaN where twolocus-stats leaves it empty.
    """
    values = core.statistics(counts_array(counts), fitness_array(fitness))
    table = np.empty(len(values), dtype=[(name, np.int64 if name in INTEGER_COLUMNS else np.float64)
                                         for name in STAT_COLUMNS])
    for position, name in enumerate(STAT_COLUMNS):
        table[name] = values[:, position]
    return table


def population_stats(counts_row, fitness=None):
    """Takes the 81 genotype counts of one population and, optionally, the 81
    fitness values of its run; returns a dict of every STAT_COLUMNS name to
    its value: ints for N, classes and extinct, floats otherwise, None where
    undefined (frequencies of an extinct population, D' and r^2 with an
    allele fixed, mean_fitness without fitness values)."""
    (row,) = statistics(counts_row, fitness)
    return row_values(row)


def row_values(row):
    """Takes a row of statistics(); returns it as a dict of Python numbers,
    None where a value is undefined."""
    return {name: int(row[name]) if name in INTEGER_COLUMNS
            else None if math.isnan(row[name]) else float(row[name])
            for name in STAT_COLUMNS}


def format_value(value):
    """A statistic as twolocus-stats writes it: empty for None or NaN, %.10g
    for a real number, the digits of a whole one."""
    if value is None:
        return ""
    if isinstance(value, (float, np.floating)):
        return "" if math.isnan(value) else f"{value:.10g}"
    return str(value)


def trajectory_rows(trajectory, fitness=None):
    """Takes a runfiles.trajectory.Trajectory and optional fitness values;
    returns one dict per population with 'label', 'generations' and every
    STAT_COLUMNS value (None where undefined)."""
    table = statistics(trajectory.counts, fitness)
    return [{"label": label, "generations": rounds, **row_values(row)}
            for label, rounds, row in zip(trajectory.labels, trajectory.generations, table)]
