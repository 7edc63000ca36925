"""What every verification check shares: the registry, runs of the
programs, the goodness-of-fit statistic and the result a check returns.

A check is a function of a Context that returns a Result. Each check module
registers its checks with @check; the runner imports the modules listed in
CHECK_MODULES.
"""

import os
import subprocess
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np
from scipy.stats import chi2

REPOSITORY = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPOSITORY / "python"))

from twolocus.runfiles.trajectory import read_trajectory  # noqa: E402

THRESHOLD = 1e-4
CHECK_MODULES = ["chain_checks", "sim_chain_checks", "theory_checks", "valley_checks",
                 "history_checks", "demes_checks", "coefficient_checks", "change_checks",
                 "local_checks"]
CHECKS = {}


@dataclass
class Check:
    """A registered check: its name, one line saying what it shows, the
    programs it runs, whether --quick runs it, and its function."""

    name: str
    summary: str
    programs: list
    quick: bool
    function: object


@dataclass
class Context:
    """What a check is given: the build folder with the programs, the output
    folder for its picture, and how many program runs it may start at once."""

    build: Path
    out: Path
    threads: int


@dataclass
class Result:
    """What a check returns: its lines of figures, its p-values (all must
    reach THRESHOLD), and the picture it drew."""

    name: str
    lines: list = field(default_factory=list)
    p_values: list = field(default_factory=list)
    picture: str = ""
    error: str = ""

    @property
    def passed(self):
        return not self.error and all(p >= THRESHOLD for p in self.p_values)


def check(name, summary, programs, quick=False):
    """Registers the decorated function as a check."""
    def register(function):
        CHECKS[name] = Check(name, summary, list(programs), quick, function)
        return function
    return register


class RunFailed(Exception):
    """A program run that did not exit with status 0."""


def run_program(build, program, args, cwd):
    """Runs build/program with args in cwd; raises RunFailed unless it exits
    with status 0."""
    done = subprocess.run([str(Path(build) / program), *map(str, args)], cwd=cwd,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if done.returncode != 0:
        last = done.stdout.strip().splitlines()[-1:] or [""]
        raise RunFailed(f"[{program} {' '.join(map(str, args))}] exited with status "
                        f"[{done.returncode}]: {last[0]}")


def populations(path):
    """Takes a trajectory file; returns {rounds: 81 counts} for its records."""
    trajectory = read_trajectory(path)
    return {g: trajectory.counts[i] for i, g in enumerate(trajectory.generations)}


def replicate(threads, function, seeds):
    """Calls function(seed) for every seed on `threads` threads; returns the
    results in seed order."""
    with ThreadPoolExecutor(max_workers=max(1, threads)) as pool:
        return list(pool.map(function, seeds))


def scratch(out):
    """A temporary folder for a check's runs: in memory (/dev/shm) where the
    system has it, since a batch writes thousands of small files and a disk
    can take a millisecond for each; otherwise inside the output folder."""
    Path(out).mkdir(parents=True, exist_ok=True)
    memory = Path("/dev/shm")
    where = memory if memory.is_dir() and os.access(memory, os.W_OK | os.X_OK) else out
    return tempfile.TemporaryDirectory(prefix="twolocus-verification-", dir=where)


def goodness_of_fit(observed, probabilities, minimum=5.0):
    """Pearson's chi-square of observed counts over states against exact
    probabilities. States expected fewer than `minimum` times are pooled
    into one cell (joined to the smallest other cell if still below it).
    Returns (statistic, degrees of freedom, p-value, cells); a count in a
    state of probability 0 gives p = 0."""
    observed = np.asarray(observed, dtype=float)
    probabilities = np.asarray(probabilities, dtype=float)
    total = observed.sum()
    if (observed[probabilities <= 1e-15] > 0).any():
        return float("inf"), 0, 0.0, 0
    expected = total * probabilities
    big = expected >= minimum
    cells_o, cells_e = list(observed[big]), list(expected[big])
    rest_o, rest_e = observed[~big].sum(), expected[~big].sum()
    if rest_e >= minimum or (rest_e > 0 and not cells_e):
        cells_o.append(rest_o)
        cells_e.append(rest_e)
    elif rest_e > 0:
        smallest = int(np.argmin(cells_e))
        cells_o[smallest] += rest_o
        cells_e[smallest] += rest_e
    cells_o, cells_e = np.array(cells_o), np.array(cells_e)
    if len(cells_e) < 2:
        return 0.0, 0, 1.0, len(cells_e)
    statistic = float(((cells_o - cells_e) ** 2 / cells_e).sum())
    df = len(cells_e) - 1
    return statistic, df, float(chi2.sf(statistic, df)), len(cells_e)


def log_likelihood_ratio(observed, law, other):
    """Σ observed x ln(law / other) over the states seen: how much better the
    model's law explains the counts than another law (inf when a state seen
    is impossible under the other). Above about 10 the other is rejected."""
    observed, law, other = (np.asarray(x, dtype=float) for x in (observed, law, other))
    seen = observed > 0
    if (other[seen] <= 0).any():
        return float("inf")
    return float((observed[seen] * np.log(law[seen] / other[seen])).sum())


def engine_point(ax, x, mean, se, engine, labelled):
    """One engine's mean with its 95 % interval on a panel: --engine exact
    as a blue circle, the other as a red square; labelled puts it in the legend."""
    ax.errorbar(x, mean, yerr=1.96 * se, fmt="o" if engine == "exact" else "s", ms=4,
                color="C0" if engine == "exact" else "C3",
                label=f"--engine {engine}" if labelled else None)


def qq_panel(ax, samples, replicates, xlabel, title):
    """A QQ panel: for each (engine, times, cdf) in samples, the sorted
    times of `replicates` runs against the quantiles of the law whose
    P(T <= t) is cdf[t], and the diagonal."""
    probabilities = (np.arange(replicates) + 0.5) / replicates
    for engine, times, cdf in samples:
        quantiles = [np.searchsorted(cdf, q) for q in probabilities]
        ax.plot(quantiles, np.sort(times), "o" if engine == "exact" else "s", ms=2.5,
                alpha=0.7, label=f"--engine {engine}")
    top = max(ax.get_xlim()[1], ax.get_ylim()[1])
    ax.plot([0, top], [0, top], color="black", lw=0.8)
    ax.set_xlabel(xlabel)
    ax.set_ylabel("simulated quantile (generations)")
    ax.set_title(title, fontsize=9)
    ax.legend(fontsize=8)


def verdict(result):
    return "PASS" if result.passed else "FAIL"
