"""Runs of twolocus-sim for the checks: its input files, a batch of
replicates, and what a batch gives back (the summary rows, or each
replicate's populations record by record)."""

import csv
import json
from pathlib import Path

import numpy as np

import chains
from harness import populations, run_program

PROGRAM = "twolocus-sim"
ENGINES = ("exact", "multinomial")
PROGRAMS = [f"{PROGRAM} --engine {engine}" for engine in ENGINES]
CHANGES = [(i, j) for i in (1, 2, 3) for j in (1, 2, 3) if i != j]


def label(g):
    return "".join(map(str, chains.alleles(g)))


def write_fitness(path, fitness):
    """A --fitness-values table listing all 81 genotypes."""
    lines = ["\t".join(map(str, chains.alleles(g))) + f"\t{float(fitness[g])!r}"
             for g in range(chains.GENOTYPES)]
    Path(path).write_text("\n".join(lines) + "\n")
    return path


def write_initial(path, counts):
    """An --initial file of LABEL<TAB>COUNT lines."""
    lines = [f"{label(g)}\t{int(c)}" for g, c in enumerate(counts) if c]
    Path(path).write_text("\n".join(lines) + "\n")
    return path


def mutation_options(mutation_a=None, mutation_b=None):
    """The --mu-XIJ options of two 3 x 3 matrices (None: no mutation)."""
    options = []
    for locus, matrix in (("a", mutation_a), ("b", mutation_b)):
        for i, j in CHANGES:
            value = 0.0 if matrix is None else float(matrix[i - 1][j - 1])
            options += [f"--mu-{locus}{i}{j}", repr(value)]
    return options


def counts_of(N, **labels):
    """81 genotype counts from keyword labels such as g2111=3."""
    counts = np.zeros(chains.GENOTYPES, dtype=np.int64)
    for name, count in labels.items():
        counts[chains.index(*map(int, name[1:]))] = count
    return counts


def write_demography(path, epochs, time_units="generations", generation_time=None):
    """A Demes file of one deme named `deme` with the given epochs (dicts of
    the Demes epoch fields, the oldest first), written as JSON, which the
    YAML reader takes as it is."""
    model = {"time_units": time_units, "demes": [{"name": "deme", "epochs": list(epochs)}]}
    if generation_time is not None:
        model["generation_time"] = generation_time
    Path(path).write_text(json.dumps(model, indent=1) + "\n")
    return path


def batch(ctx, folder, name, *, engine, fitness, N=None, generations=None, initial=None,
          weights="exact", r=0.5, mutation_a=None, mutation_b=None, replicates, seed,
          record_every=0, trajectories=False, demography=None, burn_in=None, extra=()):
    """Runs one batch of twolocus-sim in `folder` on ctx.threads threads;
    returns its summary rows (dicts, by replicate), and with trajectories
    also the folder of the replicates' files. With `demography` (a Demes
    file) the run takes its sizes from it instead of N; `generations` or
    `burn_in` (or neither: the program's default burn-in) say where it starts."""
    folder = Path(folder)
    # fitness None: the fitness is in `extra` (coefficients, or a table of its own).
    table = [] if fitness is None else [
        "--fitness-values", write_fitness(folder / f"{name}.fitness.tsv", fitness)]
    size = ["-N", N] if demography is None else ["--demography", demography]
    if generations is not None:
        size += ["--generations", generations]
    if burn_in is not None:
        size += ["--burn-in", burn_in]
    args = [*table, *size,
            "--engine", engine, "--weights", weights, "--recombination", repr(float(r)),
            *mutation_options(mutation_a, mutation_b), "--record-every", record_every,
            "--replicates", replicates, "--seed", seed, "--threads", ctx.threads,
            "-o", folder / name, *extra]
    if initial is not None:
        args += ["--initial", write_initial(folder / f"{name}.initial.tsv", initial)]
    if trajectories:
        args += ["--trajectories", folder / f"{name}.runs"]
    run_program(ctx.build, PROGRAM, args, folder)
    with open(folder / f"{name}.summary.tsv", newline="") as handle:
        rows = list(csv.DictReader(handle, delimiter="\t"))
    return rows


def records(path):
    """Takes a trajectory file written by one fresh run; returns (labels,
    counts (records, 81)). Faster than the package's reader, for the
    thousands of files of a batch; it takes no resumed files."""
    text = Path(path).read_text()
    body = text[text.index("\n") + 1:]
    table = np.array(body.split(), dtype=np.int64).reshape(-1, chains.GENOTYPES + 1)
    return table[:, 0], table[:, 1:]


def replicate_records(folder, name, replicates):
    """The counts of every replicate's records, an array (replicates,
    records, 81), and the records' labels, from a batch run with
    trajectories (every replicate with the same records)."""
    runs = Path(folder) / f"{name}.runs"
    found = [records(runs / f"replicate-{number}") for number in range(replicates)]
    labels = found[0][0]
    if any(len(l) != len(labels) or (l != labels).any() for l, _ in found):
        raise ValueError(f"the replicates of {name} have different records")
    return np.array([counts for _, counts in found]), labels


def replicate_populations(folder, name, replicates):
    """Each replicate's {label: 81 counts} from a batch run with trajectories."""
    runs = Path(folder) / f"{name}.runs"
    return [populations(runs / f"replicate-{number}") for number in range(replicates)]


def column(rows, key):
    """A summary column as floats (NaN where empty)."""
    return np.array([float(row[key]) if row[key] != "" else np.nan for row in rows])
