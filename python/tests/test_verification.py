"""The exact chains of verification/ checked on their own (kernels are
stochastic, the neutral one-locus chain is Wright-Fisher, N = 1 cases worked
by hand), the chi-square's pooling, the hand-made start that
twolocus-multinomial resumes, the runner's list of checks, and the theory
checks' references (formulas against each other and against the chains, the
double mutant's chain by hand, first passages read from a batch)."""

import json
import math
import subprocess
import sys

import numpy as np
import pytest

from conftest import BUILD, REPOSITORY

sys.path.insert(0, str(REPOSITORY / "verification"))
import chain_checks  # noqa: E402
import coefficient_checks  # noqa: E402
import chains  # noqa: E402
import harness  # noqa: E402
import theory_checks  # noqa: E402

NEUTRAL = np.ones(chains.GENOTYPES)
STILL = chains.one_way(0, 0, 0)


def model(n, a, b, mutation_a=STILL, mutation_b=STILL, fitness=NEUTRAL, **options):
    return chains.Model(n, a, b, mutation_a, mutation_b, np.asarray(fitness, float), **options)


def law_after_one(m, start):
    counts, (law,) = chains.distributions(m, start, 1)
    return {tuple(int(x) for x in row): p for row, p in zip(counts, law) if p > 1e-15}


def population(n=0, **labels):
    counts = np.zeros(chains.GENOTYPES, dtype=np.int64)
    for name, count in labels.items():
        counts[chains.index(*map(int, name[1:]))] = count
    return counts


@pytest.mark.parametrize("rule", [chains.FLOOR, chains.EXACT])
def test_kernels_are_stochastic(rule):
    # Back mutation, unequal fitnesses (one lethal), r below 1/2.
    back_a = np.array([[0.7, 0.3, 0], [0.2, 0.8, 0], [0, 0, 1]])
    back_b = np.array([[0.9, 0.1, 0], [0.4, 0.6, 0], [0.3, 0.3, 0.4]])
    fitness = [chains.fitness_of_code(code % 9, 50, 60) for code in range(chains.GENOTYPES)]
    m = model(3, (1, 2), (1, 2), back_a, back_b, fitness, rule=rule, r=0.2)
    states, counts, mutation, mating = chains.chain(m)
    assert len(states) == 817  # 16 classes, N = 3: C(18, 3), and the extinct state
    assert np.allclose(mutation.sum(axis=1), 1, atol=1e-12)
    assert np.allclose(mating.sum(axis=1), 1, atol=1e-12)
    assert (mutation >= 0).all() and (mating >= 0).all()


@pytest.mark.parametrize("rule", [chains.FLOOR, chains.EXACT])
def test_neutral_one_locus_chain_is_wright_fisher(rule):
    n = 4
    m = model(n, (1, 2), (1,), rule=rule)
    _, counts, mutation, mating = chains.chain(m)
    assert np.allclose(mutation, np.eye(len(counts)))
    twos = counts @ [chains.alleles(g)[:2].count(2) for g in m.classes]
    for row in range(len(counts) - 1):
        copies = np.bincount(twos, weights=mating[row], minlength=2 * n + 1)
        x = twos[row] / (2 * n)
        binomial = [math.comb(2 * n, j) * x ** j * (1 - x) ** (2 * n - j) for j in range(2 * n + 1)]
        assert np.allclose(copies, binomial)


