"""Checks of several demes (twolocus-sim --demography with a Demes model of
more than one deme), on both engines:

- demes-chain: the exact chain of tiny demes with migration, selfing and
  cloning, a split from two ancestors, a pulse and a deme that ends;
- demes-fst: the island model's F_ST under symmetric mutation among three
  alleles, against the exact recursion of identities in state;
- demes-pulse: the destination's frequency right after a pulse, its mean and
  variance and its law, and two pulses at once with migration;
- demes-balance: migration-selection balance at one locus in two demes,
  against the equilibrium of the deterministic recursion;
- demes-sizes: every Demes example (and, with --all, every valid case of
  the Demes cases) runs on both engines, each deme's records where and with
  the N the model gives.

The model as documented is in demes_models.py, the exact references in
demes_chains.py. Quick versions run with --quick; the larger ones (names
ending in -large, and demes-sizes-all) with --all.
"""

import json
import math
import os
import subprocess
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
from scipy.stats import binom, norm  # noqa: E402

import chains  # noqa: E402
import demes_chains  # noqa: E402
import demes_models  # noqa: E402
import sim  # noqa: E402
from harness import (REPOSITORY, Result, RunFailed, check, goodness_of_fit,  # noqa: E402
                     log_likelihood_ratio, run_program)

SEED = 3030
ALLELES = np.array([chains.alleles(g) for g in range(chains.GENOTYPES)])
COPIES_A = [(ALLELES[:, 0] == k).astype(int) + (ALLELES[:, 1] == k) for k in (1, 2, 3)]
HOMOZYGOUS_A = (ALLELES[:, 0] == ALLELES[:, 1]).astype(int)
ONES = np.ones(chains.GENOTYPES)
CASES = REPOSITORY / "tests" / "cases" / "demes"


# ---------------------------------------------------------------- runs

def scratch(out):
    """A temporary folder for a check's runs: in memory (/dev/shm) where the
    system has one, since a batch writes thousands of small files, each
    field flushed as it is written, and a disk can take a millisecond to
    create each; otherwise inside the output folder."""
    Path(out).mkdir(parents=True, exist_ok=True)
    memory = Path("/dev/shm")
    where = memory if memory.is_dir() and os.access(memory, os.W_OK | os.X_OK) else out
    return tempfile.TemporaryDirectory(prefix="twolocus-verification-", dir=where)


def demes_batch(ctx, folder, name, *, engine, model, fitness=ONES, generations=None,
                burn_in=None, initial=None, r=0.5, mutation_a=None, mutation_b=None,
                replicates=1, seed=SEED, record_every=1, trajectories=True, extra=()):
    """Runs one batch of twolocus-sim with a Demes file in `folder` on
    ctx.threads threads; its replicates' files are in folder/name.runs."""
    folder = Path(folder)
    table = sim.write_fitness(folder / f"{name}.fitness.tsv", fitness)
    args = ["--fitness-values", table, "--demography", model, "--engine", engine,
            "--weights", "exact", "--recombination", repr(float(r)),
            *sim.mutation_options(mutation_a, mutation_b), "--record-every", record_every,
            "--replicates", replicates, "--seed", seed, "--threads", ctx.threads,
            "-o", folder / name, *extra]
    if generations is not None:
        args += ["--generations", generations]
    if burn_in is not None:
        args += ["--burn-in", burn_in]
    if initial is not None:
        args += ["--initial", sim.write_initial(folder / f"{name}.initial.tsv", initial)]
    if trajectories:
        args += ["--trajectories", folder / f"{name}.runs"]
    run_program(ctx.build, sim.PROGRAM, args, folder)


def records(path):
    """Takes a trajectory file written by one fresh run; returns (labels,
    counts (records, 81)); a file of its header only gives none."""
    text = Path(path).read_text()
    body = text[text.index("\n") + 1:]
    table = np.array(body.split(), dtype=np.int64).reshape(-1, chains.GENOTYPES + 1)
    return table[:, 0], table[:, 1:]


def replicate_file(folder, name, number, deme=None):
    runs = Path(folder) / f"{name}.runs"
    return runs / (f"replicate-{number}" + ("" if deme is None else f"@{deme}"))


def deme_series(folder, name, replicates, demes):
    """{deme: array (replicates, records, 81)} and {deme: labels}, every
    replicate of a batch having the same records in each deme's file."""
    found, labels = {}, {}
    for deme in demes:
        runs = [records(replicate_file(folder, name, k, deme)) for k in range(replicates)]
        labels[deme] = runs[0][0]
        if any(len(l) != len(labels[deme]) or (l != labels[deme]).any() for l, _ in runs):
            raise ValueError(f"the replicates of {name} have different records in {deme}")
        found[deme] = np.array([c for _, c in runs])
    return found, labels


def frequencies_a(counts):
    """Frequencies of alleles 1, 2, 3 at locus a, (..., 3), from counts (..., 81)."""
    counts = np.asarray(counts, dtype=float)
    copies = np.stack([counts @ c for c in COPIES_A], axis=-1)
    return copies / copies.sum(axis=-1, keepdims=True)


def z_p(mean, se, expected):
    """Two-sided p-value of a z-score."""
    if se == 0:
        return 1.0 if mean == expected else 0.0
    return float(2 * norm.sf(abs(mean - expected) / se))


def picture(ctx, name):
    return str(ctx.out / f"{name}.png")


def deme(name, epochs, start_time=None, ancestors=None, proportions=None):
    """A Demes deme: epochs as (end_time, size) pairs or dicts (the oldest first)."""
    found = {"name": name, "epochs": [e if isinstance(e, dict) else
                                      {"end_time": e[0], "start_size": e[1]} for e in epochs]}
    if start_time is not None:
        found["start_time"] = start_time
    if ancestors:
        found["ancestors"] = list(ancestors)
        found["proportions"] = list(proportions)
    return found


# ---------------------------------------------------------------- demes-chain

BACK_A = np.array([[0.8, 0.2, 0], [0.1, 0.9, 0], [0, 0, 1]])
# One locus (a, alleles 1 and 2; b stays 1): the two orders of the
# heterozygote weigh differently, so that ordered genotypes count.
CHAIN_FITNESS = ONES.copy()
CHAIN_FITNESS[chains.index(2, 1, 1, 1)] = 1.5
CHAIN_FITNESS[chains.index(1, 2, 1, 1)] = 0.7
CHAIN_FITNESS[chains.index(2, 2, 1, 1)] = 0.4


@dataclass
class ChainCase:
    """One chain of several demes: the Demes model (dicts), the run's
    generations (--generations S), and the faults the data should reject
    (name, {"faults": ..., "structure": function of the Structure})."""

    name: str
    demes: list
    migrations: list
    pulses: list
    generations: int
    alternatives: list = field(default_factory=list)

    def structure(self):
        return demes_models.structure_of({"time_units": "generations", "demes": [
            resolved_deme(d) for d in self.demes], "migrations": [
            resolved_migration(m) for m in self.migrations], "pulses": self.pulses})


def resolved_deme(d):
    """The few resolution rules the chain cases need: epochs' start sizes
    as end sizes, constant, no selfing or cloning unless given; the start
    time infinite unless given."""
    epochs = [{"end_time": e["end_time"], "start_size": e["start_size"],
               "end_size": e.get("end_size", e["start_size"]),
               "size_function": e.get("size_function", "constant"),
               "selfing_rate": e.get("selfing_rate", 0), "cloning_rate": e.get("cloning_rate", 0)}
              for e in d["epochs"]]
    return {"name": d["name"], "start_time": d.get("start_time", "Infinity"), "epochs": epochs,
            "ancestors": d.get("ancestors", []), "proportions": d.get("proportions", [])}


def resolved_migration(m):
    return {"source": m["source"], "dest": m["dest"], "start_time": m.get("start_time", "Infinity"),
            "end_time": m.get("end_time", 0), "rate": m["rate"]}


