#include <cmath>
#include <limits>

#include "model/genotype.hpp"
#include "model/random.hpp"
#include "model/steps.hpp"

namespace twolocus {

int64_t selection_weight(int32_t count, double fitness) {
  if (count <= 0) return 0;
  // Rounding to single precision is part of the model; a value beyond the
  // single range is an infinity, as the conversion gives on IEEE machines.
  constexpr double single_max = static_cast<double>(std::numeric_limits<float>::max());
  float single;
  if (std::isnan(fitness)) return 0;
  if (fitness > single_max) {
    single = std::numeric_limits<float>::infinity();
  } else if (fitness < -single_max) {
    return 0;
  } else {
    single = static_cast<float>(fitness);
  }
  const double product = static_cast<double>(count) * static_cast<double>(single);
  constexpr double weight_cap = 72057594037927936.0;  // 2^56
  if (!(product > 0)) return 0;
  if (product >= weight_cap) return static_cast<int64_t>(weight_cap);
  return static_cast<int64_t>(product);
}

namespace {

// The allele a parent passes on at one locus: the first slot's digit when
// the draw is below one half, the second slot's otherwise.
int passed_digit(int first, int second) { return uniform_draw() < 0.5 ? first : second; }

}  // namespace

void select_and_mate(population_counts& current, population_counts& next,
                     const fitness_table& fitness, int32_t generation_size) {
  std::array<int64_t, genotype_count> weight{};
  int64_t total = 0;
  for (size_t l = 0; l < weight.size(); ++l) {
    weight[l] = selection_weight(current[l], fitness[l]);
    total += weight[l];
  }
  next.fill(0);
  if (total == 0) return;  // extinct: no parent can be drawn
  const double divisor = static_cast<double>(static_cast<float>(total));

  for (int32_t child = 0; child < generation_size; ++child) {
    int index = 0;
    double t = uniform_draw();
    double u = uniform_draw();
    // One walk finds both parents: each remainder falls below 0 in the class
    // that holds its parent and stays below 0 afterwards.
    for (int l = 0; l < genotype_count; ++l) {
      const double f = static_cast<double>(weight[static_cast<size_t>(l)]) / divisor;
      if (t >= 0 && t < f) {
        index += passed_digit(index_digit(l, 1), index_digit(l, 2));
        index += 9 * passed_digit(index_digit(l, 3), index_digit(l, 4));
      }
      t -= f;
      if (u >= 0 && u < f) {
        index += 3 * passed_digit(index_digit(l, 1), index_digit(l, 2));
        index += 27 * passed_digit(index_digit(l, 3), index_digit(l, 4));
      }
      u -= f;
      if (t < 0 && u < 0) break;
    }
    ++next[static_cast<size_t>(index)];
  }
}

}  // namespace twolocus