def test_hand_worked_single_individual():
    p = 0.1
    # One locus, 1->2 with p per slot. The lone parent mates with itself.
    law = law_after_one(model(1, (1, 2), (1,), chains.one_way(p, 0, 0)), population(g1111=1))
    het = 2 * p * (1 - p)  # 2111 or 1211 after mutation: each offspring class 1/4
    expected = {"1111": (1 - p) ** 2 + het / 4, "2111": het / 4, "1211": het / 4,
                "2211": p * p + het / 4}
    m = model(1, (1, 2), (1,))
    for name, probability in expected.items():
        key = tuple(int(x) for x in population(**{"g" + name: 1})[m.classes])
        assert law[key] == pytest.approx(probability)

    # Fitness 0.5 for any allele 2: the floor rule gives a lone mutant weight
    # 0 (extinction), the exact rule lets it be a parent.
    half = [1 if chains.alleles(g)[:2] == (1, 1) else 0.5 for g in range(chains.GENOTYPES)]
    for rule, extinct in ((chains.FLOOR, 1 - (1 - p) ** 2), (chains.EXACT, 0)):
        law = law_after_one(model(1, (1, 2), (1,), chains.one_way(p, 0, 0), fitness=half,
                                  rule=rule), population(g1111=1))
        assert law.get((0, 0, 0, 0), 0) == pytest.approx(extinct)

    # Two loci, haplotypes 22 and 11 (genotype 2121), r = 0.1: an offspring
    # gets two independent gametes, parental with (1 - r) / 2 each.
    r = 0.1
    m = model(1, (1, 2), (1, 2), r=r)
    law = law_after_one(m, population(g2121=1))
    for name, probability in (("2121", ((1 - r) / 2) ** 2), ("2211", (r / 2) ** 2),
                              ("2111", r / 2 * (1 - r) / 2), ("2112", (r / 2) ** 2)):
        key = tuple(int(x) for x in population(**{"g" + name: 1})[m.classes])
        assert law[key] == pytest.approx(probability)


def test_no_parent_share_comes_from_the_single_precision_total():
    m = model(1, (1, 2), (1,))
    shares, nobody = chains.parent_shares(m, np.array([2 ** 24 + 3, 0, 0, 0]))
    assert nobody == pytest.approx(1 / (2 ** 24 + 4))  # the total rounds up to 2^24 + 4
    shares, nobody = chains.parent_shares(m, np.array([3, 1, 0, 0]))
    assert nobody == 0 and shares.tolist() == [0.75, 0.25, 0, 0]


def test_runner_lists_and_refuses_unknown_checks():
    run = REPOSITORY / "verification" / "run"
    done = subprocess.run([str(run), "--list"], capture_output=True, text=True)
    assert done.returncode == 0
    names = [line.split()[0] for line in done.stdout.splitlines()]
    assert {"chain-one-locus", "chain-floor", "chain-81", "sim-chain-linked", "neutral-fixation",
            "mutation-loss", "ld-decay", "selection-fixation", "double-mutant"} <= set(names)
    done = subprocess.run([str(run), "no-such-check"], capture_output=True, text=True)
    assert (done.returncode, done.stdout) == (1, "")
    assert done.stderr == "Unknown check [no-such-check]; --list shows them.\n"


def test_goodness_of_fit_pools_rare_states_and_refuses_impossible_ones():
    # Expected 50, 40, 6, 2, 2: the last two are pooled (4 < 5) into the smallest cell.
    statistic, df, p, cells = harness.goodness_of_fit([50, 40, 6, 3, 1],
                                                      [0.5, 0.4, 0.06, 0.02, 0.02])
    assert (cells, df) == (3, 2)
    assert statistic == 0  # unpooled, the last two cells would add 1
    assert harness.goodness_of_fit([99, 1], [1.0, 0.0])[2] == 0.0
    # The ratio that judges the alternative chains: ln 2 for the one count
    # the other law halves; infinite when a state seen is impossible under it.
    assert harness.log_likelihood_ratio([3, 1, 0], [0.5, 0.5, 0], [0.5, 0.25, 0.25]) == \
        pytest.approx(math.log(2))
    assert harness.log_likelihood_ratio([1, 1], [0.5, 0.5], [1.0, 0.0]) == math.inf


def test_hand_made_start_is_resumed_by_its_seed(tmp_path):
    case = chain_checks.ORDERED_START
    finals = set()
    for seed in (1, 2, 3, 4):
        out = tmp_path / f"start{seed}.out"
        chain_checks.write_start(out, case, chain_checks.RESUME_LABEL + 4, seed)
        chain_checks.run_program(BUILD, "twolocus-multinomial", [out], tmp_path)
        found = chain_checks.populations(out)
        assert sorted(found) == [199, 200, 202]  # the start, t = 1, t = 3
        assert (found[199] == case.start_counts()).all()
        finals.add(tuple(found[202]))
    assert len(finals) > 1  # the seed line is used: the replicates differ


