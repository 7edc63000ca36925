"""Checks of demes with a fitness table and a start of their own
(twolocus-sim --fitness-values NAME=FILE --initial NAME=FILE): local
adaptation at one locus in two demes selected in opposite directions,
against the deterministic recursion of migration and selection."""

import math
from dataclasses import dataclass
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

import demes_chains  # noqa: E402
import demes_models  # noqa: E402
import sim  # noqa: E402
from demes_checks import (deme, deme_series, demes_batch, frequencies_a, one_locus_fitness,  # noqa: E402
                          picture, scratch, z_p)
from harness import Result, RunFailed, check  # noqa: E402


@dataclass
class LocalCase:
    """Two demes of N each exchanging migrants at rate m for `generations`
    generations; deme A favours allele 1 at locus a (fitness 11, 12, 22:
    `fitness`) and starts all 1111, deme B has its own table favouring
    allele 2 (the same reversed) and its own start, all 2211. The early
    window holds the records up to `early`, the late one those from `late`."""

    N: int
    m: float
    fitness: tuple
    generations: int
    early: int
    late: int
    every: int
    replicates: int


LOCAL_QUICK = LocalCase(N=10_000, m=0.01, fitness=(1.0, 0.95, 0.9), generations=200, early=40,
                        late=100, every=5, replicates=24)
LOCAL_LARGE = LocalCase(N=100_000, m=0.01, fitness=(1.0, 0.95, 0.9), generations=400, early=40,
                        late=150, every=5, replicates=60)


def local_reference(case, faults=()):
    """The deterministic frequency of allele 1 in A and B after each of the
    generations, (generations, 2). Faults: "own table ignored" (B under
    A's table), "own start ignored" (B starts all 1111, as A)."""
    reversed_fitness = tuple(reversed(case.fitness))
    fitness = np.array([case.fitness, case.fitness if "own table ignored" in faults else reversed_fitness])
    migration = np.array([[1 - case.m, case.m], [case.m, 1 - case.m]])
    start_b = [1.0, 0.0, 0.0] if "own start ignored" in faults else [0.0, 0.0, 1.0]
    found, _ = demes_chains.balance_trajectory(np.array([[1.0, 0.0, 0.0], start_b]), fitness, migration,
                                               case.generations)
    return found


def local_run(ctx, name, case):
    result = Result(name)
    expected = local_reference(case)
    faults = {fault: local_reference(case, (fault,)) for fault in ("own table ignored", "own start ignored")}
    result.lines.append(
        f"two demes of N = {case.N}, migration m = {case.m} both ways, {case.generations} "
        f"generations; A: fitness 11, 12, 22 = {case.fitness}, all 1111 at the start; B its own "
        f"table {tuple(reversed(case.fitness))} (--fitness-values B=FILE) and its own start, all "
        f"2211 (--initial B=FILE); deterministic allele 1 at the end: A {expected[-1, 0]:.5f}, "
        f"B {expected[-1, 1]:.5f}; R = {case.replicates}")
    shown = {}
    with scratch(ctx.out) as folder:
        folder = Path(folder)
        model = demes_models.write_model(folder / "local.json", [deme(d, [(0, case.N)]) for d in ("A", "B")],
                                         [{"demes": ["A", "B"], "rate": case.m}])
        table_b = sim.write_fitness(folder / "b.fitness.tsv", one_locus_fitness(tuple(reversed(case.fitness))))
        start_b = sim.write_initial(folder / "b.initial.tsv", sim.counts_of(case.N, g2211=case.N))
        for engine in sim.ENGINES:
            try:
                demes_batch(ctx, folder, engine, engine=engine, model=model,
                            fitness=one_locus_fitness(case.fitness), generations=case.generations,
                            replicates=case.replicates, record_every=case.every,
                            extra=["--fitness-values", f"B={table_b}", "--initial", f"B={start_b}"])
            except RunFailed as failure:
                result.error = str(failure)
                return result
            series, labels = deme_series(folder, engine, case.replicates, ["A", "B"])
            labels = labels["A"]
            kept = labels < case.generations  # the final record repeats the last one
            x = np.stack([frequencies_a(series[d][:, kept])[..., 0] for d in ("A", "B")], axis=1)
            steps = labels[kept]  # record L: L + 1 generations done
            parts = []
            for window_name, window in (("early", steps <= case.early), ("late", steps >= case.late)):
                for j, name_d in enumerate("AB"):
                    values = x[:, j, window].mean(axis=1)
                    mean, se = values.mean(), values.std(ddof=1) / math.sqrt(len(values))
                    reference = expected[steps[window], j].mean()
                    p = z_p(mean, se, reference)
                    result.p_values.append(p)
                    others = ", ".join(f"{fault} {curve[steps[window], j].mean():.4f} "
                                       f"(p = {z_p(mean, se, curve[steps[window], j].mean()):.2g})"
                                       for fault, curve in faults.items())
                    parts.append(f"{window_name} {name_d}: {mean:.5f} +- {se:.5f} (recursion "
                                 f"{reference:.5f}, p = {p:.3g}; {others})")
            result.lines.append(f"{engine}: allele 1, window means: " + "; ".join(parts))
            shown[engine] = (steps, x)
    result.picture = picture(ctx, name)
    draw_local(result.picture, name, case, shown, expected, faults)
    return result


def draw_local(path, name, case, shown, expected, faults):
    figure, axis = plt.subplots(figsize=(8, 4.6))
    steps = np.arange(case.generations)
    for j, deme_name in enumerate("AB"):
        axis.plot(steps, expected[:, j], color="black", lw=1.2,
                  label="deterministic recursion" if j == 0 else None)
        for (fault, curve), style in zip(faults.items(), ("--", ":")):
            axis.plot(steps, curve[:, j], color="grey", lw=1, ls=style, label=fault if j == 0 else None)
    for engine, (labels, x) in shown.items():
        colour = "C0" if engine == "exact" else "C3"
        for j in range(2):
            mean = x[:, j].mean(axis=0)
            se = x[:, j].std(axis=0, ddof=1) / math.sqrt(x.shape[0])
            axis.errorbar(labels, mean, yerr=1.96 * se, fmt="o" if engine == "exact" else "s", ms=2.5,
                          lw=0.6, color=colour, label=f"--engine {engine}, mean of R" if j == 0 else None)
    for window in (case.early, case.late):
        axis.axvline(window, color="black", lw=0.5, ls=":")
    axis.set_xlabel("generation (record label)")
    axis.set_ylabel("frequency of allele 1 at locus a (upper: A, lower: B)")
    axis.set_title(f"{name}: A favours allele 1, B (its own table) allele 2, m = {case.m}, "
                   f"N = {case.N} each", fontsize=9)
    axis.legend(fontsize=7, loc="center right")
    figure.tight_layout()
    figure.savefig(path, dpi=90)
    plt.close(figure)


@check("demes-local", "two demes selected in opposite directions, each with its own table and "
       "start (NAME=FILE), m = 0.01, N = 10^4: allele frequencies against the recursion",
       sim.PROGRAMS, quick=True)
def demes_local(ctx):
    return local_run(ctx, "demes-local", LOCAL_QUICK)


@check("demes-local-large", "demes-local with N = 10^5, R = 60", sim.PROGRAMS)
def demes_local_large(ctx):
    return local_run(ctx, "demes-local-large", LOCAL_LARGE)
