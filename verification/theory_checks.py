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

First-passage times come from --stop when the program has it (the run ends
at the first population meeting the condition, and its summary row says
after how many generations), and otherwise from the records of every
generation (--record-every 1 and --trajectories).
"""

import math
import subprocess
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
from scipy.special import digamma  # noqa: E402
from scipy.stats import binom, binomtest, norm  # noqa: E402

import chains  # noqa: E402
import sim  # noqa: E402
from harness import (Result, RunFailed, check, goodness_of_fit, populations,  # noqa: E402
                     replicate, run_program, scratch)

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

def has_stop(build):
    done = subprocess.run([str(Path(build) / sim.PROGRAM), "--help"], capture_output=True,
                          text=True)
    return "--stop" in done.stdout


def read_counts(path):
    """The 81 counts of every record of a trajectory file (record order)."""
    lines = Path(path).read_text().split("\n")[1:]
    rows = [line for line in lines if line.count("\t") == chains.GENOTYPES]
    return np.array([line.split("\t")[1:] for line in rows], dtype=np.int64)


def first_passage(ctx, folder, name, condition, test, generations, **options):
    """Runs a batch until `condition` (the condition language; `test`, the
    same as a function of an array of 81-count rows, is used when the program
    has no --stop). Returns (generations until the condition, NaN when not
    met within `generations`; the 81 counts at that point or at the end)."""
    replicates = options["replicates"]
    if ctx.stop:
        rows = sim.batch(ctx, folder, name, generations=generations, record_every=0,
                         extra=["--stop", condition], **options)
        ends = [row["end"] for row in rows]
        times = np.array([float(row["generations"]) if end == "stop" else np.nan
                          for row, end in zip(rows, ends)])
        finals = np.array([[float(row[key]) for key in ("a2", "b2", "h22")] for row in rows])
        return times, finals
    sim.batch(ctx, folder, name, generations=generations, record_every=1, trajectories=True,
              **options)
    times, finals = [], []
    for number in range(replicates):
        path = Path(folder) / f"{name}.runs" / f"replicate-{number}"
        counts = read_counts(path)
        met = np.flatnonzero(test(counts))
        row = counts[met[0]] if len(met) else counts[-1]
        times.append(met[0] + 1.0 if len(met) else np.nan)
        n = max(row.sum(), 1)
        finals.append([row @ A2 / (2 * n), row @ B2 / (2 * n), row @ H22 / (2 * n)])
        path.unlink()
    return np.array(times), np.array(finals)


def z_p(mean, se, expected):
    """Two-sided p-value of a z-score."""
    if se == 0:
        return 1.0 if mean == expected else 0.0
    return float(2 * norm.sf(abs(mean - expected) / se))


def mean_se(values):
    values = np.asarray(values, dtype=float)
    return values.mean(), values.std(ddof=1) / math.sqrt(len(values))


def prepare(ctx):
    ctx.stop = has_stop(ctx.build)
    return "first passages from --stop" if ctx.stop else \
        "first passages from records of every generation (no --stop in this build)"


def start_at(N, copies):
    """N individuals with `copies` copies of allele 2 at locus a (as
    homozygotes 2211 and at most one heterozygote 2111), the rest 1111."""
    return sim.counts_of(N, g2211=copies // 2, g2111=copies % 2,
                         g1111=N - copies // 2 - copies % 2)


def picture(ctx, name):
    return str(ctx.out / f"{name}.png")


# ---------------------------------------------------------------- neutral fixation

NEUTRAL_N, NEUTRAL_R = 50, 1000
NEUTRAL_P = (0.1, 0.25, 0.5, 0.75, 0.9)


@check("neutral-fixation", "neutral locus, N = 50: P(fixation) = p; mean times to fixation, "
       "loss, absorption (Kimura and Ohta 1969)", sim.PROGRAMS, quick=False)
def neutral_fixation(ctx):
    result = Result("neutral-fixation")
    result.lines.append(prepare(ctx))
    N, two_n = NEUTRAL_N, 2 * NEUTRAL_N
    exact = absorption_times(two_n)
    found = {}
    with scratch(ctx.out) as folder:
        for engine in sim.ENGINES:
            for p in NEUTRAL_P:
                copies = round(p * two_n)
                times, finals = first_passage(
                    ctx, folder, f"{engine}-{copies}", "a2 == 0 or a2 == 1",
                    lambda c: (c @ A2 == 0) | (c @ A2 == two_n), 40 * N, engine=engine,
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

LOSS_N, LOSS_R = 50, 500
LOSS_THETA = (0.5, 1.0, 2.0, 4.0)
CLASSIC_N, CLASSIC_R, CLASSIC_THETA, CLASSIC_GENERATIONS = 50, 600, 1.0, 2000


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
    result.lines.append(prepare(ctx))
    N, two_n = LOSS_N, 2 * LOSS_N
    found = {}
    with scratch(ctx.out) as folder:
        for engine in sim.ENGINES:
            for theta in LOSS_THETA:
                v = theta / (4 * N)
                times, _ = first_passage(
                    ctx, folder, f"{engine}-{theta}", "a1 == 0", lambda c: c @ A2 == two_n,
                    100 * N, engine=engine, fitness=ONES, N=N, replicates=LOSS_R, seed=SEED,
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
        axes[0].errorbar(theta + shift, mean, yerr=1.96 * se, fmt="o" if engine == "exact" else "s",
                         ms=4, color="C0" if engine == "exact" else "C3",
                         label=f"twolocus-sim --engine {engine}" if theta == LOSS_THETA[0] else None)
    axes[0].set_xlabel("theta = 4 N v")
    axes[0].set_ylabel("mean generations until allele 1 is lost")
    axes[0].set_title(f"N = {N}, R = {LOSS_R} per point, 95 % intervals", fontsize=9)
    axes[0].legend(fontsize=8)
    for k, (program, (edges, share, probabilities)) in enumerate(classic.items()):
        x = np.arange(len(share)) + (k - 0.5) * 0.3
        axes[1].bar(x, share, width=0.3, label=program, alpha=0.7)
    axes[1].plot(np.arange(len(probabilities)), probabilities, "k_", ms=14, mew=2,
                 label="exact chain")
    axes[1].set_xlabel("first record without allele 1 (bin of 200 generations; last: none)")
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

SEL_N, SEL_R, SEL_COPIES = 100, 1000, 20
SEL_S = (-4, -2, 2, 4, 8)  # 4Ns
FLOOR_BASE = 400  # floor-rule fitness values 400 + j 4Ns: whole numbers, so weights are exact


def selection_fitness(s, base=1.0):
    """Genic selection at locus a: base x (1 + j s) for j copies of allele 2."""
    return base * (1 + A2 * s)


@check("selection-fixation", "genic selection, N = 100, p = 0.1, 4Ns from -4 to 8: "
       "P(fixation) (Kimura 1962), exact weights and the floor rule on whole-number weights",
       sim.PROGRAMS, quick=False)
def selection_fixation(ctx):
    result = Result("selection-fixation")
    result.lines.append(prepare(ctx))
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
                ctx, folder, f"{engine}-{rule}-{S}", "a2 == 0 or a2 == 1",
                lambda c: (c @ A2 == 0) | (c @ A2 == 2 * N), 20 * N, engine=engine,
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