def test_theory_formulas_against_the_exact_one_locus_chain():
    N = 50
    p = np.arange(1, 2 * N) / (2 * N)
    total, fixed, lost = theory_checks.absorption_times(2 * N)
    assert np.allclose(total, p * fixed + (1 - p) * lost)
    ko = theory_checks.kimura_ohta(p, N)
    assert np.allclose(ko[0], p * ko[1] + (1 - p) * ko[2])
    middle = (p >= 0.1) & (p <= 0.9)  # the diffusion, within 3 % at N = 50 from p = 0.1 to 0.9
    assert (abs(ko[0] / total - 1)[middle] < 0.03).all()
    series = 4 * N * sum(1 / (i * (i + 1.0)) for i in range(1, 10 ** 6))  # theta = 2
    assert theory_checks.kimura_1980(2.0, N) == pytest.approx(series, rel=1e-5)
    assert theory_checks.kimura_1980(1.0, N) == pytest.approx(
        theory_checks.kimura_1980(1.0 + 1e-6, N), rel=1e-5)
    mean, cdf = theory_checks.passage_from_zero(2 * N, 1 / (4 * N), 4000)
    assert mean == pytest.approx((1 - cdf).sum(), rel=1e-6)
    assert mean == pytest.approx(theory_checks.kimura_1980(1.0, N), rel=0.02)
    assert theory_checks.kimura_1962(0.1, 100, 1e-12) == pytest.approx(0.1)


def test_ld_decay_formula_against_the_exact_chain():
    # N = 2, r = 0.2, exact weights: E[D] from the whole law after t generations.
    N, r = 2, 0.2
    m = model(N, (1, 2), (1, 2), rule=chains.EXACT, r=r)
    counts, laws = chains.distributions(m, population(g2222=1, g1111=1), 4)
    full = np.zeros((len(counts), chains.GENOTYPES))
    full[:, m.classes] = counts
    D = theory_checks.disequilibrium(full, N)
    for t, law in enumerate(laws, 1):
        assert law @ D == pytest.approx(theory_checks.ld_mean(t, r, N, 0.25), abs=1e-12)


def test_double_mutant_chain_by_hand():
    u = 0.1
    _, where, kernel = theory_checks.double_mutant_chain(1, u)
    start, single = where[(0, 0)], where[(1, 0)]
    # One haplotype 11 stays, becomes 21 or 12, or becomes 22 (the end).
    assert kernel[start, start] == pytest.approx((1 - u) ** 2)
    assert kernel[start, single] == pytest.approx(u * (1 - u))
    assert kernel[start].sum() == pytest.approx(1 - u * u)
    assert kernel[single, single] == pytest.approx(1 - u)


def test_first_passage_reads_each_replicates_stop(tmp_path):
    ctx = harness.Context(BUILD, tmp_path, 1)
    times, finals = theory_checks.first_passage(
        ctx, tmp_path, "batch", "a2 == 0 or a2 == 1", 1000, engine="exact",
        fitness=theory_checks.ONES, N=3, initial=theory_checks.start_at(3, 3), replicates=40,
        seed=1)
    assert len(times) == 40 and (times >= 1).all() and (times == times.round()).all()
    assert set(finals[:, 0]) == {0.0, 1.0}


def test_valley_genotype_chain_is_the_model_at_one_locus():
    # The counts (AA, AB, BB) with multiplicative selection and mutation A -> B
    # are a Markov chain: the full chain's law after one generation, lumped
    # to these counts, is the valley check's kernel row from every state.
    import valley_checks
    N, sigma, m = 3, -0.3, 0.1
    fitness = [(1 + sigma) ** chains.alleles(g)[:2].count(2) for g in range(chains.GENOTYPES)]
    full = model(N, (1, 2), (1,), chains.one_way(m, 0, 0), STILL, fitness, rule=chains.EXACT)
    states, _ = valley_checks.genotype_states(N)
    kernel = valley_checks.genotype_kernel(N, sigma, m)
    assert np.allclose(kernel.sum(axis=1), 1)
    for row, (a, h, b) in enumerate(states):
        counts, (law,) = chains.distributions(full, population(g1111=a, g2111=h, g2211=b), 1)
        lumped = {}
        for state, p in zip(counts, law):
            key = tuple(int(x) for x in np.bincount(
                np.repeat([chains.alleles(g)[:2].count(2) for g in full.classes], state),
                minlength=3))
            lumped[key] = lumped.get(key, 0) + p
        assert [lumped.get(s, 0) for s in states] == pytest.approx(kernel[row], abs=1e-12)
    # Neutral, no mutation: one copy fixes with probability 1/2N.
    assert valley_checks.fixation(N, 0.0) == pytest.approx(1 / (2 * N), abs=1e-12)


