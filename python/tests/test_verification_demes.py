"""The references of verification/'s checks of several demes, on their own:
the documented plan of a generation (existence, ancestors, migration and
pulses by hand), the chain of several demes against the one-deme chain and
against hand-worked offspring, the recursion of identities in state against
that chain, the balance recursion against the chain's expectation, and the
checks' small helpers (the fitness table of one locus, the pulse shares,
the records a run writes)."""

import math
import subprocess
import sys

import numpy as np
import pytest

from conftest import BUILD, REPOSITORY

sys.path.insert(0, str(REPOSITORY / "verification"))
import chains  # noqa: E402
import demes_chains  # noqa: E402
import demes_checks  # noqa: E402
import demes_models  # noqa: E402
import harness  # noqa: E402

NEUTRAL = np.ones(chains.GENOTYPES)
BACK = np.array([[0.8, 0.2, 0], [0.1, 0.9, 0], [0, 0, 1]])


def structure(demes, migrations=(), pulses=()):
    return demes_models.structure_of({"time_units": "generations", "demes": [
        demes_checks.resolved_deme(d) for d in demes], "migrations": [
        demes_checks.resolved_migration(m) for m in migrations], "pulses": list(pulses)})


def population(**labels):
    counts = np.zeros(chains.GENOTYPES, dtype=np.int64)
    for name, count in labels.items():
        counts[chains.index(*map(int, name[1:]))] = count
    return counts


def one_locus(n, fitness=NEUTRAL, mutation=np.eye(3), alleles=(1, 2)):
    return chains.Model(n, alleles, (1,), mutation, np.eye(3), np.asarray(fitness, float),
                        rule=chains.EXACT)


# ---------------------------------------------------------------- the plan of a generation

def test_existence_ancestors_migration_and_pulses_by_hand():
    deme = demes_checks.deme
    s = structure([deme("A", [(0, 2)]), deme("B", [(1.5, 4)]),
                   deme("C", [(0, 3)], start_time=2.5, ancestors=["A", "B"],
                        proportions=[0.4, 0.6])],
                  [{"source": "A", "dest": "C", "rate": 0.25, "start_time": 2.5},
                   {"source": "C", "dest": "A", "rate": 0.2, "start_time": 2.5}],
                  [{"sources": ["C"], "dest": "A", "proportions": [0.5], "time": 1.2},
                   {"sources": ["B"], "dest": "A", "proportions": [0.1], "time": 2}])
    plans = {t: demes_models.plan(s, t) for t in (3, 2, 1, 0)}
    # B exists for t >= 1.5, C for t < 2.5 (from t = 2, its first generation).
    assert [[g.exists for g in plans[t]] for t in (3, 2, 1, 0)] == [
        [True, True, False], [True, True, True], [True, False, True], [True, False, True]]
    assert plans[2][2].sources == [(0, 0.4), (1, 0.6)]
    # A at t = 2: migration from C (its start is 2.5) and the pulse from B of
    # time 2, acting at ceil(2) - 1 = 1? No: at t = 1; at t = 2 only migration.
    assert dict(plans[2][0].sources) == pytest.approx({0: 0.8, 2: 0.2})
    # t = 1: the pulses of time 1.2 and 2 both act (ceil(T) - 1 = 1), in the
    # model's order, each scaling what was there.
    expected = {0: 0.8 * 0.5 * 0.9, 2: (0.2 * 0.5 + 0.5) * 0.9, 1: 0.1}
    assert dict(plans[1][0].sources) == pytest.approx(expected)
    assert dict(plans[0][0].sources) == pytest.approx({0: 0.8, 2: 0.2})
    assert dict(plans[1][2].sources) == pytest.approx({2: 0.75, 0: 0.25})
    # The fault the checks reject: the pulse taken from the deme's own share.
    unscaled = demes_models.plan(s, 1, ("pulse unscaled",))
    assert dict(unscaled[0].sources) == pytest.approx({0: 0.8 - 0.5 - 0.1, 2: 0.7, 1: 0.1})