def later_pulses(structure):
    for pulse in structure.pulses:
        pulse.time -= 1
    return structure


CHAIN_CASES = [
    # A of 2, mostly clonal, and B of 3, mostly selfing, exchanging parents
    # at unequal rates: B's offspring from A's parents are selfed at B's
    # rate, A's from B's cloned at A's.
    ChainCase("migration", [deme("A", [{"end_time": 0, "start_size": 2, "cloning_rate": 0.7}]),
                            deme("B", [{"end_time": 0, "start_size": 3, "selfing_rate": 0.8}])],
              [{"source": "A", "dest": "B", "rate": 0.4},
               {"source": "B", "dest": "A", "rate": 0.2}], [], 4,
              [("the parents' deme's selfing and cloning", {"faults": ("source ways",)}),
               ("the rates read the other way", {"structure": lambda s: swap_migrations(s)})]),
    # E starts at 2.5 (its first generation born at t = 2) from C (0.4) and
    # D (0.6); D ends at 1.5 (its last generation born at t = 2); E sends a
    # pulse of 0.5 into C at 1.2 (acting at t = 1) on top of migration
    # E -> C of 0.2, which starts with E: at t = 2 E has no parents yet, so
    # C's come from C; C -> E at 0.25.
    ChainCase("split and pulse", [deme("C", [(0, 2)]), deme("D", [(1.5, 2)]),
                                  deme("E", [(0, 3)], start_time=2.5, ancestors=["C", "D"],
                                       proportions=[0.4, 0.6])],
              [{"source": "C", "dest": "E", "rate": 0.25, "start_time": 2.5},
               {"source": "E", "dest": "C", "rate": 0.2, "start_time": 2.5}],
              [{"sources": ["E"], "dest": "C", "proportions": [0.5], "time": 1.2}], 4,
              [("each parent from its own source", {"faults": ("parents apart",)}),
               ("the pulse a generation late (t = ceil(T) - 2)", {"structure": later_pulses})]),
]


def swap_migrations(structure):
    for m in structure.migrations:
        m.source, m.dest = m.dest, m.source
    return structure


def chain_model():
    return chains.Model(1, (1, 2), (1,), BACK_A, np.eye(3), CHAIN_FITNESS, rule=chains.EXACT)


def chain_laws(case, faults=(), change=None):
    structure = case.structure()
    if change is not None:
        structure = change(structure)
    S = case.generations
    plans = [p for _, p in demes_models.schedule(structure, S, S, faults)]
    sizes = demes_models.starting_sizes(structure, S)
    return demes_chains.history_laws(chain_model(), sizes, [None] * len(sizes), plans,
                                     faults=faults), structure


def chain_tallies(case, structure, found, spaces, folder, name, replicates):
    """Per generation, the tally of the replicates' joint states (over the
    law's flat index) and the number of populations outside the chain."""
    model = chain_model()
    S = case.generations
    per_deme = {}
    for d in structure.demes:
        per_deme[d.name] = []
        for k in range(replicates):
            labels, counts = records(replicate_file(folder, name, k, d.name))
            per_deme[d.name].append(dict(zip(labels.tolist(), counts)))
    tallies = []
    for g, (sizes, law) in enumerate(found):
        t = S - g - 1
        tally = np.zeros(law.size)
        outside = 0
        for k in range(replicates):
            index = []
            for d, size in zip(structure.demes, sizes):
                here = per_deme[d.name][k].get(g)
                if size == 0:
                    index.append(0 if here is None else None)
                elif here is None:
                    index.append(None)
                else:
                    index.append(demes_chains.state_index(spaces, size, here, model))
            if any(i is None for i in index):
                outside += 1
            else:
                tally[np.ravel_multi_index(index, law.shape)] += 1
        tallies.append((t, tally, outside))
    return tallies


def chain_run(ctx, name, replicates):
    """Runs the cases as one model (their demes apart, so each case's chain
    is the law of its own demes) in one batch per engine, and compares each
    case's joint law after every generation with its chain."""
    result = Result(name)
    panels = {}
    laws = []
    for case in CHAIN_CASES:
        (found, spaces), structure = chain_laws(case)
        others = []
        for other, change in case.alternatives:
            (other_found, _), _ = chain_laws(case, change.get("faults", ()),
                                             change.get("structure"))
            others.append((other, other_found))
        laws.append((found, spaces, structure, others))
        sizes = "; ".join(f"{d.name} " + ", ".join(str(s[k]) for s, _ in found)
                          for k, d in enumerate(structure.demes))
        states = ", ".join(str(law.size) for _, law in found)
        result.lines.append(f"{case.name}: sizes by generation {sizes}; joint states "
                            f"{states}; R = {replicates}")
    generations = {case.generations for case in CHAIN_CASES}
    if len(generations) != 1:
        raise ValueError("the chain cases run as one model need the same generations")
    with scratch(ctx.out) as folder:
        model_path = demes_models.write_model(
            Path(folder) / "cases.json", [d for case in CHAIN_CASES for d in case.demes],
            [m for case in CHAIN_CASES for m in case.migrations],
            [p for case in CHAIN_CASES for p in case.pulses])
        for engine in sim.ENGINES:
            try:
                demes_batch(ctx, folder, engine, engine=engine, model=model_path,
                            fitness=CHAIN_FITNESS, generations=CHAIN_CASES[0].generations,
                            mutation_a=BACK_A,
                            replicates=replicates, seed=SEED)
            except RunFailed as failure:
                result.error = str(failure)
                return result
            for case, (found, spaces, structure, others) in zip(CHAIN_CASES, laws):
                tallies = chain_tallies(case, structure, found, spaces, folder, engine,
                                        replicates)
                for g, (t, tally, outside) in enumerate(tallies):
                    law = found[g][1].ravel()
                    if outside:
                        statistic, df, p = float("inf"), 0, 0.0
                    else:
                        statistic, df, p, _ = goodness_of_fit(tally, law)
                    result.p_values.append(p)
                    line = (f"  {case.name}, {engine} g = {g} (t = {t}): chi-square = "
                            f"{statistic:.1f}, df = {df}, p = {p:.3g}, outside the chain = "
                            f"{outside}")
                    for other, other_found in others:
                        other_law = other_found[g][1].ravel()
                        ratio = log_likelihood_ratio(tally, law, other_law)
                        line += f"; against {other}: log-likelihood ratio {ratio:.1f}"
                    result.lines.append(line)
                    panels[(f"{case.name}, {engine}", g)] = (law, tally, p, t)
    result.picture = picture(ctx, name)
    draw_chain(result.picture, name, panels, replicates)
    return result


def draw_chain(path, name, panels, replicates):
    """One panel per (case and engine, generation): observed frequency of
    every joint state against its exact probability, 3-sigma band."""
    rows = list(dict.fromkeys(r for r, _ in panels))
    columns = max(g for _, g in panels) + 1
    figure, axes = plt.subplots(len(rows), columns, figsize=(3.6 * columns, 3.2 * len(rows)),
                                squeeze=False)
    for ax in axes.ravel():
        ax.set_visible(False)
    floor = 0.3 / replicates
    for (row, g), (law, tally, p, t) in panels.items():
        ax = axes[rows.index(row)][g]
        ax.set_visible(True)
        shown = (law > 0) | (tally > 0)
        ax.scatter(np.maximum(law[shown], floor), np.maximum(tally[shown] / replicates, floor),
                   s=7, alpha=0.6)
        grid = np.logspace(np.log10(floor), 0, 200)
        band = 3 * np.sqrt(grid * (1 - grid) / replicates)
        ax.plot(grid, grid, color="black", lw=0.8)
        ax.plot(grid, grid + band, color="grey", lw=0.6, ls="--")
        ax.plot(grid, np.maximum(grid - band, floor), color="grey", lw=0.6, ls="--")
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.minorticks_off()
        ax.set_xlim(floor * 0.8, 1.2)
        ax.set_ylim(floor * 0.8, 1.2)
        ax.tick_params(labelsize=7)
        ax.set_title(f"{row}\ng = {g} (t = {t}): p = {p:.3g}", fontsize=8)
        ax.set_xlabel("exact probability of the joint state", fontsize=8)
        ax.set_ylabel(f"observed frequency (R = {replicates})", fontsize=8)
    figure.suptitle(f"{name}: joint states of the demes after each generation, observed vs "
                    f"exact (dashed: 3 sigma; zeros drawn at the bottom)", fontsize=10)
    figure.subplots_adjust(left=0.07, right=0.98, bottom=0.06, top=0.9, wspace=0.35, hspace=0.6)
    figure.savefig(path, dpi=80)
    plt.close(figure)


