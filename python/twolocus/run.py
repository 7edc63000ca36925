"""A run: its records, its parameters and what follows from them.

One class for a run of `twolocus.simulate` and for a run read from its
files (runfiles.load_run): the records' labels, generations and counts,
the last population, and the statistics, conditions and picture of every
record.
"""

import numpy as np

from .analysis.conditions import Condition
from .analysis.statistics import STAT_COLUMNS, statistics
from .native import core


class Run:
    """One run: its records as twolocus-sim writes them, and its last population.

    Attributes
    ----------
    labels : numpy.ndarray of int64
        The records' labels: g for the population after generation g (g a
        multiple of `record_every`, or where a stop condition held), then n for
        the last population unless n is such a multiple or the run stopped.
    generations : numpy.ndarray of int64
        Generations run at each record: label + 1, and n at the final record labelled n.
    counts : numpy.ndarray, shape (records, 81)
        Each record's genotype counts, by genotype index (1111, 2111, 3111, 1211, ...
        3333, as in the trajectory's header).
    population : numpy.ndarray, shape (81,)
        The last population (after generation n - 1; the start when n = 0):
        give it, or the Run, as `initial` to continue.
    model : Model
        The model of a run of `simulate`; None for a run read from its files.
    N, n, seed, engine, record_every
        The run's size, generations, seed (the default's value when none was
        given), engine and record interval (None where its files do not say).
    path : str
        The trajectory file of a run read from its files; None for a run of `simulate`.
    demes : dict
        A run of a model of several demes: each deme's Run by name, in the
        model's order (its records ``OUT@NAME``: only of the generations in
        which the deme exists); empty for a run of one population.
    notes : list of str
        Lines about its files that are not failures (an incomplete last line
        left out, a parameter file that cannot be read).
    """

    __slots__ = ("model", "labels", "generations", "counts", "population", "N", "n", "seed",
                 "engine", "record_every", "conditions", "path", "notes", "demes", "_params",
                 "_fitness", "_summary", "_statistics", "_later")

    def __init__(self, labels, generations, counts, population, *, model=None, N=None, n=None,
                 seed=None, engine=None, record_every=None, conditions=(), path=None, notes=(),
                 params=None, fitness=None, demes=None, later_fitness=(), no_fitness=False):
        self.model = model
        self.labels = np.asarray(labels, dtype=np.int64)
        self.generations = np.asarray(generations, dtype=np.int64)
        self.counts, self.population = counts, population
        self.N, self.n, self.seed = N, n, seed
        self.engine, self.record_every = engine, record_every
        self.conditions = list(conditions)
        self.path, self.notes = path, list(notes)
        self.demes = dict(demes or {})
        # A run of simulate has its model's table unless given its own (a
        # deme's), or none (the demes together when their tables differ).
        if fitness is None and model is not None and not no_fitness:
            fitness = model.fitness
        self._params, self._fitness = params, fitness
        # The tables that follow, as (first generation, table): the record
        # labelled g reads the table in force in generation g.
        self._later = list(later_fitness)
        self._summary = None
        self._statistics = None

    @property
    def fitness(self):
        """The 81 fitness values of the run in its first generation (None
        where unknown); a change of fitness, or a deme's own table, is read
        from the generation it acts in by the statistics and conditions."""
        return self._fitness

    def _by_table(self, each):
        """each(counts, fitness) of every record, a NumPy array by record,
        the records from a change of fitness on by its table."""
        found = each(self.counts, self.fitness)
        for first, table in self._later:
            rows = self.labels >= first
            if rows.any():
                found[rows] = each(self.counts[rows], table)
        return found

    @property
    def reached(self):
        """The first label of each stop and watch condition (-1 for the start), or None, by text."""
        return {text: first for text, _, first in self.conditions}

    @property
    def end(self):
        """How the run ended, "last" (its last generation) or the stop condition that held."""
        return str(self.summary["end"])

    @property
    def summary(self):
        """The run's row of ``OUT.summary.tsv``: a NumPy record with `SUMMARY_COLUMNS`
        and, between ``generations`` and ``N``, one column per condition (its first
        label, NaN when not reached), named by its text ("extinct (condition)" for
        ``extinct``, a column name already). A run of `simulate` only."""
        if self._summary is None:
            line = core.summary_line(self.model._core, self.seed, self.n, self.conditions,
                                     self.population)
            self._summary = summary_table([line], [text for text, _, _ in self.conditions])[0]
        return self._summary

    def statistics(self):
        """The twolocus-stats statistics of every record.

        Returns
        -------
        numpy.ndarray
            A structured array, one row per record, with ``label``,
            ``generations`` and the columns of `twolocus.STAT_COLUMNS`
            (NaN where twolocus-stats leaves a value empty).
        """
        if self._statistics is None:
            table = self._by_table(statistics)
            out = np.empty(len(table), dtype=[("label", np.int64), ("generations", np.int64)]
                           + table.dtype.descr)
            out["label"], out["generations"] = self.labels, self.generations
            for name in STAT_COLUMNS:
                out[name] = table[name]
            self._statistics = out
        return self._statistics

    def holds(self, condition):
        """Where a condition (twolocus.analysis.conditions' language) holds.

        Parameters
        ----------
        condition : str or Condition
            For example ``"h22 >= 0.5"``; decided exactly, as the programs do.

        Returns
        -------
        numpy.ndarray of bool
            One value per record.
        """
        if isinstance(condition, str):
            condition = Condition(condition)
        return self._by_table(condition.holds)

    def first(self, condition):
        """The (label, generations) of the first record where a condition (a
        Condition, or a threshold whose condition it is) holds, or None."""
        condition = getattr(condition, "condition", condition)
        if self._later:
            where = np.flatnonzero(self._by_table(condition.holds))
            found = int(where[0]) if len(where) else None
        else:
            found = condition.first(self.counts, self.fitness)
        return None if found is None else (int(self.labels[found]), int(self.generations[found]))

    def params(self):
        """The run's parameters as `twolocus.read_params` gives a run's (None
        for a run read without its parameter file)."""
        if self.model is None:
            return self._params
        return {"sim": True, "N": self.N, "n": self.n, "seed": self.seed,
                "engine": self.engine, "record_every": self.record_every,
                "recombination": self.model.recombination, "weights": self.model.weights,
                "fitness": self.model.fitness, **self.model.mutation}

    def plot(self, thresholds=(), ld="D", size=(10.0, 9.0), title=None, name="simulate",
             demes=False):
        """twolocus-plot's picture of the run, as a Matplotlib Figure (not saved).

        Parameters
        ----------
        thresholds : sequence of str
            Conditions whose first crossing is marked (``twolocus-plot --first``).
        ld : {"D", "Dprime", "r2"}
        size : (float, float)
            Inches.
        title : str, optional
            Instead of the name and the parameters.
        name : str
            The run's name in the title.
        demes : bool
            Draw the whole population and each of `demes` in one picture, one
            colour each (``twolocus-plot --demes``); ValueError for a run
            without demes.
        """
        # Matplotlib loads slowly: only a picture needs it.
        if demes:
            if not self.demes:
                raise ValueError("the run has no demes to draw")
            from .analysis.conditions import parse_threshold
            from .pictures.demes import WHOLE, draw_demes
            return draw_demes([(WHOLE, self)] + list(self.demes.items()),
                              [parse_threshold(text) for text in thresholds], ld, size, title,
                              self.path or name, order=list(self.demes))
        from .pictures.runs import plot_runs
        return plot_runs([self], thresholds, ld, size, title, [name])


