"""Checks of histories (twolocus-sim --demography): a Demes model of one deme
whose size, selfing rate and cloning rate change through time.

The model of a history, as the documentation states it: a run starts S
generations before time 0 (--generations S) and runs forward; generation g's
offspring are born at t = S - g - 1 generations before time 0, and the
record labelled g is the population after generation g. An epoch covers the
birth times t with end_time <= t < start_time (times divided by the
generation time). Each generation's size is its epoch's size function at t,
rounded to the nearest whole number, halves up. An offspring of a generation
with cloning rate c and selfing rate s is a clone of one parent (its
genotype after mutation) with probability c, selfed (both gametes from one
parent) with probability (1 - c) s, and otherwise outcrossed: two parents
drawn independently with replacement by their weights.

The checks: the exact chain of a tiny population through a size change,
selfing and cloning (history-chain); the expected heterozygosity through a
bottleneck (bottleneck-heterozygosity); the inbreeding coefficient under
partial selfing (selfing-inbreeding, and a larger population in
selfing-inbreeding-large); linkage disequilibrium under cloning (cloning-ld,
and a grid in cloning-ld-grid); the records' sizes against the Demes
formulas (demes-sizes, and the whole zigzag example in demes-sizes-zigzag).
"""

import json
import math
from dataclasses import dataclass, field
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

import chain_checks  # noqa: E402
import chains  # noqa: E402
import sim  # noqa: E402
import sim_chain_checks  # noqa: E402
from harness import (REPOSITORY, Result, RunFailed, check, goodness_of_fit,  # noqa: E402
                     log_likelihood_ratio, scratch)
from theory_checks import A2, B2, ONES, disequilibrium, z_p  # noqa: E402

SEED = 2929
ALLELES = np.array([chains.alleles(g) for g in range(chains.GENOTYPES)])
HOMOZYGOUS_A = (ALLELES[:, 0] == ALLELES[:, 1]).astype(int)
COPIES_A = [(ALLELES[:, 0] == k).astype(int) + (ALLELES[:, 1] == k) for k in (1, 2, 3)]
# Haplotypes across an individual's two slots: allele 2 at a on slot 1 with
# allele 2 at b on slot 4, and at a on slot 2 with b on slot 3.
CROSS22 = ((ALLELES[:, 0] == 2) & (ALLELES[:, 3] == 2)).astype(int) + (
    (ALLELES[:, 1] == 2) & (ALLELES[:, 2] == 2))
EXAMPLES = REPOSITORY / "tests" / "cases" / "demes" / "examples"


# ---------------------------------------------------------------- the Demes formulas

def demes_epoch(end_time, start_size, end_size=None, size_function=None, selfing_rate=0.0,
                cloning_rate=0.0):
    """One epoch of a Demes model with every field given (so that the file
    needs no resolution): a constant epoch unless end_size differs."""
    end_size = start_size if end_size is None else end_size
    if size_function is None:
        size_function = "constant" if end_size == start_size else "exponential"
    return {"end_time": end_time, "start_size": start_size, "end_size": end_size,
            "size_function": size_function, "selfing_rate": selfing_rate,
            "cloning_rate": cloning_rate}


def half_up(x):
    """The nearest whole number, halves rounded up (exact for every double)."""
    whole = math.floor(x)
    return int(whole) + (1 if x - whole >= 0.5 else 0)


def epoch_at(epochs, t, generation_time=1.0, deme_start=math.inf):
    """Takes resolved epochs (the oldest first), a birth time t in
    generations; returns (index, the epoch's start and end in generations)
    of the epoch with end <= t < start."""
    start = deme_start / generation_time
    for k, epoch in enumerate(epochs):
        end = epoch["end_time"] / generation_time
        if end <= t < start:
            return k, start, end
        start = end
    raise ValueError(f"no epoch holds t = {t}")


def demes_size(epoch, start, end, t):
    """The Demes size function of an epoch at time t (all in generations):
    constant; exponential as the Demes format writes it, start_size *
    exp(log(end_size / start_size) * dt), dt = (start - t) / (start - end);
    linear, start_size + (end_size - start_size) * dt."""
    shape = epoch["size_function"]
    if shape == "constant":
        return float(epoch["start_size"])
    dt = (start - t) / (start - end)
    if shape == "exponential":
        rate = math.log(epoch["end_size"] / epoch["start_size"])
        return epoch["start_size"] * math.exp(rate * dt)
    if shape == "linear":
        return epoch["start_size"] + (epoch["end_size"] - epoch["start_size"]) * dt
    raise ValueError(f"size function {shape}")


def schedule(epochs, start, generations, generation_time=1.0, deme_start=math.inf):
    """The run's generations as the documentation defines them: for g = 0 ..
    generations - 1, (birth time t = start - g - 1, the rounded size, the
    cloning rate, the selfing rate); and the size at t = start (that of the
    population before generation 0)."""
    rows = []
    for g in range(-1, generations):
        t = start - g - 1
        k, begin, end = epoch_at(epochs, t, generation_time, deme_start)
        epoch = epochs[k]
        rows.append((t, half_up(demes_size(epoch, begin, end, t)), epoch["cloning_rate"],
                     epoch["selfing_rate"]))
    return rows[1:], rows[0][1]


