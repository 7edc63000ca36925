"""Checks against the exact chains: the population after t = 1, 2, 3
generations, over many runs of a program, against the exact law of
chains.py (Pearson's chi-square over the chain's states).

A fresh run starts from all 1111 and its record 0 holds the population after
one generation, its final record n the one after n. Replicates are runs with
seeds 1..R; the run of n = 3 gives t = 1 and 3, a second of n = 2 gives t = 2.

A start other than all 1111 is a hand-made trajectory file (one complete
record labelled 199) with its .params, resumed: generation 200 gives
record 200 (t = 1) and the final record n (t = n - 200). Only
twolocus-multinomial gives replicates so: it resumes with the seed of the
.params seed line. twolocus resumes with seed 1 whatever the file says, so
every copy of one start would write the same file; its checks start from
all 1111, where mutation makes the non-1111 and ordered populations.
"""

from dataclasses import dataclass
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

import chains  # noqa: E402
from harness import (Result, RunFailed, check, goodness_of_fit,  # noqa: E402
                     populations, replicate, run_program, scratch)

GENERATIONS = (1, 2, 3)
CLASSIC = ["twolocus", "twolocus-multinomial"]
RESUME_LABEL = 199


@dataclass
class Case:
    """One chain check. rates: the programs' six rate arguments (units of
    10^-10: a 1->2, a 2->3, a 1->3, b 1->2, b 2->3, b 1->3). codes: fitness
    code by genotype label, `default` for the others. start: None (all 1111,
    fresh runs) or genotype counts by label (a resumed hand-made file)."""

    N: int
    alleles_a: tuple
    alleles_b: tuple
    s: int
    k: int
    rates: tuple
    codes: dict
    default: int = 1
    start: dict = None
    replicates: int = 2000
    alternatives: tuple = ()  # (name, Model changes) of chains the data should reject
    code_of: object = None  # optional function of a genotype index

    def code(self, g):
        if self.code_of is not None:
            return self.code_of(g)
        return self.codes.get(label(g), self.default)

    def fitness(self):
        """The 81 fitnesses the program uses: from the codes for a fresh run,
        as the .params file writes them (six decimals) for a resume."""
        values = np.array([chains.fitness_of_code(self.code(g), self.s, self.k)
                           for g in range(chains.GENOTYPES)])
        if self.start is not None:
            values = np.array([float(f"{v:.6f}") for v in values])
        return values

    def model(self, rule=chains.FLOOR, r=0.5, swapped=False):
        """The chain of the documented model; rule, r and swapped (each
        genotype given the fitness of its mirror, the parents' slots
        exchanged: a program that reads labels the wrong way round) make the
        chains the data should reject."""
        p = [x * 1e-10 for x in self.rates]
        fitness = self.fitness()
        if swapped:
            fitness = np.array([fitness[chains.index(a2, a1, b2, b1)]
                                for a1, a2, b1, b2 in map(chains.alleles, range(chains.GENOTYPES))])
        return chains.Model(self.N, self.alleles_a, self.alleles_b,
                            chains.one_way(p[0], p[1], p[2]), chains.one_way(p[3], p[4], p[5]),
                            fitness, rule=rule, r=r)

    def start_counts(self):
        counts = np.zeros(chains.GENOTYPES, dtype=np.int64)
        if self.start is None:
            counts[0] = self.N
        else:
            for name, count in self.start.items():
                counts[chains.index(*map(int, name))] = count
        return counts


def label(g):
    return "".join(map(str, chains.alleles(g)))


def write_table(path, case):
    lines = ["\t".join(map(str, chains.alleles(g))) + f"\t{case.code(g)}"
             for g in range(chains.GENOTYPES)]
    path.write_text("\n".join(lines) + "\n")


def write_start(path, case, n, seed):
    """A hand-made checkpoint: a trajectory of one record labelled
    RESUME_LABEL and its .params (89 lines, with the seed line)."""
    header = "generation\t" + "\t".join(label(g) for g in range(chains.GENOTYPES))
    record = "\t".join(map(str, [RESUME_LABEL, *case.start_counts()]))
    path.write_text(f"{header}\n{record}\n")
    r = [x * 1e-10 for x in case.rates]
    lines = [f"s = [{case.s / 100:.6f}], k = [{case.k / 100:.6f}], n = [{n}] "
             f"gerneration_size=[{case.N}]."]
    for key, value in (("a0", r[0]), ("b0", r[3]), ("a1", r[1]), ("b1", r[4]), ("a2", r[2]),
                       ("b2", r[5])):
        lines.append(f"{key} = {value:.10f}")
    lines += [f"{g} ->\t{f:.6f}" for g, f in enumerate(case.fitness())]
    lines.append(f"seed = {seed}")
    path.with_name(path.name + ".params").write_text("\n".join(lines) + "\n")