def test_sizes_by_the_size_functions_and_the_rounding_rule():
    assert [demes_models.half_up(x) for x in (0.5, 1.49999999, 2.5, 2.4999999999999996)] == \
        [1, 1, 3, 2]
    s = demes_models.structure_of({"time_units": "years", "generation_time": 2, "demes": [
        {"name": "X", "start_time": "Infinity", "epochs": [
            {"end_time": 20, "start_size": 10, "end_size": 10, "size_function": "constant"},
            {"end_time": 10, "start_size": 10, "end_size": 40, "size_function": "exponential"},
            {"end_time": 0, "start_size": 40, "end_size": 20, "size_function": "linear"}]}]})
    x = s.demes[0]
    # Times in generations: the exponential epoch spans [5, 10), the linear [0, 5).
    assert demes_models.size_at(x, 10) == 10
    assert demes_models.size_at(x, 9) == demes_models.half_up(10 * 4 ** 0.2)  # 13.2 -> 13
    assert demes_models.size_at(x, 6) == demes_models.half_up(10 * 4 ** 0.8)  # 30.3 -> 30
    assert demes_models.size_at(x, 4) == 36  # 40 - 20 * 1/5
    assert demes_models.size_at(x, 0) == 20
    assert demes_models.oldest_time(s) == 10
    assert demes_models.start_after_burn_in(s, 3) == 13
    tiny = demes_models.structure_of({"time_units": "generations", "demes": [
        {"name": "Y", "start_time": "Infinity", "epochs": [
            {"end_time": 3, "start_size": 5, "end_size": 5, "size_function": "constant"},
            {"end_time": 0, "start_size": 0.1, "end_size": 0.1, "size_function": "constant"}]}]})
    assert demes_models.refusal(tiny, 10, 6) is None  # the run ends before t = 2
    assert demes_models.refusal(tiny, 10, 8)[0] == "Y"


def test_record_labels_and_expected_records():
    assert demes_checks.record_labels(10, 3) == [(0, 0), (3, 3), (6, 6), (9, 9), (10, 9)]
    assert demes_checks.record_labels(9, 3) == [(0, 0), (3, 3), (6, 6)]
    deme = demes_checks.deme
    s = structure([deme("A", [(0, 5)]), deme("B", [(4, 3)]),
                   deme("C", [(0, 2)], start_time=5, ancestors=["A"], proportions=[1])])
    found = demes_checks.expected_records(s, 10, 10, 3)
    assert found == {"A": {0: 5, 3: 5, 6: 5, 9: 5, 10: 5}, "B": {0: 3, 3: 3},
                     "C": {6: 2, 9: 2, 10: 2}, "": {0: 8, 3: 8, 6: 7, 9: 7, 10: 7}}


# ---------------------------------------------------------------- the chain of several demes

def test_one_deme_is_the_classic_chain_and_two_apart_are_independent():
    fitness = NEUTRAL.copy()
    fitness[chains.index(2, 1, 1, 1)] = 1.5
    fitness[chains.index(2, 2, 1, 1)] = 0.4
    three = one_locus(3, fitness, BACK)
    _, laws = chains.distributions(three, population(g1111=3), 3)
    alone = [[demes_models.DemeGeneration(True, 3, [(0, 1.0)])]] * 3
    found, _ = demes_chains.history_laws(three, [3], [None], alone)
    for (_, law), classic in zip(found, laws):
        assert np.allclose(law, classic, atol=1e-14)
    _, small = chains.distributions(one_locus(2, fitness, BACK), population(g1111=2), 3)
    apart = [[demes_models.DemeGeneration(True, 2, [(0, 1.0)]),
              demes_models.DemeGeneration(True, 3, [(1, 1.0)])]] * 3
    found, _ = demes_chains.history_laws(three, [2, 3], [None, None], apart)
    for (_, law), a, b in zip(found, small, laws):
        assert np.allclose(law, np.outer(a, b), atol=1e-14)


