"""Checks against population-genetic theory: neutral fixation and its
times, loss of the wild type under one-way mutation, the decay of linkage
disequilibrium, fixation under selection.

Each check compares means or proportions over replicates with the value of
the theory (a z-score or an exact binomial test; a check fails when a
p-value is below 10^-4), and also with the exact value of the documented
model where one is known: for a neutral locus the model is exactly
Wright-Fisher sampling of 2N gene copies (each offspring's allele at a slot
is a copy drawn from a parent drawn at random, a uniform draw from the 2N
copies), so the count of an allele is a Markov chain on 0..2N whose first
passage times are computed exactly by its fundamental matrix. The diffusion
formulas are within about 1/(2N) of that chain; the check's verdict is
against the exact chain where there is one, and the diffusion's own gap is
printed beside it.

First-passage times come from --stop: the run ends at the first population
meeting the condition, and its summary row says after how many generations.
"""

import math
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
from scipy.special import digamma  # noqa: E402
from scipy.stats import binom, binomtest, norm  # noqa: E402

import chains  # noqa: E402
import sim  # noqa: E402
from harness import (Result, RunFailed, check, engine_point, goodness_of_fit,  # noqa: E402
                     populations, qq_panel, replicate, run_program, scratch)

SEED = 1969
ALLELES = np.array([chains.alleles(g) for g in range(chains.GENOTYPES)])
A2 = (ALLELES[:, 0] == 2).astype(int) + (ALLELES[:, 1] == 2)  # copies of a2 by genotype
B2 = (ALLELES[:, 2] == 2).astype(int) + (ALLELES[:, 3] == 2)
H22 = ((ALLELES[:, 0] == 2) & (ALLELES[:, 2] == 2)).astype(int) + (
    (ALLELES[:, 1] == 2) & (ALLELES[:, 3] == 2))
ONES = np.ones(chains.GENOTYPES)


# ---------------------------------------------------------------- theory

def kimura_ohta(p, N):
    """Kimura and Ohta (1969): mean generations to absorption, to fixation
    (given fixation) and to loss (given loss) of a neutral allele at
    frequency p, effective size N (diploid)."""
    q = 1 - p
    return (-4 * N * (p * np.log(p) + q * np.log(q)), -4 * N * q * np.log(q) / p,
            -4 * N * p * np.log(p) / q)


def kimura_1980(theta, N):
    """Kimura (1980): mean generations until a mutant from frequency 0
    fixes under one-way mutation at rate v (theta = 4Nv), that is until the
    wild type is lost: 4N sum_{i>=1} 1 / (i (i - 1 + theta))
    = 4N (psi(theta) - psi(1)) / (theta - 1)."""
    if abs(theta - 1) < 1e-9:
        return 4 * N * math.pi ** 2 / 6
    return 4 * N * (digamma(theta) - digamma(1)) / (theta - 1)


def kimura_1962(p, N, s):
    """Kimura (1962): fixation probability of an allele at frequency p with
    genic selection (fitnesses 1, 1 + s, 1 + 2s), effective size N."""
    if s == 0:
        return p
    return -math.expm1(-4 * N * s * p) / -math.expm1(-4 * N * s)


def ld_mean(t, r, N, D0):
    """E[D] after t >= 1 generations of the documented model from a start of
    homozygous individuals with disequilibrium D0 (derived in the docs):
    (1 - 1/(2N)) (1 - r - 1/(2N))^(t - 1) D0. An infinite population has
    (1 - r)^t D0."""
    return (1 - 1 / (2 * N)) * (1 - r - 1 / (2 * N)) ** (t - 1) * D0


# ---------------------------------------------------------------- exact one-locus chain

def wright_fisher(two_n, u=0.0):
    """Transition matrix of the count of allele 2 among 2N copies: each copy
    of allele 1 mutates to 2 with probability u, then 2N copies are drawn."""
    i = np.arange(two_n + 1)
    x = i / two_n
    x = x + (1 - x) * u
    return binom.pmf(i[None, :], two_n, x[:, None])


def absorption_times(two_n):
    """Exact mean generations to absorption, to fixation given fixation and
    to loss given loss, from every count 1..2N-1 (neutral, no mutation)."""
    P = wright_fisher(two_n)
    Q = P[1:-1, 1:-1]
    fundamental = np.linalg.inv(np.eye(two_n - 1) - Q)
    fix = np.arange(1, two_n) / two_n
    total = fundamental.sum(axis=1)
    return total, fundamental @ fix / fix, fundamental @ (1 - fix) / (1 - fix)