def sample(ctx, program, case, folder):
    """Runs the program `case.replicates` times (seeds 1..R, in parallel);
    returns {t: array (R, 81)} of the populations after t generations."""
    table = folder / "table.tsv"
    write_table(table, case)

    def one(seed):
        found = {}
        for n in (3, 2):
            out = folder / f"{program}-{seed}-{n}.out"
            if case.start is None:
                run_program(ctx.build, program, [table, 1, case.s, case.k, n, case.N,
                                                 *case.rates, out, seed], folder)
                offset = 0
            else:
                write_start(out, case, RESUME_LABEL + 1 + n, seed)
                run_program(ctx.build, program, [out], folder)
                offset = RESUME_LABEL
            for rounds, counts in populations(out).items():
                if 1 <= rounds - offset <= 3:
                    found.setdefault(rounds - offset, counts)
            for extra in ("", ".params", ".params.new"):
                out.with_name(out.name + extra).unlink(missing_ok=True)
        return found

    runs = replicate(ctx.threads, one, range(1, case.replicates + 1))
    return {t: np.array([run[t] for run in runs]) for t in GENERATIONS}


def tally(model, counts, observed):
    """Counts the observed populations by chain state; returns (per-state
    counts, number of populations that are no state of the chain)."""
    rows = chains.lookup(counts)
    tallies = np.zeros(len(counts))
    outside = 0
    for population in observed:
        row = chains.state_of(model, rows, population)
        if row is None:
            outside += 1
        else:
            tallies[row] += 1
    return tallies, outside


def draw(path, name, panels, replicates, generations=GENERATIONS, note=""):
    """One panel per (program, t): observed frequency against exact
    probability of every state, with the 3-sigma band of R replicates;
    `note` is added to the picture's title."""
    programs = list(dict.fromkeys(p for p, _ in panels))
    generations = list(generations)
    figure, axes = plt.subplots(len(programs), len(generations),
                                figsize=(4 * len(generations), 3.6 * len(programs)),
                                squeeze=False)
    for (program, t), (law, tallies, p) in panels.items():
        ax = axes[programs.index(program)][generations.index(t)]
        shown = (law > 0) | (tallies > 0)
        floor = 0.3 / replicates
        x, y = law[shown], tallies[shown] / replicates
        ax.scatter(np.maximum(x, floor), np.maximum(y, floor), s=9, alpha=0.6)
        if law[-1] > 0 or tallies[-1] > 0:
            ax.scatter([max(law[-1], floor)], [max(tallies[-1] / replicates, floor)], s=40,
                       marker="x", color="red", label="extinct")
            ax.legend(loc="upper left", fontsize=8)
        grid = np.logspace(np.log10(floor), 0, 200)
        band = 3 * np.sqrt(grid * (1 - grid) / replicates)
        ax.plot(grid, grid, color="black", lw=0.8)
        ax.plot(grid, grid + band, color="grey", lw=0.6, ls="--")
        ax.plot(grid, np.maximum(grid - band, floor), color="grey", lw=0.6, ls="--")
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xlim(floor * 0.8, 1.2)
        ax.set_ylim(floor * 0.8, 1.2)
        ax.set_title(f"{program}, t = {t}: p = {p:.3g}", fontsize=9)
        ax.set_xlabel("exact probability of the state")
        ax.set_ylabel(f"observed frequency (R = {replicates})")
    figure.suptitle(f"{name}: states after t generations, observed vs exact "
                    f"(dashed: 3 sigma; zeros drawn at the bottom){note}", fontsize=10)
    if note:  # room for the title's second line
        figure.tight_layout(rect=(0, 0, 1, 0.975))
    else:
        figure.tight_layout()
    figure.savefig(path, dpi=90)
    plt.close(figure)


def chain_check(ctx, name, case, programs):
    result = Result(name)
    model = case.model()
    counts, laws = chains.distributions(model, case.start_counts(), len(GENERATIONS))
    alternatives = [(name, chains.distributions(case.model(**changes), case.start_counts(),
                                                len(GENERATIONS))[1])
                    for name, changes in case.alternatives]
    result.lines.append(f"chain: {len(model.classes)} classes, N = {case.N}, "
                        f"{len(counts)} states (extinct included), R = {case.replicates}")
    panels = {}
    with scratch(ctx.out) as folder:
        for program in programs:
            try:
                observed = sample(ctx, program, case, Path(folder))
            except RunFailed as failure:
                result.error = str(failure)
                return result
            for t in GENERATIONS:
                tallies, outside = tally(model, counts, observed[t])
                law = laws[t - 1]
                if outside:
                    statistic, df, p, cells = float("inf"), 0, 0.0, 0
                else:
                    statistic, df, p, cells = goodness_of_fit(tallies, law)
                result.p_values.append(p)
                line = (f"{program} t = {t}: chi-square = {statistic:.1f}, df = {df}, "
                        f"p = {p:.3g}, states seen = {int((tallies > 0).sum())}, "
                        f"outside the chain = {outside}, "
                        f"P(extinct) = {law[-1]:.4f} (seen {tallies[-1] / case.replicates:.4f})")
                for other, other_laws in alternatives:
                    other_p = goodness_of_fit(tallies, other_laws[t - 1])[2]
                    line += f"; against the chain with {other}: p = {other_p:.3g}"
                result.lines.append(line)
                panels[(program, t)] = (law, tallies, p)
    result.picture = str(ctx.out / f"{name}.png")
    draw(result.picture, name, panels, case.replicates)
    return result


