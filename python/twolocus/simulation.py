"""The engines of twolocus-sim in Python: Model, simulate and replicate.

The keywords are twolocus-sim's options (``mu_a12`` is ``--mu-a12``). Each
value is read by the program's own reader with its rules and defaults, and
a bad one raises ValueError with the program's message; the generations are
run by the program's engines in this process, so the same seed gives the
same numbers as ``twolocus-sim``. Calls release the GIL, and Ctrl-C stops
them within one generation (KeyboardInterrupt) with nothing written.
"""

import math
import numbers
import os

import numpy as np

from . import _core
from .conditions import evaluate_rows, parse_condition
from .genotypes import GENOTYPE_COUNT
from .stats import _COPIES, STAT_COLUMNS, population_stats

CHANGES = ("12", "23", "13", "21", "32", "31")
MUTATION_KEYWORDS = tuple(f"mu_{locus}{change}" for locus in "ab" for change in CHANGES)
SUMMARY_COLUMNS = ["replicate", "seed", "end", "label", "generations"] + STAT_COLUMNS
_INTEGER_COLUMNS = {"replicate", "seed", "label", "generations", "N", "classes", "extinct"}
_MAX_COUNT = 2 ** 31 - 1


def _dtype(columns):
    return np.dtype([(name, "U256" if name == "end" else
                      np.int64 if name in _INTEGER_COLUMNS else np.float64)
                     for name in columns])


def _columns(conditions):
    """The summary's columns with the conditions' columns, named by their texts
    (the condition "extinct" as "extinct (condition)": names must differ)."""
    return (SUMMARY_COLUMNS[:5]
            + [f"{text} (condition)" if text in SUMMARY_COLUMNS else text for text in conditions]
            + SUMMARY_COLUMNS[5:])


def _text(keyword, value):
    """A number's text as the program reads it; TypeError for a non-number."""
    if type(value) is int:  # noqa: E721 (the common case, first)
        return str(value)
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{keyword} must be a number, not {type(value).__name__}")
    return str(int(value)) if isinstance(value, numbers.Integral) else repr(float(value))


def _number(keyword, value, option):
    """A number keyword as the program's option words; TypeError for a non-number."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{keyword} must be a number, not {type(value).__name__}")
    text = str(int(value)) if isinstance(value, numbers.Integral) else repr(float(value))
    return [option, text] if option in ("-N", "-s", "-k") else [f"{option}={text}"]


def _encoded(keyword, text):
    """A text argument (a word or a condition) as the bytes the program reads.
    ValueError for a NUL (the program would read only what comes before it)
    or a lone surrogate (not a character: UTF-8 cannot encode it)."""
    if "\0" in text:
        raise ValueError(f"{keyword} must not hold a NUL character: {text!r}")
    try:
        return text.encode("utf-8")
    except UnicodeEncodeError as error:
        raise ValueError(f"{keyword} must be text: {text[error.start]!r} at position "
                         f"{error.start} of {text!r} is a lone surrogate, not a character"
                         ) from None


def _path(keyword, value):
    """A file name (str, bytes or os.PathLike) as the bytes of the name: a
    str as the file system encodes it (so a name read with os.listdir names
    the same file). TypeError for another type, ValueError for a NUL."""
    if not isinstance(value, (str, bytes, os.PathLike)):
        raise TypeError(f"{keyword} must be a file name (str, bytes or os.PathLike), "
                        f"not {type(value).__name__}")
    try:
        name = os.fsencode(value)
    except UnicodeEncodeError as error:
        raise ValueError(f"{keyword} must be a file name: {error.object[error.start]!r} at "
                         f"position {error.start} is a lone surrogate that names no byte"
                         ) from None
    if b"\0" in name:
        raise ValueError(f"{keyword} must not hold a NUL character: {os.fsdecode(name)!r}")
    return name


_PATHS = {"fitness", "fitness_values", "initial"}


def _word(keyword, value, option):
    """A text keyword (a file name, a word) as the program's option words."""
    if keyword in _PATHS:
        return [option.encode() + b"=" + _path(keyword, value)]
    if not isinstance(value, str):
        raise TypeError(f"{keyword} must be a string, not {type(value).__name__}")
    return [option.encode() + b"=" + _encoded(keyword, value)]


