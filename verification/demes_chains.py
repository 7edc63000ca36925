"""Exact references for several demes, written from the model as
twolocus-sim documents it (see demes_models.py for the plan of a
generation), not from the engines' code.

- history_laws: the exact Markov chain of tiny demes, the joint law of all
  demes' populations after each generation.
- offspring_law: the law of one offspring's ordered genotype given its
  source demes' parents, the ways (clone, selfed, outcrossed) of its deme.
- island_identities: the recursion of identity-in-state probabilities of
  the neutral Wright-Fisher island model with symmetric mutation among K
  alleles, and what they give for the demes' allele frequencies.
- balance_step / balance_equilibrium: the deterministic recursion of one
  locus in several demes (selection in each deme, migration of parents,
  random union within each source) and its equilibrium.
"""

import math

import numpy as np

import chains

# ---------------------------------------------------------------- one offspring


def gamete_laws(model):
    """For each of the model's classes, the 3 x 3 law of one gamete
    (allele at a, allele at b) a parent of that class passes: each of its
    haplotypes (slots 1 and 3, 2 and 4) with (1 - r) / 2, each recombinant
    with r / 2."""
    r = model.r
    laws = np.zeros((len(model.classes), 3, 3))
    for k, g in enumerate(model.classes):
        a1, a2, b1, b2 = chains.alleles(g)
        laws[k, a1 - 1, b1 - 1] += (1 - r) / 2
        laws[k, a2 - 1, b2 - 1] += (1 - r) / 2
        laws[k, a1 - 1, b2 - 1] += r / 2
        laws[k, a2 - 1, b1 - 1] += r / 2
    return laws


def class_slots(model):
    """Each class's (a1 - 1, b1 - 1) and (a2 - 1, b2 - 1): the haplotypes
    of its slots 1 and 3 and of its slots 2 and 4."""
    first = np.array([(chains.alleles(g)[0] - 1, chains.alleles(g)[2] - 1) for g in model.classes])
    second = np.array([(chains.alleles(g)[1] - 1, chains.alleles(g)[3] - 1) for g in model.classes])
    return first, second


def shares(model, counts, fitness=None):
    """A deme's parents' shares by class under the exact rule (count x
    fitness, over the total), or None when the total weight is 0."""
    fitness = model.fitness if fitness is None else fitness
    weights = np.asarray(counts, dtype=float) * np.maximum(
        np.array([fitness[g] for g in model.classes], dtype=float), 0)
    total = weights.sum()
    if total <= 0:
        return None
    return weights / total


def offspring_law(model, sources, cloning=0.0, selfing=0.0, faults=()):
    """Takes the model (classes, r, exact weights), the sources of one
    offspring [(probability, class counts of that deme's parents after
    mutation, its fitness by genotype index or None for the model's)] and
    the offspring deme's cloning and selfing rates; returns the probability
    of each class for one offspring: from source s with its probability, a
    clone of a parent drawn by weight with probability c, selfed (two
    gametes of one such parent) with (1 - c) sigma, otherwise outcrossed
    (two parents drawn independently, with replacement, both of source s).

    A source whose parents all weigh 0 (a deme in its first generation has
    none) gives none: the others take its probability in proportion to
    theirs, and when no source has parents the result is None (the deme
    has no offspring).

    `faults` names deliberate departures the checks must reject:
    "parents apart" (each parent of an outcrossed offspring draws its own
    source)."""
    laws = gamete_laws(model)
    first, second = class_slots(model)
    total = np.zeros(len(model.classes))
    pooled = np.zeros((3, 3))
    weighed = [(p, shares(model, counts, fitness)) for p, counts, fitness in sources]
    weighed = [(p, w) for p, w in weighed if w is not None and p > 0]
    if not weighed:
        return None
    given = sum(p for p, _ in weighed)
    for probability, w in weighed:
        probability /= given
        gamete = np.tensordot(w, laws, axes=1)
        out = gamete[first[:, 0], first[:, 1]] * gamete[second[:, 0], second[:, 1]]
        selfed = (w[:, None] * laws[:, first[:, 0], first[:, 1]]
                  * laws[:, second[:, 0], second[:, 1]]).sum(axis=0)
        total += probability * (cloning * w + (1 - cloning) * selfing * selfed)
        if "parents apart" in faults:
            pooled += probability * gamete
        else:
            total += probability * (1 - cloning) * (1 - selfing) * out
    if "parents apart" in faults:
        total += (1 - cloning) * (1 - selfing) * (
            pooled[first[:, 0], first[:, 1]] * pooled[second[:, 0], second[:, 1]])
    if abs(total.sum() - 1) > 1e-12:
        raise ValueError("an offspring falls outside the chain's classes")
    return total


