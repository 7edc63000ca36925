// The two steps of a generation: mutation, then selection and mating.
#pragma once

#include <cstdint>

#include "model/model.hpp"
#include "model/random.hpp"

namespace twolocus {

// One locus's mutation thresholds on raw draws: below `to_2` an allele 1
// becomes 2, else below `to_3` it becomes 3; below `two_to_3` an allele 2
// becomes 3.
struct locus_thresholds {
  uint32_t to_2 = 0;
  uint32_t to_3 = 0;
  uint32_t two_to_3 = 0;
};

// Takes one locus's rates; returns the thresholds at which the comparisons
// "uniform < p(1->2)", "uniform < p(1->2) + p(1->3)" and "uniform < p(2->3)"
// change their outcome (each costs a binary search, so an engine keeps them).
locus_thresholds mutation_thresholds(const mutation_rates& rates);

// Takes a stream, the current counts, a working array and both loci's
// thresholds. Every individual, class by class in index order, makes four
// draws (slots 1..4) and moves to the class its mutations lead to. On return
// `current` holds the mutated population and `next` the same counts. Classes
// of count 0 or less have no individuals. A class count is held at
// 2147483647 rather than overflow (only a hand-made checkpoint can hold that
// many).
void mutate_with_thresholds(draw_stream& stream, population_counts& current,
                            population_counts& next, const locus_thresholds& locus_a,
                            const locus_thresholds& locus_b);

// As mutate_with_thresholds, with the thresholds of both loci's rates
// worked out first.
void mutate_population(draw_stream& stream, population_counts& current, population_counts& next,
                       const mutation_rates& rates_a, const mutation_rates& rates_b);

// Takes a stream, the mutated counts, a working array, the fitness table and
// the generation size. Each class weighs the truncated product of its count and
// its single-precision fitness (0 for a count or product below 0); then
// `generation_size` offspring are drawn, each from two parents found by one
// walk over the classes. On return `next` holds the offspring counts and
// `current` is unspecified. A total weight of 0 leaves `next` all 0 and makes
// no draws.
void select_and_mate(draw_stream& stream, population_counts& current, population_counts& next,
                     const fitness_table& fitness, int32_t generation_size);

// Takes a class count and its fitness; returns the class's selection weight:
// count times the fitness rounded to single precision, truncated toward zero,
// 0 when the count or the product is not positive, at most 2^56.
int64_t selection_weight(int32_t count, double fitness);

// The selection weight of every class.
using class_weights = std::array<int64_t, genotype_count>;

// Takes the counts and the fitness table; fills `weights` with each class's
// selection_weight and returns their total (at most 81 * 2^56).
int64_t weigh_classes(const population_counts& counts, const fitness_table& fitness,
                      class_weights& weights);

// Where the parent walk of select_and_mate ends, by genotype index.
using walk_cuts = std::array<uint32_t, genotype_count>;

// Takes the class weights and their positive total; fills `cut` so that a
// parent's walk ends at class l or before exactly for the raw draws below
// cut[l]. Draws from cut[80] up to draw_max find no parent.
void parent_walk_cuts(const class_weights& weights, int64_t total, walk_cuts& cut);

}  // namespace twolocus