@check("demes-chain", "exact chain of tiny demes: migration with selfing and cloning (2 + 3 "
       "individuals); a split from two ancestors, a deme ending, a pulse on migration",
       sim.PROGRAMS, quick=True)
def demes_chain(ctx):
    return chain_run(ctx, "demes-chain", 500)


@check("demes-chain-large", "demes-chain with R = 4000", sim.PROGRAMS)
def demes_chain_large(ctx):
    return chain_run(ctx, "demes-chain-large", 4000)


# ---------------------------------------------------------------- demes-fst

@dataclass
class IslandCase:
    """D demes of N, symmetric migration at `pair` between every two (an
    offspring's parents from another deme with m = (D - 1) pair), mutation
    at locus a from each allele to each other at u; the run's generations,
    the window's first generation and the record spacing, R replicates."""

    N: int
    D: int
    pair: float
    u: float
    generations: int
    window: int
    every: int
    replicates: int

    @property
    def m(self):
        return (self.D - 1) * self.pair


FST_QUICK = IslandCase(N=20, D=3, pair=0.00625, u=0.0025, generations=1200, window=400, every=20,
                       replicates=100)
FST_LARGE = IslandCase(N=50, D=3, pair=0.0025, u=0.001, generations=3000, window=1000, every=20,
                       replicates=300)
ISLAND_NAMES = "ABCDEFGHIJ"


def symmetric_mutation(u):
    matrix = np.full((3, 3), u)
    np.fill_diagonal(matrix, 1 - 2 * u)
    return matrix


def island_statistics(series, demes):
    """Per replicate and record, from each deme's counts: H_S (the mean over
    demes of 1 - sum_k p_dk^2), H_T (1 - sum_k pbar_k^2), their F_ST
    (H_T - H_S) / H_T (NaN where H_T = 0) and the share of homozygous
    individuals at locus a. Arrays (replicates, records)."""
    p = np.stack([frequencies_a(series[d]) for d in demes], axis=2)  # (R, records, D, 3)
    hs = 1 - (p ** 2).sum(axis=3).mean(axis=2)
    ht = 1 - (p.mean(axis=2) ** 2).sum(axis=2)
    with np.errstate(invalid="ignore", divide="ignore"):
        fst = np.where(ht > 0, (ht - hs) / np.where(ht > 0, ht, 1), np.nan)
    homozygous = np.stack([(series[d] @ HOMOZYGOUS_A) / series[d].sum(axis=2) for d in demes],
                          axis=2).mean(axis=2)
    return hs, ht, fst, homozygous


def ratio_se(numerator, denominator):
    """The ratio of means of two per-replicate series and its delta-method
    standard error."""
    a, b = numerator.mean(), denominator.mean()
    n = len(numerator)
    covariance = np.cov(numerator, denominator, ddof=1)
    ratio = a / b
    variance = (covariance[0, 0] - 2 * ratio * covariance[0, 1]
                + ratio ** 2 * covariance[1, 1]) / (b * b * n)
    return ratio, math.sqrt(max(variance, 0.0))


def island_expectations(case, labels, m=None):
    """The exact E[H_S], E[H_T], E[homozygosity] at each recorded label (the
    population after generation label), and the equilibrium's."""
    m = case.m if m is None else m
    identities = demes_chains.island_identities(case.N, case.D, m, case.u, 3,
                                                case.generations)
    moments = demes_chains.frequency_moments(identities[np.asarray(labels)], case.N, case.D)
    equilibrium = demes_chains.frequency_moments(
        demes_chains.island_equilibrium(case.N, case.D, m, case.u, 3), case.N, case.D)
    return moments, equilibrium


def fst_run(ctx, name, case):
    result = Result(name)
    demes = list(ISLAND_NAMES[:case.D])
    labels_wanted = None
    found = {}
    result.lines.append(
        f"D = {case.D} demes of N = {case.N}, migration {case.pair} between every two "
        f"(m = {case.m:.4g}, 4Nm = {4 * case.N * case.m:.3g}), mutation a: each allele to each "
        f"other at u = {case.u} (4Nu = {4 * case.N * case.u:.3g}); {case.generations} "
        f"generations from all 1111, records every {case.every} from {case.window} on, "
        f"R = {case.replicates}")
    with scratch(ctx.out) as folder:
        model = demes_models.write_model(
            Path(folder) / "islands.json", [deme(d, [(0, case.N)]) for d in demes],
            [{"demes": demes, "rate": case.pair}])
        for engine in sim.ENGINES:
            try:
                demes_batch(ctx, folder, engine, engine=engine, model=model,
                            generations=case.generations,
                            mutation_a=symmetric_mutation(case.u), replicates=case.replicates,
                            record_every=case.every)
            except RunFailed as failure:
                result.error = str(failure)
                return result
            series, labels = deme_series(folder, engine, case.replicates, demes)
            labels = labels[demes[0]]
            keep = (labels >= case.window) & (labels < case.generations)
            labels_wanted = labels[keep]
            series = {d: series[d][:, keep] for d in demes}
            found[engine] = island_statistics(series, demes)
    moments, equilibrium = island_expectations(case, labels_wanted)
    expected = {"H_S": moments["HS"].mean(), "H_T": moments["HT"].mean(),
                "homozygosity": moments["I"].mean()}
    expected_fst = 1 - moments["HS"].sum() / moments["HT"].sum()
    result.lines.append(
        f"exact recursion of identities: at equilibrium H_S = {equilibrium['HS'][0]:.5f}, H_T = "
        f"{equilibrium['HT'][0]:.5f}, F_ST = (H_T - H_S) / H_T = {equilibrium['FST'][0]:.5f} "
        f"(identities (W - B) / (1 - B) = {equilibrium['FST identity'][0]:.5f}); "
        f"over the window F_ST = {expected_fst:.5f} (the window's distance to equilibrium "
        f"{abs(expected_fst - equilibrium['FST'][0]):.1e}); 1/(1 + 4Nm) = "
        f"{1 / (1 + 4 * case.N * case.m):.5f}")
    others = {}
    for other, m in (("m read as the rate of one pair", case.pair),
                     ("m twice as large", 2 * case.m)):
        other_moments, _ = island_expectations(case, labels_wanted, m)
        others[other] = 1 - other_moments["HS"].sum() / other_moments["HT"].sum()
    shown = {}
    for engine, (hs, ht, fst, homozygous) in found.items():
        per = {"H_S": hs.mean(axis=1), "H_T": ht.mean(axis=1),
               "homozygosity": homozygous.mean(axis=1)}
        parts = []
        for key, values in per.items():
            mean = values.mean()
            se = values.std(ddof=1) / math.sqrt(len(values))
            p = z_p(mean, se, expected[key])
            result.p_values.append(p)
            parts.append(f"{key} {mean:.5f} +- {se:.5f} (exact {expected[key]:.5f}, p = {p:.3g})")
        ratio, se = ratio_se(per["H_T"] - per["H_S"], per["H_T"])
        p = z_p(ratio, se, expected_fst)
        result.p_values.append(p)
        against = ", ".join(f"{other} {value:.4f} (p = {z_p(ratio, se, value):.2g})"
                            for other, value in others.items())
        records_mean = np.nanmean(fst)
        result.lines.append(
            f"{engine}: F_ST (ratio of the means) {ratio:.5f} +- {se:.5f} (exact "
            f"{expected_fst:.5f}, p = {p:.3g}); " + "; ".join(parts) + "; mean of the "
            f"records' F_ST {records_mean:.5f} (not judged: a mean of ratios); against {against}")
        shown[engine] = (fst, hs, ht, ratio, se)
    result.picture = picture(ctx, name)
    draw_fst(result.picture, name, case, labels_wanted, shown, moments, equilibrium, others)
    return result


