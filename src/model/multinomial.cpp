#include "model/multinomial.hpp"

#include <Random123/conventional/Engine.hpp>
#include <Random123/philox.h>

#include <algorithm>
#include <boost/random/binomial_distribution.hpp>
#include <limits>

#include "model/genotype.hpp"
#include "model/random.hpp"
#include "model/steps.hpp"

namespace twolocus {

namespace {

using philox_engine = r123::Engine<r123::Philox4x32>;

philox_engine engine;

// Takes a number of trials and a probability; returns a binomial draw.
// 64-bit counts keep the sampler's (trials + 1) from overflowing.
int64_t draw_binomial(int64_t trials, double p) {
  if (trials <= 0 || !(p > 0)) return 0;
  if (p >= 1) return trials;
  boost::random::binomial_distribution<int64_t, double> binomial(trials, p);
  return binomial(engine);
}

// Takes a count and the integer shares of K outcomes; fills `out` with
// multinomial counts, drawn as binomials of each outcome among those left.
// An outcome that holds all the share left takes the rest without a draw,
// so the counts sum to `count` exactly.
template <size_t K>
void split(int64_t count, const std::array<uint64_t, K>& share, std::array<int64_t, K>& out) {
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
    out[k] = draw_binomial(left, static_cast<double>(share[k]) / static_cast<double>(share_left));
    left -= out[k];
    share_left -= share[k];
  }
}

// A slot's outcomes (its digit unchanged, raised by 1, raised by 2) as
// shares of the raw draws, for a slot holding each digit.
using slot_outcomes = std::array<uint64_t, 3>;
using digit_outcomes = std::array<slot_outcomes, 3>;

digit_outcomes outcomes_of(const slot_shares& s) {
  return {{{draw_values - s.to_2 - s.one_to_3, s.to_2, s.one_to_3},
           {draw_values - s.two_to_3, s.two_to_3, 0},
           {draw_values, 0, 0}}};
}

using class_tally = std::array<int64_t, genotype_count>;

// Spreads `count` individuals, whose slots before `slot` have led them to
// index `target`, over the outcomes of the remaining slots.
void spread(int64_t count, int target, int slot, const std::array<const slot_outcomes*, 4>& outcomes,
            class_tally& tally) {
  if (slot == 4) {
    tally[static_cast<size_t>(target)] += count;
    return;
  }
  std::array<int64_t, 3> moved{};
  split(count, *outcomes[static_cast<size_t>(slot)], moved);
  for (int change = 0; change < 3; ++change) {
    if (moved[static_cast<size_t>(change)] > 0) {
      spread(moved[static_cast<size_t>(change)], target + change * slot_weight[static_cast<size_t>(slot)],
             slot + 1, outcomes, tally);
    }
  }
}

int32_t held(int64_t count) {
  return static_cast<int32_t>(std::min<int64_t>(count, std::numeric_limits<int32_t>::max()));
}

}  // namespace

slot_shares mutation_shares(const mutation_rates& rates) {
  const uint32_t to_2 = draw_threshold(rates[0]);
  const uint32_t to_3 = std::max(draw_threshold(rates[0] + rates[2]), to_2);
  return {to_2, to_3 - to_2, draw_threshold(rates[1])};
}

bool parent_class_shares(const population_counts& counts, const fitness_table& fitness,
                         parent_shares& shares) {
  class_weights weights{};
  const int64_t total = weigh_classes(counts, fitness, weights);
  if (total == 0) return false;
  walk_cuts cut{};
  parent_walk_cuts(weights, total, cut);
  uint32_t below = 0;
  for (size_t l = 0; l < cut.size(); ++l) {
    shares[l] = cut[l] - below;
    below = cut[l];
  }
  shares[genotype_count] = static_cast<uint32_t>(draw_values - below);
  return true;
}

void key_class_draws(int32_t seed) {
  engine.setkey({{static_cast<uint32_t>(seed), 0}});
}

void start_class_draws(int64_t generation) {
  const auto g = static_cast<uint64_t>(generation);
  // The lowest word counts the numbers within the generation.
  engine.setcounter({{0, 0, static_cast<uint32_t>(g), static_cast<uint32_t>(g >> 32)}}, 0);
}

void mutate_by_class(population_counts& current, population_counts& next,
                     const mutation_rates& rates_a, const mutation_rates& rates_b) {
  const digit_outcomes a = outcomes_of(mutation_shares(rates_a));
  const digit_outcomes b = outcomes_of(mutation_shares(rates_b));
  class_tally tally{};
  // A negative count stays where it is, as in the exact engine.
  for (size_t j = 0; j < tally.size(); ++j) tally[j] = std::min(current[j], 0);
  for (int j = 0; j < genotype_count; ++j) {
    const int32_t count = current[static_cast<size_t>(j)];
    if (count <= 0) continue;
    const std::array<const slot_outcomes*, 4> outcomes = {
        &a[static_cast<size_t>(index_digit(j, 1))], &a[static_cast<size_t>(index_digit(j, 2))],
        &b[static_cast<size_t>(index_digit(j, 3))], &b[static_cast<size_t>(index_digit(j, 4))]};
    spread(count, j, 0, outcomes, tally);
  }
  for (size_t j = 0; j < next.size(); ++j) next[j] = held(tally[j]);
  current = next;
}

void mate_by_class(const population_counts& current, population_counts& next,
                   const fitness_table& fitness, int32_t generation_size) {
  next.fill(0);
  parent_shares shares{};
  if (generation_size <= 0 || !parent_class_shares(current, fitness, shares)) return;
  // A parent's gamete a + 3 b (its alleles at loci a and b, as digits) as
  // shares of 4 * 2^31: each of its four inheritance outcomes takes a
  // quarter of the parent's share. No parent passes allele 1 at both loci.
  std::array<uint64_t, 9> gamete{};
  for (int l = 0; l < genotype_count; ++l) {
    const uint64_t share = shares[static_cast<size_t>(l)];
    if (share == 0) continue;
    for (int bits = 0; bits < 4; ++bits) {
      const int a = (bits & 1) ? index_digit(l, 2) : index_digit(l, 1);
      const int b = (bits & 2) ? index_digit(l, 4) : index_digit(l, 3);
      gamete[static_cast<size_t>(a + 3 * b)] += share;
    }
  }
  gamete[0] += 4 * uint64_t{shares[genotype_count]};

  std::array<int64_t, 9> first{};
  split(generation_size, gamete, first);
  for (int g1 = 0; g1 < 9; ++g1) {
    if (first[static_cast<size_t>(g1)] == 0) continue;
    std::array<int64_t, 9> second{};
    split(first[static_cast<size_t>(g1)], gamete, second);
    for (int g2 = 0; g2 < 9; ++g2) {
      const int index = compose_index(g1 % 3, g2 % 3, g1 / 3, g2 / 3);
      next[static_cast<size_t>(index)] = static_cast<int32_t>(second[static_cast<size_t>(g2)]);
    }
  }
}

}  // namespace twolocus