def picture(ctx, name):
    return str(ctx.out / f"{name}.png")


# ---------------------------------------------------------------- history-chain

@dataclass
class HistoryCase:
    """One exact chain through a history: its Demes epochs, the run's
    generations (--generations S), the chain's model (its N unused), the
    start given with --initial (None: the documented default, all 1111 of
    the size at t = S), the run's options, and the faults the data should
    reject: (name, changes to every Way, another start or None)."""

    name: str
    epochs: list
    generations: int
    model: chains.Model
    start: dict = None
    alternatives: list = field(default_factory=list)

    def ways(self, **changes):
        rows, _ = schedule(self.epochs, self.generations, self.generations)
        ways = []
        for _, N, cloning, selfing in rows:
            values = {"N": N, "cloning": cloning, "selfing": selfing}
            values.update(changes)
            ways.append(chains.Way(**values))
        return ways

    def start_counts(self):
        if self.start is None:
            _, before = schedule(self.epochs, self.generations, self.generations)
            return sim.counts_of(before, g1111=before)
        return sim.counts_of(0, **{"g" + k: v for k, v in self.start.items()})


# Generation 0 (born at t = 3) of 2 individuals, mostly selfed; generation 1
# (t = 2) of 3, mostly clones; generations 2 and 3 (t = 1, 0) grow
# exponentially from 2 towards 4 (sizes 2 x 2^(1/3) = 2.52 -> 3, then 4),
# with clones, selfed and outcrossed offspring together. Two loci, r = 0.2,
# back mutation at both, fitnesses 0.4 to 1.6 (exact weights). The start,
# two 2121 (haplotypes 22 and 11) and one 1211 (ordered), has 3 individuals.
WAYS = HistoryCase(
    "ways", [demes_epoch(2.5, 2, selfing_rate=0.7), demes_epoch(1.5, 3, cloning_rate=0.6),
             demes_epoch(0, 2, 4, "exponential", selfing_rate=0.5, cloning_rate=0.3)],
    4, chains.Model(3, (1, 2), (1, 2), sim_chain_checks.BACK_A, sim_chain_checks.BACK_B,
                    sim_chain_checks.spread_fitness(29, 0.4, 1.6), rule=chains.EXACT, r=0.2),
    start={"2121": 2, "1211": 1},
    alternatives=[("no cloning", {"cloning": 0.0}, None), ("no selfing", {"selfing": 0.0}, None),
                  ("selfed with probability s, not (1 - c) s", {"share_of_selfing": "s"}, None),
                  ("a selfed offspring made of one gamete twice", {"selfing_meioses": 1}, None),
                  ("clones drawn without regard to fitness", {"clone_weights": "uniform"},
                   None)])
# The default start: the population before generation 0 is one 1111 (the
# size at t = S = 4), its offspring 3 a generation; one locus, 1 -> 2 at 0.4.
# A start of 3 (generation 0's size) makes other laws.
DEFAULT_START = HistoryCase(
    "default start", [demes_epoch(3.5, 1), demes_epoch(0, 3)], 4,
    chains.Model(1, (1, 2), (1,), chains.one_way(0.4, 0, 0), np.eye(3), ONES, rule=chains.EXACT),
    alternatives=[("a start of 3 (generation 0's size)", {}, {"1111": 3})])
CHAIN_R = 2000


def chain_case(ctx, folder, result, case, panels):
    """Runs one case on both engines and compares each generation's
    populations with the chain; adds its lines, p-values and panels."""
    model, start, ways = case.model, case.start_counts(), case.ways()
    spaces = {}
    found = chains.history_distributions(model, start, ways, spaces)
    alternatives = []
    for name, changes, other_start in case.alternatives:
        other = start if other_start is None else sim.counts_of(
            0, **{"g" + k: v for k, v in other_start.items()})
        alternatives.append((name, chains.history_distributions(model, other,
                                                                case.ways(**changes), spaces)))
    result.lines.append(f"{case.name}: start " + ("all 1111, the size at t = S" if case.start
                                                 is None else str(case.start)) + "; " + "; ".join(
        f"g = {g} (t = {case.generations - g - 1}): N = {w.N}, c = {w.cloning}, "
        f"s = {w.selfing}, {len(found[g][0])} states" for g, w in enumerate(ways))
        + f"; R = {CHAIN_R}")
    demography = sim.write_demography(Path(folder) / f"{case.name}.yaml", case.epochs)
    for engine in sim.ENGINES:
        run = f"{case.name.replace(' ', '-')}-{engine}"
        sim.batch(ctx, folder, run, engine=engine, fitness=model.fitness, demography=demography,
                  generations=case.generations,
                  initial=None if case.start is None else start, r=model.r,
                  mutation_a=model.mutation_a, mutation_b=model.mutation_b, replicates=CHAIN_R,
                  seed=SEED, record_every=1, trajectories=True)
        observed, labels = sim.replicate_records(folder, run, CHAIN_R)
        if list(labels) != list(range(case.generations)):
            raise RunFailed(f"{engine}: records {list(labels)}, not 0 to {case.generations - 1}")
        for g, (counts, law) in enumerate(found):
            tallies, outside = chain_checks.tally(model, counts, observed[:, g])
            if outside:
                statistic, df, p = float("inf"), 0, 0.0
            else:
                statistic, df, p, _ = goodness_of_fit(tallies, law)
            result.p_values.append(p)
            line = (f"{engine} {case.name} g = {g} (N = {ways[g].N}): chi-square = "
                    f"{statistic:.1f}, df = {df}, p = {p:.3g}, states seen = "
                    f"{int((tallies > 0).sum())}, outside the chain = {outside}")
            for name, other in alternatives:
                line += (f"; against {name}: log-likelihood ratio "
                         f"{log_likelihood_ratio(tallies, law, other[g][1]):.1f}")
            result.lines.append(line)
            panels[(f"--engine {engine}, {case.name}", g + 1)] = (law, tallies, p)