def _words(given, numeric):
    """The option words of the keywords given (not None), in the given order:
    numbers as str, text and file names as bytes."""
    words = []
    for keyword, value in given.items():
        if value is None:
            continue
        option = "-N" if keyword == "N" else "--" + keyword.replace("_", "-")
        if keyword in ("s", "k"):
            option = "-" + keyword
        words += (_number if keyword in numeric else _word)(keyword, value, option)
    return words


class Model:
    """A parameter set of the model: the fitness table, mutation, recombination and weights.

    Parameters
    ----------
    fitness : str, bytes or os.PathLike, optional
        A table of fitness codes 0 to 8 (``--fitness``); a str is encoded as
        the file system encodes names, so a name from os.listdir names its file.
    fitness_values : str, bytes or os.PathLike, optional
        A table of real fitness values (``--fitness-values``); give one of the two.
    column : int, optional
        The table's column, 1 the first after the alleles (default 1).
    s, k : float, optional
        The codes' coefficients as fractions (s 0 to 1, k -1 to 1000; default 0).
    mu : float, optional
        The six one-way rates 1->2, 2->3, 1->3 at both loci.
    mu_a12, mu_a23, mu_a13, mu_a21, mu_a32, mu_a31, mu_b12, ..., mu_b31 : float, optional
        One change i->j at locus a or b; overrides `mu` for that change.
    recombination : float, optional
        The probability per meiosis, 0 to 0.5 (default 0.5).
    weights : {"exact", "floor"}, optional
        Parent weight count x fitness, or its integer truncation (default "exact").

    Raises
    ------
    ValueError
        A value out of range, not read whole, or two that conflict, with
        twolocus-sim's message (``option [--recombination] takes a probability
        from 0 to 0.5, not [0.7].``), or a fitness table that is not right;
        a string holding a NUL character (the program would read only what
        comes before it), or a word or condition holding a lone surrogate.
    FileNotFoundError, IsADirectoryError, PermissionError, OSError
        The fitness table cannot be opened (with the program's message), or
        is not a regular file (a FIFO is never waited on).
    TypeError
        A number keyword given a string (or the other way round), with the
        type wanted.

    Attributes
    ----------
    fitness : numpy.ndarray
        The 81 fitness values by genotype index (the table read).
    recombination : float
    weights : str
    mutation : dict
        Every rate by keyword (``mutation["mu_a12"]``), the defaults included.
    """

    def __init__(self, fitness=None, *, fitness_values=None, column=None, s=None, k=None,
                 mu=None, recombination=None, weights=None, **rates):
        unknown = sorted(set(rates) - set(MUTATION_KEYWORDS))
        if unknown:
            raise TypeError(f"Model() got an unexpected keyword argument '{unknown[0]}'")
        given = {"fitness": fitness, "fitness_values": fitness_values, "column": column,
                 "s": s, "k": k, "mu": mu, **{key: rates.get(key) for key in MUTATION_KEYWORDS},
                 "recombination": recombination, "weights": weights}
        numeric = {"column", "s", "k", "mu", "recombination", *MUTATION_KEYWORDS}
        words = _words(given, numeric)
        self.words = [word if isinstance(word, str) else os.fsdecode(word) for word in words]
        self._core = _core.ModelCore(words)
        description = self._core.description()
        self.fitness = description["fitness"]
        self.fitness.flags.writeable = False
        self.recombination = description["recombination"]
        self.weights = description["weights"]
        self.mutation = {key: description[key] for key in MUTATION_KEYWORDS}

    def __repr__(self):
        return f"twolocus.Model({' '.join(self.words)})"


def _population(initial):
    """The 81 counts of `initial` (an array or a Run) as int32, checked."""
    if isinstance(initial, Run):
        initial = initial.population
    counts = np.asarray(initial)
    if counts.dtype == object or not (np.issubdtype(counts.dtype, np.integer)
                                      or counts.dtype == bool):
        raise TypeError(f"initial counts must be integers, not {counts.dtype}")
    if counts.shape != (GENOTYPE_COUNT,):
        raise ValueError(f"initial counts must be 81 numbers, not an array of shape {counts.shape}")
    wide = counts.astype(np.int64)
    if (wide < 0).any() or (wide > _MAX_COUNT).any() or int(wide.sum()) > _MAX_COUNT:
        raise ValueError("initial counts must be from 0 to 2147483647 and total at most 2147483647")
    return np.ascontiguousarray(wide, dtype=np.int32)