# The cases. Rates are in the programs' units of 10^-10: 2000000000 is 0.2.
ONE_LOCUS = Case(N=3, alleles_a=(1, 2, 3), alleles_b=(1,), s=0, k=0,
                 rates=(2000000000, 1500000000, 1000000000, 0, 0, 0), codes={})

# Ordered classes with other fitnesses: 2111 weighs floor(0.5 count), 1211
# floor(1.6 count); below and above 1 the floor differs from count x fitness.
FLOOR_CODES = {"2111": 7, "1211": 4, "1121": 5, "1112": 8, "2211": 3, "1122": 7,
               "2121": 2, "1212": 6, "2112": 0, "1221": 4, "2222": 8}
FLOOR = Case(N=3, alleles_a=(1, 2), alleles_b=(1, 2), s=50, k=60,
             rates=(2000000000, 0, 0, 2000000000, 0, 0), codes=FLOOR_CODES,
             alternatives=(("the exact rule", {"rule": chains.EXACT}), ("r = 0", {"r": 0.0})))

# Allele 3 is lethal; one allele 2 halves the fitness, so a lone mutant
# weighs 0, and a population without 1111 can die out.
EXTINCTION = Case(N=3, alleles_a=(1, 2, 3), alleles_b=(1,), s=50, k=0,
                  rates=(2000000000, 2000000000, 1000000000, 0, 0, 0),
                  codes={"1111": 1, "2111": 7, "1211": 7, "2211": 8}, default=0)

# From all 1111 the law of the population is the same with the parents'
# slots exchanged (both parents are drawn alike, and mutation treats the
# slots alike), whatever the fitnesses: only a start that is not symmetric
# can show that a program keeps the slots' order.
ORDERED_START = Case(N=3, alleles_a=(1, 2), alleles_b=(1, 2), s=50, k=60,
                     rates=(1000000000, 0, 0, 1000000000, 0, 0), codes=FLOOR_CODES,
                     start={"2111": 1, "1211": 1, "1112": 1},
                     alternatives=(("the exact rule", {"rule": chains.EXACT}),
                                   ("the slots swapped", {"swapped": True})))


def _valley_code(g):
    """A fixed mix of all nine codes over the 81 genotypes, 1111 fit."""
    return 1 if g == 0 else (7 * g + 3) % 9


FULL = Case(N=2, alleles_a=(1, 2, 3), alleles_b=(1, 2, 3), s=50, k=60,
            rates=(2000000000, 1500000000, 1000000000, 1500000000, 2000000000, 500000000),
            codes={}, code_of=_valley_code, replicates=4000,
            alternatives=(("the exact rule", {"rule": chains.EXACT}), ("r = 0", {"r": 0.0})))


@check("chain-one-locus", "one locus, alleles 1-3, one-way mutation, neutral, N = 3", CLASSIC,
       quick=True)
def one_locus(ctx):
    return chain_check(ctx, "chain-one-locus", ONE_LOCUS, CLASSIC)


@check("chain-floor", "two loci, two alleles, floor weights below and above 1 on ordered "
       "genotypes, N = 3", CLASSIC, quick=True)
def floor_weights(ctx):
    return chain_check(ctx, "chain-floor", FLOOR, CLASSIC)


@check("chain-extinction", "one locus, alleles 1-3, allele 3 lethal, lone mutants weigh 0, "
       "N = 3", CLASSIC, quick=True)
def extinction(ctx):
    return chain_check(ctx, "chain-extinction", EXTINCTION, CLASSIC)


@check("chain-ordered-start", "resume of a hand-made start 2111, 1211, 1112 with floor "
       "weights, N = 3", ["twolocus-multinomial"], quick=True)
def ordered_start(ctx):
    return chain_check(ctx, "chain-ordered-start", ORDERED_START, ["twolocus-multinomial"])


@check("chain-81", "all 81 classes, every rate, all nine fitness codes, N = 2", CLASSIC)
def all_classes(ctx):
    return chain_check(ctx, "chain-81", FULL, CLASSIC)