# ---------------------------------------------------------------- histories

def full(m, counts):
    """The states' class counts as 81 genotype counts each."""
    table = np.zeros((len(counts), chains.GENOTYPES))
    table[:, m.classes] = counts
    return table


def test_history_chain_without_cloning_or_selfing_is_the_classic_chain():
    import sim_chain_checks
    case = sim_chain_checks.LINKED
    m = case.model()
    counts, laws = chains.distributions(m, case.start_counts(), 3)
    found = chains.history_distributions(m, case.start_counts(), [chains.Way(3)] * 3)
    for (history_counts, history_law), law in zip(found, laws):
        assert (history_counts == counts).all()
        assert history_law == pytest.approx(law, abs=1e-14)


def test_ways_of_an_offspring_by_hand():
    r = 0.1
    m = model(1, (1, 2), (1, 2), rule=chains.EXACT, r=r)
    start = population(g2121=1)  # haplotypes 22 and 11
    keys = {name: tuple(int(x) for x in population(**{"g" + name: 1})[m.classes])
            for name in ("2121", "1212", "2222", "2211", "2112")}

    def after(way):
        (counts, law), = chains.history_distributions(m, start, [way])
        return {tuple(int(x) for x in row): p for row, p in zip(counts, law) if p > 1e-15}

    # A clone copies the genotype, slots in order: never its mirror 1212.
    assert after(chains.Way(1, cloning=1.0)) == {keys["2121"]: pytest.approx(1.0)}
    # Selfed, two meioses (the lone parent outcrossed to itself is the same):
    # 2121 again with ((1 - r)/2)^2, 2222 with ((1 - r)/2)^2.
    for way in (chains.Way(1, selfing=1.0), chains.Way(1)):
        law = after(way)
        assert law[keys["2121"]] == pytest.approx(((1 - r) / 2) ** 2)
        assert law[keys["2222"]] == pytest.approx(((1 - r) / 2) ** 2)
        assert law[keys["2112"]] == pytest.approx((r / 2) ** 2)
    # One gamete twice: homozygous offspring only.
    law = after(chains.Way(1, selfing=1.0, selfing_meioses=1))
    assert law[keys["2222"]] == pytest.approx((1 - r) / 2)
    assert keys["2121"] not in law
    # Half clones, half selfed: the mixture; s alone would select more.
    law = after(chains.Way(1, cloning=0.5, selfing=1.0))
    assert law[keys["2121"]] == pytest.approx(0.5 + 0.5 * ((1 - r) / 2) ** 2)
    # Two sizes: a parent of 1 gives 3 offspring, each a clone with 1/2.
    (counts, law), = chains.history_distributions(m, start, [chains.Way(3, cloning=0.5)])
    three = tuple(int(x) for x in population(g2121=3)[m.classes])
    p_one = 0.5 + 0.5 * ((1 - r) / 2) ** 2
    assert dict(zip(map(lambda row: tuple(int(x) for x in row), counts), law))[three] == \
        pytest.approx(p_one ** 3)


def test_clones_are_drawn_by_fitness():
    m = model(2, (1, 2), (1,), fitness=[3.0 if g == chains.index(2, 1, 1, 1) else 1.0
                                        for g in range(chains.GENOTYPES)], rule=chains.EXACT)
    start = population(g1111=1, g2111=1)
    (counts, law), = chains.history_distributions(m, start, [chains.Way(1, cloning=1.0)])
    found = {tuple(int(x) for x in row): p for row, p in zip(counts, law) if p > 0}
    assert found[tuple(int(x) for x in population(g2111=1)[m.classes])] == pytest.approx(0.75)
    (counts, law), = chains.history_distributions(
        m, start, [chains.Way(1, cloning=1.0, clone_weights="uniform")])
    found = {tuple(int(x) for x in row): p for row, p in zip(counts, law) if p > 0}
    assert found[tuple(int(x) for x in population(g2111=1)[m.classes])] == pytest.approx(0.5)


