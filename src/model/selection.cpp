#include "model/steps.hpp"

#include <cstddef>

namespace twolocus {

int64_t weigh_classes(const population_counts& counts, const fitness_table& fitness,
                      class_weights& weights) {
  int64_t total = 0;
  for (std::size_t l = 0; l < weights.size(); ++l) {
    weights[l] = selection_weight(counts[l], fitness[l]);
    total += weights[l];
  }
  return total;
}

}  // namespace twolocus

namespace twolocus {

bool parent_frequencies(const population_counts& counts, const fitness_table& fitness, weight_rule rule,
                        class_frequencies& frequency) {
  frequency.fill(0);
  bool any = false;
  if (rule == weight_rule::floor) {
    class_weights weights{};
    const int64_t total = weigh_classes(counts, fitness, weights);
    if (total == 0) return false;
    const double divisor = static_cast<double>(static_cast<float>(total));
    for (std::size_t l = 0; l < frequency.size(); ++l) {
      if (weights[l] > 0) frequency[l] = static_cast<double>(weights[l]) / divisor;
    }
    return true;
  }
  std::array<double, genotype_count> weights{};
  double total = 0;
  for (std::size_t l = 0; l < weights.size(); ++l) {
    if (counts[l] > 0 && fitness[l] > 0) weights[l] = static_cast<double>(counts[l]) * fitness[l];
    total += weights[l];
  }
  if (!(total > 0)) return false;
  for (std::size_t l = 0; l < frequency.size(); ++l) {
    frequency[l] = weights[l] / total;
    any |= frequency[l] > 0;
  }
  if (!any) frequency.fill(0);
  return any;
}

}  // namespace twolocus