def test_offspring_by_hand_clone_self_outcross_and_sources():
    m = one_locus(1)
    het = population(g2111=1)[m.classes]
    classes = [chains.alleles(g)[:2] for g in m.classes]  # (1,1) (2,1) (1,2) (2,2)
    quarter = [0.25] * 4
    assert demes_chains.offspring_law(m, [(1.0, het, None)], cloning=1).tolist() == [0, 1, 0, 0]
    assert demes_chains.offspring_law(m, [(1.0, het, None)], selfing=1) == pytest.approx(quarter)
    assert demes_chains.offspring_law(m, [(1.0, het, None)]) == pytest.approx(quarter)
    # Two sources, 1111 and 2211: both parents from one source, so no
    # heterozygote; each parent from its own source gives them.
    ones, twos = population(g1111=1)[m.classes], population(g2211=1)[m.classes]
    q = demes_chains.offspring_law(m, [(0.3, ones, None), (0.7, twos, None)])
    assert q == pytest.approx([0.3, 0, 0, 0.7])
    q = demes_chains.offspring_law(m, [(0.3, ones, None), (0.7, twos, None)],
                                   faults=("parents apart",))
    assert q == pytest.approx([0.09, 0.21, 0.21, 0.49])
    assert classes[1] == (2, 1)
    # A source without parents gives none: the others take its share; none at all: None.
    empty = np.zeros(4, dtype=np.int64)
    q = demes_chains.offspring_law(m, [(0.5, empty, None), (0.5, twos, None)])
    assert q == pytest.approx([0, 0, 0, 1])
    assert demes_chains.offspring_law(m, [(1.0, empty, None)]) is None
    # Weights are count x the source's fitness.
    fitness = NEUTRAL.copy()
    fitness[chains.index(2, 2, 1, 1)] = 3.0
    both = population(g1111=1, g2211=1)[m.classes]
    q = demes_chains.offspring_law(m, [(1.0, both, fitness)], cloning=1)
    assert q == pytest.approx([0.25, 0, 0, 0.75])


def test_a_deme_without_parents_in_its_sources_has_an_extinct_generation():
    m = one_locus(1)
    plan = [[demes_models.DemeGeneration(True, 1, [(0, 1.0)]),
             demes_models.DemeGeneration(True, 2, [(2, 1.0)]),
             demes_models.DemeGeneration(False)]]
    found, spaces = demes_chains.history_laws(m, [1, 0, 0], [None, None, None], plan)
    (_, law), = found
    row = demes_chains.state_index(spaces, 2, np.zeros(chains.GENOTYPES, dtype=int), m)
    assert law[0, row, 0] == pytest.approx(1.0)


# ---------------------------------------------------------------- identities in state

@pytest.mark.parametrize("D, N, K, m, u", [(2, 2, 3, 0.3, 0.05), (3, 2, 2, 0.4, 0.07)])
def test_identity_recursion_is_the_chains_expectation(D, N, K, m, u):
    alleles = (1, 2, 3) if K == 3 else (1, 2)
    matrix = np.eye(3)
    for i in range(K):
        for j in range(K):
            matrix[i, j] = u if i != j else 1 - (K - 1) * u
    model = one_locus(1, mutation=matrix, alleles=alleles)
    generation = [demes_models.DemeGeneration(
        True, N, [(d, 1 - m)] + [(e, m / (D - 1)) for e in range(D) if e != d])
        for d in range(D)]
    found, spaces = demes_chains.history_laws(model, [N] * D, [None] * D, [generation] * 5)
    counts = spaces.get(N)[1]
    copies = np.array([[chains.alleles(g)[:2].count(k) for k in alleles] for g in model.classes])
    frequency = counts @ copies / (2 * N)
    homozygous = counts @ np.array([chains.alleles(g)[0] == chains.alleles(g)[1]
                                    for g in model.classes]) / N
    reference = demes_chains.island_identities(N, D, m, u, K, 5)
    others = "".join("bc"[:D - 1])
    for t, (_, law) in enumerate(found):
        moments = demes_chains.frequency_moments(reference[t], N, D)
        J = np.einsum(f"a{others},ak,ak->", law, frequency, frequency)
        B = np.einsum(f"ab{others[1:]},ak,bk->", law, frequency, frequency)
        I = np.einsum(f"a{others},a->", law, homozygous)
        assert (J, B, I) == pytest.approx((moments["J"][0], moments["B"][0], moments["I"][0]),
                                          abs=1e-12)