def draw_fst(path, name, case, labels, shown, moments, equilibrium, others):
    figure, axes = plt.subplots(1, 2, figsize=(11, 4.2))
    every = np.arange(1, case.generations + 1)
    identities = demes_chains.island_identities(case.N, case.D, case.m, case.u, 3,
                                                case.generations)
    curve = demes_chains.frequency_moments(identities, case.N, case.D)
    axes[0].plot(every - 1, curve["HT"], color="black", lw=1, label="E[H_T] (exact recursion)")
    axes[0].plot(every - 1, curve["HS"], color="grey", lw=1, label="E[H_S] (exact recursion)")
    for engine, (fst, hs, ht, _, _) in shown.items():
        colour = "C0" if engine == "exact" else "C3"
        axes[0].plot(labels, ht.mean(axis=0), "o" if engine == "exact" else "s", ms=3,
                     color=colour, label=f"--engine {engine}: mean H_T, H_S")
        axes[0].plot(labels, hs.mean(axis=0), "o" if engine == "exact" else "s", ms=3,
                     color=colour, mfc="white")
    axes[0].axvline(case.window, color="black", lw=0.5, ls=":")
    axes[0].set_xlabel("generation")
    axes[0].set_ylabel("heterozygosity at locus a")
    axes[0].set_title(f"D = {case.D} demes of N = {case.N}, 4Nm = {4 * case.N * case.m:.3g}, "
                      f"u = {case.u}, R = {case.replicates}\n(window from the dotted line)",
                      fontsize=9)
    axes[0].legend(fontsize=7)
    x = 0
    names = []
    for engine, (_, _, _, ratio, se) in shown.items():
        axes[1].errorbar([x], [ratio], yerr=[1.96 * se], fmt="o" if engine == "exact" else "s",
                         color="C0" if engine == "exact" else "C3", ms=5)
        names.append(f"--engine {engine}")
        x += 1
    expected = 1 - moments["HS"].sum() / moments["HT"].sum()
    axes[1].axhline(expected, color="black", lw=1, label=f"exact recursion {expected:.4f}")
    axes[1].axhline(1 / (1 + 4 * case.N * case.m), color="black", lw=1, ls="--",
                    label=f"1/(1 + 4Nm) = {1 / (1 + 4 * case.N * case.m):.4f}")
    axes[1].axhline(equilibrium["FST identity"][0], color="grey", lw=1, ls=":",
                    label=f"(W - B)/(1 - B) = {equilibrium['FST identity'][0]:.4f}")
    for k, (other, value) in enumerate(others.items()):
        axes[1].axhline(value, color=f"C{k + 4}", lw=0.8, ls="-.", label=f"fault: {other}")
    axes[1].set_xticks(range(len(names)))
    axes[1].set_xticklabels(names)
    axes[1].set_xlim(-0.7, len(names) - 0.3)
    axes[1].set_ylabel("F_ST = (H_T - H_S) / H_T, ratio of the window's means")
    axes[1].set_title("F_ST with 95 % intervals against the exact recursion", fontsize=9)
    axes[1].legend(fontsize=7)
    figure.tight_layout()
    figure.savefig(path, dpi=90)
    plt.close(figure)


@check("demes-fst", "island model, 3 demes of 20, 4Nm = 1, symmetric mutation among 3 "
       "alleles: H_S, H_T, F_ST against the exact recursion of identities", sim.PROGRAMS,
       quick=True)
def demes_fst(ctx):
    return fst_run(ctx, "demes-fst", FST_QUICK)


@check("demes-fst-large", "demes-fst with 3 demes of 50, R = 300", sim.PROGRAMS)
def demes_fst_large(ctx):
    return fst_run(ctx, "demes-fst-large", FST_LARGE)


# ---------------------------------------------------------------- demes-pulse

PULSE_SIZE, PULSE_P = 200, 0.3
TWO_SIZE, TWO_M, TWO_P1, TWO_P2 = 100, 0.2, 0.25, 0.4
PULSE_GENERATIONS = 12  # born at t = 11 .. 0: eleven of one individual, then the pulse


def pulse_model(path):
    """One model, two cases apart. S and D are one individual each until
    time 1; at time 1 S sends a pulse of 0.3 into D, whose generation born
    at t = 0 has 200. T, S1 and S2 are one individual each until time 1;
    then T, of 100, takes parents from S1 by migration at 0.2 (active for
    t = 0 only) and by a pulse of 0.25, then from S2 by a pulse of 0.4, in
    that order, all at time 1."""
    demes = [deme("S", [(0, 1)]), deme("D", [(1, 1), (0, PULSE_SIZE)]),
             deme("S1", [(0, 1)]), deme("S2", [(0, 1)]), deme("T", [(1, 1), (0, TWO_SIZE)])]
    migrations = [{"source": "S1", "dest": "T", "rate": TWO_M, "start_time": 1, "end_time": 0}]
    pulses = [{"sources": ["S"], "dest": "D", "proportions": [PULSE_P], "time": 1},
              {"sources": ["S1"], "dest": "T", "proportions": [TWO_P1], "time": 1},
              {"sources": ["S2"], "dest": "T", "proportions": [TWO_P2], "time": 1}]
    return demes_models.write_model(path, demes, migrations, pulses)


def two_pulse_shares(faults=()):
    """T's offspring's shares from (T, S1, S2) in the generation of the
    pulses, by the documented rule and by the faults the data must reject."""
    structure = demes_models.structure_of({"time_units": "generations", "demes": [
        resolved_deme(d) for d in [deme("S1", [(0, 1)]), deme("S2", [(0, 1)]),
                                   deme("T", [(1, 1), (0, TWO_SIZE)])]],
        "migrations": [resolved_migration({"source": "S1", "dest": "T", "rate": TWO_M,
                                           "start_time": 1, "end_time": 0})],
        "pulses": [{"sources": [s], "dest": "T", "proportions": [p], "time": 1}
                   for s, p in (("S1", TWO_P1), ("S2", TWO_P2))]})
    if "order reversed" in faults:
        structure.pulses.reverse()
    if "one pulse" in faults:
        structure.pulses = [demes_models.Pulse([0, 1], 2, 1.0, [TWO_P1, TWO_P2])]
    sources = dict(demes_models.plan(structure, 0, faults)[2].sources)
    return np.array([sources.get(2, 0.0), sources.get(0, 0.0), sources.get(1, 0.0)])


def homozygote_of(counts):
    """The allele (1..3) of a population of one homozygote at locus a, or None."""
    where = np.flatnonzero(counts)
    if counts.sum() != 1 or len(where) != 1:
        return None
    a1, a2, _, _ = chains.alleles(int(where[0]))
    return a1 if a1 == a2 else None


def homozygotes_by_allele(counts):
    """Counts of individuals homozygous for alleles 1, 2, 3 at locus a, and
    of heterozygotes."""
    homozygous = [int(sum(counts[g] for g in range(chains.GENOTYPES)
                          if ALLELES[g, 0] == k and ALLELES[g, 1] == k)) for k in (1, 2, 3)]
    return homozygous, int(counts.sum()) - sum(homozygous)


def variance_p(values, variance, fourth):
    """Two-sided p-value of a sample variance against the variance of a
    law with that fourth central moment (normal approximation of s^2)."""
    n = len(values)
    s2 = values.var(ddof=1)
    se = math.sqrt(max(fourth / n - variance ** 2 * (n - 3) / (n * (n - 1)), 0.0))
    return s2, z_p(s2, se, variance)


