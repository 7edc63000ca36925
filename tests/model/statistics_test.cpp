// The statistics of a population: values worked by hand, D' and r2
// undefined where allele 1 is fixed, the exact ratio rounded once (ties to
// even, also beyond 2^53), and counts of any sign (hand-made records).
#include "model/statistics.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>

#include "model/genotype.hpp"

namespace twolocus {
namespace {

double value_of(population_statistic which, const statistic_values& values) {
  return values[static_cast<size_t>(which)].value_or(std::nan(""));
}

TEST(Statistics, PopulationsWorkedByHand) {
  population_counts counts{};
  // Slots 1 and 3 make one haplotype: 1-1, 1-1, 1-1, 2-2, full disequilibrium.
  counts[static_cast<size_t>(compose_index(0, 0, 0, 0))] = 1;
  counts[static_cast<size_t>(compose_index(0, 1, 0, 1))] = 1;
  fitness_table fitness{};
  fitness.fill(0.5);
  statistic_values values;
  population_statistic_values(counts, &fitness, values);
  EXPECT_EQ(value_of(population_statistic::n, values), 2);
  EXPECT_EQ(value_of(population_statistic::h11, values), 0.75);
  EXPECT_EQ(value_of(population_statistic::d, values), 3.0 / 16);
  EXPECT_EQ(value_of(population_statistic::dprime, values), 1);
  EXPECT_EQ(value_of(population_statistic::r2, values), 1);
  EXPECT_EQ(value_of(population_statistic::ha, values), 0.375);
  EXPECT_EQ(value_of(population_statistic::mean_fitness, values), 0.5);
  EXPECT_EQ(value_of(population_statistic::classes, values), 2);
  // Allele 1 fixed at locus b: D' and r2 undefined; without fitness, no mean.
  counts = {};
  counts[static_cast<size_t>(compose_index(1, 1, 0, 0))] = 10;
  population_statistic_values(counts, nullptr, values);
  EXPECT_FALSE(values[static_cast<size_t>(population_statistic::dprime)]);
  EXPECT_FALSE(values[static_cast<size_t>(population_statistic::r2)]);
  EXPECT_FALSE(values[static_cast<size_t>(population_statistic::mean_fitness)]);
  EXPECT_EQ(value_of(population_statistic::d, values), 0);
  // Extinct: every ratio undefined, extinct 1.
  counts = {};
  population_statistic_values(counts, &fitness, values);
  EXPECT_FALSE(values[static_cast<size_t>(population_statistic::a1)]);
  EXPECT_FALSE(values[static_cast<size_t>(population_statistic::mean_fitness)]);
  EXPECT_EQ(value_of(population_statistic::extinct, values), 1);
  EXPECT_EQ(statistic_name(population_statistic::dprime), "Dprime");
}

exact_value quotient(exact_int numerator, exact_int denominator) {
  exact_value value;
  set_quotient(value, numerator, denominator);
  return value;
}

TEST(Statistics, RatiosAreRoundedOnceTiesToEven) {
  constexpr exact_int two53 = exact_int{1} << 53;
  // 2^53 + 1 lies halfway between two doubles: the even one, 2^53.
  EXPECT_EQ(nearest_double(quotient(two53 + 1, 1)), 9007199254740992.0);
  EXPECT_EQ(nearest_double(quotient(two53 + 3, 1)), 9007199254740996.0);
  EXPECT_EQ(nearest_double(quotient(-(two53 + 3), 1)), -9007199254740996.0);
  // Just past halfway rounds up; a third stays a third.
  EXPECT_EQ(nearest_double(quotient(2 * two53 + 3, 2)), 9007199254740994.0);
  EXPECT_EQ(nearest_double(quotient(1, 3)), 1.0 / 3);
  EXPECT_EQ(nearest_double(quotient(0, -7)), 0.0);
  // Wide ratios against one rounding of the exact quotient in quadruple precision.
  __extension__ typedef __float128 quad;
  std::mt19937_64 generator(7);
  for (int i = 0; i < 20000; ++i) {
    const auto numerator = static_cast<exact_int>(generator() >> (generator() % 60));
    const auto denominator = static_cast<exact_int>((generator() >> (generator() % 60)) | 1);
    const double expected = static_cast<double>(static_cast<quad>(numerator) / static_cast<quad>(denominator));
    ASSERT_EQ(nearest_double(quotient(numerator, denominator)), expected)
        << static_cast<uint64_t>(numerator) << " / " << static_cast<uint64_t>(denominator);
  }
}

TEST(Statistics, HandMadeCountsOfAnySignGiveTheirRatios) {
  // N = -3 + 1 = -2: 2N = -4 copies; allele 1 at locus a: -6 + 1.
  population_counts counts{};
  counts[static_cast<size_t>(compose_index(0, 0, 0, 0))] = -3;
  counts[static_cast<size_t>(compose_index(1, 0, 0, 0))] = 1;
  statistic_values values;
  population_statistic_values(counts, nullptr, values);
  EXPECT_EQ(value_of(population_statistic::n, values), -2);
  EXPECT_EQ(value_of(population_statistic::a1, values), 1.25);
  EXPECT_EQ(value_of(population_statistic::a2, values), -0.25);
  // No copies of a negative N: -0, as a division of doubles gives it.
  EXPECT_TRUE(std::signbit(value_of(population_statistic::a3, values)));
  EXPECT_EQ(value_of(population_statistic::classes, values), 1);
  EXPECT_EQ(value_of(population_statistic::extinct, values), 0);
}

}  // namespace
}  // namespace twolocus