@check("history-chain", "the exact chain through sizes 3 -> 2 -> 3 -> 3 -> 4 (a Demes history), "
       "selfing, cloning and both, two loci, r = 0.2, back mutation, exact weights; the "
       "default start of the size at t = S", sim.PROGRAMS, quick=True)
def history_chain(ctx):
    result = Result("history-chain")
    panels = {}
    with scratch(ctx.out) as folder:
        for case in (WAYS, DEFAULT_START):
            try:
                chain_case(ctx, folder, result, case, panels)
            except RunFailed as failure:
                result.error = str(failure)
                return result
    result.picture = picture(ctx, "history-chain")
    chain_checks.draw(result.picture, "history-chain", panels, CHAIN_R,
                      generations=range(1, WAYS.generations + 1),
                      note="\nways: sizes " + " -> ".join(
                          str(w.N) for w in WAYS.ways()) + " (selfing, cloning, both, both); "
                      "default start: 1 -> " + " -> ".join(str(w.N) for w in DEFAULT_START.ways()))
    return result


# ---------------------------------------------------------------- bottleneck-heterozygosity

# 20 generations of 100, 5 of 4, then exponential growth back to 100 over 15.
BOTTLENECK_EPOCHS = [demes_epoch(20, 100), demes_epoch(15, 4),
                     demes_epoch(0, 4, 100, "exponential")]
BOTTLENECK_GENERATIONS, BOTTLENECK_R = 40, 1000


def heterozygosity(counts, N):
    """2 p (1 - p) of allele 2 at locus a (alleles 1 and 2 only)."""
    p = counts @ A2 / (2 * N)
    return 2 * p * (1 - p)


def expected_heterozygosity(H0, sizes):
    """E[H] after each generation: H0 times the product of (1 - 1/(2 N_i))
    over the sizes of the generations so far (each offspring's 2 N copies
    are independent draws from the parents' copies)."""
    return H0 * np.cumprod([1 - 1 / (2 * N) for N in sizes])


@check("bottleneck-heterozygosity", "E[H_t] = H_0 prod (1 - 1/2N_i) through a bottleneck "
       "(100 -> 4 -> exponential growth to 100), neutral, one locus", sim.PROGRAMS, quick=True)