def binomial_fourth(n, p):
    """The fourth central moment of a Binomial(n, p) count."""
    q = 1 - p
    return n * p * q * (1 + 3 * (n - 2) * p * q)


def pulse_run(ctx, name, replicates):
    result = Result(name)
    shares = two_pulse_shares()
    faults = {"the pulses in the other order": two_pulse_shares(("order reversed",)),
              "migrants not scaled by the pulses": two_pulse_shares(("pulse unscaled",)),
              "the two pulses as one": two_pulse_shares(("one pulse",))}
    result.lines.append(
        f"one pulse of p = {PULSE_P} from S (fixed) into D (fixed for another allele), D of "
        f"{PULSE_SIZE}: its offspring homozygous for S's allele ~ Binomial({PULSE_SIZE}, p), "
        f"no heterozygotes; frequency mean p, variance p(1 - p)/N = "
        f"{PULSE_P * (1 - PULSE_P) / PULSE_SIZE:.6f}")
    result.lines.append(
        f"two pulses and migration into T of {TWO_SIZE}: S1 by migration {TWO_M} and a pulse "
        f"{TWO_P1}, then S2 by a pulse {TWO_P2}: shares (T, S1, S2) = "
        f"({shares[0]:.4f}, {shares[1]:.4f}, {shares[2]:.4f}); R = {replicates} "
        f"(informative: the demes fixed for different alleles before the pulse)")
    shown = {}
    with scratch(ctx.out) as folder:
        model = pulse_model(Path(folder) / "pulses.json")
        start = sim.counts_of(3, g1111=1, g2211=1, g3311=1)
        for engine in sim.ENGINES:
            try:
                demes_batch(ctx, folder, engine, engine=engine, model=model,
                            generations=PULSE_GENERATIONS, initial=start,
                            replicates=replicates, record_every=PULSE_GENERATIONS - 2)
            except RunFailed as failure:
                result.error = str(failure)
                return result
            series, labels = deme_series(folder, engine, replicates, ["S", "D", "S1", "S2", "T"])
            before = list(labels["D"]).index(PULSE_GENERATIONS - 2)
            after = list(labels["D"]).index(PULSE_GENERATIONS)
            # One pulse.
            taken, hets, skipped = [], 0, 0
            for k in range(replicates):
                source = homozygote_of(series["S"][k, before])
                own = homozygote_of(series["D"][k, before])
                if source is None or own is None or source == own:
                    skipped += 1
                    continue
                homozygous, heterozygous = homozygotes_by_allele(series["D"][k, after])
                hets += heterozygous
                taken.append(homozygous[source - 1])
            taken = np.array(taken)
            n = len(taken)
            law = binom.pmf(np.arange(PULSE_SIZE + 1), PULSE_SIZE, PULSE_P)
            observed = np.bincount(taken, minlength=PULSE_SIZE + 1)
            statistic, df, p_law, _ = goodness_of_fit(observed, law)
            frequency = taken / PULSE_SIZE
            variance = PULSE_P * (1 - PULSE_P) / PULSE_SIZE
            p_mean = z_p(frequency.mean(), math.sqrt(variance / n), PULSE_P)
            fourth = binomial_fourth(PULSE_SIZE, PULSE_P) / PULSE_SIZE ** 4
            s2, p_variance = variance_p(frequency, variance, fourth)
            apart = PULSE_P * (1 - PULSE_P) / (2 * PULSE_SIZE)
            _, p_apart = variance_p(frequency, apart, 3 * apart ** 2)
            p_hets = 1.0 if hets == 0 else 0.0
            result.p_values += [p_law, p_mean, p_variance, p_hets]
            result.lines.append(
                f"{engine}, one pulse: {n} informative replicates ({skipped} not): mean frequency "
                f"{frequency.mean():.5f} (p = {p_mean:.3g}), variance {s2:.3e} against "
                f"{variance:.3e} (p = {p_variance:.3g}; against p(1 - p)/2N = {apart:.3e}, the "
                f"parents drawn apart: p = {p_apart:.2g}), law chi-square {statistic:.1f}, "
                f"df = {df}, p = {p_law:.3g}; heterozygotes {hets} (expected 0; parents drawn "
                f"apart would give {2 * PULSE_P * (1 - PULSE_P) * PULSE_SIZE * n:.0f})")
            # Two pulses.
            counts, hets, skipped = [], 0, 0
            for k in range(replicates):
                alleles = [homozygote_of(series[d][k, before]) for d in ("T", "S1", "S2")]
                if None in alleles or len(set(alleles)) < 3:
                    skipped += 1
                    continue
                homozygous, heterozygous = homozygotes_by_allele(series["T"][k, after])
                hets += heterozygous
                counts.append([homozygous[a - 1] for a in alleles])
            counts = np.array(counts)
            m = len(counts)
            totals = counts.sum(axis=0)
            statistic2, df2, p_totals, _ = goodness_of_fit(totals, shares)
            parts = []
            for j, label in ((1, "S1"), (2, "S2")):
                law = binom.pmf(np.arange(TWO_SIZE + 1), TWO_SIZE, shares[j])
                _, df_j, p_j, _ = goodness_of_fit(np.bincount(counts[:, j],
                                                              minlength=TWO_SIZE + 1), law)
                result.p_values.append(p_j)
                parts.append(f"{label}'s count ~ Binomial({TWO_SIZE}, {shares[j]:.2f}): "
                             f"df = {df_j}, p = {p_j:.3g}")
            p_hets = 1.0 if hets == 0 else 0.0
            result.p_values += [p_totals, p_hets]
            against = "; ".join(f"{other} ({', '.join(f'{x:.3f}' for x in value)}): p = "
                                f"{goodness_of_fit(totals, value)[2]:.2g}"
                                for other, value in faults.items())
            seen = totals / totals.sum()
            result.lines.append(
                f"{engine}, two pulses: {m} informative replicates ({skipped} not): shares "
                f"({seen[0]:.4f}, {seen[1]:.4f}, {seen[2]:.4f}), chi-square {statistic2:.2f}, "
                f"df = {df2}, p = {p_totals:.3g}; " + "; ".join(parts)
                + f"; heterozygotes {hets}; against {against}")
            shown[engine] = (taken, totals, m)
    result.picture = picture(ctx, name)
    draw_pulse(result.picture, name, shown, shares, faults)
    return result


def draw_pulse(path, name, shown, shares, faults):
    figure, axes = plt.subplots(1, 2, figsize=(13, 4.2), gridspec_kw={"width_ratios": [1, 1.1]})
    x = np.arange(PULSE_SIZE + 1) / PULSE_SIZE
    law = binom.pmf(np.arange(PULSE_SIZE + 1), PULSE_SIZE, PULSE_P)
    axes[0].plot(x, law, color="black", lw=1, label=f"exact law: Binomial({PULSE_SIZE}, {PULSE_P})")
    apart = norm.pdf(x, PULSE_P, math.sqrt(PULSE_P * (1 - PULSE_P) / (2 * PULSE_SIZE)))
    axes[0].plot(x, apart / PULSE_SIZE, color="grey", lw=1, ls="--",
                 label="parents drawn apart (variance halved)")
    for engine, (taken, _, _) in shown.items():
        seen = np.bincount(taken, minlength=PULSE_SIZE + 1) / len(taken)
        axes[0].plot(x, seen, "o" if engine == "exact" else "s", ms=2.5,
                     color="C0" if engine == "exact" else "C3",
                     label=f"--engine {engine} ({len(taken)} replicates)")
    axes[0].set_xlim(PULSE_P - 0.15, PULSE_P + 0.15)
    axes[0].set_xlabel("frequency of the source's allele in D right after the pulse")
    axes[0].set_ylabel("probability")
    axes[0].set_title(f"one pulse of {PULSE_P} into D of {PULSE_SIZE}", fontsize=9)
    axes[0].legend(fontsize=7)
    labels = ["T (own)", "S1", "S2"]
    for j in range(3):
        axes[1].plot([j - 0.3, j + 0.3], [shares[j]] * 2, color="black", lw=1.5,
                     label="documented order" if j == 0 else None)
        for k, (other, value) in enumerate(faults.items()):
            axes[1].plot([j - 0.3, j + 0.3], [value[j]] * 2, color=f"C{k + 2}", lw=1, ls="--",
                         label=other if j == 0 else None)
    for offset, (engine, (_, totals, m)) in zip((-0.1, 0.1), shown.items()):
        seen = totals / totals.sum()
        se = np.sqrt(seen * (1 - seen) / totals.sum())
        axes[1].errorbar(np.arange(3) + offset, seen, yerr=1.96 * se,
                         fmt="o" if engine == "exact" else "s", ms=4,
                         color="C0" if engine == "exact" else "C3",
                         label=f"--engine {engine} ({m} replicates)")
    axes[1].set_xticks(range(3))
    axes[1].set_xticklabels(labels)
    axes[1].set_ylabel("share of T's offspring")
    axes[1].set_title(f"migration {TWO_M} from S1, pulses {TWO_P1} from S1 then {TWO_P2} from "
                      f"S2, T of {TWO_SIZE}", fontsize=9)
    axes[1].legend(fontsize=7, loc="upper left", bbox_to_anchor=(1.01, 1.0))
    figure.suptitle(f"{name}: the destination right after a pulse (95 % intervals)", fontsize=10)
    figure.tight_layout()
    figure.savefig(path, dpi=90)
    plt.close(figure)


