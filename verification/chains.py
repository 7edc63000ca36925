"""Exact Markov chains of the twolocus model for small populations.

Written from the model as the README documents it, not from the engines'
code. One generation is

1. mutation: each of an individual's four allele slots changes on its own,
   by the mutation matrix of its locus (row: allele held, column: allele
   after the generation's mutation; one change at most per generation);
2. selection and mating: every class gets a weight, either by the floor
   rule (floor(count x fitness), the fitness rounded to single precision,
   shares weight / total with the total rounded to single precision, and
   what the shares leave over is "no parent", which passes allele 1 at both
   loci) or by the exact rule (count x fitness, shares weight / total).
   A total weight of 0 is extinction. N offspring are drawn independently;
   each has two parents drawn with replacement by the shares, the first
   giving slots 1 and 3, the second slots 2 and 4. A parent passes one of
   its two haplotypes (slots 1 and 3, or 2 and 4) with probability
   (1 - r) / 2 each, and one of the two recombinants with r / 2 each.

The state is the multiset of the N ordered genotypes, that is the counts
over the classes that can occur (a chain keeps only the alleles it is given
at each locus), plus one extinct state. The distribution after t
generations is the start's unit vector times (mutation kernel x mating
kernel)^t, with both kernels as full matrices over the states.

Mutation probabilities are the ones given. The engines decide each step by
comparing one of 2^31 raw draw values with a probability, which moves every
probability by less than 10^-9; that is left out here.
"""

import itertools
import math
from dataclasses import dataclass, field

import numpy as np

GENOTYPES = 81
FLOOR, EXACT = "floor", "exact"


