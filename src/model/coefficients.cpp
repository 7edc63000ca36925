#include "model/coefficients.hpp"

#include <algorithm>
#include <utility>

#include "model/genotype.hpp"

namespace twolocus {

locus_fitness fitness_of_coefficients(const locus_coefficients& c) {
  return {1.0,
          1.0 + c.h2 * c.s2,
          1.0 + c.h3 * c.s3,
          1.0 + c.s2,
          1.0 + (c.s2 + c.s3) / 2,
          1.0 + c.s3};
}

int unordered_place(int first, int second) {
  if (first > second) std::swap(first, second);
  constexpr int place[3][3] = {{0, 1, 2}, {1, 3, 4}, {2, 4, 5}};
  return place[first][second];
}

fitness_table two_locus_fitness(const locus_fitness& a, const locus_fitness& b, combination how,
                                double epistasis) {
  fitness_table table{};
  for (int index = 0; index < genotype_count; ++index) {
    const int a1 = index_digit(index, 1), a2 = index_digit(index, 2);
    const int b1 = index_digit(index, 3), b2 = index_digit(index, 4);
    const double wa = a[static_cast<size_t>(unordered_place(a1, a2))];
    const double wb = b[static_cast<size_t>(unordered_place(b1, b2))];
    const double derived = ((a1 > 0) + (a2 > 0)) / 2.0 * ((b1 > 0) + (b2 > 0)) / 2.0;
    const double w = how == combination::multiplicative ? wa * wb * (1 + epistasis * derived)
                                                         : 1 + (wa - 1) + (wb - 1) + epistasis * derived;
    table[static_cast<size_t>(index)] = std::max(w, 0.0);
  }
  return table;
}

fitness_table coefficient_fitness(const fitness_coefficients& c, weight_rule rule) {
  fitness_table table = two_locus_fitness(c.fitness_a.value_or(fitness_of_coefficients(c.a)),
                                          c.fitness_b.value_or(fitness_of_coefficients(c.b)), c.how, c.epistasis);
  if (rule == weight_rule::floor) {
    for (double& w : table) w = static_cast<double>(static_cast<float>(w));
  }
  return table;
}

}  // namespace twolocus
