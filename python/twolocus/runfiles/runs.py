"""A run as the commands see it: its trajectory, its parameters and its rows of statistics."""

import os
from dataclasses import dataclass

from .errors import TwolocusError
from .reader import read_params, read_trajectory
from .stats import trajectory_rows


@dataclass
class Run:
    """path: the trajectory file; trajectory: its reader.Trajectory; params: the
    read_params dict of path + ".params", or None; rows: trajectory_rows();
    notes: lines for standard error that are not failures."""

    path: str
    trajectory: object
    params: object
    rows: list
    notes: list


def load_run(path):
    """Takes a trajectory path; returns its Run. The .params file is optional:
    without it (or when it cannot be read, which adds a note) mean_fitness is
    empty. Raises TwolocusError when the trajectory cannot be read."""
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
    fitness = None if params is None else params["fitness"]
    return Run(path, trajectory, params, trajectory_rows(trajectory, fitness), notes)


def load_runs(paths):
    """Takes trajectory paths; returns their Runs in the same order, or raises
    TwolocusError for the first that cannot be read."""
    return [load_run(path) for path in paths]