def test_heterozygosity_through_sizes_against_the_exact_chain():
    import history_checks
    m = model(3, (1, 2), (1,), rule=chains.EXACT)
    start = population(g1111=1, g2211=1, g2111=1)
    sizes = [2, 4, 3, 1, 3]
    found = chains.history_distributions(m, start, [chains.Way(n) for n in sizes])
    H0 = history_checks.heterozygosity(start, 3)
    expected = history_checks.expected_heterozygosity(H0, sizes)
    for (counts, law), n, value in zip(found, sizes, expected):
        assert law @ history_checks.heterozygosity(full(m, counts), n) == pytest.approx(value)


@pytest.mark.parametrize("selfing", [0.0, 0.4, 1.0])
def test_identity_recursion_against_the_exact_chain(selfing):
    import history_checks
    u, N = 0.1, 3
    mutation = np.array([[1 - u, u, 0], [u, 1 - u, 0], [0, 0, 1]])
    m = model(N, (1, 2), (1,), mutation, rule=chains.EXACT)
    start = population(g2111=2, g2211=1)
    f0, g0 = history_checks.identities(start, N)
    path = history_checks.identity_path(f0, g0, N, selfing, u, 4)
    found = chains.history_distributions(m, start, [chains.Way(N, selfing=selfing)] * 4)
    for (counts, law), (f, g) in zip(found, path):
        within, between = history_checks.identities(full(m, counts), N)
        assert (law @ within, law @ between) == pytest.approx((f, g), abs=1e-12)
    # The equilibrium is the recursion's fixed point; for large N and small u
    # it tends to s / (2 - s), and s = 0 keeps F = 0 (chance selfing 1/N).
    f, g, F = history_checks.identity_equilibrium(N, selfing, u)
    assert history_checks.identity_step(f, g, N, selfing, u) == pytest.approx((f, g))
    assert history_checks.identity_equilibrium(10 ** 6, selfing, 1e-9)[2] == pytest.approx(
        selfing / (2 - selfing), abs=1e-5)
    if selfing == 0:
        assert F == pytest.approx(0, abs=1e-12)
        assert history_checks.identity_equilibrium(N, 0, u, replacement=False)[2] < -0.05


@pytest.mark.parametrize("cloning", [0.0, 0.5, 0.9])
def test_ld_recursion_under_cloning_against_the_exact_chain(cloning):
    import history_checks
    import theory_checks
    N, r = 2, 0.2
    m = model(N, (1, 2), (1, 2), rule=chains.EXACT, r=r)
    for start in (population(g2222=1, g1111=1), population(g2121=1, g1212=1),
                  population(g2112=1, g2222=1)):
        D0, Dx0 = (theory_checks.disequilibrium(start, N),
                   history_checks.cross_disequilibrium(start, N))
        path = history_checks.ld_path(D0, Dx0, N, r, cloning, 4)
        found = chains.history_distributions(m, start, [chains.Way(N, cloning=cloning)] * 4)
        for (counts, law), D in zip(found, path):
            assert law @ theory_checks.disequilibrium(full(m, counts), N) == pytest.approx(
                D, abs=1e-12)
    # Without cloning, from homozygous individuals: the ld-decay check's formula.
    assert history_checks.ld_path(0.25, 0.25, 50, r, 0.0, 5) == pytest.approx(
        [theory_checks.ld_mean(t, r, 50, 0.25) for t in range(1, 6)])


def test_demes_sizes_written_from_the_formula():
    import history_checks as h
    assert [h.half_up(x) for x in (0.5, 1.49999, 2.5, 7155.5, 3.0)] == [1, 1, 3, 7156, 3]
    assert h.half_up(0.49999999999999994) == 0
    epochs, generation_time, start = h.resolved_example("zigzag")
    # The run with the default burn-in starts 34134 + 10 x 7156 generations before 0.
    assert h.run_start(epochs, generation_time, start, None) == 34134 + 71560
    rows, before = h.schedule(epochs, 34136, 34136)
    assert before == 7156
    # t = 34133 is below the epoch end 34133.31: the exponential epoch has begun.
    t, N, _, _ = rows[2]
    assert t == 34133 and N == round(7156 * math.exp(math.log(10) * 0.31 / (34133.31 - 8533.33)))
    assert rows[1][1] == 7156 and rows[-1][1] == 71560
    # Linear epochs: 10 + (48 - t)/2 on halves, rounded up.
    rows, _ = h.schedule(h.LINEAR, 48, 48)
    assert [N for _, N, _, _ in rows[:4]] == [11, 11, 12, 12]  # 10.5, 11, 11.5, 12
    # Years: epoch ends divided by the generation time.
    assert h.epoch_at(h.YEARS, 100.0, 29.0)[0] == 2  # 2900.5 / 29 = 100.017 > 100
    assert h.epoch_at(h.YEARS, 101.0, 29.0)[0] == 1


