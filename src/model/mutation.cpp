#include <limits>

#include "model/genotype.hpp"
#include "model/random.hpp"
#include "model/steps.hpp"

namespace twolocus {

namespace {

// One slot's draw: an allele-1 slot (digit 0) becomes allele 2 below the 1->2
// rate and allele 3 below the sum of the 1->2 and 1->3 rates; an allele-2
// slot becomes allele 3 below the 2->3 rate; allele 3 never changes. Returns
// the change of the index, in units of the slot's weight.
int slot_change(int digit, const mutation_rates& rates) {
  double r = uniform_draw();
  if (digit == 0) {
    if (r < rates[0]) return 1;
    if (r < rates[0] + rates[2]) return 2;
  } else if (digit == 1) {
    if (r < rates[1]) return 1;
  }
  return 0;
}

void add_one(int32_t& count) {
  if (count < std::numeric_limits<int32_t>::max()) ++count;
}

}  // namespace

void mutate_population(population_counts& current, population_counts& next,
                       const mutation_rates& rates_a, const mutation_rates& rates_b) {
  next = current;
  for (int j = 0; j < genotype_count; ++j) {
    const int d1 = index_digit(j, 1), d2 = index_digit(j, 2);
    const int d3 = index_digit(j, 3), d4 = index_digit(j, 4);
    for (int32_t i = 0; i < current[static_cast<size_t>(j)]; ++i) {
      int target = j;
      target += slot_change(d1, rates_a) * slot_weight[0];
      target += slot_change(d2, rates_a) * slot_weight[1];
      target += slot_change(d3, rates_b) * slot_weight[2];
      target += slot_change(d4, rates_b) * slot_weight[3];
      if (target != j) {
        --next[static_cast<size_t>(j)];
        add_one(next[static_cast<size_t>(target)]);
      }
    }
  }
  current = next;
}

}  // namespace twolocus
