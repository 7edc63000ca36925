// The exact probabilities of the statistical tests: an offspring's ordered
// genotype from the gametes of two independent parents.
#pragma once

#include <array>
#include <vector>

#include "model/genotype.hpp"

namespace twolocus::testing {

// Takes the probability of each gamete a + 3 b (its alleles at loci a and b,
// as digits); returns each offspring class's probability: the first
// parent's gamete fills slots 1 and 3, the second's slots 2 and 4.
inline std::vector<double> offspring_of_gametes(const std::array<double, 9>& gamete) {
  std::vector<double> probability(genotype_count, 0.0);
  for (int g1 = 0; g1 < 9; ++g1) {
    for (int g2 = 0; g2 < 9; ++g2) {
      probability[static_cast<size_t>(compose_index(g1 % 3, g2 % 3, g1 / 3, g2 / 3))] =
          gamete[static_cast<size_t>(g1)] * gamete[static_cast<size_t>(g2)];
    }
  }
  return probability;
}

}  // namespace twolocus::testing
