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

#include <Random123/philox.h>

#include <array>
#include <cstdint>
#include <vector>

#include "model/model.hpp"

namespace twolocus {

// The class-count engine's random numbers: Philox4x32-10 keyed by the
// seed, in the order of r123::Engine<r123::Philox4x32>: one block of four
// words per counter value, counting up from one past the counter set, each
// block's words from the last to the first. A uniform random bit generator,
// as the samplers take it.
struct class_stream {
  using result_type = uint32_t;
  static constexpr result_type min() { return 0; }
  static constexpr result_type max() { return 0xffffffffu; }
  r123::Philox4x32::key_type key{};
  r123::Philox4x32::ctr_type counter{};  // of the block below
  r123::Philox4x32::ctr_type block{};
  unsigned left = 0;  // words of `block` still to come: block[left - 1] is next
  result_type operator()();
};

// Takes a stream; computes its next block.
void next_class_block(class_stream& stream);

inline class_stream::result_type class_stream::operator()() {
  if (left == 0) next_class_block(*this);
  return block[--left];
}

// Takes a stream; returns its next number without taking it.
inline uint32_t upcoming_class_draw(class_stream& stream) {
  if (stream.left == 0) next_class_block(stream);
  return stream.block[stream.left - 1];
}

// The number of raw draw values (0 .. draw_max): shares count out of it.
inline constexpr uint64_t draw_values = uint64_t{1} << 31;

// One locus's changes as shares of the raw draw values, by the digit d
// (allele d + 1) a slot holds: change[d][0] of them make it d + 1 mod 3,
// change[d][1] make it d + 2 mod 3 (the cyclic order of the exact engine's
// comparisons).
struct slot_shares {
  std::array<std::array<uint32_t, 2>, 3> change{};
};

// Takes one locus's mutation matrix; returns the shares of raw draws for
// which the exact engine's comparisons (see matrix_thresholds) decide each
// change: T(c1) and max(T(c2), T(c1)) - T(c1).
slot_shares matrix_shares(const mutation_matrix& matrix);

// The same for one locus's classic rates (their matrix).
slot_shares mutation_shares(const mutation_rates& rates);

// Each genotype's share of the raw draws as a parent (indices 0..80) and,
// last, the share that finds no parent. They sum to 2^31.
using parent_shares = std::array<uint32_t, genotype_count + 1>;

// Takes the counts and the fitness table; fills `shares` with the shares of
// raw draws for which the exact engine's parent walk picks each class.
// Returns false, leaving `shares` unspecified, when the total weight is 0.
bool parent_class_shares(const population_counts& counts, const fitness_table& fitness,
                         parent_shares& shares);

// The same under a weight rule: the shares of the exact engine's walk with
// the frequencies of `rule` (under exact, the share of no parent is 0).
bool parent_class_shares(const population_counts& counts, const fitness_table& fitness, weight_rule rule,
                         parent_shares& shares);

// A class's way through its four slots under mutation (see
// mutate_by_shares), from both loci's shares: the digit it holds at each
// slot; the probability that slot s changes, that some slot from s on
// does, and the first over the second.
struct class_mutation {
  std::array<uint8_t, 4> digit{};
  std::array<double, 4> change{};
  std::array<double, 5> any_from{};
  std::array<double, 4> here{};
};

// What a generation of the general model needs beyond the counts, worked
// out once for a run's parameters: both loci's mutation shares, each
// class's way through its slots, and the locus-b inheritance thresholds of
// the recombination fraction.
struct class_model {
  slot_shares mutation_a{};
  slot_shares mutation_b{};
  std::array<class_mutation, genotype_count> mutation_by_class{};
  uint32_t after_slot_1 = 1u << 30;  // raw draws below T(1 - r)
  uint32_t after_slot_2 = 1u << 30;  // raw draws below T(r)
  // An offspring's way as shares of the raw draws (reproduction_thresholds):
  // clones below `clone_below`, selfed below `self_below` (0: every offspring
  // outcrossed, and no way is drawn).
  uint32_t clone_below = 0;
  uint32_t self_below = 0;
};

// Takes both loci's mutation matrices and the recombination fraction;
// returns their class_model.
class_model make_class_model(const mutation_matrix& matrix_a, const mutation_matrix& matrix_b,
                             double recombination);

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

// The same with each locus's shares (back mutation included). Each class's
// individuals are split by binomial draws, slot by slot; a slot's changes
// are drawn in the order [to d + 1 mod 3, to d + 2 mod 3] of its digit d, and
// a change of share 0 draws nothing, so classic rates give mutate_by_class's
// draws.
void mutate_by_shares(class_stream& stream, population_counts& current, population_counts& next,
                      const slot_shares& locus_a, const slot_shares& locus_b);

// The same with the shares and ways of `model` (its draws are the same).
void mutate_by_shares(class_stream& stream, population_counts& current, population_counts& next,
                      const class_model& model);

// Takes a stream, the mutated counts, a working array, the fitness table and
// the generation size; draws the offspring counts, multinomial with the product
// of the two parents' gamete probabilities, as conditional binomials that
// sum to `generation_size`. On return `next` holds the offspring counts and
// `current` is unchanged. A total weight of 0 (or a generation size of 0 or
// less) leaves `next` all 0.
void mate_by_class(class_stream& stream, const population_counts& current, population_counts& next,
                   const fitness_table& fitness, int32_t generation_size);

// The general step: parent shares under `rule`; a parent's gamete (its
// locus-a slot, then its locus-b slot) weighs its share times B, where B is
// T(1 - r) for slots 1 and 3, 2^31 - T(1 - r) for slots 1 and 4, T(r) for
// slots 2 and 3 and 2^31 - T(r) for slots 2 and 4 (`after_slot_1` is T(1 - r),
// `after_slot_2` T(r); the locus-a half, a common factor 2^30, is dropped),
// and no parent weighs its share times 2^32 at gamete 0 (all allele 1); the
// total is 2^63. At r = 1/2 every weight is mate_by_class's times 2^30, so
// its draws are the same.
void mate_by_class(class_stream& stream, const population_counts& current, population_counts& next,
                   const fitness_table& fitness, weight_rule rule, uint32_t after_slot_1,
                   uint32_t after_slot_2, int32_t generation_size);

// The step of mate_by_class with cloning and selfing (the shares of
// `model`): the offspring's ways are split first (clones, selfed,
// outcrossed); clones take their parent's class with its share (no parent:
// 1111); selfed offspring the mixture, over their parent's share, of its
// two gametes' probabilities; outcrossed ones are drawn by mate_by_class.
void mate_mixed_by_class(class_stream& stream, const population_counts& current,
                         population_counts& next, const fitness_table& fitness, weight_rule rule,
                         const class_model& model, int32_t generation_size);

// The parents' shares of the raw draws (see parent_class_shares) by the
// classes of positive frequency, in index order, and the share of no parent.
struct parent_list {
  std::array<uint8_t, genotype_count> index;
  std::array<uint32_t, genotype_count> share;
  size_t size = 0;
  uint32_t no_parent = 0;
};

// Takes a population, its fitness table and weight rule; lists its
// parents' shares of the raw draws by occupied class (with the arithmetic
// of the class-count steps). Returns false when the total weight is 0.
bool list_parent_shares(const population_counts& counts, const fitness_table& fitness, weight_rule rule,
                        parent_list& parents);

// One source deme of mate_sources_by_class: its mutated counts, fitness,
// weight rule and class_model (its linkage), and the probability that an
// offspring's parents come from it.
struct class_source {
  const population_counts* parents = nullptr;
  const fitness_table* fitness = nullptr;
  weight_rule rule = weight_rule::exact;
  const class_model* shares = nullptr;
  double probability = 0.0;
  // The parents' list of these counts, fitness and rule when the caller has
  // it already (it is the same for every deme drawing from this source in a
  // generation), and whether it has parents; nullptr: worked out here.
  const parent_list* listed = nullptr;
  bool has_parents = false;
};

// The sources of mate_sources_by_class (filled by the caller) and its
// tables, kept between generations so that a generation allocates nothing
// once they have grown.
struct class_sources_workspace {
  std::vector<class_source> sources;
  std::vector<parent_list> parents;
  std::vector<double> weight;
  std::vector<uint8_t> has_parents;
  std::vector<uint32_t> below;
};

// The step for offspring whose parents come from several demes: each
// offspring class's probability is the mixture, over the sources by their
// shares, of a clone's, a selfed and an outcrossed offspring's (the ways by
// the offspring deme's `clone_below` and `self_below`) from that source's
// parents, and the counts are drawn from it as conditional binomials. The
// sources' shares are those of the exact engine's source draw
// (source_thresholds: a source whose parents all weigh 0 is left out).
// The sources are the workspace's.
void mate_sources_by_class(class_stream& stream, class_sources_workspace& workspace,
                           uint32_t clone_below, uint32_t self_below, int32_t generation_size,
                           population_counts& next);

// Takes a stream, the population (in `current`), a working array, the
// model, its class_model (made from the model's matrices and recombination
// fraction by make_class_model, and kept by the caller: it costs a few
// binary searches) and the generation's number; restarts the generator at
// that generation, then mutates and mates by class. On return `next` holds
// the new generation and `current` the mutated one.
void sample_generation(class_stream& stream, population_counts& current, population_counts& next,
                       const model_params& params, const class_model& model, int64_t generation);

}  // namespace twolocus
