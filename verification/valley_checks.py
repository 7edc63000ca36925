"""Valley crossing in the sequential-fixation regime of small populations.

Two loci, alleles 1 and 2, no recombination, one-way mutation 1 -> 2 at
rate mu at both loci, start all 1111. Haplotype 11 has fitness 1, the single
mutants 21 and 12 have 1 - delta (the valley), the double mutant 22 has
1 + s; a genotype's fitness is the product of its two haplotypes' (exact
weights), so selection acts on haplotypes as on 2N haploid copies. The time
T until the double mutant is the majority (--stop 'h22 >= 0.5') is compared
with the sequential-fixation rate of Weissman, Desai, Fisher and Feldman
(2009): when a single mutant's lineage almost never produces a double
mutant before it is lost or fixed, the population first fixes a single
mutant (2N x 2mu arise a generation, each fixing with probability
u(-delta)) and then a double mutant (2N x mu a generation, each fixing with
u(sigma), sigma = (1 + s)/(1 - delta) - 1):

    E[T] = 1/(2N 2mu u(-delta)) + 1/(2N mu u(sigma))   (+ the fixation times).

The reference is that process computed exactly for this model: each step is
a one-locus chain on the counts of the genotypes AA, AB and BB (A the
resident haplotype, B the arising one): given the parents, the N offspring
are independent and each draws two gametes, so these counts are a Markov
chain (for step 1, A = 11 and B = any single mutant, which all have the same
fitness; for step 2, A = the single mutants and B = 22). Its first-passage
laws give E[T] and the law of T without approximation except the one that
defines the regime: a double mutant arising before haplotype 11 is lost
(tunnelling). Its first-order size, P_tun = mu x E[single-mutant copies
summed over step 1] x u(sigma), makes T shorter; the check accepts the
band [E_seq (1 - P_tun), E_seq] and judges the distance to it by a z-score.
"""

import math

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
from scipy.signal import fftconvolve  # noqa: E402
from scipy.special import gammaln  # noqa: E402
from scipy.stats import norm  # noqa: E402

import chains  # noqa: E402
import sim  # noqa: E402
from harness import Result, check, engine_point, goodness_of_fit, qq_panel, scratch  # noqa: E402

SEED = 2009
VALLEY_N, VALLEY_R, VALLEY_MU, VALLEY_S = 10, 500, 5e-5, 0.2
VALLEY_DEPTHS = (0, 1, 2, 3)  # 4N delta
VALLEY_QQ = 2


# ---------------------------------------------------------------- the one-locus genotype chain

def genotype_states(N):
    """The states (AA, AB, BB) with AA + AB + BB = N and the copies of B."""
    states = [(a, h, N - a - h) for a in range(N + 1) for h in range(N + 1 - a)]
    return states, np.array([h + 2 * b for _, h, b in states])


def genotype_kernel(N, sigma, m):
    """One generation of the model at one locus with two haplotypes A and B
    (fitness 1 and 1 + sigma, a genotype's the product of its two, exact
    weights), each copy of A mutating to B with probability m first; r = 0
    or one locus, so the kernel of the counts (AA, AB, BB)."""
    states, _ = genotype_states(N)
    where = {state: k for k, state in enumerate(states)}
    size = len(states)
    mutation = np.zeros((size, size))
    aa = ((1 - m) ** 2, 2 * m * (1 - m), m * m)
    for k, (a, h, b) in enumerate(states):
        for x in range(a + 1):
            for y in range(a - x + 1):
                z = a - x - y
                p_aa = (math.factorial(a) // (math.factorial(x) * math.factorial(y)
                                              * math.factorial(z))
                        * aa[0] ** x * aa[1] ** y * aa[2] ** z)
                for w in range(h + 1):
                    p = p_aa * math.comb(h, w) * m ** w * (1 - m) ** (h - w)
                    mutation[k, where[(x, y + h - w, z + w + b)]] += p
    S = np.array(states)
    log_coefficient = gammaln(N + 1) - gammaln(S + 1).sum(axis=1)
    weight = np.array([1.0, 1 + sigma, (1 + sigma) ** 2])
    mating = np.zeros((size, size))
    for k, (a, h, b) in enumerate(states):
        P = (h * weight[1] / 2 + b * weight[2]) / (a * weight[0] + h * weight[1] + b * weight[2])
        law = np.array([(1 - P) ** 2, 2 * P * (1 - P), P * P])
        with np.errstate(divide="ignore", invalid="ignore"):
            log_p = log_coefficient + np.where(S > 0, S * np.log(law), 0).sum(axis=1)
        mating[k] = np.exp(log_p)
    return mutation @ mating


