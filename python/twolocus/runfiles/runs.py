"""A run read from its files: its trajectory and, when it can be read, its parameter file."""

import os

from ..errors import TwolocusError
from ..run import Run, fitness_of
from .params import params_path_of, read_params
from .trajectory import read_trajectory

# The record interval of the classic programs.
CLASSIC_RECORD_EVERY = 200


def load_run(path):
    """Takes a trajectory path; returns its Run. The .params file is optional:
    without it (or when it cannot be read, which adds a note) the fitness,
    and so mean_fitness, is unknown. A run of several demes (its parameter
    file names them) has each deme's Run by name in `Run.demes`, read from
    OUT@NAME (the demes whose file is there); a deme's trajectory OUT@NAME
    given as the path is read with the run's OUT.params. Raises
    TwolocusError when a trajectory cannot be read."""
    trajectory = read_trajectory(path)
    notes = []
    if trajectory.partial_last is not None:
        notes.append(f"The last line of [{path}] is not complete "
                     f"(only {trajectory.partial_last} entries); it is left out.")
    params = None
    # Only a regular file: a FIFO or a device such as /dev/zero is never read.
    # A deme's trajectory OUT@NAME is read with its run's OUT.params.
    params_path = params_path_of(path)
    if params_path is not None:
        try:
            params = read_params(params_path)
        except TwolocusError as error:
            notes.append(f"{error} The mean fitness of [{path}] is left empty.")
    known = params or {}
    counts = trajectory.counts
    own = params_path == os.fspath(path) + ".params"
    names = deme_names(params)
    demes = {name: load_run_file(deme_path, params, notes, names.index(name))
             for name, deme_path in (deme_paths(path, params) if own else {}).items()}
    # A deme's trajectory OUT@NAME given as the path reads that deme's fitness.
    deme = names.index(os.path.basename(os.fspath(path)).rsplit("@", 1)[1]) if not own and names else -1
    fitness, later = fitness_in(params, deme)
    return Run(trajectory.labels, trajectory.generations, counts,
               counts[-1] if len(counts) else None, N=known.get("N") if own else None,
               n=known.get("n"),
               seed=known.get("seed"), engine=known.get("engine"),
               record_every=known.get("record_every",
                                      CLASSIC_RECORD_EVERY if params is not None else None),
               path=path, notes=notes, params=params, fitness=fitness, later_fitness=later,
               demes=demes)


def fitness_in(params, deme):
    """The fitness of one population of a run from its parameters (None:
    unknown) and the deme's place (-1: the run, or its demes together), as
    (the table in generation 0, the later ones as (first generation, table))."""
    if params is None:
        return None, []
    return fitness_of(params["fitness"], params.get("fitness_changes", []), deme,
                      several=bool(deme_names(params)))


def deme_names(params):
    """The deme names of a run's parameters (a dict of read_params, or
    None) in the model's order: those of a model of several demes, else
    none (a run of one population has no OUT@NAME files)."""
    model = (params or {}).get("demography")
    names = [deme["name"] for deme in (model or {}).get("demes", [])]
    return names if len(names) > 1 else []


def deme_paths(path, params):
    """Each deme's trajectory OUT@NAME by name, for the demes of the run's
    parameters whose file is there (a regular file)."""
    return {name: f"{path}@{name}" for name in deme_names(params)
            if os.path.isfile(f"{path}@{name}")}


def load_run_file(path, params, notes, deme):
    """A deme's Run from its trajectory OUT@NAME, with the run's parameters
    (its size N left unknown) and its place among the demes (its fitness);
    its notes are added to `notes`."""
    trajectory = read_trajectory(path)
    if trajectory.partial_last is not None:
        notes.append(f"The last line of [{path}] is not complete "
                     f"(only {trajectory.partial_last} entries); it is left out.")
    known = params or {}
    counts = trajectory.counts
    fitness, later = fitness_in(params, deme)
    return Run(trajectory.labels, trajectory.generations, counts,
               counts[-1] if len(counts) else None, n=known.get("n"), seed=known.get("seed"),
               engine=known.get("engine"), record_every=known.get("record_every"), path=path,
               params=params, fitness=fitness, later_fitness=later)


def load_runs(paths):
    """Takes trajectory paths; returns their Runs in the same order, or raises
    TwolocusError for the first that cannot be read."""
    return [load_run(path) for path in paths]
