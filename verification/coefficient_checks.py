"""Checks of a fitness given by coefficients (twolocus-sim --s2-a ...
--combine, --epistasis).

coefficients-table: a batch run with coefficients writes, byte for byte,
the files of the batch run with the table that --print-fitness writes for
them (--fitness-values), on both engines, under both weight rules and both
combinations, with mutation and recombination.

dominance-fixation: one locus under selection with dominance (fitness 1,
1 + h s, 1 + s of genotypes 11, 12, 22; the other locus neutral): the
fixation probability of allele 2 from frequency p against the diffusion
approximation (Kimura 1962, with dominance)

    u(p) = int_0^p G(x) dx / int_0^1 G(x) dx,
    G(x) = exp(-2 N s (2 h x + (1 - 2 h) x^2)),

integrated numerically (derived on the verification page).
"""

import math
import subprocess
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
from scipy.integrate import quad  # noqa: E402
from scipy.stats import binomtest  # noqa: E402

import sim  # noqa: E402
from harness import Result, RunFailed, check, run_program, scratch  # noqa: E402

SEED = 3131


def picture(ctx, name):
    return str(ctx.out / f"{name}.png")


def coefficient_options(coefficients):
    """The options of a dict of coefficients {"s2-a": 0.1, "combine": ...}."""
    return [f"--{name}={value}" for name, value in coefficients.items()]


def printed_table(ctx, folder, name, options):
    """Runs twolocus-sim OPTIONS --print-fitness; writes its standard output
    to FOLDER/NAME.values.tsv and returns the path."""
    program = Path(ctx.build) / sim.PROGRAM
    done = subprocess.run([str(program), *options, "--print-fitness"], capture_output=True,
                          text=True, cwd=folder)
    if done.returncode != 0:
        raise RunFailed(f"{sim.PROGRAM} --print-fitness: {done.stderr.strip()}")
    path = Path(folder) / f"{name}.values.tsv"
    path.write_text(done.stdout)
    return path


# ---------------------------------------------------------------- coefficients-table

TABLE_CASES = [
    ("valley", {"s2-a": -0.02, "s2-b": -0.02, "combine": "additive", "epistasis": 0.09}),
    ("dominance", {"s2-a": 0.05, "h2-a": 0.1, "s3-a": -0.3, "h3-a": 0.9, "s2-b": 0.02,
                   "h2-b": 1.5, "s3-b": 0.01, "h3-b": -0.5, "epistasis": -0.2}),
    ("six", {"fitness-a": "1,0.5,1.25,0.75,0.125,2", "s2-b": 0.03, "epistasis": 0.1}),
]
TABLE_N, TABLE_GENERATIONS, TABLE_R = 200, 300, 20


def batch_files(folder, name):
    """The bytes of a batch's summary and of every replicate's trajectory."""
    folder = Path(folder)
    files = {"summary": (folder / f"{name}.summary.tsv").read_bytes()}
    for path in sorted((folder / f"{name}.runs").iterdir()):
        if path.name.startswith("replicate-") and "." not in path.name:
            files[path.name] = path.read_bytes()
    return files


@check("coefficients-table", "a fitness by coefficients is, byte for byte, the table "
       "--print-fitness writes for it (--fitness-values): both combinations, both weight "
       "rules, mutation and recombination", sim.PROGRAMS, quick=True)
def coefficients_table(ctx):
    result = Result("coefficients-table")
    mutation = [[0, 0.002, 0.001], [0.001, 0, 0.001], [0.0005, 0.0005, 0]]
    tables = {}
    with scratch(ctx.out) as folder:
        for case, coefficients in TABLE_CASES:
            for how in ("multiplicative", "additive"):
                for weights in ("exact", "floor"):
                    options = coefficient_options({**coefficients, "combine": how})
                    name = f"{case}-{how}-{weights}"
                    try:
                        table = printed_table(ctx, folder, name, options + ["--weights", weights])
                        tables[name] = np.loadtxt(table, comments="#")[:, 4]
                        for engine in sim.ENGINES:
                            common = dict(engine=engine, N=TABLE_N, generations=TABLE_GENERATIONS,
                                          weights=weights, r=0.2, mutation_a=mutation,
                                          mutation_b=mutation, replicates=TABLE_R, seed=SEED,
                                          record_every=10, trajectories=True)
                            sim.batch(ctx, folder, f"{name}-{engine}-c", fitness=None,
                                      extra=options, **common)
                            sim.batch(ctx, folder, f"{name}-{engine}-t", fitness=None,
                                      extra=["--fitness-values", table], **common)
                            same = (batch_files(folder, f"{name}-{engine}-c")
                                    == batch_files(folder, f"{name}-{engine}-t"))
                            result.lines.append(
                                f"{name} --engine {engine}: {TABLE_R} replicates of N = {TABLE_N}, "
                                f"{TABLE_GENERATIONS} generations, summary and trajectories "
                                + ("identical" if same else "DIFFERENT"))
                            if not same:
                                result.error = f"{name} --engine {engine}: the files differ"
                    except RunFailed as failure:
                        result.error = str(failure)
                        return result
    result.picture = picture(ctx, "coefficients-table")
    rows = len(TABLE_CASES)
    figure, axes = plt.subplots(rows, 4, figsize=(9, 2.9 * rows), squeeze=False)
    axes = axes.flatten()
    for ax, (name, values) in zip(axes, tables.items()):
        ax.imshow(values.reshape(9, 9), cmap="viridis")
        ax.set_title(name.replace("-", " ") + f"\n{values.min():.3g} (dark) to {values.max():.3g}",
                     fontsize=8)
        ax.set_xticks([])
        ax.set_yticks([])
    for row in range(rows):
        axes[4 * row].set_ylabel("genotype index / 9 (rows),\nmod 9 (columns)", fontsize=7)
    figure.suptitle("fitness tables made by the coefficients (runs identical byte for byte)",
                    fontsize=9)
    figure.tight_layout()
    figure.savefig(result.picture, dpi=90)
    plt.close(figure)
    return result