SUMMARY_COLUMNS = ["replicate", "seed", "end", "label", "generations"] + STAT_COLUMNS
_INTEGER_COLUMNS = {"replicate", "seed", "label", "generations", "N", "classes", "extinct"}


def _dtype(columns):
    return np.dtype([(name, "U256" if name == "end" else
                      np.int64 if name in _INTEGER_COLUMNS else np.float64)
                     for name in columns])


def summary_columns(conditions):
    """The summary's columns with the conditions' columns, named by their texts
    (the condition "extinct" as "extinct (condition)": names must differ)."""
    return (SUMMARY_COLUMNS[:5]
            + [f"{text} (condition)" if text in SUMMARY_COLUMNS else text for text in conditions]
            + SUMMARY_COLUMNS[5:])


def summary_table(lines, conditions=()):
    """The structured array of summary lines (with these condition columns)."""
    columns = summary_columns(conditions)
    fields = list(zip(*(line.split("\t") for line in lines)))
    table = np.empty(len(lines), dtype=_dtype(columns))
    for name, column in zip(columns, fields):
        if name == "end":
            table[name] = column
        elif name in _INTEGER_COLUMNS:
            table[name] = np.array(column, dtype=np.int64)
        else:
            table[name] = np.array([value or "nan" for value in column], dtype=np.float64)
    return table


def fitness_of(fitness, changes, deme=-1, several=False):
    """The fitness of one population of a run: (its table in generation 0,
    the later ones as (first generation, table)). Takes the run's table, its
    changes of fitness (first, deme, table) in the order they act, the
    deme's place (-1: a run of one population, or the demes together) and
    whether the run has several demes. The demes together have no table
    (None) when the demes' tables differ at some time."""
    if several and deme < 0 and any(d >= 0 for _, d, _ in changes):
        return None, []
    first_table, later = fitness, []
    for first, d, table in changes:
        if d >= 0 and d != deme and several:
            continue
        if first <= 0:
            first_table, later = table, [(f, t) for f, t in later if f > 0]
        else:
            later.append((first, table))
    return first_table, later
