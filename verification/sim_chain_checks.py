"""The exact chains against twolocus-sim on both engines: recombination
r < 1/2, back mutation, both weight rules, real fitness values and a start
of ordered genotypes given with --initial.

One batch of R replicates per engine (--replicates R, --trajectories,
--record-every 1, --generations 3): a replicate's records 0, 1 and 2 hold the
populations after t = 1, 2 and 3 generations from the start (the reader
names each record by the generations it has run).
"""

from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

import chain_checks
import chains
import sim
from harness import Result, RunFailed, check, goodness_of_fit, log_likelihood_ratio, scratch

SEED = 22


@dataclass
class SimCase:
    N: int
    alleles_a: tuple
    alleles_b: tuple
    mutation_a: np.ndarray
    mutation_b: np.ndarray
    fitness: np.ndarray
    rule: str
    r: float
    start: dict
    replicates: int = 2000
    alternatives: list = field(default_factory=list)  # (name, changes to the model)

    def model(self, **changes):
        values = dict(mutation_a=self.mutation_a, mutation_b=self.mutation_b,
                      fitness=self.fitness, rule=self.rule, r=self.r)
        values.update(changes)
        return chains.Model(self.N, self.alleles_a, self.alleles_b, **values)

    def start_counts(self):
        return sim.counts_of(self.N, **{"g" + k: v for k, v in self.start.items()})


def one_way_part(matrix):
    """The matrix without its back mutation (changes i -> j < i dropped)."""
    kept = np.triu(matrix, 1)
    return kept + np.diag(1 - kept.sum(axis=1))


def spread_fitness(seed, low, high, zeros=()):
    """81 fitness values spread over [low, high] by a fixed generator, 1111
    at 1 and the labels in `zeros` at 0."""
    values = np.random.default_rng(seed).uniform(low, high, chains.GENOTYPES).round(3)
    values[0] = 1.0
    for name in zeros:
        values[chains.index(*map(int, name))] = 0.0
    return values


BACK_A = np.array([[0.8, 0.2, 0], [0.1, 0.9, 0], [0, 0, 1]])
BACK_B = np.array([[0.85, 0.15, 0], [0.25, 0.75, 0], [0, 0, 1]])
STILL = np.eye(3)
# Two 2121 (haplotypes 22 and 11) put the start in linkage disequilibrium,
# so that r shows; 1211 is ordered (its mirror is 2111).
ORDERED = {"2121": 2, "1211": 1}

LINKED = SimCase(N=3, alleles_a=(1, 2), alleles_b=(1, 2), mutation_a=BACK_A, mutation_b=BACK_B,
                 fitness=spread_fitness(1, 0.3, 1.8, zeros=("2222",)), rule=chains.EXACT,
                 r=0.1, start=ORDERED)
LINKED.alternatives = [("r = 1/2", {"r": 0.5}), ("the floor rule", {"rule": chains.FLOOR}),
                       ("no back mutation", {"mutation_a": one_way_part(BACK_A),
                                             "mutation_b": one_way_part(BACK_B)})]

# Fitnesses 0.5 to 1.7: the floor rule's weights differ from count x fitness.
# 2121 gets 1.7 (two weigh 3), so that the parents in disequilibrium, and r,
# count under the floor rule too.
FLOOR_FITNESS = spread_fitness(2, 0.5, 1.7)
FLOOR_FITNESS[chains.index(2, 1, 2, 1)] = 1.7
# Weaker mutation than LINKED's, so that haplotypes last and r shows.
SLOW_A = np.array([[0.95, 0.05, 0], [0.05, 0.95, 0], [0, 0, 1]])
SLOW_B = np.array([[0.9, 0.1, 0], [0.05, 0.95, 0], [0, 0, 1]])
FLOOR_LINKED = SimCase(N=3, alleles_a=(1, 2), alleles_b=(1, 2), mutation_a=SLOW_A,
                       mutation_b=SLOW_B, fitness=FLOOR_FITNESS, rule=chains.FLOOR, r=0.0,
                       start=ORDERED)
FLOOR_LINKED.alternatives = [("the exact rule", {"rule": chains.EXACT}), ("r = 1/2", {"r": 0.5}),
                             ("r = 0.1", {"r": 0.1}),
                             ("no back mutation", {"mutation_a": one_way_part(SLOW_A),
                                                   "mutation_b": one_way_part(SLOW_B)})]