@check("demes-pulse", "a pulse's destination right after it: mean p, variance p(1 - p)/N, "
       "its law; two pulses and migration at once, in order", sim.PROGRAMS, quick=True)
def demes_pulse(ctx):
    return pulse_run(ctx, "demes-pulse", 600)


@check("demes-pulse-large", "demes-pulse with R = 4000", sim.PROGRAMS)
def demes_pulse_large(ctx):
    return pulse_run(ctx, "demes-pulse-large", 4000)


# ---------------------------------------------------------------- demes-balance

@dataclass
class BalanceCase:
    """Two demes of one individual each for `founding` generations (from one
    1111 and one 2211, so that each deme fixes 11 or 22 by chance), then N
    each for `generations` generations with symmetric migration m, under
    one locus's genotypic fitnesses (11, 12 and 21, 22); records every
    `every` generations; the window starts after `window` generations of N."""

    N: int
    m: float
    fitness: tuple
    founding: int
    generations: int
    window: int
    every: int
    replicates: int


BALANCE_FITNESS = (1.0, 0.6, 0.95)
BALANCE_QUICK = BalanceCase(N=10_000, m=0.02, fitness=BALANCE_FITNESS, founding=12,
                            generations=150, window=100, every=5, replicates=24)
BALANCE_LARGE = BalanceCase(N=100_000, m=0.02, fitness=BALANCE_FITNESS, founding=12,
                            generations=300, window=150, every=5, replicates=60)


def one_locus_fitness(w):
    """81 fitnesses by the genotype at locus a (11, 12 or 21, 22; allele 3
    never arises) whatever b."""
    fitness = np.ones(chains.GENOTYPES)
    for g in range(chains.GENOTYPES):
        copies = int(ALLELES[g, 0] == 2) + int(ALLELES[g, 1] == 2)
        fitness[g] = w[copies] if 3 not in ALLELES[g, :2] else 1.0
    return fitness


def balance_reference(case, faults=()):
    """The deterministic frequencies of allele 1 and of heterozygotes in the
    deme founded 11 and the one founded 22, after each of the generations
    of N: arrays (generations, 2) and (generations, 2), and the equilibrium
    with its Jacobian's spectral radius."""
    fitness = np.array([case.fitness, case.fitness])
    migration = np.array([[1 - case.m, case.m], [case.m, 1 - case.m]])
    genotypes = np.array([[1.0, 0.0, 0.0], [0.0, 0.0, 1.0]])
    ones, hets = [], []
    for _ in range(case.generations):
        genotypes = demes_chains.balance_step(genotypes, fitness, migration, faults)
        ones.append(genotypes[:, 0] + genotypes[:, 1] / 2)
        hets.append(genotypes[:, 1].copy())
    equilibrium, radius, _ = demes_chains.balance_equilibrium(
        np.array([[1.0, 0.0, 0.0], [0.0, 0.0, 1.0]]), fitness, migration, faults)
    return np.array(ones), np.array(hets), equilibrium, radius


def balance_run(ctx, name, case):
    result = Result(name)
    ones, hets, equilibrium, radius = balance_reference(case)
    apart_ones, apart_hets, apart, _ = balance_reference(case, ("parents apart",))
    x_eq = equilibrium[:, 0] + equilibrium[:, 1] / 2
    result.lines.append(
        f"two demes founded by one individual each ({case.founding} generations), then N = "
        f"{case.N} each for {case.generations} generations, migration m = {case.m} both ways; "
        f"fitness 11: {case.fitness[0]}, 12 and 21: {case.fitness[1]}, 22: {case.fitness[2]} "
        f"(underdominance); deterministic equilibrium from (11, 22): allele 1 at "
        f"({x_eq[0]:.5f}, {x_eq[1]:.5f}), heterozygotes ({equilibrium[0, 1]:.5f}, "
        f"{equilibrium[1, 1]:.5f}), stable (Jacobian radius {radius:.3f}); with each parent "
        f"from its own source: allele 1 at ({apart[0, 0] + apart[0, 1] / 2:.5f}, "
        f"{apart[1, 0] + apart[1, 1] / 2:.5f}), heterozygotes ({apart[0, 1]:.5f}, "
        f"{apart[1, 1]:.5f}); R = {case.replicates}")
    total = case.founding + case.generations
    shown = {}
    with scratch(ctx.out) as folder:
        model = demes_models.write_model(
            Path(folder) / "balance.json",
            [deme(d, [(case.generations, 1), (0, case.N)]) for d in ("A", "B")],
            [{"demes": ["A", "B"], "rate": case.m, "start_time": case.generations}])
        start = sim.counts_of(2, g1111=1, g2211=1)
        for engine in sim.ENGINES:
            try:
                demes_batch(ctx, folder, engine, engine=engine, model=model,
                            fitness=one_locus_fitness(case.fitness), generations=total,
                            initial=start, replicates=case.replicates,
                            record_every=case.every)
            except RunFailed as failure:
                result.error = str(failure)
                return result
            series, labels = deme_series(folder, engine, case.replicates, ["A", "B"])
            labels = labels["A"]
            # The last record of the founding generations (both demes of one).
            founded = labels[labels < case.founding].max()
            window = (labels >= case.founding + case.window) & (labels < total)
            steps = labels[window] - case.founding  # generations of N run (from 1)
            x_rows, h_rows, kept = [], [], 0
            for k in range(case.replicates):
                first = [homozygote_of(series[d][k, list(labels).index(founded)])
                         for d in ("A", "B")]
                if None in first or first[0] == first[1]:
                    continue
                order = ("A", "B") if first[0] == 1 else ("B", "A")
                kept += 1
                x_rows.append([frequencies_a(series[d][k, window])[:, 0] for d in order])
                h_rows.append([(series[d][k, window] @ (1 - HOMOZYGOUS_A))
                               / series[d][k, window].sum(axis=1) for d in order])
            x_rows, h_rows = np.array(x_rows), np.array(h_rows)  # (kept, 2, records)
            expected_x = ones[steps - 1].mean(axis=0)
            expected_h = hets[steps - 1].mean(axis=0)
            parts = []
            for j, founded_as in enumerate(("11", "22")):
                for label, rows, expected, other in (
                        ("allele 1", x_rows, expected_x, apart_ones[steps - 1].mean(axis=0)),
                        ("heterozygotes", h_rows, expected_h,
                         apart_hets[steps - 1].mean(axis=0))):
                    values = rows[:, j].mean(axis=1)
                    mean, se = values.mean(), values.std(ddof=1) / math.sqrt(len(values))
                    p = z_p(mean, se, expected[j])
                    result.p_values.append(p)
                    parts.append(f"deme founded {founded_as}: {label} {mean:.5f} +- {se:.5f} "
                                 f"(deterministic {expected[j]:.5f}, p = {p:.3g}; parents "
                                 f"apart {other[j]:.5f}, p = {z_p(mean, se, other[j]):.2g})")
            result.lines.append(f"{engine}: {kept} replicates founded apart, window of "
                                f"{window.sum()} records: " + "; ".join(parts))
            everything = (labels >= case.founding) & (labels < total)
            traces = []
            for k in range(case.replicates):
                first = [homozygote_of(series[d][k, list(labels).index(founded)])
                         for d in ("A", "B")]
                if None in first or first[0] == first[1]:
                    continue
                order = ("A", "B") if first[0] == 1 else ("B", "A")
                traces.append([frequencies_a(series[d][k, everything])[:, 0] for d in order])
            shown[engine] = (labels[everything] - case.founding, np.array(traces), x_rows, h_rows)
    result.picture = picture(ctx, name)
    draw_balance(result.picture, name, case, shown, ones, hets, apart_ones, apart_hets)
    return result


