#include "model/steps.hpp"

#include <cmath>
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

int exact_weight_exponent(const population_counts& counts, const fitness_table& fitness) {
  double largest = 0;
  for (std::size_t l = 0; l < counts.size(); ++l) {
    if (counts[l] > 0 && fitness[l] > largest) largest = fitness[l];
  }
  if (!(largest > 0) || !std::isfinite(largest)) return 0;
  int exponent = 0;
  std::frexp(largest, &exponent);
  return exponent;
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
  const auto weigh = [&](int exponent) {
    total = 0;
    for (std::size_t l = 0; l < weights.size(); ++l) {
      weights[l] = counts[l] > 0 && fitness[l] > 0
                       ? static_cast<double>(counts[l]) * scaled_fitness(fitness[l], exponent)
                       : 0.0;
      total += weights[l];
    }
  };
  weigh(0);
  if (!std::isnormal(total)) weigh(exact_weight_exponent(counts, fitness));
  if (!(total > 0)) return false;
  for (std::size_t l = 0; l < frequency.size(); ++l) {
    frequency[l] = weights[l] / total;
    any |= frequency[l] > 0;
  }
  if (!any) frequency.fill(0);
  return any;
}

}  // namespace twolocus