# ---------------------------------------------------------------- the chain of several demes


class Spaces:
    """The state spaces of one deme's population by size: for N > 0 the
    multisets of N individuals over the model's classes and the extinct
    state (chains.state_space), for N = 0 (the deme does not exist) one
    empty state; with their class counts and mutation kernels."""

    def __init__(self, model):
        self.model = model
        self.found = {}
        self.rows = {}

    def row_of(self, size, kept):
        """The row of the state with class counts `kept` (a tuple), or None."""
        if size not in self.rows:
            self.rows[size] = chains.lookup(self.get(size)[1])
        return self.rows[size].get(kept)

    def get(self, size):
        if size not in self.found:
            if size == 0:
                counts = np.zeros((1, len(self.model.classes)), dtype=np.int64)
                self.found[size] = ([()], counts, np.ones((1, 1)))
            else:
                sized = chains.Model(size, self.model.alleles_a, self.model.alleles_b,
                                     self.model.mutation_a, self.model.mutation_b,
                                     self.model.fitness, rule=chains.EXACT, r=self.model.r)
                states, counts = chains.state_space(sized)
                self.found[size] = (states, counts, chains.mutation_kernel(sized, states))
        return self.found[size]


def multinomial_rows(counts, q):
    """The multinomial law of N offspring over the states `counts` (states
    x classes; N the largest row sum, rows of other sums, such as the
    extinct state, get 0) under class probabilities q."""
    sums = counts.sum(axis=1)
    n = int(sums.max())
    log_coefficient = math.lgamma(n + 1) - np.array(
        [sum(math.lgamma(x + 1) for x in row) for row in counts])
    log_q = np.where(q > 0, np.log(np.where(q > 0, q, 1)), -np.inf)
    with np.errstate(invalid="ignore"):
        terms = np.where(counts > 0, counts * log_q, 0.0)
    return np.where(sums == n, np.exp(terms.sum(axis=1) + log_coefficient), 0.0)


def history_laws(model, start_sizes, start_populations, plans, fitness_of=None, faults=()):
    """Takes a chain model (classes, mutation matrices, fitness, r; exact
    weights), each deme's size before generation 0 and its 81 starting
    counts (None: all 1111; a deme of size 0 does not exist), and the plan
    of each generation (a list per generation of demes_models.DemeGeneration).
    fitness_of[d] (optional) is deme d's fitness by genotype index.
    `faults` as for offspring_law, and "source ways" (an offspring cloned
    or selfed at the rates of its parents' deme, not of its own).
    Returns [(sizes, law)] after each generation: the sizes of the demes'
    spaces and the joint law, an array with one axis per deme (axis d of
    length len(Spaces.get(sizes[d])[0]))."""
    spaces = Spaces(model)
    demes = len(start_sizes)
    fitness_of = fitness_of or [None] * demes
    sizes = list(start_sizes)
    where = []
    for d in range(demes):
        states, counts, _ = spaces.get(sizes[d])
        if sizes[d] == 0:
            where.append(0)
            continue
        population = start_populations[d]
        if population is None:
            population = np.zeros(chains.GENOTYPES, dtype=np.int64)
            population[0] = sizes[d]
        kept = np.asarray(population)[model.classes]
        if kept.sum() != np.asarray(population).sum() or kept.sum() != sizes[d]:
            raise ValueError(f"deme {d}'s start is not a state of its space")
        rows = chains.lookup(counts)
        where.append(rows[tuple(int(x) for x in kept)])
    law = np.zeros([len(spaces.get(s)[0]) for s in sizes])
    law[tuple(where)] = 1.0
    found = []
    for generation in plans:
        # Mutation: every deme's individuals on their own.
        for d in range(demes):
            kernel = spaces.get(sizes[d])[2]
            law = np.moveaxis(np.tensordot(law, kernel, axes=([d], [0])), -1, d)
        new_sizes = [g.size if g.exists else 0 for g in generation]
        shape = law.shape
        flat = law.ravel()
        live = np.flatnonzero(flat > 0)
        rows = []
        for d, g in enumerate(generation):
            new_counts = spaces.get(new_sizes[d])[1]
            matrix = np.zeros((len(live), len(new_counts)))
            if not g.exists:
                matrix[:, 0] = 1.0
                rows.append(matrix)
                continue
            # A deme's offspring depend only on its sources' states.
            indices = np.unravel_index(live, shape)
            keys = np.column_stack([indices[s] for s, _ in g.sources])
            unique, inverse = np.unique(keys, axis=0, return_inverse=True)
            laws = np.zeros((len(unique), len(new_counts)))
            for u, key in enumerate(unique):
                sources = [(p, spaces.get(sizes[s])[1][i], fitness_of[s])
                           for (s, p), i in zip(g.sources, key)]
                if "source ways" in faults:
                    parts = [(p, offspring_law(model, [(1.0, c, f)], generation[s].cloning,
                                               generation[s].selfing))
                             for (p, c, f), (s, _) in zip(sources, g.sources)]
                    parts = [(p, q) for p, q in parts if q is not None]
                    q = sum(p * q for p, q in parts) / sum(p for p, _ in parts) if parts else None
                else:
                    q = offspring_law(model, sources, g.cloning, g.selfing, faults)
                if q is None:
                    laws[u, np.flatnonzero(new_counts.sum(axis=1) == 0)] = 1.0
                else:
                    laws[u] = multinomial_rows(new_counts, q)
            matrix = laws[np.ravel(inverse)]
            rows.append(matrix)
        letters = "abcdefghijklmnopqrstuvwxy"[:demes]
        subscripts = "z," + ",".join(f"z{c}" for c in letters) + "->" + letters
        law = np.einsum(subscripts, flat[live], *rows)
        sizes = new_sizes
        found.append((list(sizes), law))
    return found, spaces