def alleles(index):
    """Takes a genotype index 0..80; returns its alleles (a1, a2, b1, b2), each 1..3."""
    return (index % 3 + 1, index // 3 % 3 + 1, index // 9 % 3 + 1, index // 27 + 1)


def index(a1, a2, b1, b2):
    """Takes four alleles 1..3 in slot order; returns the genotype index."""
    return (a1 - 1) + 3 * (a2 - 1) + 9 * (b1 - 1) + 27 * (b2 - 1)


def one_way(p12, p23, p13):
    """The documented one-way mutation of one locus as a 3 x 3 matrix."""
    return np.array([[1 - p12 - p13, p12, p13], [0, 1 - p23, p23], [0, 0, 1]], dtype=float)


def fitness_of_code(code, s_percent, k_percent):
    """Takes a fitness code and the command line's s and k (whole percent);
    returns the fitness as the README's code table gives it, with s and k
    held in single precision (the weight rule rounds it again)."""
    s = float(np.float32(s_percent / 100))
    k = float(np.float32(k_percent / 100))
    table = {0: 0.0, 1: 1.0, 2: 1 + (k - s) / 2, 3: 1 + 3 * k / 4, 4: 1 + k, 5: 1 + k / 2,
             6: 1 + k / 4, 7: 1 - s, 8: 1 - s / 2}
    return table.get(code, 1.0)


@dataclass
class Model:
    """One chain: the population size, the alleles that can occur at each
    locus, a 3 x 3 mutation matrix per locus, the fitness of each of the 81
    genotype indices, the weight rule and the recombination fraction."""

    N: int
    alleles_a: tuple
    alleles_b: tuple
    mutation_a: np.ndarray
    mutation_b: np.ndarray
    fitness: np.ndarray
    rule: str = FLOOR
    r: float = 0.5
    classes: list = field(init=False)

    def __post_init__(self):
        self.classes = [index(a1, a2, b1, b2) for b2 in self.alleles_b for b1 in self.alleles_b
                        for a2 in self.alleles_a for a1 in self.alleles_a]
        self.classes.sort()
        for matrix, kept in ((self.mutation_a, self.alleles_a), (self.mutation_b, self.alleles_b)):
            if not np.allclose(matrix.sum(axis=1), 1):
                raise ValueError("a mutation matrix row does not sum to 1")
            for held in kept:
                if sum(matrix[held - 1][to - 1] for to in kept) < 1 - 1e-15:
                    raise ValueError("mutation leads to an allele the chain leaves out")


def state_space(model):
    """Returns (states, counts): the sorted tuples of class positions of every
    multiset of N individuals, then the extinct state (), and their counts
    over the model's classes as an int array (states, classes)."""
    c = len(model.classes)
    states = list(itertools.combinations_with_replacement(range(c), model.N)) + [()]
    counts = np.zeros((len(states), c), dtype=np.int64)
    for row, state in enumerate(states):
        for position in state:
            counts[row, position] += 1
    return states, counts


def individual_mutation(model):
    """The classes x classes matrix of one individual's move by mutation."""
    a, b = model.mutation_a, model.mutation_b
    c = len(model.classes)
    matrix = np.zeros((c, c))
    for i, g in enumerate(model.classes):
        x = alleles(g)
        for j, h in enumerate(model.classes):
            y = alleles(h)
            matrix[i, j] = a[x[0] - 1, y[0] - 1] * a[x[1] - 1, y[1] - 1] \
                * b[x[2] - 1, y[2] - 1] * b[x[3] - 1, y[3] - 1]
    return matrix


def mutation_kernel(model, states):
    """The states x states matrix of the mutation step: the individuals move
    independently, so the row of a state is the product of its individuals'
    rows, summed over the orders that give each multiset."""
    c, n = len(model.classes), model.N
    where = {state: row for row, state in enumerate(states)}
    ordered = itertools.product(range(c), repeat=n)
    target = np.array([where[tuple(sorted(t))] for t in ordered], dtype=np.int64)
    move = individual_mutation(model)
    kernel = np.zeros((len(states), len(states)))
    for row, state in enumerate(states):
        if not state:
            kernel[row, row] = 1.0
            continue
        joint = move[state[0]]
        for position in state[1:]:
            joint = np.multiply.outer(joint, move[position]).ravel()
        kernel[row] = np.bincount(target, weights=joint, minlength=len(states))
    return kernel


def parent_shares(model, counts):
    """Takes the class counts after mutation; returns (shares by class,
    no-parent share), or None when the total weight is 0 (extinction)."""
    fitness = np.array([model.fitness[g] for g in model.classes], dtype=float)
    if model.rule == FLOOR:
        single = fitness.astype(np.float32).astype(float)
        weights = np.floor(counts * single)
        weights[weights < 0] = 0
        total = weights.sum()
        if total == 0:
            return None
        shares = weights / float(np.float32(total))
        return shares, max(0.0, 1.0 - shares.sum())
    weights = counts * np.maximum(fitness, 0)
    total = weights.sum()
    if total == 0:
        return None
    return weights / total, 0.0


def offspring_probabilities(model, counts):
    """Takes the class counts after mutation; returns the probability of each
    class for one offspring, or None for extinction."""
    found = parent_shares(model, counts)
    if found is None:
        return None
    shares, nobody = found
    gamete = np.zeros((3, 3))  # haplotype (allele at a, allele at b)
    r = model.r
    for share, g in zip(shares, model.classes):
        a1, a2, b1, b2 = alleles(g)
        gamete[a1 - 1, b1 - 1] += share * (1 - r) / 2
        gamete[a2 - 1, b2 - 1] += share * (1 - r) / 2
        gamete[a1 - 1, b2 - 1] += share * r / 2
        gamete[a2 - 1, b1 - 1] += share * r / 2
    gamete[0, 0] += nobody
    probabilities = np.array([gamete[a1 - 1, b1 - 1] * gamete[a2 - 1, b2 - 1]
                              for a1, a2, b1, b2 in map(alleles, model.classes)])
    if abs(probabilities.sum() - 1) > 1e-12:
        raise ValueError("an offspring falls outside the chain's classes")
    return probabilities


def mating_kernel(model, counts):
    """The states x states matrix of selection and mating: N independent
    offspring, so the row of a state is the multinomial law of its offspring
    counts."""
    n = model.N
    live = counts.sum(axis=1) > 0
    log_coefficient = math.lgamma(n + 1) - np.array(
        [sum(math.lgamma(x + 1) for x in row) for row in counts])
    log_q = np.zeros((len(counts), len(model.classes)))
    dead = ~live
    for row in np.flatnonzero(live):
        q = offspring_probabilities(model, counts[row])
        if q is None:
            dead[row] = True
        else:
            log_q[row] = np.where(q > 0, np.log(np.where(q > 0, q, 1)), -1e6)
    kernel = np.zeros((len(counts), len(counts)))
    kernel[:, live] = np.exp(log_q @ counts[live].T.astype(float) + log_coefficient[live])
    kernel[dead] = 0.0
    kernel[np.ix_(dead, ~live)] = 1.0
    return kernel


def chain(model):
    """Returns (states, counts, mutation kernel, mating kernel): one generation
    is the mutation kernel, then the mating kernel."""
    states, counts = state_space(model)
    return states, counts, mutation_kernel(model, states), mating_kernel(model, counts)


def distributions(model, start, generations):
    """Takes a start (81 counts by genotype index, summing to N) and a number
    of generations; returns (counts, [law after 1, ..., after t generations]),
    counts being the states' class counts."""
    states, counts, mutation, mating = chain(model)
    law = np.zeros(len(states))
    row = state_of(model, lookup(counts), start)
    if row is None:
        raise ValueError("the start is not a state of the chain")
    law[row] = 1.0
    laws = []
    for _ in range(generations):
        law = (law @ mutation) @ mating
        laws.append(law)
    return counts, laws


def lookup(counts):
    """Takes the states' class counts; returns a dict from a tuple of class
    counts to its state's row."""
    return {tuple(int(x) for x in row): number for number, row in enumerate(counts)}


def state_of(model, rows, population):
    """Takes the dict of lookup() and 81 genotype counts; returns the row of
    that state, or None when the population holds a genotype the chain
    leaves out or is not of size N (nor extinct)."""
    population = np.asarray(population)
    kept = population[model.classes]
    if kept.sum() != population.sum():
        return None
    return rows.get(tuple(int(x) for x in kept))


# ---------------------------------------------------------------- histories

# Histories change the population size from one generation to the next and
# add two ways of making an offspring besides outcrossing. With cloning rate
# c and selfing rate s (those of the offspring's generation), an offspring is
#
#   a clone (probability c): a copy of one parent's genotype after mutation,
#       slots in order;
#   selfed (probability (1 - c) s): both gametes from one parent, two
#       meioses of their own;
#   outcrossed (otherwise): two parents drawn independently, with
#       replacement, so the same parent twice with probability 1 / N's share.
#
# Every parent is drawn by the weights count x fitness (exact rule), and the
# offspring are independent given the parents, so the offspring counts are
# still multinomial: only their class law and their number change.

@dataclass
class Way:
    """How the offspring of one generation are made: the generation's size,
    cloning rate and selfing rate. The other fields make the chains of
    faults the data should reject: selfing with probability `selfing`
    instead of (1 - c) x selfing (share_of_selfing="s"), a selfed offspring
    made of one gamete twice (selfing_meioses=1), clones drawn without
    regard to fitness (clone_weights="uniform")."""

    N: int
    cloning: float = 0.0
    selfing: float = 0.0
    share_of_selfing: str = "(1-c)s"
    selfing_meioses: int = 2
    clone_weights: str = "fitness"


def gamete_laws(model):
    """The law of one gamete of each class: an array (classes, 3, 3) over
    (allele at a, allele at b)."""
    r = model.r
    laws = np.zeros((len(model.classes), 3, 3))
    for k, g in enumerate(model.classes):
        a1, a2, b1, b2 = alleles(g)
        laws[k, a1 - 1, b1 - 1] += (1 - r) / 2
        laws[k, a2 - 1, b2 - 1] += (1 - r) / 2
        laws[k, a1 - 1, b2 - 1] += r / 2
        laws[k, a2 - 1, b1 - 1] += r / 2
    return laws


def way_law(model, counts, way):
    """Takes the class counts after mutation and a Way; returns the class
    law of one offspring (clone, selfed or outcrossed by the Way's shares),
    or None for extinction. Exact weights only."""
    if model.rule != EXACT:
        raise ValueError("the chains of histories take exact weights only")
    fitness = np.array([model.fitness[g] for g in model.classes], dtype=float)
    weights = counts * np.maximum(fitness, 0)
    total = weights.sum()
    if total == 0:
        return None
    shares = weights / total
    laws = gamete_laws(model)
    slots = np.array([(a1 - 1, a2 - 1, b1 - 1, b2 - 1)
                      for a1, a2, b1, b2 in map(alleles, model.classes)])
    first = laws[:, slots[:, 0], slots[:, 2]]  # (parent class, offspring class)
    second = laws[:, slots[:, 1], slots[:, 3]]
    outcrossed = (shares @ first) * (shares @ second)
    if way.selfing_meioses == 2:
        selfed = shares @ (first * second)
    else:  # one gamete in both slots: only the homozygous pairs of haplotypes
        same = (slots[:, 0] == slots[:, 1]) & (slots[:, 2] == slots[:, 3])
        selfed = np.where(same, shares @ first, 0.0)
    clones = shares if way.clone_weights == "fitness" else counts / counts.sum()
    c = way.cloning
    s = way.selfing * (1 - c) if way.share_of_selfing == "(1-c)s" else way.selfing
    probabilities = c * clones + s * selfed + (1 - c - s) * outcrossed
    if abs(probabilities.sum() - 1) > 1e-12:
        raise ValueError("an offspring falls outside the chain's classes")
    return probabilities


def mating_between(model, parents, offspring, way):
    """The matrix from the states of the parents (class counts after
    mutation, the extinct state last) to those of way.N offspring (the
    extinct state last): each row the multinomial law of the N offspring."""
    n = way.N
    live = offspring.sum(axis=1) > 0
    log_coefficient = math.lgamma(n + 1) - np.array(
        [sum(math.lgamma(x + 1) for x in row) for row in offspring])
    kernel = np.zeros((len(parents), len(offspring)))
    for row, counts in enumerate(parents):
        q = way_law(model, counts, way) if counts.sum() > 0 else None
        if q is None:
            kernel[row, ~live] = 1.0
            continue
        log_q = np.where(q > 0, np.log(np.where(q > 0, q, 1)), -1e6)
        kernel[row, live] = np.exp(offspring[live] @ log_q + log_coefficient[live])
    return kernel


def history_distributions(model, start, ways, spaces=None):
    """Takes a model (its N is not used), a start (81 counts) and one Way per
    generation; returns, for each generation, (the class counts of its
    states, the law of the population after it). `spaces`, a dict, keeps the
    state spaces and mutation kernels by size for the next call with the
    same model's alleles and mutation."""
    spaces = {} if spaces is None else spaces

    def space(n):
        if n not in spaces:
            sized = Model(n, model.alleles_a, model.alleles_b, model.mutation_a,
                          model.mutation_b, model.fitness, model.rule, model.r)
            states, counts = state_space(sized)
            spaces[n] = (states, counts, None, sized)
        return spaces[n]

    def mutation(n):
        states, counts, kernel, sized = space(n)
        if kernel is None:
            kernel = mutation_kernel(sized, states)
            spaces[n] = (states, counts, kernel, sized)
        return kernel

    n = int(np.asarray(start).sum())
    _, counts, _, sized = space(n)
    row = state_of(sized, lookup(counts), start)
    if row is None:
        raise ValueError("the start is not a state of the chain")
    law = np.zeros(len(counts))
    law[row] = 1.0
    found = []
    for way in ways:
        law = law @ mutation(n)
        offspring = space(way.N)[1]
        law = law @ mating_between(model, space(n)[1], offspring, way)
        found.append((offspring, law))
        n = way.N
    return found
