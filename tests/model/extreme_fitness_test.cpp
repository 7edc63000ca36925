// Fitness values at the ends of the double range under exact weights: the
// parent frequencies keep the values' ratios when count x fitness
// overflows or underflows, and every engine then draws the generation it
// draws for the same ratios at ordinary values.
#include <gtest/gtest.h>

#include <cmath>
#include <numeric>

#include "model/engines.hpp"
#include "model/steps.hpp"

namespace twolocus {
namespace {

population_counts mixed_population() {
  population_counts counts{};
  counts[0] = 1000000000;
  counts[1] = 700000000;
  counts[40] = 300000000;
  counts[80] = 12;
  return counts;
}

fitness_table ordinary_fitness() {
  fitness_table fitness{};
  for (size_t l = 0; l < fitness.size(); ++l) fitness[l] = 0.25 + 0.0625 * static_cast<double>(l % 7);
  return fitness;
}

fitness_table scaled(const fitness_table& fitness, int power) {
  fitness_table out = fitness;
  for (double& f : out) f = std::ldexp(f, power);
  return out;
}

TEST(ExtremeFitness, ScaledTablesGiveTheSameParentFrequencies) {
  const population_counts counts = mixed_population();
  class_frequencies plain{};
  ASSERT_TRUE(parent_frequencies(counts, ordinary_fitness(), weight_rule::exact, plain));
  // 2^1000 overflows the products' sum, 2^-1052 makes it subnormal (the
  // values themselves stay exact): both are scaled back, by powers of two,
  // to the ordinary table, so the frequencies are the same bit for bit.
  for (const int power : {1000, 1023, -1052}) {
    class_frequencies got{};
    ASSERT_TRUE(parent_frequencies(counts, scaled(ordinary_fitness(), power), weight_rule::exact, got))
        << power;
    for (size_t l = 0; l < got.size(); ++l) EXPECT_EQ(got[l], plain[l]) << power << " class " << l;
  }
  EXPECT_EQ(exact_weight_exponent(counts, scaled(ordinary_fitness(), -1060)), -1060);
  EXPECT_EQ(exact_weight_exponent(population_counts{}, ordinary_fitness()), 0);
}

model_params neutral_model(double fitness_value) {
  model_params model;
  model.fitness.fill(fitness_value);
  model.generation_size = 18;
  model.mutation_a = classic_matrix({0.1, 0.1, 0.1});
  model.mutation_b = classic_matrix({0.1, 0.1, 0.1});
  model.recombination = 0.2;
  model.weights = weight_rule::exact;
  return model;
}

template <typename engine_type>
population_counts one_generation(double fitness_value) {
  engine_type engine;
  seed_engine(engine, 17);
  population_counts current{};
  current[0] = 9;
  current[4] = 9;
  population_counts next{};
  set_model(engine, neutral_model(fitness_value));
  run_generation(engine, current, next, 0);
  return next;
}

template <typename engine_type>
void expect_huge_values_keep_the_generation() {
  // Every genotype at 1e307: 18 x 1e307 is beyond the doubles, yet the
  // population is neutral, not extinct.
  const population_counts huge = one_generation<engine_type>(1e307);
  EXPECT_EQ(std::accumulate(huge.begin(), huge.end(), 0), 18);
  // A power of two is scaled back exactly: the generation of fitness 1.
  EXPECT_EQ(one_generation<engine_type>(std::ldexp(1.0, 1020)), one_generation<engine_type>(1.0));
  EXPECT_EQ(one_generation<engine_type>(std::ldexp(1.0, -1070)), one_generation<engine_type>(1.0));
}

TEST(ExtremeFitness, EveryEngineDrawsANeutralGenerationAtHugeAndTinyValues) {
  expect_huge_values_keep_the_generation<exact_engine>();
  expect_huge_values_keep_the_generation<literal_engine>();
  expect_huge_values_keep_the_generation<multinomial_engine>();
}

}  // namespace
}  // namespace twolocus