def first_passage(N, sigma, m, target, start, horizon=0):
    """From `start` (a state), the mean generations until the copies of B
    reach `target`, the mean copies of B summed over those generations, and
    (for t = 0..horizon) the probability that it happened at t."""
    states, copies = genotype_states(N)
    kernel = genotype_kernel(N, sigma, m)
    inside = copies < target
    Q = kernel[np.ix_(inside, inside)]
    i = [s for s, keep in zip(states, inside) if keep].index(start)
    fundamental_row = np.linalg.solve((np.eye(inside.sum()) - Q).T, np.eye(inside.sum())[i])
    mean = fundamental_row.sum()
    copy_generations = fundamental_row @ copies[inside]
    exit_ = kernel[np.ix_(inside, ~inside)].sum(axis=1)
    law = np.zeros(inside.sum())
    law[i] = 1
    pmf = [0.0]
    for _ in range(horizon):
        pmf.append(law @ exit_)
        law = law @ Q
    return mean, copy_generations, np.array(pmf)


def fixation(N, sigma, target=None):
    """Probability that one B copy (just arisen, before selection) brings
    the copies of B to `target` (default 2N) rather than to 0: the exact
    u of this model, no further mutation."""
    states, copies = genotype_states(N)
    target = 2 * N if target is None else target
    kernel = genotype_kernel(N, sigma, 0.0)
    inside = (copies > 0) & (copies < target)
    Q = kernel[np.ix_(inside, inside)]
    b = kernel[np.ix_(inside, copies >= target)].sum(axis=1)
    h = np.linalg.solve(np.eye(inside.sum()) - Q, b)
    return h[[s for s, keep in zip(states, inside) if keep].index((N - 1, 1, 0))]


def kimura(N, s):
    """Kimura (1962): fixation probability of one copy among 2N, genic
    selection s: (1 - e^-2s) / (1 - e^-4Ns)."""
    return 1 / (2 * N) if s == 0 else -math.expm1(-2 * s) / -math.expm1(-4 * N * s)


def weissman(N, mu, delta, s, u=kimura):
    """The sequential-fixation crossing time (Weissman et al. 2009 for 2N
    haploid copies): 1/(2N 2mu u(-delta)) + 1/(2N mu u(sigma))."""
    sigma = (1 + s) / (1 - delta) - 1
    return 1 / (2 * N * 2 * mu * u(N, -delta)) + 1 / (2 * N * mu * u(N, sigma))


def sequential(N, mu, delta, s, horizon=0):
    """The sequential process computed exactly: step 1 is haplotype 11
    (fitness 1) until lost to the single mutants (1 - delta, arising at
    1 - (1 - mu)^2 per copy); step 2 the single mutants until the double
    mutant (ratio sigma, arising at mu per copy) holds half of the copies.
    Returns the mean of T, the tunnelling share P_tun and the law of T."""
    sigma = (1 + s) / (1 - delta) - 1
    m1 = 1 - (1 - mu) ** 2
    mean1, singles, pmf1 = first_passage(N, -delta, m1, 2 * N, (N, 0, 0), horizon)
    mean2, _, pmf2 = first_passage(N, sigma, mu, N, (N, 0, 0), horizon)
    tunnel = mu * singles * fixation(N, sigma, N)
    pmf = fftconvolve(pmf1, pmf2)[:horizon + 1] if horizon else np.zeros(1)
    return mean1 + mean2, tunnel, np.clip(pmf, 0, None)


def valley_fitness(delta, s):
    """Fitness of the 81 genotypes: the product of the two haplotypes'
    (slots 1 and 3, 2 and 4): 11 has 1, 21 and 12 have 1 - delta, 22 has
    1 + s (haplotypes with allele 3, which never arises, have 1)."""
    def haplotype(a, b):
        return {(1, 1): 1.0, (2, 1): 1 - delta, (1, 2): 1 - delta, (2, 2): 1 + s}.get((a, b), 1.0)
    return np.array([haplotype(a1, b1) * haplotype(a2, b2)
                     for a1, a2, b1, b2 in (chains.alleles(g) for g in range(chains.GENOTYPES))])


def band_p(mean, se, low, high):
    """Two-sided p-value of the distance from the mean to [low, high]."""
    distance = max(low - mean, mean - high, 0.0)
    return float(2 * norm.sf(distance / se))


# ---------------------------------------------------------------- the check

@check("valley-crossing", "fitness valley, N = 10, r = 0, mu = 5e-5, 4N delta 0 to 3, s = 0.2: "
       "crossing time against sequential fixation (Weissman et al. 2009)", sim.PROGRAMS)