def _start(initial, words):
    """Adds --initial for a file; returns the counts of an array (or None)."""
    if initial is None:
        return None
    if isinstance(initial, (str, bytes, os.PathLike)):
        words += _word("initial", initial, "--initial")
        return None
    return _population(initial)


def _conditions(keyword, texts):
    """Option words of stop or watch: a text or a sequence of texts."""
    if texts is None:
        return []
    wanted = f"{keyword} must be a condition's text or a sequence of them (str)"
    if isinstance(texts, str):
        texts = [texts]
    elif isinstance(texts, (bytes, bytearray)) or not hasattr(texts, "__iter__"):
        raise TypeError(f"{wanted}, not {type(texts).__name__}")
    words = []
    for text in texts:
        if not isinstance(text, str):
            raise TypeError(f"{wanted}, not a sequence holding {type(text).__name__}")
        words.append(f"--{keyword}=".encode() + _encoded(keyword, text))
    return words


def _run_words(N, generations, seed, engine, record_every, stop=None, watch=None):
    words = ["-N", _text("N", N), "--generations=" + _text("generations", generations)]
    if stop is not None or watch is not None:
        words += _conditions("stop", stop) + _conditions("watch", watch)
    if seed is not None:
        words.append("--seed=" + _text("seed", seed))
    if engine is not None:
        words += _word("engine", engine, "--engine")
    if record_every is not None:
        words.append("--record-every=" + _text("record_every", record_every))
    return words