# ---------------------------------------------------------------- dominance-fixation

def kimura_dominance(p, N, s, h):
    """The diffusion's fixation probability of an allele at frequency p with
    fitnesses 1, 1 + h s, 1 + s, population size N (numerical integral)."""
    if s == 0:
        return p

    def G(x):
        return math.exp(-2 * N * s * (2 * h * x + (1 - 2 * h) * x * x))

    # Scaled by the largest value of G on [0, 1] so that neither integral overflows.
    top = max(-2 * N * s * (2 * h * x + (1 - 2 * h) * x * x) for x in np.linspace(0, 1, 201))

    def scaled(x):
        return math.exp(-2 * N * s * (2 * h * x + (1 - 2 * h) * x * x) - top)

    return quad(scaled, 0, p, epsabs=0, epsrel=1e-10)[0] / quad(scaled, 0, 1, epsabs=0,
                                                                epsrel=1e-10)[0]


DOM_N, DOM_R, DOM_COPIES = 100, 2000, 20
DOM_H = (0.0, 0.5, 1.0)
DOM_S = (-2, 2, 6)  # 2Ns


@check("dominance-fixation", "one locus, fitness 1, 1 + hs, 1 + s by coefficients, N = 100, "
       "p = 0.1, h = 0, 1/2, 1 and 2Ns = -2, 2, 6: P(fixation) against Kimura's diffusion "
       "with dominance", sim.PROGRAMS, quick=True)
def dominance_fixation(ctx):
    result = Result("dominance-fixation")
    N = DOM_N
    p0 = DOM_COPIES / (2 * N)
    start = sim.counts_of(N, g2111=DOM_COPIES, g1111=N - DOM_COPIES)
    found = {}
    condition = "a2 == 0 or a2 == 1"
    with scratch(ctx.out) as folder:
        for engine in sim.ENGINES:
            for h in DOM_H:
                for S in DOM_S:
                    s = S / (2 * N)
                    name = f"{engine}-{h}-{S}"
                    try:
                        rows = sim.batch(ctx, folder, name, engine=engine, fitness=None, N=N,
                                         generations=40 * N, initial=start, replicates=DOM_R,
                                         seed=SEED, extra=[f"--s2-a={s!r}", f"--h2-a={h!r}",
                                                           "--stop", condition])
                    except RunFailed as failure:
                        result.error = str(failure)
                        return result
                    absorbed = [row for row in rows if row["end"] == condition]
                    fixed = sum(1 for row in absorbed if float(row["a2"]) == 1)
                    theory = kimura_dominance(p0, N, s, h)
                    test = binomtest(fixed, DOM_R, theory)
                    result.p_values.append(test.pvalue)
                    found[(engine, h, S)] = fixed / DOM_R
                    result.lines.append(
                        f"--engine {engine} h = {h} 2Ns = {S} (s = {s:g}): fixed {fixed}/{DOM_R} = "
                        f"{fixed / DOM_R:.4f}, diffusion {theory:.4f}, binomial p = {test.pvalue:.3g}"
                        + (f", {DOM_R - len(absorbed)} not absorbed" if len(absorbed) < DOM_R else ""))
    result.picture = picture(ctx, "dominance-fixation")
    figure, ax = plt.subplots(figsize=(7, 4.5))
    grid = np.linspace(min(DOM_S) - 0.5, max(DOM_S) + 0.5, 120)
    for k, h in enumerate(DOM_H):
        colour = f"C{k}"
        ax.plot(grid, [kimura_dominance(p0, N, S / (2 * N), h) for S in grid], color=colour, lw=1,
                label=f"diffusion, h = {h}")
        for e, (engine, marker) in enumerate(zip(sim.ENGINES, ("o", "s"))):
            for S in DOM_S:
                u = found[(engine, h, S)]
                se = math.sqrt(max(u * (1 - u), 1e-4) / DOM_R)
                ax.errorbar(S + (e - 0.5) * 0.15, u, yerr=1.96 * se, fmt=marker, ms=4,
                            color=colour, label=f"--engine {engine}" if S == DOM_S[0] and k == 0
                            else None)
    ax.set_xlabel("2Ns (fitness 1, 1 + hs, 1 + s)")
    ax.set_ylabel("fixation probability")
    ax.set_title(f"N = {N}, p = {p0}, R = {DOM_R} per point (95 % intervals)", fontsize=9)
    ax.legend(fontsize=8)
    figure.tight_layout()
    figure.savefig(result.picture, dpi=90)
    plt.close(figure)
    return result
