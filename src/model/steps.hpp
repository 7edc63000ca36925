// The two steps of a generation: mutation, then selection and mating.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>

#include "model/model.hpp"
#include "model/random.hpp"

namespace twolocus {

// One locus's mutation thresholds on raw draws, by the digit d (allele
// d + 1) a slot holds: a draw below below[d][0] changes the digit to
// d + 1 mod 3; else a draw below below[d][1] changes it to d + 2 mod 3; any
// other draw leaves it.
struct locus_thresholds {
  std::array<std::array<uint32_t, 2>, 3> below{};
};

// Takes one locus's mutation matrix; returns its thresholds: for digit d,
// with c1 = m[d][d+1 mod 3] and c2 = c1 + m[d][d+2 mod 3] (a double sum),
// the thresholds at which "uniform < c1" and "uniform < c2" change their
// outcome (each costs a binary search, so an engine keeps them).
locus_thresholds matrix_thresholds(const mutation_matrix& matrix);

// Takes one locus's classic rates; returns the thresholds of their matrix,
// which are those of the comparisons "uniform < p(1->2)", "uniform <
// p(1->2) + p(1->3)" and "uniform < p(2->3)".
locus_thresholds mutation_thresholds(const mutation_rates& rates);

// Takes a stream, the current counts, a working array and both loci's
// thresholds. Every individual, class by class in index order, makes four
// draws (slots 1..4) and moves to the class its mutations lead to. On return
// `current` holds the mutated population and `next` the same counts. Classes
// of count 0 or less have no individuals. A class count is held at
// 2147483647 rather than overflow (only a hand-made checkpoint can hold that
// many). With back mutation a class can gain individuals after its own turn;
// it is held there too.
void mutate_with_thresholds(draw_stream& stream, population_counts& current,
                            population_counts& next, const locus_thresholds& locus_a,
                            const locus_thresholds& locus_b);

// As mutate_with_thresholds, with the thresholds of both loci's rates
// worked out first.
void mutate_population(draw_stream& stream, population_counts& current, population_counts& next,
                       const mutation_rates& rates_a, const mutation_rates& rates_b);

// As mutate_with_thresholds, with the thresholds of both loci's matrices.
void mutate_by_matrices(draw_stream& stream, population_counts& current, population_counts& next,
                        const mutation_matrix& matrix_a, const mutation_matrix& matrix_b);

// A parent's locus-b inheritance on raw draws: after slot 1 at locus a its
// second draw takes slot 3 (the same haplotype) below `after_slot_1`, after
// slot 2 it takes slot 3 (the other haplotype) below `after_slot_2`.
struct linkage_thresholds {
  uint32_t after_slot_1 = half_threshold;
  uint32_t after_slot_2 = half_threshold;
};

// Takes a recombination fraction r; returns the thresholds of "uniform <
// 1 - r" and "uniform < r". At r = 1/2 both are 2^30: free recombination.
linkage_thresholds recombination_thresholds(double r);

// Takes a stream, the mutated counts, a working array, the fitness table and
// the generation size. Each class weighs the truncated product of its count and
// its single-precision fitness (0 for a count or product below 0); then
// `generation_size` offspring are drawn, each from two parents found by one
// walk over the classes. On return `next` holds the offspring counts and
// `current` is unspecified. A total weight of 0 leaves `next` all 0 and makes
// no draws.
void select_and_mate(draw_stream& stream, population_counts& current, population_counts& next,
                     const fitness_table& fitness, int32_t generation_size);

// The general step: as above with the parent frequencies of `rule` (see
// parent_frequencies) and the locus-b inheritance of `linkage`. Each
// offspring draws its first parent, its second parent, then the parents'
// two inheritance draws each (locus a, then locus b), the parent of the
// lower class index first (the first parent first within a class); a parent
// not found (floor rule only) makes no inheritance draws. With floor weights
// and free recombination it is the step above, draw for draw.
void select_and_mate(draw_stream& stream, population_counts& current, population_counts& next,
                     const fitness_table& fitness, weight_rule rule, const linkage_thresholds& linkage,
                     int32_t generation_size);

// An offspring's way of reproduction on its first raw draw: a clone below
// `clone`, selfed below `self`, outcrossed from there on: the thresholds of
// "uniform < cloning" and "uniform < cloning + (1 - cloning) x selfing".
struct reproduction_thresholds {
  uint32_t clone = 0;
  uint32_t self = 0;
};

// Takes the cloning and selfing rates; returns their thresholds (both 0
// when every offspring is outcrossed: then no such draw is made).
reproduction_thresholds reproduction_thresholds_of(double cloning, double selfing);

// Takes thresholds; returns whether some offspring may be cloned or selfed.
inline bool mixed_reproduction(const reproduction_thresholds& ways) { return ways.self > 0; }

// The step of select_and_mate with cloning and selfing. Each offspring
// makes seven draws whatever it becomes: its way, a first and a second
// parent, and two inheritance draws (locus a, then locus b) for each of its
// two gametes. A clone copies the first parent's genotype; a selfed
// offspring has both gametes from the first parent; an outcrossed one its
// first gamete from the first parent and its second from the second. A
// parent not found (floor weights only) is of genotype 1111 and passes
// allele 1 at both loci.
void select_and_mate_mixed(draw_stream& stream, population_counts& current, population_counts& next,
                           const fitness_table& fitness, weight_rule rule,
                           const linkage_thresholds& linkage, const reproduction_thresholds& ways,
                           int32_t generation_size);

// Takes a class count and its fitness; returns the class's selection weight:
// count times the fitness rounded to single precision, truncated toward zero,
// 0 when the count or the product is not positive, at most 2^56.
// (Inline: the class-count engine weighs the occupied classes one by one.)
inline int64_t selection_weight(int32_t count, double fitness) {
  constexpr double weight_cap = 72057594037927936.0;  // 2^56
  // A negative count has no individuals; a fitness below 0 (or not a number)
  // cannot make a parent.
  if (count <= 0 || !(fitness > 0)) return 0;
  if (fitness >= weight_cap) return static_cast<int64_t>(weight_cap);
  // Rounding the fitness to single precision is part of the model.
  const double product = static_cast<double>(count) * static_cast<double>(static_cast<float>(fitness));
  if (product >= weight_cap) return static_cast<int64_t>(weight_cap);
  return static_cast<int64_t>(product);
}

// The selection weight of every class.
using class_weights = std::array<int64_t, genotype_count>;

// Takes the counts and the fitness table; fills `weights` with each class's
// selection_weight and returns their total (at most 81 * 2^56).
int64_t weigh_classes(const population_counts& counts, const fitness_table& fitness,
                      class_weights& weights);

// Takes the counts and the fitness table; returns the exponent e for which
// 2^-e brings the largest fitness of an occupied class (count above 0,
// fitness above 0) into [1/2, 1), or 0 when there is none. Under exact
// weights, count x ldexp(fitness, -e) then sums to at most 81 x 2^31 and
// keeps the products' ratios, whatever finite values the table holds.
int exact_weight_exponent(const population_counts& counts, const fitness_table& fitness);

// Takes a fitness and the exponent of exact_weight_exponent; returns the
// fitness scaled by 2^-exponent (the fitness itself at 0).
inline double scaled_fitness(double fitness, int exponent) {
  return exponent == 0 ? fitness : std::ldexp(fitness, -exponent);
}

// Each class's frequency as a parent: the amount a parent's walk over the
// classes subtracts from its uniform draw at that class.
using class_frequencies = std::array<double, genotype_count>;

// Takes the counts, the fitness table and a weight rule; fills `frequency`
// with each class's frequency: under floor, selection_weight / float(total);
// under exact, count x fitness (0 when the count is not positive or the
// fitness not above 0) over the double sum of those products in index
// order. Returns false, with `frequency` all 0, when no class has a positive
// frequency (an extinct population). Fitness values are finite (an infinite
// one under exact weights makes the frequencies not numbers). When that sum
// is not a normal double (it overflows, or underflows), the products are
// taken again with every fitness scaled by exact_weight_exponent, which keeps
// their ratios; other populations get the unscaled products bit for bit.
bool parent_frequencies(const population_counts& counts, const fitness_table& fitness, weight_rule rule,
                        class_frequencies& frequency);

// Takes the frequencies of the classes of positive frequency (some), in
// index order ("ranks"), their number and the weight rule; fills
// cut[0 .. count - 1] so that a parent's walk of select_and_mate ends at
// rank r or before exactly for the raw draws below cut[r]. Under floor,
// draws from cut[count - 1] up to draw_max find no parent; under exact the
// last cut is 2^31: the walk's overrun belongs to the last rank.
void rank_walk_cuts(const double* frequency, int count, weight_rule rule, uint32_t* cut);

}  // namespace twolocus