class Run:
    """One run of `simulate`: its records as twolocus-sim writes them, and its last population.

    Attributes
    ----------
    labels : numpy.ndarray of int64
        The records' labels: g for the population after generation g (g a
        multiple of `record_every`, or where a stop condition held), then n for
        the last population unless n is such a multiple or the run stopped.
    generations : numpy.ndarray of int64
        Generations run at each record: label + 1, and n at the final record labelled n.
    counts : numpy.ndarray of int32, shape (records, 81)
        Each record's genotype counts, by genotype index (1111, 2111, 3111, 1211, ...
        3333, as in the trajectory's header).
    population : numpy.ndarray of int32, shape (81,)
        The last population (after generation n - 1; the start when n = 0):
        give it, or the Run, as `initial` to continue.
    model : Model
    N, n, seed, engine, record_every
        The run's size, generations, seed (the default's value when none was
        given), engine and record interval.
    """

    __slots__ = ("model", "labels", "generations", "counts", "population", "N", "n", "seed",
                 "engine", "record_every", "conditions", "_summary")

    def __init__(self, model, labels, generations, counts, population, N, n, seed, engine,
                 record_every, conditions):
        self.model = model
        self.labels, self.generations, self.counts = labels, generations, counts
        self.population = population
        self.N, self.n, self.seed = N, n, seed
        self.engine, self.record_every = engine, record_every
        self.conditions = conditions
        self._summary = None

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
        ``extinct``, a column name already)."""
        if self._summary is None:
            line = _core.summary_line(self.model._core, self.seed, self.n, self.conditions,
                                      self.population)
            self._summary = _table([line], [text for text, _, _ in self.conditions])[0]
        return self._summary

    def statistics(self):
        """The twolocus-stats statistics of every record.

        Returns
        -------
        numpy.ndarray
            A structured array, one row per record, with ``label``,
            ``generations`` and the columns of `twolocus.stats.STAT_COLUMNS`
            (NaN where twolocus-stats leaves a value empty).
        """
        table = statistics(self.counts, self.model.fitness)
        out = np.empty(len(table), dtype=_dtype(["label", "generations"] + STAT_COLUMNS))
        out["label"], out["generations"] = self.labels, self.generations
        for name in STAT_COLUMNS:
            out[name] = table[name]
        return out

    def holds(self, condition):
        """Where a condition (twolocus.conditions' language) holds.

        Parameters
        ----------
        condition : str
            For example ``"h22 >= 0.5"``; decided exactly, as the programs do.

        Returns
        -------
        numpy.ndarray of bool
            One value per record.
        """
        return evaluate_rows(parse_condition(condition), self.counts, self.model.fitness)

    def params(self):
        """The run's parameters as `twolocus.reader.read_params` gives a twolocus-sim run's."""
        values = {"sim": True, "N": self.N, "n": self.n, "seed": self.seed,
                  "engine": self.engine, "record_every": self.record_every,
                  "recombination": self.model.recombination, "weights": self.model.weights,
                  "fitness": self.model.fitness, **self.model.mutation}
        return values

    def plot(self, thresholds=(), ld="D", size=(10.0, 9.0), title=None, name="simulate"):
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
        """
        return plot_runs([self], thresholds, ld, size, title, [name])


def plot_runs(runs, thresholds=(), ld="D", size=(10.0, 9.0), title=None, names=None):
    """twolocus-plot's picture of several runs of `simulate` (thin lines each, thick their mean).

    Returns
    -------
    matplotlib.figure.Figure
    """
    import textwrap

    from .plot import _describe, draw
    from .runs import Run as LoadedRun
    from .stats import parse_threshold
    if title is None and len(runs) == 1:
        line = _describe(runs[0].params(), seed=True)
        title = "\n".join([names[0] if names else "run"] + textwrap.wrap(line, 110))
    loaded = []
    for number, run in enumerate(runs):
        table = run.statistics()
        rows = [{**{name: (None if isinstance(row[name], float) and math.isnan(row[name])
                           else row[name].item()) for name in table.dtype.names},
                 "counts": counts, "fitness": run.model.fitness}
                for row, counts in zip(table, run.counts)]
        name = names[number] if names else f"run {number}"
        loaded.append(LoadedRun(name, None, run.params(), rows, []))
    return draw(loaded, [parse_threshold(text) for text in thresholds], ld, size, title)


def simulate(model, *, N, generations, seed=None, engine=None, record_every=None, initial=None,
             stop=None, watch=None):
    """One run of the model, in this process, as ``twolocus-sim`` runs it.

    Parameters
    ----------
    model : Model
    N : int
        Individuals in every generation (``-N``, 1 to 2147483647).
    generations : int
        Generations 0 to n - 1 are run (0 to 2147483647).
    seed : int, optional
        32-bit seed (default 2222).
    engine : {"multinomial", "exact"}, optional
        Class counts (default) or individual by individual.
    record_every : int, optional
        K: a record every K generations (default 200); 0: none.
    initial : array of 81 ints, Run, or a file name (str, bytes, os.PathLike), optional
        The population before generation 0: counts by genotype index, a Run's
        last population, or a file as ``--initial FILE[:LABEL]`` reads it
        (default all N in 1111).
    stop : str or sequence of str, optional
        Conditions (the language of `twolocus.conditions`) checked on the
        start and after every generation: the run ends at the first label
        where one holds, with a record there (``--stop``).
    watch : str or sequence of str, optional
        Conditions whose first label is kept (``--watch``).

    Returns
    -------
    Run
        Its records equal those of ``twolocus-sim`` with the same options,
        record for record (stop conditions given before watch conditions).

    Raises
    ------
    ValueError, TypeError, FileNotFoundError
        As `Model`, with the program's messages.
    KeyboardInterrupt
        Ctrl-C, within one generation.
    """
    words = _run_words(N, generations, seed, engine, record_every, stop, watch)
    counts = _start(initial, words)
    labels, rounds, records, population, used_seed, conditions = _core.simulate(
        model._core, words, counts)
    return Run(model, labels, rounds, records, population, N, generations, used_seed,
               engine or "multinomial", 200 if record_every is None else record_every, conditions)


def _table(lines, conditions=()):
    """The structured array of summary lines (with these condition columns)."""
    columns = _columns(conditions)
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


def replicate(model, *, N, generations, replicates, seed=None, first_replicate=None, threads=None,
              engine=None, initial=None, stop=None, watch=None, summary=None):
    """Replicates of the model on native threads, as ``twolocus-sim --replicates`` runs them.

    Parameters
    ----------
    model : Model
    N, generations, seed, engine, initial, stop, watch
        As in `simulate`.
    replicates : int
        R: replicates F to F + R - 1 are run, each with the seed twolocus-sim
        derives from `seed` and its number.
    first_replicate : int, optional
        F (default 0).
    threads : int, optional
        Native threads, 1 to 256 (default 1); the results do not depend on it.
    summary : str, bytes or os.PathLike, optional
        Also write the table there, with the bytes of ``OUT.summary.tsv``
        (through the temporary file summary + ".tmp" and a rename: whole or
        not at all). Neither may be the fitness table or the initial file
        read, by any path or link (ValueError before anything runs).

    Returns
    -------
    numpy.ndarray
        A structured array with the columns of ``OUT.summary.tsv``
        (`SUMMARY_COLUMNS`, and a column per condition between
        ``generations`` and ``N``, named by its text: its first label), one
        row per replicate in order, each value as the file gives it (NaN
        where it is empty).

    Raises
    ------
    ValueError, TypeError, FileNotFoundError
        As `Model`, with the program's messages; ValueError also for a
        summary that is an input.
    OSError
        The summary file cannot be written.
    KeyboardInterrupt
        Ctrl-C: every thread stops within one generation and nothing is written.
    """
    words = _run_words(N, generations, seed, engine, None, stop, watch)
    words += _words({"replicates": replicates, "first_replicate": first_replicate,
                     "threads": threads}, {"replicates", "first_replicate", "threads"})
    counts = _start(initial, words)
    target = b"" if summary is None else _path("summary", summary)
    if summary is not None and not target:
        raise ValueError("summary must name a file, not be empty")
    columns, lines = _core.replicate(model._core, words, counts, target)
    return _table(lines, columns)


def statistics(counts, fitness=None):
    """twolocus-stats' statistics of many populations at once.

    Parameters
    ----------
    counts : array of ints, shape (populations, 81) or (81,)
        Genotype counts by genotype index.
    fitness : array of 81 floats, optional
        For ``mean_fitness`` (NaN without it).

    Returns
    -------
    numpy.ndarray
        A structured array with the columns of `twolocus.stats.STAT_COLUMNS`,
        one row per population, each value the correctly rounded ratio of
        the integer counts that `twolocus.stats.population_stats` gives (NaN
        where it gives None).
    """
    counts = np.asarray(counts, dtype=np.int64).reshape(-1, GENOTYPE_COUNT)
    rows = len(counts)
    out = np.empty(rows, dtype=_dtype(STAT_COLUMNS))
    n = counts.sum(axis=1)
    out["N"], out["classes"], out["extinct"] = n, (counts > 0).sum(axis=1), n == 0
    copies = counts @ _COPIES
    total = 2 * n
    alive = n > 0
    # Below 2^26 copies every numerator and denominator is an integer below
    # 2^53, so one float64 division is the correctly rounded ratio.
    small = alive & (total <= 2 ** 26)
    safe = np.where(alive, total, 1).astype(np.float64)
    for position, name in enumerate(STAT_COLUMNS[1:16]):
        out[name] = np.where(alive, copies[:, position] / safe, math.nan)
    a, b, h11 = copies[:, 0], copies[:, 3], copies[:, 6]
    t = np.where(small, total, 1)
    with np.errstate(all="ignore"):
        d = h11 * t - a * b
        d_max = np.where(d > 0, np.minimum(a * (t - b), (t - a) * b),
                         np.minimum(a * b, (t - a) * (t - b)))
        out["D"] = np.where(small, d / (t * t).astype(np.float64), math.nan)
        out["Dprime"] = np.where(small & (d_max != 0), d / np.where(d_max == 0, 1, d_max), math.nan)
        for name, first in (("Ha", 0), ("Hb", 3)):
            squares = (copies[:, first:first + 3] ** 2).sum(axis=1)
            out[name] = np.where(small, (t * t - squares) / (t * t).astype(np.float64), math.nan)
    # r2 = d^2 / spread: Python's integer division, correctly rounded, row by row.
    r2 = np.full(rows, math.nan)
    for row in np.flatnonzero(small):
        d_row, a_row, b_row, t_row = int(d[row]), int(a[row]), int(b[row]), int(t[row])
        spread = a_row * (t_row - a_row) * b_row * (t_row - b_row)
        if spread:
            r2[row] = d_row * d_row / spread
    out["r2"] = r2
    if fitness is None:
        out["mean_fitness"] = math.nan
    else:
        products = counts * np.asarray(fitness, dtype=np.float64)
        out["mean_fitness"] = [math.fsum(product) / int(size) if size else math.nan
                               for product, size in zip(products, n)]
    # Above 2^26 copies: population_stats row by row.
    for row in np.flatnonzero(alive & ~small):
        values = population_stats(counts[row], fitness)
        for name in STAT_COLUMNS:
            out[name][row] = math.nan if values[name] is None else values[name]
    return out
