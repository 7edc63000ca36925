// The mutation step, computed on raw draws: each uniform comparison of the
// step becomes a comparison of the raw draw with a precomputed integer
// threshold, which decides the same way for every draw value.
#include <algorithm>
#include <limits>

#include "model/genotype.hpp"
#include "model/random.hpp"
#include "model/steps.hpp"

namespace twolocus {

namespace {

// One locus's thresholds: below `to_2` an allele 1 becomes 2, else below
// `to_3` it becomes 3; below `two_to_3` an allele 2 becomes 3.
struct locus_thresholds {
  uint32_t to_2;
  uint32_t to_3;
  uint32_t two_to_3;
};

locus_thresholds thresholds_of(const mutation_rates& rates) {
  return {draw_threshold(rates[0]), draw_threshold(rates[0] + rates[2]), draw_threshold(rates[1])};
}

// Below this a draw may change a slot holding the given digit.
uint32_t change_threshold(int digit, const locus_thresholds& t) {
  if (digit == 0) return std::max(t.to_2, t.to_3);
  if (digit == 1) return t.two_to_3;
  return 0;
}

// The change of a slot's digit that a draw makes.
int digit_change(int digit, uint32_t draw, const locus_thresholds& t) {
  if (digit == 0) {
    if (draw < t.to_2) return 1;
    if (draw < t.to_3) return 2;
  } else if (digit == 1) {
    if (draw < t.two_to_3) return 1;
  }
  return 0;
}

constexpr int32_t mutation_group = 16;

// Whether any of `individuals` groups of four draws may change its slot.
// Written as four independent or-reductions so that it runs on vectors.
bool any_may_change(const uint32_t* draw, int32_t individuals,
                    const std::array<uint32_t, 4>& may_change) {
  uint32_t slot1 = 0, slot2 = 0, slot3 = 0, slot4 = 0;
  const size_t count = 4 * static_cast<size_t>(individuals);
  for (size_t k = 0; k < count; k += 4) {
    slot1 |= draw[k] < may_change[0];
    slot2 |= draw[k + 1] < may_change[1];
    slot3 |= draw[k + 2] < may_change[2];
    slot4 |= draw[k + 3] < may_change[3];
  }
  return (slot1 | slot2 | slot3 | slot4) != 0;
}

void discard_draws(int64_t count) {
  while (count > 0) {
    const auto take = static_cast<size_t>(std::min<int64_t>(count, draw_block));
    draws_ahead(take);
    skip_draws(take);
    count -= static_cast<int64_t>(take);
  }
}

}  // namespace

void mutate_population(population_counts& current, population_counts& next,
                       const mutation_rates& rates_a, const mutation_rates& rates_b) {
  const locus_thresholds locus_a = thresholds_of(rates_a);
  const locus_thresholds locus_b = thresholds_of(rates_b);
  constexpr int64_t count_max = std::numeric_limits<int32_t>::max();
  // Counts move in 64 bits. A class only gains individuals from classes of
  // lower index, all visited before it, so holding it at the 32-bit maximum
  // when its own turn comes equals holding every single gain there.
  std::array<int64_t, genotype_count> moved{};
  std::copy(current.begin(), current.end(), moved.begin());

  for (int j = 0; j < genotype_count; ++j) {
    const auto class_j = static_cast<size_t>(j);
    moved[class_j] = std::min(moved[class_j], count_max);
    const int32_t count = current[class_j];
    if (count <= 0) continue;
    const std::array<int, 4> digit = {index_digit(j, 1), index_digit(j, 2), index_digit(j, 3),
                                      index_digit(j, 4)};
    const std::array<const locus_thresholds*, 4> locus = {&locus_a, &locus_a, &locus_b, &locus_b};
    std::array<uint32_t, 4> may_change{};
    for (size_t slot = 0; slot < 4; ++slot) may_change[slot] = change_threshold(digit[slot], *locus[slot]);
    if (may_change[0] == 0 && may_change[1] == 0 && may_change[2] == 0 && may_change[3] == 0) {
      discard_draws(4 * static_cast<int64_t>(count));
      continue;
    }
    for (int32_t done = 0; done < count;) {
      const int32_t batch = std::min<int32_t>(count - done, static_cast<int32_t>(draw_block / 4));
      const auto* draw = reinterpret_cast<const uint32_t*>(draws_ahead(4 * static_cast<size_t>(batch)));
      // Mutations are rare: most groups of individuals are passed over after
      // one vector comparison of all their draws.
      for (int32_t group = 0; group < batch; group += mutation_group) {
        const uint32_t* members_draws = draw + 4 * group;
        const int32_t members = std::min(mutation_group, batch - group);
        if (!any_may_change(members_draws, members, may_change)) continue;
        for (int32_t i = 0; i < members; ++i) {
          const uint32_t* own = members_draws + 4 * i;
          int target = j;
          for (size_t slot = 0; slot < 4; ++slot) {
            target += digit_change(digit[slot], own[slot], *locus[slot]) * slot_weight[slot];
          }
          if (target != j) {
            --moved[class_j];
            ++moved[static_cast<size_t>(target)];
          }
        }
      }
      skip_draws(4 * static_cast<size_t>(batch));
      done += batch;
    }
  }
  for (size_t l = 0; l < next.size(); ++l) next[l] = static_cast<int32_t>(moved[l]);
  current = next;
}

}  // namespace twolocus
