"""The parameter files of runs, read by the programs' own readers (through
the compiled module), so that the tools accept exactly the files the
programs accept:

- a classic run's TRAJECTORY.params (twolocus, twolocus-multinomial): line
  1 "s = [...], k = [...], n = [...] gerneration_size=[...]." as fscanf
  reads it, then triples KEY TOKEN VALUE (rates a0..b2, fitness by genotype
  index, seed); the cases of tests/cases/params/;
- a twolocus-sim run's OUT.params: "twolocus-sim parameters 1", then one
  "KEY = VALUE" line per key of the table of parameters, every key once and
  in range, then its stop and watch conditions; the cases of
  tests/cases/sim_params/.
"""

import json
import os

from ..errors import TwolocusError
from ..files import open_regular
from ..genotypes import LABELS
from ..native import core

# The six changes of a locus in the parameter file's order: one-way, then back.
CHANGES = ["12", "23", "13", "21", "32", "31"]


def _problem(path, what, line, key):
    """The tools' line for a parameter file the programs refuse."""
    if what == "line":
        return f"Line {line} of [{path}] is not of the right format."
    if what == "repeated":
        return f"Line {line} of [{path}] gives [{key}] again."
    if what == "missing":
        return f"Parameter file [{path}] gives no [{key}]."
    if what == "rates":
        return f"Mutation rates of [{path}] are incomplete."
    if what == "fitness":
        return f"Fitnesses of [{path}] are incomplete."
    if key.startswith("mu_"):
        return f"Parameter file [{path}] is not consistent: a mutation row of locus {key[3]} sums above 1."
    if key == "change":
        return (f"Parameter file [{path}] is not consistent: a change makes a mutation row sum "
                "above 1, or a fitness above 33554432 under floor weights.")
    if key.startswith("fitness_"):
        return (f"Parameter file [{path}] is not consistent: the fitness of [{key[8:]}] is above "
                "33554432, the largest under floor weights, or not the one its coefficients make.")
    return f"Parameter file [{path}] is not consistent: the initial counts total above 2147483647."


def read_params_text(path):
    """Takes the path of a parameter file; returns its bytes (a regular file
    only, never waited on), or raises TwolocusError."""
    with open_regular(path, "param file") as file:
        try:
            return file.read()
        except OSError:
            raise TwolocusError(f"Could not read param file [{path}].") from None


def read_params(path):
    """Takes the path of a .params file; returns a dict. A classic run's:
    's', 'k' (fractions, as written), 'n', 'N' (as the program keeps them),
    'rates' (a0..b2: 0 is 1->2, 1 is 2->3, 2 is 1->3), 'fitness' (float
    array of 81, by genotype index) and 'seed' (int, or None without a
    `seed = N` line). A twolocus-sim run's: 'sim' (True), every key of the
    file ('population_size', 'record_every', 'mu_a12', 'fitness_1111',
    ...), 'N' and 'n', 'fitness' and 'initial' as arrays of 81,
    'mutation_a' and 'mutation_b' as 3x3 arrays, 'conditions' (text,
    stops) in the order of the summary's columns, 'demography' (a run with a
    demography: the resolved model as a dict; None without one) and
    'history_start' (its start in generations before time 0; 0 without one).

    Raises TwolocusError when the file cannot be read or the program would
    refuse it, naming the line or key that is wrong."""
    data = read_params_text(path)
    try:
        values = core.read_params(data)
    except ValueError as error:
        raise TwolocusError(_problem(path, *error.args)) from None
    if not values.pop("sim"):
        return values
    for locus in "ab":
        matrix = values[f"mutation_{locus}"]
        for change in CHANGES:
            values[f"mu_{locus}{change}"] = float(matrix[int(change[0]) - 1, int(change[1]) - 1])
    for index, label in enumerate(LABELS):
        values[f"fitness_{label}"] = float(values["fitness"][index])
        values[f"initial_{label}"] = int(values["initial"][index])
    values["demography"] = json.loads(values["demography"]) if values["demography"] else None
    values["N"], values["n"] = values["population_size"], values["generations"]
    values["sim"] = True
    return values


def params_as_written(path):
    """{key: value as written} of a twolocus-sim parameter file that the
    program reads whole; raises TwolocusError for one it refuses."""
    with open_regular(path, "parameter file") as file:
        data = file.read()
    try:
        if not core.read_params(data)["sim"]:
            raise ValueError(("line", 1, ""))
    except ValueError as error:
        raise TwolocusError(_problem(path, *error.args)) from None
    text = data.decode("utf-8", "surrogateescape")
    return dict(line.rstrip("\r").partition(" = ")[::2] for line in text.split("\n")[1:] if line)


def is_sim_params(path):
    """Takes a path; returns whether it is a regular file that starts as a
    twolocus-sim parameter file."""
    if not os.path.isfile(path):
        return False
    try:
        with open(path, "rb") as file:
            return core.is_sim_params(file.read(64))
    except OSError:
        return False


def params_path_of(path):
    """The parameter file of a trajectory: TRAJECTORY.params; for a deme's
    trajectory OUT@NAME without one, the run's OUT.params when it is a
    twolocus-sim parameter file whose model has a deme NAME (the deme's
    records follow the run's K and fitness). None when there is none."""
    path = os.fspath(path)
    if os.path.isfile(path + ".params"):
        return path + ".params"
    folder, base = os.path.split(path)
    if "@" not in base:
        return None
    out, name = base.rsplit("@", 1)
    run_params = os.path.join(folder, out) + ".params"
    if not is_sim_params(run_params):
        return None
    try:
        model = read_params(run_params)["demography"] or {}
    except TwolocusError:
        return None
    return run_params if name in [deme["name"] for deme in model.get("demes", [])] else None