def state_index(spaces, size, population, model):
    """The row of one deme's population (81 counts) in its space of that
    size, or None when it is not a state of it."""
    states, counts, _ = spaces.get(size)
    population = np.asarray(population)
    if size == 0:
        return 0 if population.sum() == 0 else None
    kept = population[model.classes]
    if kept.sum() != population.sum():
        return None
    return spaces.row_of(size, tuple(int(x) for x in kept))


# ---------------------------------------------------------------- the island model's identities


def island_step(state, N, D, m, u, K):
    """One generation of the identities (I, W, B) of the neutral island
    model: D demes of N diploids; an offspring's parents both come from its
    own deme with probability 1 - m and from each other deme with m / (D -
    1); each copy of the parents first mutates to each other allele with
    probability u (K alleles). I: the two copies of one individual are
    identical in state; W: two copies of two individuals of one deme; B:
    two copies of two demes."""
    I, W, B = state
    lam2 = (1 - K * u) ** 2

    def mutated(x):
        return lam2 * x + (1 - lam2) / K

    # Two copies drawn independently from the 2N copies of one deme's
    # mutated parents: the same copy, the other copy of one parent, or two
    # parents.
    same = 1 / (2 * N) + mutated(I) / (2 * N) + (1 - 1 / N) * mutated(W)
    alpha = (1 - m) ** 2 + m ** 2 / (D - 1)  # two offspring of one deme: one source
    beta = 2 * (1 - m) * m / (D - 1) + (D - 2) * m ** 2 / (D - 1) ** 2  # of two demes
    return (same, alpha * same + (1 - alpha) * mutated(B), beta * same + (1 - beta) * mutated(B))


def island_identities(N, D, m, u, K, generations, start=(1.0, 1.0, 1.0)):
    """The identities (I, W, B) after 1 .. generations generations, an
    array (generations, 3), from `start` (all copies alike: 1, 1, 1)."""
    state = start
    found = []
    for _ in range(generations):
        state = island_step(state, N, D, m, u, K)
        found.append(state)
    return np.array(found)


def island_equilibrium(N, D, m, u, K):
    """The fixed point of island_step (it is affine: solved directly)."""
    zero = np.array(island_step((0.0, 0.0, 0.0), N, D, m, u, K))
    matrix = np.column_stack([np.array(island_step(tuple(e), N, D, m, u, K)) - zero
                              for e in np.eye(3)])
    return np.linalg.solve(np.eye(3) - matrix, zero)


