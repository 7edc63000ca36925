"""simulate and replicate: runs of a Model in this process, as twolocus-sim runs them."""

import json
import os

import numpy as np

from ..genotypes import GENOTYPE_COUNT
from ..native import core
from ..run import Run, fitness_of, summary_table
from .keywords import condition_texts, default, deme_values, encoded, keyword_values, path_bytes

_MAX_COUNT = 2 ** 31 - 1


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


def _start(initial, values, deme_counts=None):
    """Adds the keyword of an initial file to values; returns the counts of an
    array or a Run (or None). A dict gives demes their own start: a file's
    as a keyword, an array's or a Run's (name, counts) added to deme_counts."""
    if initial is None:
        return None
    if isinstance(initial, dict):
        if isinstance(initial.get(None), dict):
            raise TypeError("initial's value for the key None is the run's start, not a dict")
        files = {}
        for name, value in initial.items():
            if name is None:
                continue
            if isinstance(value, (str, bytes, os.PathLike)):
                files[name] = value
            elif not isinstance(name, str) or not name.isidentifier():
                raise TypeError(f"initial takes a dict by deme name (a str such as 'A'), not the key {name!r}")
            else:
                deme_counts.append((name, _population(value)))
        values.extend(deme_values("initial", files))
        return _start(initial.get(None), values)
    if isinstance(initial, (str, bytes, os.PathLike)):
        values.append(("initial", path_bytes("initial", initial)))
        return None
    return _population(initial)


# What the messages call a demography given as text.
DEMOGRAPHY_TEXT = "<demography text>"


def _demography_text(demography):
    """The text of a demography given as YAML text (a str holding a line
    end) or as a Demes model in Python data (a dict, written as JSON, which
    YAML reads); None for a file name."""
    if isinstance(demography, dict):
        try:
            return json.dumps(demography, allow_nan=False)
        except (TypeError, ValueError) as error:
            raise ValueError(f"demography must be a Demes model in JSON's data: {error}") from None
    if isinstance(demography, str) and ("\n" in demography or "\r" in demography):
        return demography
    return None


def _call_values(run, stop, watch, batch=None):
    """The keywords of a call, in the order they are read: the run's, its
    stop then watch conditions, the seed and the rest, then a batch's; and
    the text of a demography given as text (or None)."""
    text = _demography_text(run["demography"])
    values = keyword_values({"N": run["N"], "generations": run["generations"],
                             "demography": DEMOGRAPHY_TEXT if text is not None
                             else run["demography"], "burn_in": run["burn_in"]})
    values += condition_texts("stop", stop) + condition_texts("watch", watch)
    values += keyword_values({"seed": run["seed"], "engine": run["engine"],
                              "record_every": run["record_every"], **(batch or {})})
    return values, None if text is None else encoded("demography", text)


def _deme_runs(demes, model, n, seed, engine, record_every, changes, table):
    """Each deme's Run by name, from the module's (name, labels, generations,
    counts, last population) of a model of several demes, each with its own
    fitness through time."""
    runs = {}
    for place, (name, labels, rounds, records, population) in enumerate(demes):
        fitness, later = fitness_of(table, changes, place, several=True)
        runs[name] = Run(labels, rounds, records, population, model=model, n=n, seed=seed,
                         engine=engine, record_every=record_every, fitness=fitness,
                         later_fitness=later)
    return runs