def draw_balance(path, name, case, shown, ones, hets, apart_ones, apart_hets):
    figure, axes = plt.subplots(1, 2, figsize=(12, 4.4))
    steps = np.arange(1, case.generations + 1)
    for j, founded in enumerate(("11", "22")):
        axes[0].plot(steps, ones[:, j], color="black", lw=1,
                     label="deterministic recursion" if j == 0 else None)
        axes[0].plot(steps, apart_ones[:, j], color="grey", lw=1, ls="--",
                     label="recursion with each parent from its own source" if j == 0 else None)
    for engine, (x, traces, _, _) in shown.items():
        colour = "C0" if engine == "exact" else "C3"
        for trace in traces:
            axes[0].plot(x, trace[0], color=colour, lw=0.4, alpha=0.4)
            axes[0].plot(x, trace[1], color=colour, lw=0.4, alpha=0.4)
        axes[0].plot([], [], color=colour, lw=1, label=f"--engine {engine}, each replicate")
    axes[0].axvline(case.window, color="black", lw=0.5, ls=":")
    axes[0].set_xlabel(f"generations of N = {case.N}")
    axes[0].set_ylabel("frequency of allele 1 (upper: deme founded 11)")
    axes[0].set_title(f"two demes, m = {case.m}, fitness 11: {case.fitness[0]}, 12: "
                      f"{case.fitness[1]}, 22: {case.fitness[2]} (window from the dotted line)",
                      fontsize=9)
    axes[0].legend(fontsize=7, loc="center right")
    window = steps >= case.window
    names = []
    x = 0
    for j, founded in enumerate(("11", "22")):
        for label, k, curve, other in (("allele 1", 2, ones, apart_ones),
                                       ("heterozygotes", 3, hets, apart_hets)):
            expected = curve[window, j].mean()
            for offset, (engine, data) in zip((-0.12, 0.12), shown.items()):
                values = data[k][:, j].mean(axis=1) - expected
                se = values.std(ddof=1) / math.sqrt(len(values))
                axes[1].errorbar([x + offset], [values.mean()], yerr=[1.96 * se],
                                 fmt="o" if engine == "exact" else "s", ms=4,
                                 color="C0" if engine == "exact" else "C3",
                                 label=f"--engine {engine}" if x == 0 else None)
            axes[1].plot([x - 0.3, x + 0.3], [other[window, j].mean() - expected] * 2,
                         color="grey", ls="--", lw=1,
                         label="each parent from its own source" if x == 0 else None)
            names.append(f"{label}\nfounded {founded}")
            x += 1
    axes[1].axhline(0, color="black", lw=1)
    axes[1].set_xticks(range(len(names)))
    axes[1].set_xticklabels(names, fontsize=8)
    axes[1].set_ylabel("window mean - deterministic")
    axes[1].set_title("the window's means minus the recursion's, 95 % intervals", fontsize=9)
    axes[1].legend(fontsize=7)
    figure.suptitle(f"{name}: migration-selection balance at one locus", fontsize=10)
    figure.tight_layout()
    figure.savefig(path, dpi=90)
    plt.close(figure)


@check("demes-balance", "two demes, underdominance, m = 0.02, N = 10^4: allele and "
       "heterozygote frequencies against the deterministic equilibrium", sim.PROGRAMS,
       quick=True)
def demes_balance(ctx):
    return balance_run(ctx, "demes-balance", BALANCE_QUICK)


@check("demes-balance-large", "demes-balance with N = 10^5, R = 60", sim.PROGRAMS)
def demes_balance_large(ctx):
    return balance_run(ctx, "demes-balance-large", BALANCE_LARGE)


# ---------------------------------------------------------------- demes-sizes

@dataclass
class SizeBudget:
    """How much of a model a run may take: the records written (a record of
    each existing deme and of the whole, every generation) and, on the
    exact engine, the offspring drawn. A model over either is run for its
    last generations only (--generations in place of --burn-in)."""

    records: int
    offspring: int


SIZES_QUICK = SizeBudget(records=400, offspring=10_000_000)
SIZES_ALL = SizeBudget(records=160_000, offspring=600_000_000)
SIZES_BURN_IN = 2


def model_files(everything=False):
    """The Demes examples; with `everything` also their tutorial's and the
    valid cases."""
    files = sorted((CASES / "examples").glob("*.yaml"))
    if everything:
        files += sorted((CASES / "examples" / "tutorial").glob("*.yaml"))
        files += sorted((CASES / "valid").glob("*.yaml"))
    return files


def resolved_model(ctx, path):
    """The resolved model: the example's NAME.resolved.json beside it where
    there is one (resolved by the Demes standard's own tools, independent of
    this program), otherwise the program's --resolve."""
    beside = path.with_name(path.name[:-len(".yaml")] + ".resolved.json")
    if beside.is_file():
        return json.loads(beside.read_text()), "resolved.json"
    done = subprocess.run([str(Path(ctx.build) / sim.PROGRAM), "--demography", str(path),
                           "--resolve"], capture_output=True, text=True)
    if done.returncode != 0:
        raise RunFailed(f"--resolve of {path.name}: {done.stderr.strip()}")
    return json.loads(done.stdout), "--resolve"


def record_labels(generations, every):
    """The records of a run of n generations with --record-every K: (label,
    the generation after which it is written) for the multiples of K below
    n, and the final record labelled n (after generation n - 1) unless n is
    a multiple of K."""
    found = [(g, g) for g in range(0, generations, every)]
    if generations % every:
        found.append((generations, generations - 1))
    return found


def expected_records(structure, start, generations, every=1):
    """{deme: {label: N}} for each deme's file and the whole's ('' key) over
    a run of `generations` generations starting at S = start, a record every
    `every` generations."""
    found = {d.name: {} for d in structure.demes}
    found[""] = {}
    for label, g in record_labels(generations, every):
        total = 0
        for d, here in zip(structure.demes, demes_models.plan(structure, start - g - 1)):
            if here.exists:
                found[d.name][label] = here.size
                total += here.size
        found[""][label] = total
    return found


def run_length(structure, budget, engine):
    """The run's (S, generations, K): S = ceil(oldest) + burn-in; all its
    generations, or on the exact engine its last generations within the
    budget of offspring; a record every K generations, K the least that
    keeps the records within their budget."""
    full = demes_models.start_after_burn_in(structure, SIZES_BURN_IN)
    generations, records, offspring = 0, 0, 0
    for t in range(full):  # the youngest first
        plan = demes_models.plan(structure, t)
        offspring += sum(here.size for here in plan if here.exists)
        if engine == "exact" and offspring > budget.offspring:
            break
        records += 1 + sum(here.exists for here in plan)
        generations += 1
    return full, generations, max(1, math.ceil(records / budget.records))