def frequency_moments(identities, N, D):
    """What the identities give for statistics of the demes' allele
    frequencies p_dk (each over its deme's 2N copies): E[sum_k p_dk^2]
    (J, two copies drawn with replacement from one deme), E[sum_k p_dk p_ek]
    = B (d != e), E[H_S] = 1 - J, E[H_T] = 1 - J / D - (1 - 1/D) B, the
    F_ST of these expectations (E[H_T] - E[H_S]) / E[H_T], and the
    homozygosity of individuals, I. Takes rows (I, W, B)."""
    identities = np.atleast_2d(identities)
    I, W, B = identities[:, 0], identities[:, 1], identities[:, 2]
    J = 1 / (2 * N) + I / (2 * N) + (1 - 1 / N) * W
    hs = 1 - J
    ht = 1 - J / D - (1 - 1 / D) * B
    return {"J": J, "B": B, "HS": hs, "HT": ht, "FST": (ht - hs) / ht, "I": I,
            "FST identity": (W - B) / (1 - B)}


# ---------------------------------------------------------------- migration-selection balance


def balance_step(genotypes, fitness, migration, faults=()):
    """One generation of the deterministic recursion of one locus with two
    alleles in D demes: `genotypes` (D, 3), each deme's frequencies of AA,
    Aa, aa among its parents; `fitness` (D, 3), each deme's genotypic
    fitnesses; `migration` (D, D), row d the probabilities that an
    offspring of deme d has its parents from each deme. Selection in each
    deme gives its parents' gametes (A with x_s = (w_AA P_AA + w_Aa P_Aa /
    2) / mean fitness); an offspring of d takes both gametes from one
    source s, so d's offspring are sum_s M[d, s] (x_s^2, 2 x_s (1 - x_s),
    (1 - x_s)^2). With the fault "parents apart" each gamete picks its own
    source: Hardy-Weinberg at the mixed frequency sum_s M[d, s] x_s."""
    genotypes = np.asarray(genotypes, dtype=float)
    fitness = np.asarray(fitness, dtype=float)
    weighted = genotypes * fitness
    x = (weighted[:, 0] + weighted[:, 1] / 2) / weighted.sum(axis=1)
    hardy = np.column_stack([x ** 2, 2 * x * (1 - x), (1 - x) ** 2])
    if "parents apart" in faults:
        y = np.asarray(migration) @ x
        return np.column_stack([y ** 2, 2 * y * (1 - y), (1 - y) ** 2])
    return np.asarray(migration) @ hardy


def balance_trajectory(genotypes, fitness, migration, generations, faults=()):
    """The frequency of A in each deme after 1 .. generations generations,
    (generations, D), and the genotype frequencies at the end."""
    found = []
    for _ in range(generations):
        genotypes = balance_step(genotypes, fitness, migration, faults)
        found.append(genotypes[:, 0] + genotypes[:, 1] / 2)
    return np.array(found), genotypes


def balance_equilibrium(genotypes, fitness, migration, faults=(), tolerance=1e-15,
                        most=1_000_000):
    """Iterates the recursion from `genotypes` until no frequency moves by
    more than `tolerance`; returns (the genotype frequencies there, the
    largest eigenvalue modulus of the recursion's Jacobian at that point,
    the generations taken). Raises when it does not settle."""
    for taken in range(most):
        following = balance_step(genotypes, fitness, migration, faults)
        if np.abs(following - genotypes).max() < tolerance:
            break
        genotypes = following
    else:
        raise ValueError("the recursion did not settle")
    return following, jacobian_radius(following, fitness, migration, faults), taken


def jacobian_radius(genotypes, fitness, migration, faults=()):
    """The spectral radius of the recursion's Jacobian at a point, over the
    genotype frequencies (AA and Aa of each deme; aa is the rest)."""
    D = len(genotypes)
    base = np.asarray(genotypes, dtype=float)

    def flat_step(v):
        g = v.reshape(D, 2)
        full = np.column_stack([g, 1 - g.sum(axis=1)])
        return balance_step(full, fitness, migration, faults)[:, :2].ravel()

    v0 = base[:, :2].ravel()
    h = 1e-7
    columns = []
    for k in range(len(v0)):
        e = np.zeros_like(v0)
        e[k] = h
        columns.append((flat_step(v0 + e) - flat_step(v0 - e)) / (2 * h))
    return float(np.abs(np.linalg.eigvals(np.column_stack(columns))).max())