def test_identity_equilibrium_is_the_fixed_point_and_one_population_alone():
    state = demes_chains.island_equilibrium(20, 3, 0.05, 0.002, 3)
    assert demes_chains.island_step(tuple(state), 20, 3, 0.05, 0.002, 3) == pytest.approx(state)
    # Without migration each deme is one Wright-Fisher population of 2N
    # copies: G' = 1/2N + (1 - 1/2N)(lambda^2 G + (1 - lambda^2)/K).
    N, u, K = 20, 0.002, 3
    lam2 = (1 - K * u) ** 2
    g = (1 / (2 * N) + (1 - 1 / (2 * N)) * (1 - lam2) / K) / (1 - (1 - 1 / (2 * N)) * lam2)
    I, W, B = demes_chains.island_equilibrium(N, 3, 0.0, u, K)
    assert (I, W) == pytest.approx((g, g))
    assert B == pytest.approx(1 / K)
    moments = demes_chains.frequency_moments([I, W, B], N, 3)
    assert moments["FST"][0] > 0 and moments["HT"][0] > moments["HS"][0]


def test_island_statistics_of_hand_made_demes():
    fixed = {d: np.array([[population(**{f"g{k}{k}11": 10})]]) for d, k in zip("AB", (1, 2))}
    hs, ht, fst, homozygous = demes_checks.island_statistics(fixed, ["A", "B"])
    assert (hs[0, 0], ht[0, 0], fst[0, 0], homozygous[0, 0]) == (0.0, 0.5, 1.0, 1.0)
    alike = {d: np.array([[population(g2111=5, g1111=5)]]) for d in "AB"}
    hs, ht, fst, homozygous = demes_checks.island_statistics(alike, ["A", "B"])
    assert fst[0, 0] == pytest.approx(0.0) and homozygous[0, 0] == 0.5
    ratio, se = demes_checks.ratio_se(np.array([1.0, 2.0, 3.0]), np.array([2.0, 4.0, 6.0]))
    assert (ratio, se) == (pytest.approx(0.5), pytest.approx(0.0, abs=1e-12))


# ---------------------------------------------------------------- migration-selection balance

def test_balance_step_is_the_chains_expectation():
    # Two demes of 2, no mutation, genotypic fitness and migration: the
    # expected genotype frequencies of the offspring given the parents are
    # the deterministic recursion's step.
    w = (1.0, 0.6, 0.95)
    fitness = demes_checks.one_locus_fitness(w)
    model = one_locus(1, fitness)
    generation = [demes_models.DemeGeneration(True, 2, [(0, 0.7), (1, 0.3)]),
                  demes_models.DemeGeneration(True, 2, [(1, 0.9), (0, 0.1)])]
    starts = [population(g1111=1, g2111=1), population(g2211=1, g1211=1)]
    found, spaces = demes_chains.history_laws(model, [2, 2], starts, [generation])
    (_, law), = found
    counts = spaces.get(2)[1]
    kind = np.array([[g == chains.index(1, 1, 1, 1), chains.alleles(g)[0] != chains.alleles(g)[1],
                      g == chains.index(2, 2, 1, 1)] for g in model.classes], dtype=float)
    genotypes = counts @ kind / 2
    expected = [np.einsum("ab,ak->k", law, genotypes), np.einsum("ab,bk->k", law, genotypes)]
    step = demes_chains.balance_step(np.array([[0.5, 0.5, 0], [0, 0.5, 0.5]]),
                                     np.array([w, w]), np.array([[0.7, 0.3], [0.1, 0.9]]))
    assert np.allclose(expected, step, atol=1e-12)