def test_history_batch_files_and_records(tmp_path):
    import history_checks
    import sim
    epochs = [history_checks.demes_epoch(3.5, 4, selfing_rate=0.5),
              history_checks.demes_epoch(0, 4, 9, "linear", cloning_rate=0.25)]
    demography = sim.write_demography(tmp_path / "model.yaml", epochs)
    done = subprocess.run([str(BUILD / "twolocus-sim"), "--demography", demography, "--resolve"],
                          capture_output=True, text=True)
    assert done.returncode == 0, done.stdout
    resolved = json.loads(done.stdout)["demes"][0]["epochs"]
    assert [{key: e[key] for key in epochs[0]} for e in resolved] == epochs
    ctx = harness.Context(BUILD, tmp_path, 1)
    sim.batch(ctx, tmp_path, "run", engine="exact", fitness=NEUTRAL, demography=demography,
              generations=6, replicates=3, seed=5, record_every=1, trajectories=True)
    counts, labels = sim.replicate_records(tmp_path, "run", 3)
    rows, _ = history_checks.schedule(epochs, 6, 6)
    assert list(labels) == list(range(6))
    assert (counts.sum(axis=2) == [N for _, N, _, _ in rows]).all()  # 4 4 4 5 6 8... as written
    # The same counts as the line-by-line reader of the theory checks.
    assert (theory_checks.read_counts(tmp_path / "run.runs" / "replicate-2") == counts[2]).all()


def test_runner_lists_the_history_checks():
    done = subprocess.run([str(REPOSITORY / "verification" / "run"), "--list"],
                          capture_output=True, text=True)
    listed = {line.split()[0]: line.split()[1] for line in done.stdout.splitlines()}
    assert {name: listed.get(name) for name in (
        "history-chain", "bottleneck-heterozygosity", "selfing-inbreeding", "cloning-ld",
        "demes-sizes", "selfing-inbreeding-large", "cloning-ld-grid", "demes-sizes-zigzag")} == {
        "history-chain": "quick", "bottleneck-heterozygosity": "quick",
        "selfing-inbreeding": "quick", "cloning-ld": "quick", "demes-sizes": "quick",
        "selfing-inbreeding-large": "full", "cloning-ld-grid": "full",
        "demes-sizes-zigzag": "full"}


def test_dominance_diffusion_against_closed_forms():
    """Kimura's integral with dominance: the genic closed form at h = 1/2
    (selection-fixation's formula with half the s), p at s = 0, the
    symmetry u_{s,h}(p) = 1 - u_{-s,1-h}(1 - p) of swapping the alleles
    (fitnesses 1, 1 + hs, 1 + s over 1 + s are those of allele 1 with -s
    and 1 - h, to first order), and very strong selection without overflow."""
    N = 100
    for s in (-0.02, 0.004, 0.03):
        for p in (0.01, 0.1, 0.7):
            assert coefficient_checks.kimura_dominance(p, N, s, 0.5) == pytest.approx(
                theory_checks.kimura_1962(p, N, s / 2), rel=1e-8)
            for h in (0.0, 0.2, 1.0):
                swapped = 1 - coefficient_checks.kimura_dominance(1 - p, N, -s, 1 - h)
                assert coefficient_checks.kimura_dominance(p, N, s, h) == pytest.approx(
                    swapped, rel=1e-7)
    assert coefficient_checks.kimura_dominance(0.3, N, 0.0, 0.0) == 0.3
    assert 0.9 < coefficient_checks.kimura_dominance(0.3, 1000, 1.0, 0.0) <= 1
    assert 0 <= coefficient_checks.kimura_dominance(0.3, 1000, -1.0, 1.0) < 1e-100