def passage_from_zero(two_n, u, horizon):
    """One-way mutation 1 -> 2 at u: the exact mean generations until allele
    1 is lost (count 2N) from count 0, and P(lost within t) for t = 0..horizon."""
    P = wright_fisher(two_n, u)
    Q = P[:-1, :-1]
    mean = np.linalg.solve(np.eye(two_n) - Q, np.ones(two_n))[0]
    law = np.zeros(two_n + 1)
    law[0] = 1
    cdf = [0.0]
    for _ in range(horizon):
        law = law @ P
        cdf.append(law[-1])
    return mean, np.array(cdf)


# ---------------------------------------------------------------- runs

def read_counts(path):
    """The 81 counts of every record of a trajectory file (record order)."""
    lines = Path(path).read_text().split("\n")[1:]
    rows = [line for line in lines if line.count("\t") == chains.GENOTYPES]
    return np.array([line.split("\t")[1:] for line in rows], dtype=np.int64)


def first_passage(ctx, folder, name, condition, generations, **options):
    """Runs a batch with --stop `condition`. Returns (generations until the
    condition held, NaN when it did not within `generations`; the final
    frequencies a2, b2 and h22, one row per replicate)."""
    rows = sim.batch(ctx, folder, name, generations=generations, record_every=0,
                     extra=["--stop", condition], **options)
    times = np.array([float(row["generations"]) if row["end"] == condition else np.nan
                      for row in rows])
    finals = np.array([[float(row[key]) for key in ("a2", "b2", "h22")] for row in rows])
    return times, finals


def z_p(mean, se, expected):
    """Two-sided p-value of a z-score."""
    if se == 0:
        return 1.0 if mean == expected else 0.0
    return float(2 * norm.sf(abs(mean - expected) / se))


def mean_se(values):
    values = np.asarray(values, dtype=float)
    return values.mean(), values.std(ddof=1) / math.sqrt(len(values))