# One locus, every one of the six changes; 33 lethal, so a population of
# lethals after mutation dies out under either rule.
FULL_A = np.array([[0.7, 0.2, 0.1], [0.15, 0.7, 0.15], [0.1, 0.2, 0.7]])
ONE_LOCUS_FITNESS = np.ones(chains.GENOTYPES)
for _g in range(chains.GENOTYPES):
    _a1, _a2, _, _ = chains.alleles(_g)
    ONE_LOCUS_FITNESS[_g] = {0: 1.0, 1: 0.6, 2: 0.0}[(_a1 == 3) + (_a2 == 3)] * (
        1.4 if 2 in (_a1, _a2) else 1.0)
ONE_LOCUS_BACK = SimCase(N=3, alleles_a=(1, 2, 3), alleles_b=(1,), mutation_a=FULL_A,
                         mutation_b=STILL, fitness=ONE_LOCUS_FITNESS, rule=chains.EXACT, r=0.5,
                         start={"3311": 2, "2311": 1})
ONE_LOCUS_BACK.alternatives = [("no back mutation", {"mutation_a": one_way_part(FULL_A)}),
                               ("the floor rule", {"rule": chains.FLOOR})]


def sample(ctx, case, engine, folder, name):
    """{t: array (R, 81)} of the populations after t generations."""
    sim.batch(ctx, folder, name, engine=engine, fitness=case.fitness, N=case.N,
              generations=len(chain_checks.GENERATIONS), initial=case.start_counts(),
              weights=case.rule, r=case.r, mutation_a=case.mutation_a,
              mutation_b=case.mutation_b, replicates=case.replicates, seed=SEED,
              record_every=1, trajectories=True)
    runs = sim.replicate_populations(folder, name, case.replicates)
    return {t: np.array([run[t] for run in runs]) for t in chain_checks.GENERATIONS}


def sim_chain_check(ctx, name, case):
    result = Result(name)
    model = case.model()
    start = case.start_counts()
    counts, laws = chains.distributions(model, start, len(chain_checks.GENERATIONS))
    alternatives = [(other, chains.distributions(case.model(**changes), start,
                                                 len(chain_checks.GENERATIONS))[1])
                    for other, changes in case.alternatives]
    result.lines.append(f"chain: {len(model.classes)} classes, N = {case.N}, {len(counts)} states "
                        f"(extinct included), rule {case.rule}, r = {case.r}, "
                        f"R = {case.replicates}")
    panels = {}
    with scratch(ctx.out) as folder:
        for engine, program in zip(sim.ENGINES, sim.PROGRAMS):
            try:
                observed = sample(ctx, case, engine, Path(folder), engine)
            except RunFailed as failure:
                result.error = str(failure)
                return result
            for t in chain_checks.GENERATIONS:
                tallies, outside = chain_checks.tally(model, counts, observed[t])
                law = laws[t - 1]
                if outside:
                    statistic, df, p = float("inf"), 0, 0.0
                else:
                    statistic, df, p, _ = goodness_of_fit(tallies, law)
                result.p_values.append(p)
                line = (f"{engine} t = {t}: chi-square = {statistic:.1f}, df = {df}, p = {p:.3g}, "
                        f"outside the chain = {outside}, P(extinct) = {law[-1]:.4f} "
                        f"(seen {tallies[-1] / case.replicates:.4f})")
                for other, other_laws in alternatives:
                    ratio = log_likelihood_ratio(tallies, law, other_laws[t - 1])
                    line += (f"; against {other}: "
                             f"p = {goodness_of_fit(tallies, other_laws[t - 1])[2]:.3g}, "
                             f"log-likelihood ratio {ratio:.1f}")
                result.lines.append(line)
                panels[(program, t)] = (law, tallies, p)
    result.picture = str(ctx.out / f"{name}.png")
    chain_checks.draw(result.picture, name, panels, case.replicates)
    return result


@check("sim-chain-linked", "two loci, r = 0.1, back mutation at both, exact weights on real "
       "fitnesses, ordered start, N = 3", sim.PROGRAMS, quick=True)
def linked(ctx):
    return sim_chain_check(ctx, "sim-chain-linked", LINKED)


@check("sim-chain-floor", "two loci, r = 0 (complete linkage), back mutation, floor weights on "
       "fitnesses 0.5-1.7, ordered start, N = 3", sim.PROGRAMS, quick=True)
def floor_linked(ctx):
    return sim_chain_check(ctx, "sim-chain-floor", FLOOR_LINKED)


@check("sim-chain-back", "one locus, all six changes (back mutation), lethal 33, exact "
       "weights, extinction, N = 3", sim.PROGRAMS, quick=True)
def one_locus_back(ctx):
    return sim_chain_check(ctx, "sim-chain-back", ONE_LOCUS_BACK)