def simulate(model, *, N=None, generations=None, demography=None, burn_in=None, seed=None,
             engine=None, record_every=None, initial=None, stop=None, watch=None):
    """One run of the model, in this process, as ``twolocus-sim`` runs it.

    Parameters
    ----------
    model : Model
    N : int
        Individuals in every generation (``-N``, 1 to 2147483647); required
        unless `demography` is given.
    generations : int
        Generations 0 to n - 1 are run (0 to 2147483647); required unless
        `demography` is given. With a demography: the run starts this many
        generations before time 0 (``--generations``).
    demography : str, bytes, os.PathLike or dict, optional
        A Demes file (``--demography``): the sizes, selfing and cloning of
        each generation, and for several demes their migrations, pulses and
        ancestors, as ``twolocus-sim --demography`` runs them; replaces `N`.
        The run ends at time 0. A str holding a line end is the model's YAML
        text itself, and a dict a model as Python data (such as
        `resolve_demography` gives); messages name either as
        ``<demography text>``.
    burn_in : int, optional
        With `demography`: start G generations before the model's oldest
        finite time (``--burn-in``; not with `generations`; default as
        twolocus-sim's).
    seed : int, optional
        32-bit seed (default 2222).
    engine : {"multinomial", "exact"}, optional
        Class counts (default) or individual by individual.
    record_every : int, optional
        K: a record every K generations (default 200); 0: none.
    initial : array of 81 ints, Run, or a file name (str, bytes, os.PathLike), optional
        The population before generation 0: counts by genotype index, a Run's
        last population, or a file as ``--initial FILE[:LABEL]`` reads it
        (default all N in 1111; with several demes, every deme that exists
        at the start starts from these counts, by default its size in 1111).
        A dict by deme name gives demes their own start, each counts, a Run or
        a file name (``{"B": "founders.tsv"}``; the key None for every other
        deme's).
    stop : str or sequence of str, optional
        Conditions (the language of `twolocus.parse_condition`) checked on the
        start and after every generation: the run ends at the first label
        where one holds, with a record there (``--stop``). With several
        demes they read the demes summed.
    watch : str or sequence of str, optional
        Conditions whose first label is kept (``--watch``).

    Returns
    -------
    Run
        Its records equal those of ``twolocus-sim`` with the same options,
        record for record (stop conditions given before watch conditions).
        With a demography, `Run.n` is the generations run and `Run.N` the
        size before generation 0. A model of several demes gives the whole
        population (the demes that exist, summed) as ``OUT`` holds it, and
        `Run.demes` each deme's Run by name, as ``OUT@NAME`` holds it:
        records only of the generations in which the deme exists, and its
        last population (0 where it no longer exists).

    Raises
    ------
    ValueError, TypeError, FileNotFoundError
        As `Model`, naming the keyword.
    KeyboardInterrupt
        Ctrl-C, within one generation.
    """
    values, text = _call_values(dict(N=N, generations=generations, demography=demography,
                                     burn_in=burn_in, seed=seed, engine=engine,
                                     record_every=record_every), stop, watch)
    deme_counts = []
    counts = _start(initial, values, deme_counts)
    (labels, rounds, records, population, used_seed, conditions, n, size,
     demes, changes, table) = core.simulate(model._core, values, counts, text, deme_counts)
    engine = engine or default("engine")
    record_every = int(default("record_every")) if record_every is None else record_every
    fitness, later = fitness_of(table, changes, several=bool(demes))
    return Run(labels, rounds, records, population, model=model, N=size, n=n,
               seed=used_seed, engine=engine, record_every=record_every,
               conditions=conditions, fitness=fitness, later_fitness=later, no_fitness=fitness is None,
               demes=_deme_runs(demes, model, n, used_seed, engine, record_every, changes, table))


def replicate(model, *, replicates, N=None, generations=None, demography=None, burn_in=None,
              seed=None, first_replicate=None, threads=None, engine=None, record_every=None,
              initial=None, stop=None, watch=None, summary=None):
    """Replicates of the model on native threads, as ``twolocus-sim --replicates`` runs them.

    Parameters
    ----------
    model : Model
    N, generations, demography, burn_in, seed, engine, record_every, initial, stop, watch
        As in `simulate` (with several demes, a replicate's row is of the
        demes summed, as a batch's summary; record_every is the batch's K, as its OUT.params
        says: the replicates keep no records here).
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
        As `Model`, naming the keyword; ValueError also for a summary that
        is an input.
    OSError
        The summary file cannot be written.
    KeyboardInterrupt
        Ctrl-C: every thread stops within one generation and nothing is written.
    """
    values, text = _call_values(dict(N=N, generations=generations, demography=demography,
                                     burn_in=burn_in, seed=seed, engine=engine,
                                     record_every=record_every), stop, watch,
                                dict(replicates=replicates, first_replicate=first_replicate,
                                     threads=threads))
    deme_counts = []
    counts = _start(initial, values, deme_counts)
    target = b"" if summary is None else path_bytes("summary", summary)
    if summary is not None and not target:
        raise ValueError("summary must name a file, not be empty")
    columns, lines = core.replicate(model._core, values, counts, target, text, deme_counts)
    return summary_table(lines, columns)

