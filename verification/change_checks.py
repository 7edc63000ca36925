"""Checks of changes over time (twolocus-sim --change).

change-chain: the exact chain of a tiny population (N = 3, two loci with
alleles 1 and 2, back mutation, r = 0.2, exact weights) whose fitness table
changes at generation 2 (`--change 2:fitness-values=LATE`), selection
reversed, and whose recombination fraction changes at generation 3
(`--change 3:recombination=0.5`): generations 0 and 1 run the first model,
generation 2 the second table with r = 0.2, generation 3 on both changes.
The law of the population after t = 1 ... 4 generations is the product of
each generation's kernels; the batch's records against it, on both engines,
and against the chains with the change one generation early or late.
"""

from pathlib import Path

import numpy as np

import chain_checks
import chains
import sim
from harness import Result, RunFailed, check, goodness_of_fit, log_likelihood_ratio, scratch
from sim_chain_checks import BACK_A, BACK_B, spread_fitness

SEED = 4141
N, R = 3, 2000
GENERATIONS = (1, 2, 3, 4)
EARLY = spread_fitness(5, 0.4, 1.6)
# Selection reversed: what was fit is now unfit (1111 stays at 1).
LATE = np.round(2.0 - EARLY, 3)
LATE[0] = 1.0
R_BEFORE, R_AFTER = 0.2, 0.5
START = {"2121": 2, "1211": 1}


def model(fitness, r):
    return chains.Model(N, (1, 2), (1, 2), mutation_a=BACK_A, mutation_b=BACK_B,
                        fitness=fitness, rule=chains.EXACT, r=r)


def changing_laws(start, fitness_from, r_from, generations):
    """The laws after 1 ... `generations` generations when generation g runs
    the LATE table from generation `fitness_from` on and r = R_AFTER from
    `r_from` on (EARLY and R_BEFORE before)."""
    kernels = {}
    states = counts = None
    for late in (False, True):
        for after in (False, True):
            states, counts, mutation, mating = chains.chain(
                model(LATE if late else EARLY, R_AFTER if after else R_BEFORE))
            kernels[(late, after)] = (mutation, mating)
    law = np.zeros(len(states))
    law[chains.state_of(model(EARLY, R_BEFORE), chains.lookup(counts), start)] = 1.0
    laws = []
    for g in range(generations):
        mutation, mating = kernels[(g >= fitness_from, g >= r_from)]
        law = (law @ mutation) @ mating
        laws.append(law)
    return counts, laws


@check("change-chain", "the exact chain through a change of fitness (selection reversed) at "
       "generation 2 and of r (0.2 to 0.5) at 3, two loci, back mutation, N = 3", sim.PROGRAMS,
       quick=True)
def change_chain(ctx):
    result = Result("change-chain")
    start = sim.counts_of(N, **{"g" + k: v for k, v in START.items()})
    counts, laws = changing_laws(start, 2, 3, len(GENERATIONS))
    alternatives = [("the changes one generation early", changing_laws(start, 1, 2, 4)[1]),
                    ("the changes one generation late", changing_laws(start, 3, 4, 4)[1]),
                    ("no change", changing_laws(start, 99, 99, 4)[1])]
    reference = model(EARLY, R_BEFORE)
    result.lines.append(f"chain: {len(reference.classes)} classes, N = {N}, {len(counts)} states, "
                        f"fitness changes at generation 2, r at 3, R = {R}")
    panels = {}
    with scratch(ctx.out) as folder:
        late = sim.write_fitness(Path(folder) / "late.tsv", LATE)
        for engine, program in zip(sim.ENGINES, sim.PROGRAMS):
            try:
                sim.batch(ctx, folder, engine, engine=engine, fitness=EARLY, N=N,
                          generations=len(GENERATIONS), initial=start, r=R_BEFORE,
                          mutation_a=BACK_A, mutation_b=BACK_B, replicates=R, seed=SEED,
                          record_every=1, trajectories=True,
                          extra=["--change", f"2:fitness-values={late}",
                                 "--change", f"3:recombination={R_AFTER!r}"])
            except RunFailed as failure:
                result.error = str(failure)
                return result
            runs = sim.replicate_populations(folder, engine, R)
            for t in GENERATIONS:
                tallies, outside = chain_checks.tally(reference, counts,
                                                      np.array([run[t] for run in runs]))
                law = laws[t - 1]
                statistic, df, p, _ = (goodness_of_fit(tallies, law) if not outside
                                       else (float("inf"), 0, 0.0, None))
                result.p_values.append(p)
                line = f"{engine} t = {t}: chi-square = {statistic:.1f}, df = {df}, p = {p:.3g}"
                for other, other_laws in alternatives:
                    if np.allclose(other_laws[t - 1], law):
                        continue
                    ratio = log_likelihood_ratio(tallies, law, other_laws[t - 1])
                    line += (f"; against {other}: p = "
                             f"{goodness_of_fit(tallies, other_laws[t - 1])[2]:.3g}, "
                             f"log-likelihood ratio {ratio:.1f}")
                result.lines.append(line)
                panels[(program, t)] = (law, tallies, p)
    result.picture = str(ctx.out / "change-chain.png")
    chain_checks.draw(result.picture, "change-chain", panels, R, generations=GENERATIONS,
                      note="\nfitness reversed from generation 2 (t = 3 on), r 0.2 -> 0.5 from "
                           "generation 3 (t = 4)")
    return result
