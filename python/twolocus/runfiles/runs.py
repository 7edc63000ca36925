"""A run read from its files: its trajectory and, when it can be read, its parameter file."""

import os

from ..errors import TwolocusError
from ..run import Run
from .params import read_params
from .trajectory import read_trajectory

# The record interval of the classic programs.
CLASSIC_RECORD_EVERY = 200


def load_run(path):
    """Takes a trajectory path; returns its Run. The .params file is optional:
    without it (or when it cannot be read, which adds a note) the fitness,
    and so mean_fitness, is unknown. Raises TwolocusError when the
    trajectory cannot be read."""
    trajectory = read_trajectory(path)
    notes = []
    if trajectory.partial_last is not None:
        notes.append(f"The last line of [{path}] is not complete "
                     f"(only {trajectory.partial_last} entries); it is left out.")
    params = None
    params_path = path + ".params"
    # Only a regular file: a FIFO or a device such as /dev/zero is never read.
    if os.path.isfile(params_path):
        try:
            params = read_params(params_path)
        except TwolocusError as error:
            notes.append(f"{error} The mean fitness of [{path}] is left empty.")
    known = params or {}
    counts = trajectory.counts
    return Run(trajectory.labels, trajectory.generations, counts,
               counts[-1] if len(counts) else None, N=known.get("N"), n=known.get("n"),
               seed=known.get("seed"), engine=known.get("engine"),
               record_every=known.get("record_every",
                                      CLASSIC_RECORD_EVERY if params is not None else None),
               path=path, notes=notes, params=params,
               fitness=None if params is None else params["fitness"])


def load_runs(paths):
    """Takes trajectory paths; returns their Runs in the same order, or raises
    TwolocusError for the first that cannot be read."""
    return [load_run(path) for path in paths]