def sizes_of_one(ctx, folder, path, budget):
    """Runs one model on both engines; returns (line, passed, seconds by engine)."""
    model, source = resolved_model(ctx, path)
    structure = demes_models.structure_of(model)
    name = path.stem
    parts, passed, seconds = [], True, {}
    for engine in sim.ENGINES:
        full, generations, every = run_length(structure, budget, engine)
        # A capped run starts later: its first generation is born at
        # t = generations - 1, the model's last generations.
        capped = generations < full
        start = generations
        refusal = demes_models.refusal(structure, start, generations)
        out = Path(folder) / f"{name}-{engine}"
        args = ["--fitness-values", Path(folder) / "ones.tsv", "--demography", path,
                "--engine", engine, "--record-every", every, "-o", out]
        args += ["--generations", generations] if capped else ["--burn-in", SIZES_BURN_IN]
        began = time.time()
        done = subprocess.run([str(Path(ctx.build) / sim.PROGRAM), *map(str, args)],
                              capture_output=True, text=True, cwd=folder)
        seconds[engine] = time.time() - began
        if refusal is not None:
            said = done.stderr.strip().splitlines()
            ok = (done.returncode == 1 and len(said) == 1 and not out.exists()
                  and refusal[0] in said[0])
            parts.append(f"{engine}: refused as expected ({refusal[0]}: {refusal[1]})" if ok
                         else f"{engine}: expected a refusal naming {refusal[0]} "
                              f"({refusal[1]}), got status {done.returncode}: "
                              f"{done.stderr.strip()[:200]}")
            passed &= ok
            continue
        if done.returncode != 0:
            parts.append(f"{engine}: exit status {done.returncode}: {done.stderr.strip()[:200]}")
            passed = False
            continue
        expected = expected_records(structure, start, generations, every)
        if len(structure.demes) == 1:
            # A model of one deme writes OUT only, as a run with -N does.
            expected = {"": expected[""]}
            if list(Path(folder).glob(f"{name}-{engine}@*")):
                parts.append(f"{engine}: a deme's file beside OUT for a model of one deme")
                passed = False
                continue
        wrong = []
        for deme_name, wanted in expected.items():
            file = out if deme_name == "" else Path(f"{out}@{deme_name}")
            if not file.exists():
                wrong.append(f"{deme_name}: no file {file.name}")
                continue
            labels, counts = records(file)
            got = dict(zip(labels.tolist(), counts.sum(axis=1).tolist()))
            if got != wanted:
                bad = sorted(set(got) ^ set(wanted)) or [g for g in wanted if got[g] != wanted[g]]
                g = bad[0]
                wrong.append(f"{deme_name or 'the whole'} at g = {g} (t = {start - g - 1}): "
                             f"N {got.get(g, 'no record')} against {wanted.get(g, 'no record')}")
            elif counts[:, 1:].any():
                wrong.append(f"{deme_name or 'the whole'}: a genotype other than 1111")
        records_seen = sum(len(w) for w in expected.values())
        if wrong:
            passed = False
            parts.append(f"{engine}: {len(wrong)} file(s) differ, first {wrong[0]}")
        else:
            how = [f"its last {generations} generations"] if capped else []
            how += [f"a record every {every}"] if every > 1 else []
            parts.append(f"{engine}: {records_seen} records equal"
                         + (f" ({', '.join(how)})" if how else ""))
        for file in Path(folder).glob(f"{name}-{engine}*"):
            file.unlink()
    line = (f"{path.parent.name}/{path.name} ({source}; {len(structure.demes)} demes; "
            f"S = {full}): " + "; ".join(parts))
    return line, passed, seconds


def sizes_run(ctx, name, budget, everything):
    result = Result(name)
    files = model_files(everything)
    totals = {engine: 0.0 for engine in sim.ENGINES}
    failed = []
    capped = []
    with scratch(ctx.out) as folder:
        sim.write_fitness(Path(folder) / "ones.tsv", ONES)
        for path in files:
            try:
                line, passed, seconds = sizes_of_one(ctx, folder, path, budget)
            except RunFailed as failure:
                line, passed, seconds = f"{path.name}: {failure}", False, {}
            result.lines.append(line)
            result.p_values.append(1.0 if passed else 0.0)
            if not passed:
                failed.append(path.name)
            if "last" in line or "every" in line:
                capped.append(path.name)
            for engine, s in seconds.items():
                totals[engine] += s
    result.lines.insert(0, f"{len(files)} models, --burn-in {SIZES_BURN_IN} and --record-every 1 "
                           f"on both engines within a budget ({budget.records} records, "
                           f"{budget.offspring:.0e} offspring on the exact engine); "
                           f"{len(files) - len(failed)} pass; run in part (the last generations "
                           f"or a record every K): {', '.join(capped) or 'none'}; program "
                           f"time " + ", ".join(f"{e} {s:.1f} s" for e, s in totals.items()))
    result.picture = picture(ctx, name)
    draw_sizes(ctx, result.picture, name, budget)
    return result


def draw_sizes(ctx, path, name, budget):
    """The sizes of the demes of three examples as the rules give them, with
    the records' N of an exact-engine run over them."""
    shown = ["offshoots.yaml", "browning_america.yaml", "jacobs_papuans.yaml"]
    figure, axes = plt.subplots(1, len(shown), figsize=(5 * len(shown), 4.2))
    with scratch(ctx.out) as folder:
        sim.write_fitness(Path(folder) / "ones.tsv", ONES)
        for ax, file in zip(axes, shown):
            model_path = CASES / "examples" / file
            model, _ = resolved_model(ctx, model_path)
            structure = demes_models.structure_of(model)
            full, generations, every = run_length(structure, budget, "multinomial")
            start = generations
            capped = generations < full
            out = Path(folder) / file
            args = ["--fitness-values", Path(folder) / "ones.tsv", "--demography", model_path,
                    "--engine", "multinomial", "--record-every", every, "-o", out]
            args += ["--generations", generations] if capped else ["--burn-in", SIZES_BURN_IN]
            run_program(ctx.build, sim.PROGRAM, args, folder)
            expected = expected_records(structure, start, generations, every)
            for k, d in enumerate(structure.demes):
                wanted = expected[d.name]
                if not wanted:
                    continue
                g = np.array(sorted(wanted))
                colour = f"C{k % 10}"
                ax.plot(start - np.minimum(g, generations - 1) - 1, [wanted[x] for x in g],
                        color=colour, lw=1.2, label=d.name)
                labels, counts = records(Path(f"{out}@{d.name}"))
                step = max(1, len(labels) // 60)
                ax.plot(start - np.minimum(labels[::step], generations - 1) - 1,
                        counts.sum(axis=1)[::step], "o", ms=2.5, color=colour, mfc="white")
            ax.set_xscale("symlog", linthresh=10)
            ax.set_yscale("log")
            ax.invert_xaxis()
            ax.set_xlabel("birth time t (generations before time 0)")
            ax.set_ylabel("N")
            ax.set_title(f"{file}" + (f" (last {generations} generations)" if capped else ""),
                         fontsize=9)
            ax.legend(fontsize=6, ncol=2)
    figure.suptitle(f"{name}: each deme's size by the rules (lines) and its records' N "
                    f"(circles, --engine multinomial, every few records)", fontsize=10)
    figure.tight_layout()
    figure.savefig(path, dpi=90)
    plt.close(figure)


@check("demes-sizes", "every Demes example runs on both engines with each deme's records where "
       "the model has the deme and with its sizes (long ones: their last generations)",
       sim.PROGRAMS, quick=True)
def demes_sizes(ctx):
    return sizes_run(ctx, "demes-sizes", SIZES_QUICK, everything=False)


@check("demes-sizes-all", "demes-sizes over the whole examples where feasible, and every valid "
       "case of the Demes cases", sim.PROGRAMS)
def demes_sizes_all(ctx):
    return sizes_run(ctx, "demes-sizes-all", SIZES_ALL, everything=True)
