// Fitness from coefficients, checked on genotypes worked by hand: one
// locus's six genotypes from s and h, both combinations with and without
// epistasis, the classic valley, the floor of 0 and the rounding of floor
// weights.
#include <gtest/gtest.h>

#include <string>

#include "model/coefficients.hpp"
#include "model/genotype.hpp"

namespace twolocus {
namespace {

// Takes a label such as "2131"; returns its fitness in the table.
double at(const fitness_table& table, const std::string& label) {
  return table[static_cast<size_t>(
      compose_index(label[0] - '1', label[1] - '1', label[2] - '1', label[3] - '1'))];
}

TEST(Coefficients, OneLocusSixGenotypesFromSelectionAndDominance) {
  const locus_fitness w = fitness_of_coefficients({-0.2, 0.25, 0.5, 1.0});
  EXPECT_DOUBLE_EQ(w[0], 1.0);            // 11
  EXPECT_DOUBLE_EQ(w[1], 1.0 - 0.05);     // 12: 1 + h2 s2
  EXPECT_DOUBLE_EQ(w[2], 1.5);            // 13: 1 + h3 s3, h3 = 1 dominant
  EXPECT_DOUBLE_EQ(w[3], 0.8);            // 22
  EXPECT_DOUBLE_EQ(w[4], 1.0 + 0.15);     // 23: the mean of the two effects
  EXPECT_DOUBLE_EQ(w[5], 1.5);            // 33
  EXPECT_EQ(unordered_place(2, 1), unordered_place(1, 2));
  EXPECT_EQ(unordered_place(2, 1), 4);
  EXPECT_EQ(unordered_place(0, 2), 2);
}

TEST(Coefficients, MultiplicativeAndAdditiveWithEpistasisByHand) {
  fitness_coefficients c;
  c.a = {-0.1, 0.5, 0.2, 0.0};
  c.b = {0.3, 1.0, 0.0, 0.5};
  c.epistasis = 0.4;
  const fitness_table m = coefficient_fitness(c);
  // 1111: no derived allele.
  EXPECT_DOUBLE_EQ(at(m, "1111"), 1.0);
  // 2111: wa = 0.95, wb = 1, no derived allele at b.
  EXPECT_DOUBLE_EQ(at(m, "2111"), 0.95);
  // 2121 (a 21, b 21): wa = 0.95, wb = 1.3 (h = 1), da = db = 1: 1 + 0.4/4.
  EXPECT_DOUBLE_EQ(at(m, "2121"), 0.95 * 1.3 * 1.1);
  // 2233 (a 22, b 33): wa = 0.9, wb = 1 (s3 = 0), da = db = 2: 1 + 0.4.
  EXPECT_DOUBLE_EQ(at(m, "2233"), 0.9 * 1.0 * 1.4);
  // 3112 (a 31, b 12): wa = 1 + 0 * 0.2 = 1 (h3 = 0), wb = 1.3, 1/2 * 1/2.
  EXPECT_DOUBLE_EQ(at(m, "3112"), 1.3 * 1.1);
  // 2332 (a 23, b 32): wa = 1 + (-0.1 + 0.2)/2, wb = 1 + (0.3 + 0)/2.
  EXPECT_DOUBLE_EQ(at(m, "2332"), 1.05 * 1.15 * 1.4);
  c.how = combination::additive;
  const fitness_table a = coefficient_fitness(c);
  EXPECT_DOUBLE_EQ(at(a, "2121"), 1 - 0.05 + 0.3 + 0.1);
  EXPECT_DOUBLE_EQ(at(a, "2233"), 1 - 0.1 + 0.0 + 0.4);
  EXPECT_DOUBLE_EQ(at(a, "2332"), 1 + 0.05 + 0.15 + 0.4);
  // Either order of the parents' haplotypes: the same fitness.
  for (int index = 0; index < genotype_count; ++index) {
    const int mirror = compose_index(index_digit(index, 2), index_digit(index, 1), index_digit(index, 4),
                                     index_digit(index, 3));
    EXPECT_EQ(a[static_cast<size_t>(index)], a[static_cast<size_t>(mirror)]);
  }
}

TEST(Coefficients, TheClassicValleyAndTheFloorOfZero) {
  const double s = 0.02, k = 0.05;
  fitness_coefficients c;
  c.a = {-s, 0.5, 0.0, 0.5};
  c.b = c.a;
  c.how = combination::additive;
  c.epistasis = k + 2 * s;
  const fitness_table valley = coefficient_fitness(c);
  EXPECT_DOUBLE_EQ(at(valley, "2211"), 1 - s);
  EXPECT_DOUBLE_EQ(at(valley, "1122"), 1 - s);
  EXPECT_DOUBLE_EQ(at(valley, "1211"), 1 - s / 2);
  EXPECT_DOUBLE_EQ(at(valley, "2222"), 1 + k);
  // A double mutant with a strongly negative epistasis is lethal, not negative.
  c.epistasis = -3.0;
  EXPECT_EQ(at(coefficient_fitness(c), "2222"), 0.0);
  EXPECT_GT(at(coefficient_fitness(c), "2111"), 0.0);
}

TEST(Coefficients, ALocusGivenByItsSixFitnessesReplacesItsCoefficients) {
  fitness_coefficients c;
  c.a = {0.5, 0.5, 0.5, 0.5};  // not used: locus a is given outright
  c.fitness_a = locus_fitness{1.0, 0.7, 1.2, 0.4, 2.0, 3.0};
  c.b = {-0.2, 0.0, 0.0, 0.5};  // 11: 1, 12: 1 (recessive), 22: 0.8
  c.epistasis = 0.5;
  const fitness_table m = coefficient_fitness(c);
  EXPECT_DOUBLE_EQ(at(m, "2311"), 2.0);               // a 23, b 11: no epistasis
  EXPECT_DOUBLE_EQ(at(m, "3212"), 2.0 * 1.0 * 1.25);  // a 32 (da 2), b 12 (db 1): 1 + E / 2
  EXPECT_DOUBLE_EQ(at(m, "1322"), 1.2 * 0.8 * 1.25);   // a 13 (da 1), b 22 (db 2): 1 + E / 2
  c.how = combination::additive;
  EXPECT_DOUBLE_EQ(at(coefficient_fitness(c), "2222"), 1 + (0.4 - 1) + (0.8 - 1) + 0.5);
  c.fitness_a.reset();
  EXPECT_DOUBLE_EQ(at(coefficient_fitness(c), "2211"), 1.5);
}

TEST(Coefficients, FloorWeightsRoundEachFitnessToSinglePrecision) {
  fitness_coefficients c;
  c.a = {0.1, 0.3, 0.0, 0.5};
  const fitness_table exact = coefficient_fitness(c);
  const fitness_table floor = coefficient_fitness(c, weight_rule::floor);
  for (size_t index = 0; index < genotype_count; ++index) {
    EXPECT_EQ(floor[index], static_cast<double>(static_cast<float>(exact[index])));
  }
  EXPECT_NE(at(floor, "2111"), at(exact, "2111"));  // 1.03 is not a float
}

}  // namespace
}  // namespace twolocus