def bottleneck_heterozygosity(ctx):
    result = Result("bottleneck-heterozygosity")
    rows, before = schedule(BOTTLENECK_EPOCHS, BOTTLENECK_GENERATIONS, BOTTLENECK_GENERATIONS)
    sizes = np.array([N for _, N, _, _ in rows])
    start = sim.counts_of(before, g1111=before // 2, g2211=before - before // 2)
    H0 = heterozygosity(start, before)
    expected = expected_heterozygosity(H0, sizes)
    late = expected_heterozygosity(H0, [before, *sizes[:-1]])  # each size one generation late
    result.lines.append(f"sizes: {before} before generation 0, then " + ", ".join(
        map(str, sizes)) + f"; H_0 = {H0}, R = {BOTTLENECK_R}")
    found = {}
    with scratch(ctx.out) as folder:
        demography = sim.write_demography(Path(folder) / "bottleneck.yaml", BOTTLENECK_EPOCHS)
        for engine in sim.ENGINES:
            try:
                sim.batch(ctx, folder, engine, engine=engine, fitness=ONES, demography=demography,
                          generations=BOTTLENECK_GENERATIONS, initial=start,
                          replicates=BOTTLENECK_R, seed=SEED, record_every=1, trajectories=True)
            except RunFailed as failure:
                result.error = str(failure)
                return result
            counts, _ = sim.replicate_records(folder, engine, BOTTLENECK_R)
            totals = counts.sum(axis=2)
            if (totals != sizes).any():
                result.error = f"{engine}: a record's N is not its generation's size"
                return result
            H = heterozygosity(counts, sizes[None, :])
            means = H.mean(axis=0)
            ses = H.std(axis=0, ddof=1) / math.sqrt(BOTTLENECK_R)
            p_values = [z_p(m, s, e) for m, s, e in zip(means, ses, expected)]
            late_p = [z_p(m, s, e) for m, s, e in zip(means, ses, late)]
            result.p_values += p_values
            worst = int(np.argmin(p_values))
            shown = [19, 24, 29, 39]
            result.lines.append(
                f"{engine}: " + ", ".join(f"g = {g} (N = {sizes[g]}): {means[g]:.4f} +- "
                                          f"{ses[g]:.4f} vs {expected[g]:.4f}" for g in shown)
                + f"; smallest p over the {len(means)} generations {p_values[worst]:.3g} "
                f"(g = {worst}); against the sizes one generation late: smallest p "
                f"{min(late_p):.3g}")
            found[engine] = (means, ses)
    result.picture = picture(ctx, "bottleneck-heterozygosity")
    figure, axes = plt.subplots(1, 2, figsize=(11, 4.2))
    g = np.arange(BOTTLENECK_GENERATIONS)
    axes[0].step(g, sizes, where="mid", color="black", lw=1)
    axes[0].set_yscale("log")
    axes[0].set_xlabel("generation g (born at t = 39 - g)")
    axes[0].set_ylabel("N (records)")
    axes[0].set_title("the history: 100, a bottleneck of 4, exponential growth", fontsize=9)
    ax = axes[1]
    ax.plot(g, expected, color="black", lw=1, label="H_0 prod (1 - 1/2N_i)")
    ax.plot(g, late, color="grey", lw=0.8, ls=":", label="sizes one generation late")
    for k, engine in enumerate(sim.ENGINES):
        means, ses = found[engine]
        ax.errorbar(g + (k - 0.5) * 0.25, means, yerr=1.96 * ses, fmt="o" if k == 0 else "s",
                    ms=2.5, color="C0" if k == 0 else "C3", elinewidth=0.7,
                    label=f"--engine {engine}")
    ax.set_xlabel("generation g")
    ax.set_ylabel("mean H = 2p(1 - p) (95 % intervals)")
    ax.set_title(f"heterozygosity at locus a, R = {BOTTLENECK_R}", fontsize=9)
    ax.legend(fontsize=8)
    figure.tight_layout()
    figure.savefig(result.picture, dpi=90)
    plt.close(figure)
    return result


# ---------------------------------------------------------------- selfing-inbreeding

def identities(counts, N):
    """Takes genotype counts (..., 81) of N individuals; returns (f, g) at
    locus a: the share of homozygous individuals (two genes of one
    individual identical in state) and the share of identical pairs among
    the 2N(N - 1) pairs of genes of two different individuals."""
    homozygous = counts @ HOMOZYGOUS_A
    pairs = sum((counts @ copies) * (counts @ copies - 1) / 2 for copies in COPIES_A)
    return homozygous / N, (pairs - homozygous) / (2 * N * (N - 1))


def identity_step(f, g, N, selfing, u, replacement=True):
    """One generation of the identities in state (f within, g between
    individuals) at a locus with alleles 1 and 2 mutating to each other at
    u (derived in the docs): mutation keeps two genes identical with
    probability l + (1 - l)/2, l = (1 - 2u)^2; an offspring's two genes come
    from one parent with probability s + (1 - s)/N (selfed, or outcrossed to
    the same parent drawn twice; s alone without replacement), and then are
    one gene twice or the parent's two genes with probability 1/2 each; two
    genes of two offspring come from one parent with probability 1/N."""
    keep = (1 - 2 * u) ** 2
    f_m, g_m = keep * f + (1 - keep) / 2, keep * g + (1 - keep) / 2
    one = selfing + (1 - selfing) / N if replacement else selfing
    return one * (1 + f_m) / 2 + (1 - one) * g_m, (1 + f_m) / (2 * N) + (1 - 1 / N) * g_m


def identity_path(f, g, N, selfing, u, generations, replacement=True):
    """E[f] and E[g] after each of `generations` generations from (f, g)."""
    path = []
    for _ in range(generations):
        f, g = identity_step(f, g, N, selfing, u, replacement)
        path.append((f, g))
    return np.array(path)


def identity_equilibrium(N, selfing, u, replacement=True):
    """The fixed point (f, g) of identity_step and F = (f - g)/(1 - g)."""
    b = np.array(identity_step(0.0, 0.0, N, selfing, u, replacement))
    A = np.column_stack([np.array(identity_step(1.0, 0.0, N, selfing, u, replacement)) - b,
                         np.array(identity_step(0.0, 1.0, N, selfing, u, replacement)) - b])
    f, g = np.linalg.solve(np.eye(2) - A, b)
    return f, g, (f - g) / (1 - g)


def inbreeding(f, g):
    return (f - g) / (1 - g)


def inbreeding_se(fs, gs):
    """The delta-method standard error of F = (mean f - mean g)/(1 - mean g)
    from per-replicate means fs and gs."""
    f, g = fs.mean(), gs.mean()
    gradient = np.array([1 / (1 - g), (f - 1) / (1 - g) ** 2])
    covariance = np.cov(np.vstack([fs, gs])) / len(fs)
    return math.sqrt(gradient @ covariance @ gradient)


def selfing_check(ctx, name, N, u, selfings, replicates, generations, every, window):
    result = Result(name)
    start = sim.counts_of(N, g1111=N // 4, g2111=N // 2, g2211=N - N // 4 - N // 2)
    f0, g0 = identities(start, N)
    mutation = np.array([[1 - u, u, 0], [u, 1 - u, 0], [0, 0, 1]])
    result.lines.append(f"N = {N}, u = {u} (1 <-> 2 at locus a), start p = 1/2 with f = {f0}, "
                        f"g = {g0:.4f}; R = {replicates}, {generations} generations, records every "
                        f"{every} from generation {window} averaged")
    found = {}
    with scratch(ctx.out) as folder:
        for selfing in selfings:
            demography = sim.write_demography(Path(folder) / f"selfing-{selfing}.yaml",
                                              [demes_epoch(0, N, selfing_rate=selfing)])
            exact = identity_path(f0, g0, N, selfing, u, generations)
            no_chance = identity_path(f0, g0, N, selfing, u, generations, replacement=False)
            f_eq, g_eq, F_eq = identity_equilibrium(N, selfing, u)
            for engine in sim.ENGINES:
                run = f"{engine}-{selfing}"
                try:
                    sim.batch(ctx, folder, run, engine=engine, fitness=ONES, demography=demography,
                              generations=generations, initial=start, mutation_a=mutation,
                              replicates=replicates, seed=SEED, record_every=every,
                              trajectories=True)
                except RunFailed as failure:
                    result.error = str(failure)
                    return result
                counts, labels = sim.replicate_records(folder, run, replicates)
                kept = labels >= window
                every_f, every_g = identities(counts, N)
                f, g = every_f[:, kept], every_g[:, kept]
                fs, gs = f.mean(axis=1), g.mean(axis=1)
                expected_f, expected_g = exact[labels[kept]].mean(axis=0)
                F_exact = inbreeding(expected_f, expected_g)
                F_seen = inbreeding(fs.mean(), gs.mean())
                F_se = inbreeding_se(fs, gs)
                p_f = z_p(fs.mean(), fs.std(ddof=1) / math.sqrt(replicates), expected_f)
                p_g = z_p(gs.mean(), gs.std(ddof=1) / math.sqrt(replicates), expected_g)
                p_F = z_p(F_seen, F_se, F_exact)
                result.p_values += [p_f, p_g, p_F]
                F_no_chance = inbreeding(*no_chance[labels[kept]].mean(axis=0))
                result.lines.append(
                    f"{engine} s = {selfing}: F = {F_seen:.4f} +- {F_se:.4f} against the "
                    f"recursion's {F_exact:.4f} (p = {p_F:.3g}; equilibrium {F_eq:.4f}, large N "
                    f"s/(2 - s) = {selfing / (2 - selfing):.4f}); f = {fs.mean():.4f} vs "
                    f"{expected_f:.4f} (p = {p_f:.3g}), g = {gs.mean():.4f} vs {expected_g:.4f} "
                    f"(p = {p_g:.3g}); without chance selfing F would be {F_no_chance:.4f} "
                    f"(p = {z_p(F_seen, F_se, F_no_chance):.3g})")
                found[(engine, selfing)] = (F_seen, F_se, every_f.mean(axis=0),
                                            every_g.mean(axis=0), labels, exact)
    result.picture = picture(ctx, name)
    figure, axes = plt.subplots(1, 2, figsize=(11, 4.3))
    ax = axes[0]
    grid = np.linspace(0, 1, 101)
    ax.plot(grid, grid / (2 - grid), color="black", lw=1, label="large N: s/(2 - s)")
    equilibria = [identity_equilibrium(N, s, u)[2] for s in grid]
    ax.plot(grid, equilibria, color="C2", lw=1, ls="--",
            label=f"recursion's equilibrium, N = {N}, u = {u}")
    ax.plot(grid, [identity_equilibrium(N, s, u, replacement=False)[2] for s in grid],
            color="grey", lw=0.8, ls=":", label="the same without chance selfing (a fault)")
    for k, engine in enumerate(sim.ENGINES):
        for selfing in selfings:
            F_seen, F_se = found[(engine, selfing)][:2]
            ax.errorbar(selfing + (k - 0.5) * 0.015, F_seen, yerr=1.96 * F_se,
                        fmt="o" if k == 0 else "s", ms=4, color="C0" if k == 0 else "C3",
                        label=f"--engine {engine}" if selfing == selfings[0] else None)
    ax.set_xlabel("selfing rate s")
    ax.set_ylabel("F = (f - g)/(1 - g)")
    ax.set_title(f"inbreeding coefficient at equilibrium, R = {replicates} (95 % intervals)",
                 fontsize=9)
    ax.legend(fontsize=8)
    ax = axes[1]
    for j, selfing in enumerate(selfings):
        F_seen, F_se, f_mean, g_mean, labels, exact = found[("exact", selfing)]
        ax.plot(labels, inbreeding(exact[labels, 0], exact[labels, 1]), color=f"C{j}", lw=1)
        for k, engine in enumerate(sim.ENGINES):
            f_mean, g_mean = found[(engine, selfing)][2:4]
            ax.plot(labels, inbreeding(f_mean, g_mean), "o" if k == 0 else "s", ms=2,
                    color=f"C{j}", alpha=0.6, label=f"s = {selfing}" if k == 0 else None)
    ax.axvline(window, color="grey", lw=0.6, ls=":")
    ax.set_xlabel("generation (dotted: the window averaged from here)")
    ax.set_ylabel("F of the mean f and g over replicates")
    ax.set_title("through time: circles exact engine, squares multinomial;\nlines: the "
                 "recursion from the start", fontsize=9)
    ax.legend(fontsize=8)
    figure.tight_layout()
    figure.savefig(result.picture, dpi=90)
    plt.close(figure)
    return result


@check("selfing-inbreeding", "F at equilibrium under partial selfing s = 0, 0.5, 0.9 (large N "
       "s/(2 - s); the exact finite-N recursion), N = 20, mutation 1 <-> 2", sim.PROGRAMS,
       quick=True)
def selfing_inbreeding(ctx):
    return selfing_check(ctx, "selfing-inbreeding", N=20, u=0.01, selfings=(0.0, 0.5, 0.9),
                         replicates=200, generations=400, every=8, window=100)


@check("selfing-inbreeding-large", "F at equilibrium under partial selfing s = 0 to 0.95, "
       "N = 500, mutation 1 <-> 2", sim.PROGRAMS, quick=False)
def selfing_inbreeding_large(ctx):
    return selfing_check(ctx, "selfing-inbreeding-large", N=500, u=0.001,
                         selfings=(0.0, 0.2, 0.5, 0.8, 0.95), replicates=200, generations=1000,
                         every=10, window=200)


# ---------------------------------------------------------------- cloning-ld

def ld_step(D, Dx, N, r, cloning):
    """One generation of E[D] and E[Dx] (Dx: the disequilibrium of alleles
    on an individual's two different haplotypes) under cloning rate c,
    neutral, no mutation, no selfing (derived in the docs):
    D' = (1 - 1/2N)(c + (1 - c)(1 - r)) D + ((1 - c) r (1 - 1/2N) - c/2N) Dx,
    Dx' = c Dx - (c (D + Dx) + (1 - c)((1 - r) D + r Dx)) / 2N."""
    c, h = cloning, 1 / (2 * N)
    sampled = h * (c * (D + Dx) + (1 - c) * ((1 - r) * D + r * Dx))
    return (c * D + (1 - c) * ((1 - r) * D + r * Dx) - sampled, c * Dx - sampled)


def ld_path(D, Dx, N, r, cloning, generations):
    path = []
    for _ in range(generations):
        D, Dx = ld_step(D, Dx, N, r, cloning)
        path.append(D)
    return np.array(path)


def cross_disequilibrium(counts, N):
    pa, pb = counts @ A2 / (2 * N), counts @ B2 / (2 * N)
    return counts @ CROSS22 / (2 * N) - pa * pb


def cloning_check(ctx, name, N, pairs, replicates, generations, times):
    result = Result(name)
    # Random union of the haplotypes 22 and 11: 2222, 2121, 1212, 1111 alike.
    start = sim.counts_of(N, g2222=N // 4, g2121=N // 4, g1212=N // 4,
                          g1111=N - 3 * (N // 4))
    D0, Dx0 = disequilibrium(start, N), cross_disequilibrium(start, N)
    result.lines.append(f"N = {N}, start in random union, D0 = {D0}, Dx0 = {Dx0}; "
                        f"R = {replicates}, {generations} generations")
    found = {}
    naive = []
    with scratch(ctx.out) as folder:
        for r, cloning in pairs:
            demography = sim.write_demography(Path(folder) / f"cloning-{cloning}.yaml",
                                              [demes_epoch(0, N, cloning_rate=cloning)])
            expected = ld_path(D0, Dx0, N, r, cloning, generations)
            for engine in sim.ENGINES:
                run = f"{engine}-{r}-{cloning}"
                try:
                    sim.batch(ctx, folder, run, engine=engine, fitness=ONES, demography=demography,
                              generations=generations, initial=start, r=r,
                              replicates=replicates, seed=SEED, record_every=1, trajectories=True)
                except RunFailed as failure:
                    result.error = str(failure)
                    return result
                counts, _ = sim.replicate_records(folder, run, replicates)
                D = disequilibrium(counts, N)
                means = D.mean(axis=0)
                ses = D.std(axis=0, ddof=1) / math.sqrt(replicates)
                parts = []
                for t in times:
                    p = z_p(means[t - 1], ses[t - 1], expected[t - 1])
                    result.p_values.append(p)
                    naive.append(z_p(means[t - 1], ses[t - 1], (1 - r) ** t * D0))
                    parts.append(f"t={t}: {means[t - 1]:.4f}+-{ses[t - 1]:.4f} vs "
                                 f"{expected[t - 1]:.4f} (p = {p:.2g})")
                result.lines.append(f"{engine} r = {r}, c = {cloning}: factor "
                                    f"1 - (1 - c) r = {1 - (1 - cloning) * r:.3f}; "
                                    + ", ".join(parts))
                found[(engine, r, cloning)] = (means, ses, expected)
    infinite_p = []
    for (engine, r, cloning), (means, ses, _) in found.items():
        if cloning > 0:
            infinite_p += [z_p(means[t - 1], ses[t - 1], (1 - (1 - cloning) * r) ** t * D0)
                           for t in times]
    result.lines.append(f"the same data against the infinite population's "
                        f"(1 - (1 - c) r)^t D0: smallest p = {min(infinite_p):.3g} (shown, not "
                        f"judged); against (1 - r)^t D0, cloning ignored: smallest p = "
                        f"{min(naive):.3g}")
    result.picture = picture(ctx, name)
    wide = len(pairs) > 4
    figure, axes = plt.subplots(1, 2, figsize=(13 if wide else 11, 4.3), sharey=True)
    t = np.arange(1, generations + 1)
    for ax, engine in zip(axes, sim.ENGINES):
        for k, (r, cloning) in enumerate(pairs):
            means, ses, expected = found[(engine, r, cloning)]
            ax.plot(t, expected, color=f"C{k}", lw=1, label=f"r = {r}, c = {cloning}")
            ax.plot(t, (1 - (1 - cloning) * r) ** t * D0, color=f"C{k}", lw=0.7, ls=":")
            ax.errorbar(t, means, yerr=1.96 * ses, fmt="o", ms=2.5, color=f"C{k}",
                        elinewidth=0.7)
        ax.set_xlabel("generations t")
        ax.set_title(f"twolocus-sim --engine {engine}, N = {N}, R = {replicates}\nline: exact "
                     f"E[D_t]; dotted: (1 - (1 - c) r)^t D0", fontsize=9)
    if wide:
        axes[1].legend(fontsize=7, loc="upper left", bbox_to_anchor=(1.02, 1))
    else:
        axes[1].legend(fontsize=7)
    axes[0].set_ylabel("mean D (95 % intervals)")
    figure.tight_layout()
    figure.savefig(result.picture, dpi=90)
    plt.close(figure)
    return result


@check("cloning-ld", "linkage disequilibrium decays by 1 - (1 - c) r a generation under cloning "
       "rate c = 0, 0.5, 0.9, r = 0.2, N = 200, from random union", sim.PROGRAMS, quick=True)
def cloning_ld(ctx):
    return cloning_check(ctx, "cloning-ld", N=200, pairs=[(0.2, 0.0), (0.2, 0.5), (0.2, 0.9)],
                         replicates=200, generations=20, times=(1, 2, 5, 10, 20))


@check("cloning-ld-grid", "linkage disequilibrium under cloning, r = 0.05, 0.2, 0.5 and "
       "c = 0, 0.5, 0.9, N = 1000", sim.PROGRAMS, quick=False)
def cloning_ld_grid(ctx):
    pairs = [(r, c) for r in (0.05, 0.2, 0.5) for c in (0.0, 0.5, 0.9)]
    return cloning_check(ctx, "cloning-ld-grid", N=1000, pairs=pairs, replicates=400,
                         generations=30, times=(1, 2, 3, 5, 10, 20, 30))


# ---------------------------------------------------------------- demes-sizes

def resolved_example(name):
    """The epochs, generation time and deme start of a one-deme example, from
    its resolved model as the Demes material gives it."""
    model = json.loads((EXAMPLES / f"{name}.resolved.json").read_text())
    deme, = model["demes"]
    start = deme["start_time"]
    return (deme["epochs"], float(model["generation_time"]),
            math.inf if start == "Infinity" else float(start))


# Linear epochs whose sizes fall on halves exactly (10 + (48 - t)/2 for
# t = 47 .. 16), then a linear decline.
LINEAR = [demes_epoch(48, 10), demes_epoch(16, 10, 26, "linear"),
          demes_epoch(0, 26, 5, "linear")]
# In years, 29 a generation: epoch ends between whole generations.
YEARS = [demes_epoch(5000, 300), demes_epoch(2900.5, 300, 30, "exponential", selfing_rate=0.3),
         demes_epoch(1000, 30, 70.5, "linear", cloning_rate=0.4),
         demes_epoch(0, 70.5, 1000, "exponential")]


def size_cases(full):
    """(name, epochs, generation time, deme start, the run's options, the
    run's start S or None for the default burn-in, the burn-in)."""
    cases = []
    for example in ("zigzag",) if full else ("defaults_deme_many_epochs_global", "zigzag"):
        epochs, generation_time, deme_start = resolved_example(example)
        if example == "zigzag":
            runs = [("default burn-in", None)] if full else [("--generations 2200", 2200)]
        else:
            runs = [("default burn-in", None), ("--burn-in 3", "burn-in 3")]
        for label, start in runs:
            cases.append((f"{example} ({label})", EXAMPLES / f"{example}.yaml", epochs,
                          generation_time, deme_start, start))
    if not full:
        cases.append(("linear (halves), --generations 60", LINEAR, LINEAR, 1.0, math.inf, 60))
        cases.append(("years, 29 a generation, --burn-in 5", YEARS, YEARS, 29.0, math.inf,
                      "burn-in 5"))
    return cases


def run_start(epochs, generation_time, deme_start, start):
    """The run's start S: given, or the oldest finite time rounded up to a
    whole generation plus the burn-in (default 10 times the first epoch's
    size)."""
    if isinstance(start, int):
        return start
    times = [e["end_time"] / generation_time for e in epochs]
    if math.isfinite(deme_start):
        times.append(deme_start / generation_time)
    oldest = max(times)
    burn_in = 10 * half_up(epochs[0]["start_size"]) if start is None else int(start.split()[1])
    return math.ceil(oldest) + burn_in


def sizes_check(ctx, name, full):
    result = Result(name)
    drawn = []
    with scratch(ctx.out) as folder:
        for case, model, epochs, generation_time, deme_start, start in size_cases(full):
            S = run_start(epochs, generation_time, deme_start, start)
            rows, before = schedule(epochs, S, S, generation_time, deme_start)
            sizes = np.array([N for _, N, _, _ in rows])
            if isinstance(model, Path):
                demography = model
            else:
                demography = sim.write_demography(
                    Path(folder) / f"{len(drawn)}.yaml", model,
                    time_units="generations" if generation_time == 1 else "years",
                    generation_time=None if generation_time == 1 else generation_time)
            options = {}
            if isinstance(start, int):
                options["generations"] = start
            elif start is not None:
                options["burn_in"] = int(start.split()[1])
            # A start of every allele pair at both loci, so that no engine
            # runs a population of one class.
            initial = sim.counts_of(before, g1111=before - before // 2, g2121=before // 2)
            seen = {}
            for engine in sim.ENGINES:
                run = f"{len(drawn)}-{engine}"
                try:
                    sim.batch(ctx, folder, run, engine=engine, fitness=ONES,
                              demography=demography, initial=initial, r=0.3,
                              mutation_a=chains.one_way(0.001, 0, 0), replicates=1, seed=SEED,
                              record_every=1, trajectories=True, **options)
                except RunFailed as failure:
                    result.error = str(failure)
                    return result
                labels, counts = sim.records(Path(folder) / f"{run}.runs" / "replicate-0")
                N = counts.sum(axis=1)
                same_records = list(labels) == list(range(S))
                differ = np.flatnonzero(N != sizes) if same_records else np.arange(S)
                if not same_records or len(differ):
                    result.p_values.append(0.0)
                line = (f"{engine} {case}: S = {S} generations ({len(labels)} records, "
                        f"labels {'0 to S - 1' if same_records else 'NOT 0 to S - 1'}), sizes "
                        f"{sizes.min()} to {sizes.max()}, {len(np.unique(sizes))} distinct; "
                        f"records whose N differs from the formula: {len(differ)}")
                if len(differ):
                    g = differ[0]
                    line += f" (first: g = {g}, N = {N[g]}, formula {sizes[g]})"
                result.lines.append(line)
                seen[engine] = N
            drawn.append((case, sizes, seen, S))
    result.picture = picture(ctx, name)
    columns = len(drawn)
    figure, axes = plt.subplots(2, columns, figsize=(max(3.6 * columns, 9), 5.6), squeeze=False,
                                gridspec_kw={"height_ratios": [3, 1]})
    for k, (case, sizes, seen, S) in enumerate(drawn):
        ax, below = axes[0][k], axes[1][k]
        # Long runs on the time before 0 (t + 1 = S - g), on a log scale, so
        # that the recent short epochs show.
        long = S > 5000
        x = S - np.arange(S) if long else np.arange(S)
        ax.plot(x, sizes, color="black", lw=1.2, label="formula, rounded")
        if long:
            shown = np.unique(S - np.geomspace(1, S, 200).astype(int))
        else:
            shown = np.arange(0, S, max(1, S // 150))
        for j, engine in enumerate(sim.ENGINES):
            ax.plot(x[shown[j::2]], seen[engine][shown[j::2]], "o" if j == 0 else "s", ms=2.5,
                    color="C0" if j == 0 else "C3", alpha=0.7, label=f"--engine {engine}")
            below.plot(x, seen[engine] - sizes, "o" if j == 0 else "s", ms=1.5,
                       color="C0" if j == 0 else "C3")
        for axis in (ax, below) if long else ():
            axis.set_xscale("log")
            axis.invert_xaxis()
        below.set_xlabel("generations before time 0 (t + 1)" if long else "generation g")
        if sizes.max() > 20 * sizes.min():
            ax.set_yscale("log")
        ax.set_title(case, fontsize=8)
        ax.legend(fontsize=7)
        below.set_ylim(-1.5, 1.5)
        if k == 0:
            ax.set_ylabel("N of the record")
            below.set_ylabel("record - formula")
    figure.tight_layout()
    figure.savefig(result.picture, dpi=90)
    plt.close(figure)
    return result


@check("demes-sizes", "every record's N equals the Demes formula rounded (halves up): an "
       "exponential example at sizes 1-2, the zigzag example's last 2200 generations, linear "
       "epochs on halves, a model in years", sim.PROGRAMS, quick=True)
def demes_sizes(ctx):
    return sizes_check(ctx, "demes-sizes", full=False)


@check("demes-sizes-zigzag", "every record's N in the whole zigzag example (exponential epochs, "
       "ends between whole generations) with its default burn-in", sim.PROGRAMS, quick=False)
def demes_sizes_zigzag(ctx):
    return sizes_check(ctx, "demes-sizes-zigzag", full=True)
