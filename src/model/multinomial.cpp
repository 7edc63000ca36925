#include "model/multinomial.hpp"

#include <algorithm>
#include <boost/random/binomial_distribution.hpp>
#include <cmath>
#include <limits>

#include "model/demes.hpp"
#include "model/genotype.hpp"
#include "model/random.hpp"
#include "model/steps.hpp"

namespace twolocus {

namespace {

// Takes a stream, a number of trials and a probability; returns a binomial
// draw. 64-bit counts keep the sampler's (trials + 1) from overflowing.
//
// Boost's sampler works with the smaller of p and 1 - p, p' (and returns
// trials minus its count when that is 1 - p), by inversion when
// (trials + 1) p' < 11: with q = 1 - p' it takes one uniform u = x / 2^32 of
// the next 32-bit number x and returns 0 when u <= q^trials, a pow() that
// costs more than the rest of the draw. Since q^t >= 1 - t (1 - q) for every
// whole t (and 1 - q is exact for q of at least one half), a u below that
// bound, less a margin far wider than pow's error, decides the draw without
// pow: the number is taken as the sampler would take it, and the count is
// the sampler's. Any other draw goes to the sampler itself, on the stream
// as it was.
int64_t draw_binomial(class_stream& stream, int64_t trials, double p) {
  if (trials <= 0 || !(p > 0)) return 0;
  if (p >= 1) return trials;
  const bool flipped = 0.5 < p;
  const double smaller = flipped ? 1 - p : p;
  if (static_cast<int64_t>(static_cast<double>(trials + 1) * smaller) < 11) {
    const double q = 1 - smaller;
    const double surely_below = 1 - static_cast<double>(trials) * (1 - q) - 0x1p-40;
    if (surely_below > 0 && static_cast<double>(upcoming_class_draw(stream)) * 0x1p-32 <= surely_below) {
      --stream.left;
      return flipped ? trials : 0;
    }
  }
  boost::random::binomial_distribution<int64_t, double> binomial(trials, p);
  return binomial(stream);
}

// Takes a count and the integer shares of K outcomes; fills `out` with
// multinomial counts, drawn as binomials of each outcome among those left.
// An outcome that holds all the share left takes the rest without a draw,
// so the counts sum to `count` exactly.
template <size_t K>
void split(class_stream& stream, int64_t count, const std::array<uint64_t, K>& share,
           std::array<int64_t, K>& out) {
  uint64_t share_left = 0;
  for (const uint64_t s : share) share_left += s;
  int64_t left = count;
  for (size_t k = 0; k < K; ++k) {
    out[k] = 0;
    if (left == 0 || share[k] == 0) continue;
    if (share[k] == share_left) {
      out[k] = left;
      left = 0;
      continue;
    }
    out[k] = draw_binomial(stream, left, static_cast<double>(share[k]) / static_cast<double>(share_left));
    left -= out[k];
    share_left -= share[k];
  }
}

// Takes a count and the probabilities of K outcomes (not all 0); fills `out`
// with multinomial counts, drawn as binomials of each outcome among those
// left; the last outcome of positive probability takes the rest.
template <size_t K>
void split_real(class_stream& stream, int64_t count, const std::array<double, K>& probability,
                std::array<int64_t, K>& out) {
  double left_probability = 0;
  size_t last = 0;
  for (size_t k = 0; k < K; ++k) {
    left_probability += probability[k];
    if (probability[k] > 0) last = k;
  }
  int64_t left = count;
  for (size_t k = 0; k < K; ++k) {
    out[k] = 0;
    if (left == 0 || !(probability[k] > 0)) continue;
    if (k == last) {
      out[k] = left;
      left = 0;
      continue;
    }
    out[k] = draw_binomial(stream, left, std::min(1.0, probability[k] / left_probability));
    left -= out[k];
    left_probability -= probability[k];
  }
}

// A slot's changes (its digit d to d + 1 mod 3 and to d + 2 mod 3) as shares
// of the raw draws, for a slot holding each digit.
using slot_changes = std::array<uint64_t, 2>;
using digit_changes = std::array<slot_changes, 3>;

digit_changes changes_of(const slot_shares& s) {
  digit_changes changes{};
  for (size_t d = 0; d < 3; ++d) changes[d] = {s.change[d][0], s.change[d][1]};
  return changes;
}

// The index change, in units of a slot's weight, of each change of a slot
// holding each digit.
constexpr std::array<std::array<int, 2>, 3> digit_step = {{{1, 2}, {1, -1}, {-2, -1}}};

using class_tally = std::array<int64_t, genotype_count>;

// The individuals of one class on their way through its four slots. Most
// individuals change at no slot, so one draw first sets aside those that
// change nowhere; the others are known to change somewhere, which decides
// the rest of their way in a few draws.
struct slot_walk {
  std::array<const slot_changes*, 4> changes{};
  std::array<const std::array<int, 2>*, 4> steps{};
  // The class's probabilities (see class_mutation).
  const class_mutation* way = nullptr;
  class_tally* tally = nullptr;
  class_stream* stream = nullptr;
};

// Takes a class and both loci's changes; returns its class_mutation. Slot
// s changes with probability change[s]; some slot from s on changes with
// any_from[s] (a sum of positive terms, so a rare change loses no
// precision); of those, the ones that change at s are here[s] of them.
class_mutation mutation_of(int j, const digit_changes& a, const digit_changes& b) {
  class_mutation way;
  for (size_t s = 0; s < 4; ++s) way.digit[s] = static_cast<uint8_t>(index_digit(j, static_cast<int>(s) + 1));
  way.any_from[4] = 0;
  for (size_t s = 4; s-- > 0;) {
    const slot_changes& c = (s < 2 ? a : b)[way.digit[s]];
    way.change[s] = static_cast<double>(c[0] + c[1]) / static_cast<double>(draw_values);
    way.any_from[s] = way.change[s] + (1 - way.change[s]) * way.any_from[s + 1];
  }
  for (size_t s = 0; s < 4; ++s) way.here[s] = way.change[s] / way.any_from[s];
  return way;
}

// Spreads `count` individuals at `target`, each of which changes at some
// slot from `slot` on.
void spread_changing(const slot_walk& walk, int64_t count, int target, int slot) {
  for (; count > 0 && slot < 4; ++slot) {
    const auto s = static_cast<size_t>(slot);
    // Of those that change from here on, the ones that change here; of
    // those, the ones that change again later (whichever change they make
    // here, the later slots are the same).
    const int64_t here = slot == 3 ? count : draw_binomial(*walk.stream, count, walk.way->here[s]);
    count -= here;
    if (here == 0) continue;
    const int64_t again = draw_binomial(*walk.stream, here, walk.way->any_from[s + 1]);
    std::array<int64_t, 2> by_change{};
    split(*walk.stream, here - again, *walk.changes[s], by_change);
    // (A change that a slot's digit cannot make has no individuals, and
    // no index either.)
    for (size_t c = 0; c < 2; ++c) {
      if (by_change[c] > 0) {
        (*walk.tally)[static_cast<size_t>(target + (*walk.steps[s])[c] * slot_weight[s])] += by_change[c];
      }
    }
    if (again == 0) continue;
    split(*walk.stream, again, *walk.changes[s], by_change);
    for (size_t c = 0; c < 2; ++c) {
      if (by_change[c] > 0) {
        spread_changing(walk, by_change[c], target + (*walk.steps[s])[c] * slot_weight[s], slot + 1);
      }
    }
  }
}

// The gamete a + 3 b (its alleles at loci a and b, as digits) that a parent
// of each genotype passes on, by its inheritance bits (bit 0: locus a from
// slot 2, bit 1: locus b from slot 4).
constexpr std::array<std::array<uint8_t, 4>, genotype_count> make_gametes() {
  std::array<std::array<uint8_t, 4>, genotype_count> gametes{};
  for (int l = 0; l < genotype_count; ++l) {
    for (int bits = 0; bits < 4; ++bits) {
      const int a = (bits & 1) ? index_digit(l, 2) : index_digit(l, 1);
      const int b = (bits & 2) ? index_digit(l, 4) : index_digit(l, 3);
      gametes[static_cast<size_t>(l)][static_cast<size_t>(bits)] = static_cast<uint8_t>(a + 3 * b);
    }
  }
  return gametes;
}

constexpr std::array<std::array<uint8_t, 4>, genotype_count> gamete_of = make_gametes();

int32_t held(int64_t count) {
  return static_cast<int32_t>(std::min<int64_t>(count, std::numeric_limits<int32_t>::max()));
}

// The classes of a positive count, in index order (listed without branches:
// which classes are occupied changes from one generation to the next).
struct occupied_classes {
  std::array<uint8_t, genotype_count> index;
  size_t size = 0;
};

void list_occupied(const population_counts& counts, occupied_classes& occupied) {
  size_t size = 0;
  for (size_t l = 0; l < genotype_count; ++l) {
    occupied.index[size] = static_cast<uint8_t>(l);
    size += static_cast<size_t>(counts[l] > 0);
  }
  occupied.size = size;
}

}  // namespace

// parent_frequencies and rank_walk_cuts over the occupied classes only,
// with the same arithmetic (under exact weights, the terms of 0 that
// parent_frequencies adds leave its sum as it is). Returns false when the
// total weight is 0.
bool list_parent_shares(const population_counts& counts, const fitness_table& fitness, weight_rule rule,
                        parent_list& parents) {
  occupied_classes occupied;
  list_occupied(counts, occupied);
  std::array<double, genotype_count> frequency;
  size_t size = 0;
  if (rule == weight_rule::floor) {
    std::array<int64_t, genotype_count> weight;
    int64_t total = 0;
    for (size_t k = 0; k < occupied.size; ++k) {
      const size_t l = occupied.index[k];
      const int64_t w = selection_weight(counts[l], fitness[l]);
      total += w;
      parents.index[size] = static_cast<uint8_t>(l);
      weight[size] = w;
      size += static_cast<size_t>(w > 0);
    }
    if (total == 0 || size == 0) return false;
    const double divisor = static_cast<double>(static_cast<float>(total));
    for (size_t k = 0; k < size; ++k) frequency[k] = static_cast<double>(weight[k]) / divisor;
  } else {
    std::array<double, genotype_count> weight;
    double total = 0;
    // As parent_frequencies: the products again, scaled, when their sum is
    // not a normal double.
    const auto weigh = [&](int exponent) {
      total = 0;
      size = 0;
      for (size_t k = 0; k < occupied.size; ++k) {
        const size_t l = occupied.index[k];
        if (fitness[l] > 0) {
          parents.index[size] = static_cast<uint8_t>(l);
          weight[size] = static_cast<double>(counts[l]) * scaled_fitness(fitness[l], exponent);
          total += weight[size++];
        }
      }
    };
    weigh(0);
    if (!std::isnormal(total)) weigh(exact_weight_exponent(counts, fitness));
    if (!(total > 0)) return false;
    // A quotient can underflow to 0: that class is then no parent.
    size_t kept = 0;
    for (size_t k = 0; k < size; ++k) {
      const double f = weight[k] / total;
      if (f > 0) {
        parents.index[kept] = parents.index[k];
        frequency[kept++] = f;
      }
    }
    size = kept;
    if (size == 0) return false;
  }
  std::array<uint32_t, genotype_count> cut;
  rank_walk_cuts(frequency.data(), static_cast<int>(size), rule, cut.data());
  uint32_t below = 0;
  for (size_t k = 0; k < size; ++k) {
    parents.share[k] = cut[k] - below;
    below = cut[k];
  }
  parents.size = size;
  parents.no_parent = static_cast<uint32_t>(draw_values - below);
  return true;
}

namespace {

}  // namespace

slot_shares matrix_shares(const mutation_matrix& matrix) {
  const locus_thresholds t = matrix_thresholds(matrix);
  slot_shares shares;
  for (size_t d = 0; d < 3; ++d) {
    const uint32_t first = t.below[d][0];
    shares.change[d] = {first, std::max(t.below[d][1], first) - first};
  }
  return shares;
}

slot_shares mutation_shares(const mutation_rates& rates) { return matrix_shares(classic_matrix(rates)); }

class_model make_class_model(const mutation_matrix& matrix_a, const mutation_matrix& matrix_b,
                             double recombination) {
  const linkage_thresholds linkage = recombination_thresholds(recombination);
  class_model model;
  model.mutation_a = matrix_shares(matrix_a);
  model.mutation_b = matrix_shares(matrix_b);
  const digit_changes a = changes_of(model.mutation_a);
  const digit_changes b = changes_of(model.mutation_b);
  for (int j = 0; j < genotype_count; ++j) model.mutation_by_class[static_cast<size_t>(j)] = mutation_of(j, a, b);
  model.after_slot_1 = linkage.after_slot_1;
  model.after_slot_2 = linkage.after_slot_2;
  return model;
}

bool parent_class_shares(const population_counts& counts, const fitness_table& fitness,
                         parent_shares& shares) {
  return parent_class_shares(counts, fitness, weight_rule::floor, shares);
}

bool parent_class_shares(const population_counts& counts, const fitness_table& fitness, weight_rule rule,
                         parent_shares& shares) {
  parent_list parents;
  if (!list_parent_shares(counts, fitness, rule, parents)) return false;
  shares.fill(0);
  for (size_t k = 0; k < parents.size; ++k) shares[parents.index[k]] = parents.share[k];
  shares[genotype_count] = parents.no_parent;
  return true;
}

void next_class_block(class_stream& stream) {
  stream.counter.incr();
  stream.block = r123::Philox4x32()(stream.counter, stream.key);
  stream.left = 4;
}

void key_class_draws(class_stream& stream, int32_t seed) {
  // As r123::Engine::setkey: the words still to come are the current
  // block's under the new key.
  stream.key = {{static_cast<uint32_t>(seed), 0}};
  if (stream.left != 0) stream.block = r123::Philox4x32()(stream.counter, stream.key);
}

void start_class_draws(class_stream& stream, int64_t generation) {
  const auto g = static_cast<uint64_t>(generation);
  // The lowest word counts the blocks of four numbers within the
  // generation (the first block is number 1).
  stream.counter = {{0, 0, static_cast<uint32_t>(g), static_cast<uint32_t>(g >> 32)}};
  stream.left = 0;
}

void mutate_by_class(class_stream& stream, population_counts& current, population_counts& next,
                     const mutation_rates& rates_a, const mutation_rates& rates_b) {
  mutate_by_shares(stream, current, next, mutation_shares(rates_a), mutation_shares(rates_b));
}

namespace {

// mutate_by_shares, with each class's way from `ways` or, without, worked
// out here.
void mutate_classes(class_stream& stream, population_counts& current, population_counts& next,
                    const slot_shares& locus_a, const slot_shares& locus_b, const class_mutation* ways) {
  const digit_changes a = changes_of(locus_a);
  const digit_changes b = changes_of(locus_b);
  class_tally tally;
  // A negative count stays where it is, as in the exact engine.
  for (size_t j = 0; j < tally.size(); ++j) tally[j] = std::min(current[j], 0);
  slot_walk walk;
  walk.tally = &tally;
  walk.stream = &stream;
  occupied_classes occupied;
  list_occupied(current, occupied);
  class_mutation worked_out;
  for (size_t k = 0; k < occupied.size; ++k) {
    const int j = occupied.index[k];
    const int32_t count = current[static_cast<size_t>(j)];
    if (ways != nullptr) {
      walk.way = &ways[j];
    } else {
      worked_out = mutation_of(j, a, b);
      walk.way = &worked_out;
    }
    for (size_t s = 0; s < 4; ++s) {
      const size_t digit = walk.way->digit[s];
      walk.changes[s] = &(s < 2 ? a : b)[digit];
      walk.steps[s] = &digit_step[digit];
    }
    const int64_t changing = draw_binomial(stream, count, walk.way->any_from[0]);
    tally[static_cast<size_t>(j)] += count - changing;
    spread_changing(walk, changing, j, 0);
  }
  for (size_t j = 0; j < next.size(); ++j) current[j] = next[j] = held(tally[j]);
}

}  // namespace

void mutate_by_shares(class_stream& stream, population_counts& current, population_counts& next,
                      const slot_shares& locus_a, const slot_shares& locus_b) {
  mutate_classes(stream, current, next, locus_a, locus_b, nullptr);
}

void mutate_by_shares(class_stream& stream, population_counts& current, population_counts& next,
                      const class_model& model) {
  mutate_classes(stream, current, next, model.mutation_a, model.mutation_b, model.mutation_by_class.data());
}

void mate_by_class(class_stream& stream, const population_counts& current, population_counts& next,
                   const fitness_table& fitness, int32_t generation_size) {
  mate_by_class(stream, current, next, fitness, weight_rule::floor, 1u << 30, 1u << 30, generation_size);
}

void mate_by_class(class_stream& stream, const population_counts& current, population_counts& next,
                   const fitness_table& fitness, weight_rule rule, uint32_t after_slot_1,
                   uint32_t after_slot_2, int32_t generation_size) {
  next.fill(0);
  parent_list parents;
  if (generation_size <= 0 || !list_parent_shares(current, fitness, rule, parents)) return;
  // A parent's gamete a + 3 b (its alleles at loci a and b, as digits) as
  // shares of 2^31 * 2^32: the parent's share times the number of pairs of
  // inheritance draws (out of 2^31 x 2^31, over 2^30 for the locus-a half)
  // that lead to each of its four outcomes. No parent passes allele 1 at
  // both loci.
  constexpr uint64_t all = draw_values;
  const std::array<uint64_t, 4> outcome = {after_slot_1, after_slot_2, all - after_slot_1,
                                           all - after_slot_2};  // by bits: slot 2, slot 4
  std::array<uint64_t, 9> gamete{};
  for (size_t k = 0; k < parents.size; ++k) {
    const uint64_t share = parents.share[k];
    const auto& passed = gamete_of[parents.index[k]];
    for (size_t bits = 0; bits < 4; ++bits) gamete[passed[bits]] += share * outcome[bits];
  }
  gamete[0] += uint64_t{parents.no_parent} << 32;

  std::array<int64_t, 9> first{};
  split(stream, generation_size, gamete, first);
  for (int g1 = 0; g1 < 9; ++g1) {
    if (first[static_cast<size_t>(g1)] == 0) continue;
    std::array<int64_t, 9> second{};
    split(stream, first[static_cast<size_t>(g1)], gamete, second);
    for (int g2 = 0; g2 < 9; ++g2) {
      const int index = compose_index(g1 % 3, g2 % 3, g1 / 3, g2 / 3);
      next[static_cast<size_t>(index)] = static_cast<int32_t>(second[static_cast<size_t>(g2)]);
    }
  }
}

void mate_mixed_by_class(class_stream& stream, const population_counts& current,
                         population_counts& next, const fitness_table& fitness, weight_rule rule,
                         const class_model& model, int32_t generation_size) {
  next.fill(0);
  parent_list parents;
  if (generation_size <= 0 || !list_parent_shares(current, fitness, rule, parents)) return;
  const std::array<uint64_t, 3> way_share = {model.clone_below, model.self_below - model.clone_below,
                                             draw_values - model.self_below};
  std::array<int64_t, 3> ways{};
  split(stream, generation_size, way_share, ways);
  std::array<int64_t, genotype_count> made{};
  if (ways[0] > 0) {
    std::array<uint64_t, genotype_count + 1> share{};
    for (size_t k = 0; k < parents.size; ++k) share[parents.index[k]] = parents.share[k];
    share[genotype_count] = parents.no_parent;
    std::array<int64_t, genotype_count + 1> clones{};
    split(stream, ways[0], share, clones);
    for (size_t l = 0; l < genotype_count; ++l) made[l] += clones[l];
    made[0] += clones[genotype_count];
  }
  if (ways[1] > 0) {
    // A gamete's four outcomes as fractions, as in mate_by_class (by bits:
    // slot 2, slot 4).
    const double all = static_cast<double>(uint64_t{1} << 32);
    const std::array<double, 4> outcome = {
        model.after_slot_1 / all, model.after_slot_2 / all,
        static_cast<double>(draw_values - model.after_slot_1) / all,
        static_cast<double>(draw_values - model.after_slot_2) / all};
    std::array<double, genotype_count> probability{};
    for (size_t k = 0; k < parents.size; ++k) {
      const double share = parents.share[k] / static_cast<double>(draw_values);
      const auto& passed = gamete_of[parents.index[k]];
      for (size_t first = 0; first < 4; ++first) {
        for (size_t second = 0; second < 4; ++second) {
          const int g1 = passed[first];
          const int g2 = passed[second];
          probability[static_cast<size_t>(compose_index(g1 % 3, g2 % 3, g1 / 3, g2 / 3))] +=
              share * outcome[first] * outcome[second];
        }
      }
    }
    probability[0] += parents.no_parent / static_cast<double>(draw_values);
    std::array<int64_t, genotype_count> selfed{};
    split_real(stream, ways[1], probability, selfed);
    for (size_t l = 0; l < genotype_count; ++l) made[l] += selfed[l];
  }
  if (ways[2] > 0) {
    population_counts outcrossed{};
    mate_by_class(stream, current, outcrossed, fitness, rule, model.after_slot_1, model.after_slot_2,
                  static_cast<int32_t>(ways[2]));
    for (size_t l = 0; l < genotype_count; ++l) made[l] += outcrossed[l];
  }
  for (size_t l = 0; l < genotype_count; ++l) next[l] = static_cast<int32_t>(made[l]);
}

namespace {

// Takes a source's parent list, its linkage (the shares of its class_model)
// and the offspring's ways; adds `weight` times each offspring class's
// probability to `probability`: clones, selfed and outcrossed offspring of
// parents drawn by their shares, no parent passing allele 1 at both loci.
void add_offspring_probabilities(const parent_list& parents, const class_model& linkage,
                                 uint32_t clone_below, uint32_t self_below, double weight,
                                 std::array<double, genotype_count>& probability) {
  const double all_draws = static_cast<double>(draw_values);
  const double clone = clone_below / all_draws;
  const double self = (self_below - clone_below) / all_draws;
  const double outcross = 1 - clone - self;
  const double all = static_cast<double>(uint64_t{1} << 32);
  const std::array<double, 4> outcome = {
      linkage.after_slot_1 / all, linkage.after_slot_2 / all,
      static_cast<double>(draw_values - linkage.after_slot_1) / all,
      static_cast<double>(draw_values - linkage.after_slot_2) / all};
  std::array<double, 9> gamete{};
  const double none = parents.no_parent / all_draws;
  gamete[0] += none;
  for (size_t k = 0; k < parents.size; ++k) {
    const double share = parents.share[k] / all_draws;
    const auto& passed = gamete_of[parents.index[k]];
    probability[parents.index[k]] += weight * clone * share;
    for (size_t first = 0; first < 4; ++first) {
      gamete[static_cast<size_t>(passed[first])] += share * outcome[first];
      // Without selfing every selfed term is +0, which leaves each sum as it is.
      if (self_below == clone_below) continue;
      for (size_t second = 0; second < 4; ++second) {
        const int g1 = passed[first];
        const int g2 = passed[second];
        probability[static_cast<size_t>(compose_index(g1 % 3, g2 % 3, g1 / 3, g2 / 3))] +=
            weight * self * share * outcome[first] * outcome[second];
      }
    }
  }
  probability[0] += weight * (clone + self) * none;
  for (int g1 = 0; g1 < 9; ++g1) {
    for (int g2 = 0; g2 < 9; ++g2) {
      probability[static_cast<size_t>(compose_index(g1 % 3, g2 % 3, g1 / 3, g2 / 3))] +=
          weight * outcross * gamete[static_cast<size_t>(g1)] * gamete[static_cast<size_t>(g2)];
    }
  }
}

}  // namespace

void mate_sources_by_class(class_stream& stream, class_sources_workspace& workspace,
                           uint32_t clone_below, uint32_t self_below, int32_t generation_size,
                           population_counts& next) {
  next.fill(0);
  const std::vector<class_source>& sources = workspace.sources;
  if (generation_size <= 0 || sources.empty()) return;
  std::vector<parent_list>& parents = workspace.parents;
  std::vector<double>& weight = workspace.weight;
  std::vector<uint8_t>& has_parents = workspace.has_parents;
  std::vector<uint32_t>& below = workspace.below;
  parents.resize(sources.size());
  weight.resize(sources.size());
  has_parents.resize(sources.size());
  for (size_t k = 0; k < sources.size(); ++k) {
    has_parents[k] = static_cast<uint8_t>(
        sources[k].listed != nullptr
            ? sources[k].has_parents
            : list_parent_shares(*sources[k].parents, *sources[k].fitness, sources[k].rule, parents[k]));
    weight[k] = sources[k].probability;
  }
  if (!source_thresholds(weight, has_parents, below)) return;  // no parents anywhere
  std::array<double, genotype_count> probability{};
  uint32_t previous = 0;
  for (size_t k = 0; k < sources.size(); ++k) {
    const double share = (below[k] - previous) / static_cast<double>(draw_values);
    previous = below[k];
    if (share > 0) {
      add_offspring_probabilities(sources[k].listed != nullptr ? *sources[k].listed : parents[k], *sources[k].shares,
                                  clone_below, self_below, share, probability);
    }
  }
  std::array<int64_t, genotype_count> counts{};
  split_real(stream, generation_size, probability, counts);
  for (size_t l = 0; l < genotype_count; ++l) next[l] = static_cast<int32_t>(counts[l]);
}

void sample_generation(class_stream& stream, population_counts& current, population_counts& next,
                       const model_params& params, const class_model& model, int64_t generation) {
  start_class_draws(stream, generation);
  mutate_by_shares(stream, current, next, model);
  if (model.self_below > 0) {
    mate_mixed_by_class(stream, current, next, params.fitness, params.weights, model, params.generation_size);
  } else {
    mate_by_class(stream, current, next, params.fitness, params.weights, model.after_slot_1,
                  model.after_slot_2, params.generation_size);
  }
}

}  // namespace twolocus
