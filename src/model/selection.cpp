#include "model/steps.hpp"

#include <cstddef>

namespace twolocus {

int64_t selection_weight(int32_t count, double fitness) {
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