def test_balance_equilibrium_and_its_faults():
    w = np.array([[1.0, 0.6, 0.95]] * 2)
    migration = np.array([[0.98, 0.02], [0.02, 0.98]])
    start = np.array([[1.0, 0, 0], [0, 0, 1.0]])
    found, radius, _ = demes_chains.balance_equilibrium(start, w, migration)
    assert np.allclose(demes_chains.balance_step(found, w, migration), found, atol=1e-14)
    assert radius < 1
    x = found[:, 0] + found[:, 1] / 2
    assert x == pytest.approx([0.93350, 0.08046], abs=1e-5)
    # Neutral: the allele frequencies mix linearly.
    ones = np.ones((2, 3))
    step = demes_chains.balance_step(np.array([[0.2, 0.4, 0.4], [0.5, 0.0, 0.5]]), ones,
                                     migration)
    assert step[:, 0] + step[:, 1] / 2 == pytest.approx(migration @ [0.4, 0.5])
    # Opposite selection in the two demes (each deme's own table): the
    # symmetric model's equilibrium is symmetric.
    opposite = np.array([[1.1, 1.05, 1.0], [1.0, 1.05, 1.1]])
    found, radius, _ = demes_chains.balance_equilibrium(np.array([[0.25, 0.5, 0.25]] * 2),
                                                        opposite, migration)
    x = found[:, 0] + found[:, 1] / 2
    assert x[0] == pytest.approx(1 - x[1]) and x[0] > 0.5 and radius < 1


def test_one_locus_fitness_and_pulse_shares():
    fitness = demes_checks.one_locus_fitness((1.0, 0.6, 0.95))
    for label, value in (("1111", 1.0), ("2111", 0.6), ("1211", 0.6), ("2211", 0.95),
                         ("2213", 0.95), ("3111", 1.0)):
        assert fitness[chains.index(*map(int, label))] == value
    shares = demes_checks.two_pulse_shares()
    assert shares == pytest.approx([0.8 * 0.75 * 0.6, (0.2 * 0.75 + 0.25) * 0.6, 0.4])
    assert demes_checks.two_pulse_shares(("order reversed",)) == pytest.approx(
        [0.36, 0.2 * 0.6 * 0.75 + 0.25, 0.4 * 0.75])
    assert demes_checks.homozygote_of(population(g2211=1)) == 2
    assert demes_checks.homozygote_of(population(g2111=1)) is None
    assert demes_checks.homozygote_of(population(g1111=2)) is None


def test_runner_lists_the_demes_checks():
    done = subprocess.run([str(REPOSITORY / "verification" / "run"), "--list"],
                          capture_output=True, text=True)
    names = {line.split()[0]: line for line in done.stdout.splitlines()}
    for name in ("demes-chain", "demes-fst", "demes-pulse", "demes-balance", "demes-local",
                 "demes-sizes"):
        assert " quick " in names[name]
        assert " full " in names[f"{name}-large" if name != "demes-sizes" else "demes-sizes-all"]


def test_a_demes_batch_writes_each_deme_of_each_replicate(tmp_path):
    ctx = harness.Context(BUILD, tmp_path, 1)
    deme = demes_checks.deme
    model = demes_models.write_model(tmp_path / "m.json", [deme("A", [(0, 3)]),
                                                           deme("B", [(2, 2)])])
    demes_checks.demes_batch(ctx, tmp_path, "b", engine="exact", model=model, generations=4,
                             replicates=3)
    series, labels = demes_checks.deme_series(tmp_path, "b", 3, ["A", "B"])
    assert labels["A"].tolist() == [0, 1, 2, 3] and labels["B"].tolist() == [0, 1]
    assert (series["A"].sum(axis=2) == 3).all() and (series["B"].sum(axis=2) == 2).all()
    assert math.isclose(demes_checks.frequencies_a(series["A"])[..., 0].min(), 1.0)
