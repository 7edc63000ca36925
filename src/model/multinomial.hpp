// The two steps of a generation sampled by class: instead of drawing each
// individual, the counts that the individual draws would produce are drawn
// from their joint distribution, at a cost that does not depend on N. Every
// probability is the exact share of the 2^31 raw draw values for which the
// exact engine's comparisons decide that outcome, so both engines sample
// one model. The random numbers come from the Philox counter-based
// generator keyed by the seed, restarted at each generation at a counter
// holding the generation number, so a generation's numbers depend on the
// seed and the generation number only.
#pragma once

#include <Random123/conventional/Engine.hpp>
#include <Random123/philox.h>

#include <array>
#include <cstdint>

#include "model/model.hpp"

namespace twolocus {

// The class-count engine's random numbers: Philox keyed by the seed.
struct class_stream {
  r123::Engine<r123::Philox4x32> philox;
};

// The number of raw draw values (0 .. draw_max): shares count out of it.
inline constexpr uint64_t draw_values = uint64_t{1} << 31;

// One locus's changes as shares of the raw draw values: an allele 1 becomes
// 2 for `to_2` of them and 3 for `one_to_3`; an allele 2 becomes 3 for
// `two_to_3`.
struct slot_shares {
  uint32_t to_2 = 0;
  uint32_t one_to_3 = 0;
  uint32_t two_to_3 = 0;
};

// Takes one locus's rates; returns the shares of raw draws for which the
// exact engine's comparisons "uniform < p(1->2)", "uniform < p(1->2) +
// p(1->3)" and "uniform < p(2->3)" decide each change.
slot_shares mutation_shares(const mutation_rates& rates);

// Each genotype's share of the raw draws as a parent (indices 0..80) and,
// last, the share that finds no parent. They sum to 2^31.
using parent_shares = std::array<uint32_t, genotype_count + 1>;

// Takes the counts and the fitness table; fills `shares` with the shares of
// raw draws for which the exact engine's parent walk picks each class.
// Returns false, leaving `shares` unspecified, when the total weight is 0.
bool parent_class_shares(const population_counts& counts, const fitness_table& fitness,
                         parent_shares& shares);

// Takes a stream and a seed; keys the generator with it.
void key_class_draws(class_stream& stream, int32_t seed);

// Takes a stream and a generation number; restarts the generator at that
// generation's first number.
void start_class_draws(class_stream& stream, int64_t generation);

// Takes a stream, the current counts, a working array and both loci's rates; moves
// the individuals of each class to the classes their four slots' mutations
// lead to, with multinomial counts. On return `current` holds the mutated
// population and `next` the same counts. As in mutate_population, a count
// of 0 or less has no individuals (a negative one is kept) and a count is
// held at 2147483647 rather than overflow.
void mutate_by_class(class_stream& stream, population_counts& current, population_counts& next,
                     const mutation_rates& rates_a, const mutation_rates& rates_b);

// Takes a stream, the mutated counts, a working array, the fitness table and
// the generation size; draws the offspring counts, multinomial with the product
// of the two parents' gamete probabilities, as conditional binomials that
// sum to `generation_size`. On return `next` holds the offspring counts and
// `current` is unchanged. A total weight of 0 (or a generation size of 0 or
// less) leaves `next` all 0.
void mate_by_class(class_stream& stream, const population_counts& current, population_counts& next,
                   const fitness_table& fitness, int32_t generation_size);

// Takes a stream, the population (in `current`), a working array, the
// parameters and the generation's number; restarts the generator at that generation, then
// mutates and mates by class. On return `next` holds the new generation and
// `current` the mutated one.
void sample_generation(class_stream& stream, population_counts& current, population_counts& next,
                       const run_params& params, int64_t generation);

}  // namespace twolocus