def valley_crossing(ctx):
    result = Result("valley-crossing")
    N, mu, s, R = VALLEY_N, VALLEY_MU, VALLEY_S, VALLEY_R
    mutation = np.array([[1 - mu, mu, 0], [0, 1, 0], [0, 0, 1]])
    found, theory, faults = {}, {}, []
    with scratch(ctx.out) as folder:
        for depth in VALLEY_DEPTHS:
            delta = depth / (4 * N)
            expected, tunnel, _ = sequential(N, mu, delta, s)
            limit = int(40 * expected)
            for engine in sim.ENGINES:
                rows = sim.batch(ctx, folder, f"{engine}-{depth}", engine=engine,
                                 fitness=valley_fitness(delta, s), N=N, generations=limit, r=0.0,
                                 mutation_a=mutation, mutation_b=mutation, replicates=R,
                                 seed=SEED, extra=["--stop", "h22 >= 0.5"])
                if any(row["end"] != "h22 >= 0.5" for row in rows):
                    result.error = f"{engine}, 4N delta = {depth}: not crossed in {limit}"
                    return result
                found[(engine, depth)] = np.array([float(row["generations"]) for row in rows])
            horizon = int(max(found[(e, depth)].max() for e in sim.ENGINES))
            _, _, pmf = sequential(N, mu, delta, s, horizon)
            theory[depth] = (expected, tunnel, pmf)
            halved = sequential(N, mu / 2, delta, s)[0]
            flipped = sequential(N, mu, -delta, s)[0] if depth else None
            for engine in sim.ENGINES:
                times = found[(engine, depth)]
                mean, se = times.mean(), times.std(ddof=1) / math.sqrt(R)
                p = band_p(mean, se, expected * (1 - tunnel), expected)
                cdf = np.cumsum(pmf)
                bounds = [0] + [int(np.searchsorted(cdf, q)) for q in np.linspace(0.1, 0.9, 9)]
                observed = [((times > lo) & (times <= hi)).sum()
                            for lo, hi in zip(bounds[:-1], bounds[1:])]
                observed.append((times > bounds[-1]).sum())
                cells = np.diff([0.0] + [cdf[b] for b in bounds[1:]] + [1.0])
                statistic, df, p_law, _ = goodness_of_fit(observed, cells)
                result.p_values += [p, p_law]
                published = weissman(N, mu, delta, s)
                result.lines.append(
                    f"{engine} 4N delta = {depth}: mean {mean:.0f} +- {se:.0f}, sequential "
                    f"{expected:.0f} (band to {expected * (1 - tunnel):.0f}, P_tun = "
                    f"{tunnel:.3f}; p = {p:.3g}); Weissman et al. with Kimura's u {published:.0f}, "
                    f"with this model's u {weissman(N, mu, delta, s, u=fixation):.0f}; law in 10 "
                    f"cells: chi-square = {statistic:.1f}, df = {df}, p = {p_law:.3g}")
                faults.append((engine, depth, band_p(mean, se, halved * (1 - tunnel), halved),
                               None if flipped is None else band_p(mean, se, flipped, flipped)))
    worst_halved = max(f[2] for f in faults)
    worst_flipped = max(f[3] for f in faults if f[3] is not None)
    result.lines.append(f"the same data against faults: mu halved, largest p = {worst_halved:.3g}; "
                        f"single mutants advantageous (delta -> -delta, 4N delta > 0), largest "
                        f"p = {worst_flipped:.3g}")
    result.picture = str(ctx.out / "valley-crossing.png")
    draw(result.picture, found, theory)
    return result


def draw(path, found, theory):
    N, mu, s, R = VALLEY_N, VALLEY_MU, VALLEY_S, VALLEY_R
    figure, axes = plt.subplots(1, 2, figsize=(11, 4.4))
    ax = axes[0]
    grid = np.linspace(min(VALLEY_DEPTHS) - 0.2, max(VALLEY_DEPTHS) + 0.2, 25)
    exact = [sequential(N, mu, d / (4 * N), s)[:2] for d in grid]
    ax.fill_between(grid, [e * (1 - t) for e, t in exact], [e for e, _ in exact], color="0.85",
                    label="sequential, exact for this model (band: tunnelling)")
    ax.plot(grid, [e for e, _ in exact], color="black", lw=1)
    ax.plot(grid, [weissman(N, mu, d / (4 * N), s) for d in grid], color="black", ls="--", lw=1,
            label="Weissman et al. 2009 with Kimura's u")
    ax.plot(grid, [sequential(N, mu / 2, d / (4 * N), s)[0] for d in grid], color="0.5", ls=":",
            lw=1, label="fault: mu halved")
    ax.plot(grid, [sequential(N, mu, -d / (4 * N), s)[0] for d in grid], color="0.5", ls="-.",
            lw=1, label="fault: single mutants advantageous (-delta)")
    for (engine, depth), times in found.items():
        mean, se = times.mean(), times.std(ddof=1) / math.sqrt(R)
        engine_point(ax, depth + (-0.06 if engine == "exact" else 0.06), mean, se, engine,
                     depth == VALLEY_DEPTHS[0])
    ax.set_yscale("log")
    ax.set_xlabel("depth of the valley 4N delta")
    ax.set_ylabel("mean generations until h22 >= 0.5")
    ax.set_title(f"N = {N}, r = 0, mu = {mu:g}, s = {s}, R = {R} per point (95 % intervals)",
                 fontsize=9)
    ax.legend(fontsize=8)
    cdf = np.cumsum(theory[VALLEY_QQ][2])
    qq_panel(axes[1], [(engine, found[(engine, VALLEY_QQ)], cdf) for engine in sim.ENGINES], R,
             "quantile of the sequential law (generations)", f"QQ plot, 4N delta = {VALLEY_QQ}")
    figure.tight_layout()
    figure.savefig(path, dpi=90)
    plt.close(figure)