def start_at(N, copies):
    """N individuals with `copies` copies of allele 2 at locus a (as
    homozygotes 2211 and at most one heterozygote 2111), the rest 1111."""
    return sim.counts_of(N, g2211=copies // 2, g2111=copies % 2,
                         g1111=N - copies // 2 - copies % 2)


def picture(ctx, name):
    return str(ctx.out / f"{name}.png")


# ---------------------------------------------------------------- neutral fixation

NEUTRAL_N, NEUTRAL_R = 50, 4000
NEUTRAL_P = (0.1, 0.25, 0.5, 0.75, 0.9)


@check("neutral-fixation", "neutral locus, N = 50: P(fixation) = p; mean times to fixation, "
       "loss, absorption (Kimura and Ohta 1969)", sim.PROGRAMS, quick=True)
def neutral_fixation(ctx):
    result = Result("neutral-fixation")
    N, two_n = NEUTRAL_N, 2 * NEUTRAL_N
    exact = absorption_times(two_n)
    found = {}
    with scratch(ctx.out) as folder:
        for engine in sim.ENGINES:
            for p in NEUTRAL_P:
                copies = round(p * two_n)
                times, finals = first_passage(
                    ctx, folder, f"{engine}-{copies}", "a2 == 0 or a2 == 1", 40 * N, engine=engine,
                    fitness=ONES, N=N, initial=start_at(N, copies), replicates=NEUTRAL_R,
                    seed=SEED)
                if np.isnan(times).any():
                    result.error = f"{engine}, p = {p}: a replicate not absorbed in {40 * N}"
                    return result
                fixed = finals[:, 0] == 1
                test = binomtest(int(fixed.sum()), NEUTRAL_R, p)
                result.p_values.append(test.pvalue)
                line = [f"{engine} p = {p}: fixed {fixed.sum()}/{NEUTRAL_R} "
                        f"(binomial p = {test.pvalue:.3g})"]
                theory = kimura_ohta(p, N)
                entries = []
                for label, values, chain_value, ko in (
                        ("T", times, exact[0][copies - 1], theory[0]),
                        ("T1", times[fixed], exact[1][copies - 1], theory[1]),
                        ("T0", times[~fixed], exact[2][copies - 1], theory[2])):
                    mean, se = mean_se(values)
                    z = z_p(mean, se, chain_value)
                    result.p_values.append(z)
                    entries.append((label, mean, se, chain_value, ko))
                    line.append(f"{label} = {mean:.1f} +- {se:.1f} (n = {len(values)}), exact "
                                f"chain {chain_value:.1f} (p = {z:.3g}), Kimura-Ohta {ko:.1f}")
                result.lines.append("; ".join(line))
                found[(engine, p)] = (fixed.mean(), entries)
    result.picture = picture(ctx, "neutral-fixation")
    figure, axes = plt.subplots(1, 2, figsize=(11, 4.2))
    grid = np.linspace(0.02, 0.98, 97)
    curves = kimura_ohta(grid, N)
    colours = {"T": "C0", "T1": "C1", "T0": "C2"}
    names = {"T": "absorption", "T1": "fixation | fixed", "T0": "loss | lost"}
    for k, label in enumerate(("T", "T1", "T0")):
        axes[0].plot(grid, curves[k], color=colours[label], lw=1,
                     label=f"Kimura-Ohta: {names[label]}")
        axes[0].plot(np.arange(1, two_n) / two_n, exact[k], color=colours[label], lw=0.6,
                     ls=":")
    for (engine, p), (share, entries) in found.items():
        shift = -0.008 if engine == "exact" else 0.008
        marker = "o" if engine == "exact" else "s"
        for label, mean, se, _, _ in entries:
            axes[0].errorbar(p + shift, mean, yerr=1.96 * se, fmt=marker, ms=4,
                             color=colours[label], mfc="white" if engine == "exact" else None)
        se = math.sqrt(p * (1 - p) / NEUTRAL_R)
        axes[1].errorbar(p + shift, share - p, yerr=1.96 * se, fmt=marker, ms=4,
                         color="C0" if engine == "exact" else "C3",
                         label=f"--engine {engine}" if p == NEUTRAL_P[0] else None)
    axes[0].set_xlabel("starting frequency p of allele 2")
    axes[0].set_ylabel("mean generations")
    axes[0].set_title(f"mean times, N = {N}, R = {NEUTRAL_R} per point (95 % intervals;\n"
                      f"circles exact engine, squares multinomial; dotted: exact chain)",
                      fontsize=9)
    axes[0].legend(fontsize=8)
    axes[1].axhline(0, color="black", lw=0.8)
    axes[1].set_xlabel("starting frequency p")
    axes[1].set_ylabel("fixed share - p")
    axes[1].set_title("fixation probability minus p (theory: 0), 95 % intervals", fontsize=9)
    axes[1].legend(fontsize=8)
    figure.tight_layout()
    figure.savefig(result.picture, dpi=90)
    plt.close(figure)
    return result


# ---------------------------------------------------------------- Kimura 1980

LOSS_N, LOSS_R = 50, 1000
LOSS_THETA = (0.5, 1.0, 2.0, 4.0)
CLASSIC_N, CLASSIC_R, CLASSIC_THETA, CLASSIC_GENERATIONS = 50, 1000, 1.0, 2000


def classic_loss_times(ctx, program, folder, v_units, replicates):
    """Runs a classic program from all 1111 (all fitness codes 1, one-way
    1 -> 2 at locus a only) `replicates` times; returns, per run, the
    generations of the first record without allele 1 at locus a (inf when
    none), and the generations of the records."""
    table = Path(folder) / "ones.tsv"
    table.write_text("".join("\t".join(map(str, chains.alleles(g))) + "\t1\n"
                             for g in range(chains.GENOTYPES)))
    found, rounds = [], []

    def one(seed):
        out = Path(folder) / f"{program}-{seed}.out"
        run_program(ctx.build, program, [table, 1, 0, 0, CLASSIC_GENERATIONS, CLASSIC_N,
                                         v_units, 0, 0, 0, 0, 0, out, seed], folder)
        records = populations(out)
        for extra in ("", ".params"):
            out.with_name(out.name + extra).unlink(missing_ok=True)
        return records

    for records in replicate(ctx.threads, one, range(1, replicates + 1)):
        rounds = sorted(records)
        lost = [t for t in rounds if records[t] @ A2 == 2 * CLASSIC_N]
        found.append(lost[0] if lost else math.inf)
    return np.array(found), rounds


@check("mutation-loss", "one-way mutation 1 -> 2, N = 50: mean time until allele 1 is lost, "
       "theta = 4Nv from 0.5 to 4 (Kimura 1980)", ["twolocus", "twolocus-multinomial",
                                                   *sim.PROGRAMS], quick=False)
def mutation_loss(ctx):
    result = Result("mutation-loss")
    N, two_n = LOSS_N, 2 * LOSS_N
    found = {}
    with scratch(ctx.out) as folder:
        for engine in sim.ENGINES:
            for theta in LOSS_THETA:
                v = theta / (4 * N)
                times, _ = first_passage(
                    ctx, folder, f"{engine}-{theta}", "a1 == 0", 100 * N, engine=engine,
                    fitness=ONES, N=N, replicates=LOSS_R, seed=SEED,
                    mutation_a=np.array([[1 - v, v, 0], [0, 1, 0], [0, 0, 1]]))
                if np.isnan(times).any():
                    result.error = f"{engine}, theta = {theta}: allele 1 not lost in {100 * N}"
                    return result
                chain_mean, _ = passage_from_zero(two_n, v, 0)
                mean, se = mean_se(times)
                z = z_p(mean, se, chain_mean)
                result.p_values.append(z)
                theory = kimura_1980(theta, N)
                result.lines.append(f"{engine} theta = {theta}: mean {mean:.1f} +- {se:.1f}, exact "
                                    f"chain {chain_mean:.1f} (p = {z:.3g}), Kimura 1980 "
                                    f"{theory:.1f} ({100 * (theory / chain_mean - 1):+.1f} %)")
                found[(engine, theta)] = (mean, se)
        # The classic programs record every 200 generations: the law of the
        # first record without allele 1, against the exact chain's.
        v = CLASSIC_THETA / (4 * CLASSIC_N)
        units = round(v * 1e10)
        chain_mean, cdf = passage_from_zero(2 * CLASSIC_N, units * 1e-10, CLASSIC_GENERATIONS)
        classic = {}
        for program in ("twolocus", "twolocus-multinomial"):
            try:
                times, rounds = classic_loss_times(ctx, program, folder, units, CLASSIC_R)
            except RunFailed as failure:
                result.error = str(failure)
                return result
            edges = [0] + list(rounds)
            probabilities = np.diff([cdf[t] for t in edges] + [1.0])
            observed = [((times > lo) & (times <= hi)).sum() for lo, hi in
                        zip(edges[:-1], edges[1:])] + [np.isinf(times).sum()]
            statistic, df, p, _ = goodness_of_fit(observed, probabilities)
            result.p_values.append(p)
            result.lines.append(f"{program} theta = {CLASSIC_THETA}: first record without allele "
                                f"1, {len(edges) - 1} bins of 200 generations: chi-square = "
                                f"{statistic:.1f}, df = {df}, p = {p:.3g} (exact chain mean "
                                f"{chain_mean:.1f}, Kimura 1980 "
                                f"{kimura_1980(CLASSIC_THETA, CLASSIC_N):.1f})")
            classic[program] = (edges, np.array(observed) / CLASSIC_R, probabilities)
    result.picture = picture(ctx, "mutation-loss")
    figure, axes = plt.subplots(1, 2, figsize=(11, 4.2))
    grid = np.linspace(0.3, 5, 100)
    axes[0].plot(grid, [kimura_1980(t, N) for t in grid], color="black", lw=1,
                 label="Kimura 1980")
    axes[0].plot(LOSS_THETA, [passage_from_zero(two_n, t / (4 * N), 0)[0] for t in LOSS_THETA],
                 "x", color="grey", label="exact chain")
    for (engine, theta), (mean, se) in found.items():
        shift = -0.04 if engine == "exact" else 0.04
        label = f"twolocus-sim --engine {engine}" if theta == LOSS_THETA[0] else None
        axes[0].errorbar(theta + shift, mean, yerr=1.96 * se,
                         fmt="o" if engine == "exact" else "s", ms=4,
                         color="C0" if engine == "exact" else "C3", label=label)
    axes[0].set_xlabel("theta = 4 N v")
    axes[0].set_ylabel("mean generations until allele 1 is lost")
    axes[0].set_title(f"N = {N}, R = {LOSS_R} per point, 95 % intervals", fontsize=9)
    axes[0].legend(fontsize=8)
    for k, (program, (edges, share, probabilities)) in enumerate(classic.items()):
        x = np.arange(len(share)) + (k - 0.5) * 0.3
        axes[1].bar(x, share, width=0.3, label=program, alpha=0.7)
    axes[1].plot(np.arange(len(probabilities)), probabilities, "k_", ms=14, mew=2,
                 label="exact chain")
    axes[1].set_xlabel("k: allele 1 first missing from the record after 200k + 1 generations "
                       "(last: never)", fontsize=8)
    axes[1].set_ylabel("share of runs")
    axes[1].set_title(f"classic programs, N = {CLASSIC_N}, theta = {CLASSIC_THETA}, "
                      f"R = {CLASSIC_R}", fontsize=9)
    axes[1].legend(fontsize=8)
    figure.tight_layout()
    figure.savefig(result.picture, dpi=90)
    plt.close(figure)
    return result


# ---------------------------------------------------------------- LD decay

LD_N, LD_R, LD_T = 50, 600, 30
LD_R_VALUES = (0.0, 0.01, 0.05, 0.2, 0.5)
LD_TIMES = (1, 2, 3, 5, 10, 20, 30)


def disequilibrium(counts, N):
    pa, pb, h = counts @ A2 / (2 * N), counts @ B2 / (2 * N), counts @ H22 / (2 * N)
    return h - pa * pb


@check("ld-decay", "linkage disequilibrium from D = 1/4 decays as (1 - 1/2N)(1 - r - 1/2N)^(t-1), "
       "r from 0 to 1/2, N = 50", sim.PROGRAMS, quick=True)
def ld_decay(ctx):
    result = Result("ld-decay")
    N = LD_N
    start = sim.counts_of(N, g2222=N // 2, g1111=N - N // 2)
    D0 = 0.25
    found = {}
    naive_p = []
    with scratch(ctx.out) as folder:
        for engine in sim.ENGINES:
            for r in LD_R_VALUES:
                name = f"{engine}-{r}"
                sim.batch(ctx, folder, name, engine=engine, fitness=ONES, N=N, generations=LD_T,
                          initial=start, r=r, replicates=LD_R, seed=SEED, record_every=1,
                          trajectories=True)
                D = np.array([disequilibrium(read_counts(Path(folder) / f"{name}.runs" /
                                                         f"replicate-{i}"), N)
                              for i in range(LD_R)])
                means, ses = D.mean(axis=0), D.std(axis=0, ddof=1) / math.sqrt(LD_R)
                parts = []
                for t in LD_TIMES:
                    expected = ld_mean(t, r, N, D0)
                    p = z_p(means[t - 1], ses[t - 1], expected)
                    result.p_values.append(p)
                    naive_p.append(z_p(means[t - 1], ses[t - 1], (1 - r) ** t * D0))
                    parts.append(f"t={t}: {means[t - 1]:.4f}+-{ses[t - 1]:.4f} vs "
                                 f"{expected:.4f} (p = {p:.2g})")
                result.lines.append(f"{engine} r = {r}: " + ", ".join(parts))
                found[(engine, r)] = (means, ses)
    result.lines.append(f"the same data against the infinite population's (1 - r)^t D0: "
                        f"smallest p = {min(naive_p):.3g}")
    result.picture = picture(ctx, "ld-decay")
    figure, axes = plt.subplots(1, 2, figsize=(11, 4.2), sharey=True)
    t = np.arange(1, LD_T + 1)
    for ax, engine in zip(axes, sim.ENGINES):
        for k, r in enumerate(LD_R_VALUES):
            means, ses = found[(engine, r)]
            ax.plot(t, ld_mean(t, r, N, D0), color=f"C{k}", lw=1, label=f"r = {r}")
            ax.plot(t, (1 - r) ** t * D0, color=f"C{k}", lw=0.7, ls=":")
            ax.errorbar(t, means, yerr=1.96 * ses, fmt="o", ms=2.5, color=f"C{k}", elinewidth=0.7)
        ax.set_xlabel("generations t")
        ax.set_title(f"twolocus-sim --engine {engine}, N = {N}, R = {LD_R}\nline: "
                     f"(1-1/2N)(1-r-1/2N)^(t-1) D0; dotted: (1-r)^t D0", fontsize=9)
        ax.legend(fontsize=8)
    axes[0].set_ylabel("mean D (95 % intervals)")
    figure.tight_layout()
    figure.savefig(result.picture, dpi=90)
    plt.close(figure)
    return result


# ---------------------------------------------------------------- selection

SEL_N, SEL_R, SEL_COPIES = 100, 2000, 20
SEL_S = (-4, -2, 2, 4, 8)  # 4Ns
FLOOR_BASE = 400  # floor-rule fitness values 400 + j 4Ns: whole numbers, so weights are exact


def selection_fitness(s, base=1.0):
    """Genic selection at locus a: base x (1 + j s) for j copies of allele 2."""
    return base * (1 + A2 * s)


@check("selection-fixation", "genic selection, N = 100, p = 0.1, 4Ns from -4 to 8: "
       "P(fixation) (Kimura 1962), exact weights and the floor rule on whole-number weights",
       sim.PROGRAMS, quick=True)
def selection_fixation(ctx):
    result = Result("selection-fixation")
    N = SEL_N
    p0 = SEL_COPIES / (2 * N)
    start = sim.counts_of(N, g2111=SEL_COPIES, g1111=N - SEL_COPIES)
    found = {}
    outside = {}
    with scratch(ctx.out) as folder:
        runs = [(engine, rule, S) for engine in sim.ENGINES for rule in ("exact", "floor")
                for S in SEL_S]
        runs += [("multinomial", "floor-1+s", S) for S in SEL_S]
        for engine, rule, S in runs:
            s = S / (4 * N)
            if rule == "exact":
                fitness = selection_fitness(s)
            elif rule == "floor":
                fitness = selection_fitness(s, FLOOR_BASE)
            else:
                fitness = selection_fitness(s)
            times, finals = first_passage(
                ctx, folder, f"{engine}-{rule}-{S}", "a2 == 0 or a2 == 1", 40 * N, engine=engine,
                fitness=fitness, N=N, initial=start, replicates=SEL_R, seed=SEED,
                weights="exact" if rule == "exact" else "floor")
            fixed = int((finals[:, 0] == 1).sum())
            unabsorbed = int(np.isnan(times).sum())
            theory = kimura_1962(p0, N, s)
            test = binomtest(fixed, SEL_R, theory)
            line = (f"{engine} {rule} 4Ns = {S}: fixed {fixed}/{SEL_R} = {fixed / SEL_R:.3f}, "
                    f"Kimura {theory:.3f}, binomial p = {test.pvalue:.3g}"
                    + (f", {unabsorbed} not absorbed" if unabsorbed else ""))
            if rule == "floor-1+s":
                outside[S] = fixed / SEL_R
                result.lines.append(line + " (outside the floor rule's regime: not judged)")
                continue
            result.p_values.append(test.pvalue)
            result.lines.append(line)
            found[(engine, rule, S)] = fixed / SEL_R
    result.picture = picture(ctx, "selection-fixation")
    figure, ax = plt.subplots(figsize=(7, 4.5))
    grid = np.linspace(min(SEL_S) - 0.5, max(SEL_S) + 0.5, 200)
    ax.plot(grid, [kimura_1962(p0, N, S / (4 * N)) for S in grid], color="black", lw=1,
            label="Kimura 1962")
    styles = {("exact", "exact"): ("o", "C0"), ("multinomial", "exact"): ("s", "C3"),
              ("exact", "floor"): ("^", "C2"), ("multinomial", "floor"): ("v", "C4")}
    for k, ((engine, rule), (marker, colour)) in enumerate(styles.items()):
        for S in SEL_S:
            u = found[(engine, rule, S)]
            se = math.sqrt(max(u * (1 - u), 1e-4) / SEL_R)
            ax.errorbar(S + (k - 1.5) * 0.12, u, yerr=1.96 * se, fmt=marker, ms=4, color=colour,
                        label=f"--engine {engine} --weights {rule}" if S == SEL_S[0] else None)
    ax.plot(list(outside), list(outside.values()), "x", color="grey", ms=7,
            label="floor rule on 1 + js (outside its regime)")
    ax.set_xlabel("4Ns")
    ax.set_ylabel("fixation probability")
    ax.set_title(f"N = {N}, p = {p0}, R = {SEL_R} per point (95 % intervals);\nfloor rule: "
                 f"fitness {FLOOR_BASE}(1 + js), whole numbers", fontsize=9)
    ax.legend(fontsize=8)
    figure.tight_layout()
    figure.savefig(result.picture, dpi=90)
    plt.close(figure)
    return result


# ---------------------------------------------------------------- double mutant

def double_mutant_chain(two_n, u):
    """The exact kernel of the haplotypes 21 and 12 among 2N copies before a
    haplotype 22 appears (r = 0, neutral, 1 -> 2 at u at both loci): with no
    recombination each offspring haplotype is a uniformly drawn parental
    haplotype after its mutation, so the counts (n21, n12) are a Markov chain
    until an offspring is 22. Returns (states, sub-stochastic kernel)."""
    M = two_n
    states = [(i, j) for i in range(M + 1) for j in range(M + 1 - i)]
    where = {s: k for k, s in enumerate(states)}
    keep = (1 - u) ** 2, u * (1 - u), u * (1 - u), u * u

    def shift(A, axis):
        B = np.zeros_like(A)
        index = [slice(None)] * 3
        source = [slice(None)] * 3
        index[axis], source[axis] = slice(1, None), slice(None, -1)
        B[tuple(index)] = A[tuple(source)]
        return B

    triples = [(a, b, c) for a in range(M + 1) for b in range(M + 1 - a)
               for c in range(M + 1 - a - b)]
    k = np.array(states)
    k11 = M - k[:, 0] - k[:, 1]
    log_coefficient = (math.lgamma(M + 1) - np.vectorize(math.lgamma)(k11 + 1)
                       - np.vectorize(math.lgamma)(k[:, 0] + 1)
                       - np.vectorize(math.lgamma)(k[:, 1] + 1))
    offspring = np.zeros((len(triples), len(states)))
    for row, (m21, m12, m22) in enumerate(triples):
        m11 = M - m21 - m12 - m22
        log_p = log_coefficient.copy()
        for count, m in ((k11, m11), (k[:, 0], m21), (k[:, 1], m12)):
            log_p += np.where(count > 0, count * math.log(m / M) if m else -np.inf, 0)
        offspring[row] = np.exp(log_p)
    kernel = np.zeros((len(states), len(states)))
    for s, (i, j) in enumerate(states):
        A = np.zeros((M + 1,) * 3)
        A[0, 0, 0] = 1
        for _ in range(M - i - j):
            A = keep[0] * A + keep[1] * shift(A, 0) + keep[2] * shift(A, 1) + keep[3] * shift(A, 2)
        for _ in range(i):
            A = (1 - u) * shift(A, 0) + u * shift(A, 2)
        for _ in range(j):
            A = (1 - u) * shift(A, 1) + u * shift(A, 2)
        mutated = np.array([A[a, b, c] for a, b, c in triples])
        kernel[s] = mutated @ offspring
    return states, where, kernel


def double_mutant_law(two_n, u, horizon):
    """From all 11: the exact mean generations until a 22 haplotype appears,
    and P(T > t) for t = 0..horizon."""
    states, where, kernel = double_mutant_chain(two_n, u)
    start = where[(0, 0)]
    mean = np.linalg.solve(np.eye(len(states)) - kernel, np.ones(len(states)))[start]
    law = np.zeros(len(states))
    law[start] = 1
    survival = [1.0]
    for _ in range(horizon):
        law = law @ kernel
        survival.append(law.sum())
    return mean, np.array(survival)


def sequential_time(N, u):
    """Small populations (2N sqrt(2u) << 1): a single mutant fixes first
    (2N x 2u mutants a generation, each fixing with 1/2N), then the double
    mutant arises in a population of 2N single mutants: 1/(2u) + 1/(2Nu)."""
    return 1 / (2 * u) + 1 / (2 * N * u)


def tunnelling_time(N, u):
    """Large populations (2N sqrt(2u) >> 1, 4Nu << 1; Durrett, Schmidt and
    Schweinsberg 2009, in Wright-Fisher units): single mutants arise at
    2N x 2u a generation and a neutral lineage produces the second mutation
    with probability sqrt(2u): 1 / (4Nu sqrt(2u))."""
    return 1 / (4 * N * u * math.sqrt(2 * u))


DM_N, DM_R = 10, 1000
DM_U = (3e-4, 1e-3, 3e-3, 1e-2, 3e-2)
DM_QQ = 1e-3


@check("double-mutant", "waiting time until a 22 haplotype appears, neutral, r = 0, N = 10, "
       "u from 3e-4 to 3e-2 (exact chain; Christiansen et al. 1998, Durrett et al. 2009)",
       sim.PROGRAMS, quick=False)
def double_mutant(ctx):
    result = Result("double-mutant")
    N, two_n = DM_N, 2 * DM_N
    found = {}
    with scratch(ctx.out) as folder:
        for engine in sim.ENGINES:
            for u in DM_U:
                mutation = np.array([[1 - u, u, 0], [0, 1, 0], [0, 0, 1]])
                limit = int(40 * sequential_time(N, u))
                times, _ = first_passage(ctx, folder, f"{engine}-{u}", "h22 > 0", limit,
                                         engine=engine, fitness=ONES, N=N, r=0.0,
                                         mutation_a=mutation, mutation_b=mutation,
                                         replicates=DM_R, seed=SEED)
                if np.isnan(times).any():
                    result.error = f"{engine}, u = {u}: no double mutant in {limit} generations"
                    return result
                mean_exact, survival = double_mutant_law(two_n, u, int(times.max()))
                mean, se = mean_se(times)
                p = z_p(mean, se, mean_exact)
                # The law: ten cells of equal exact probability.
                cdf = 1 - survival
                edges = [int(np.searchsorted(cdf, q)) for q in np.linspace(0.1, 0.9, 9)]
                bounds = [0] + edges + [len(cdf)]
                observed = [((times > lo) & (times <= hi)).sum()
                            for lo, hi in zip(bounds[:-1], bounds[1:-1])]
                observed.append((times > bounds[-2]).sum())
                expected = np.diff([cdf[b] for b in bounds[:-1]] + [1.0])
                statistic, df, p_law, _ = goodness_of_fit(observed, expected)
                result.p_values += [p, p_law]
                result.lines.append(
                    f"{engine} u = {u}: mean {mean:.1f} +- {se:.1f}, exact chain {mean_exact:.1f} "
                    f"(p = {p:.3g}); law in 10 cells: chi-square = {statistic:.1f}, df = {df}, "
                    f"p = {p_law:.3g}; 2N sqrt(2u) = {two_n * math.sqrt(2 * u):.2f}, "
                    f"sequential {sequential_time(N, u):.1f}, tunnelling "
                    f"{tunnelling_time(N, u):.1f}")
                found[(engine, u)] = (mean, se, times, survival)
    result.picture = picture(ctx, "double-mutant")
    figure, axes = plt.subplots(1, 2, figsize=(11, 4.4))
    grid = np.logspace(math.log10(DM_U[0]) - 0.2, math.log10(DM_U[-1]) + 0.2, 60)
    ax = axes[0]
    ax.plot(grid, [sequential_time(N, u) for u in grid], color="black", lw=1, ls="--",
            label="sequential: 1/(2u) + 1/(2Nu)")
    ax.plot(grid, [tunnelling_time(N, u) for u in grid], color="black", lw=1, ls=":",
            label="tunnelling: 1/(4Nu sqrt(2u))")
    ax.plot(DM_U, [double_mutant_law(two_n, u, 0)[0] for u in DM_U], "k_", ms=14, mew=2,
            label="exact chain")
    for (engine, u), (mean, se, _, _) in found.items():
        engine_point(ax, u * (0.93 if engine == "exact" else 1.07), mean, se, engine,
                     u == DM_U[0])
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlabel("mutation rate u (1 -> 2 at each locus)")
    ax.set_ylabel("mean generations until a 22 haplotype")
    ax.set_title(f"N = {N}, r = 0, R = {DM_R} per point (95 % intervals)", fontsize=9)
    ax.legend(fontsize=8)
    qq_panel(axes[1], [(engine, found[(engine, DM_QQ)][2], 1 - found[(engine, DM_QQ)][3])
                       for engine in sim.ENGINES],
             DM_R, "exact chain quantile (generations)", f"QQ plot, u = {DM_QQ}")
    figure.tight_layout()
    figure.savefig(result.picture, dpi=90)
    plt.close(figure)
    return result
