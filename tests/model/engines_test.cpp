// The three engines side by side in one process: each owns its stream, so
// engines run interleaved give what each gives alone, the exact and literal
// engines give the same generations, and the multinomial engine's
// generations depend on its seed and the generation number only.
#include "model/engines.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace twolocus {
namespace {

run_params valley_like(int32_t generation_size) {
  run_params params;
  params.generation_size = generation_size;
  params.rates_a = {4e-3, 1e-3, 2e-3};
  params.rates_b = {2e-3, 3e-3, 1e-3};
  for (size_t l = 0; l < params.fitness.size(); ++l) {
    params.fitness[l] = 0.85 + 0.01 * static_cast<double>(l % 29);
  }
  return params;
}

// Runs `generations` generations of an engine from all 1111; returns the
// population after each.
model_params model_of(const run_params& params) { return general_params(params); }
model_params model_of(const model_params& params) { return params; }

template <typename engine_type, typename params_type = run_params>
std::vector<population_counts> run_alone(int32_t seed, const params_type& params, int generations) {
  auto engine = std::make_unique<engine_type>();
  seed_engine(*engine, seed);
  set_model(*engine, model_of(params));
  population_counts current{}, next{};
  current[0] = params.generation_size;
  std::vector<population_counts> trajectory;
  for (int g = 0; g < generations; ++g) {
    run_generation(*engine, current, next, g);
    trajectory.push_back(next);
    current = next;
  }
  return trajectory;
}

TEST(Engines, ExactAndLiteralEnginesGiveTheSameGenerations) {
  for (const int32_t size : {1, 37, 2000}) {
    const run_params params = valley_like(size);
    EXPECT_EQ(run_alone<exact_engine>(size, params, 120), run_alone<literal_engine>(size, params, 120))
        << "N " << size;
  }
}

TEST(Engines, EnginesInterleavedInOneProcessGiveWhatEachGivesAlone) {
  const run_params params = valley_like(500);
  const int generations = 60;
  const auto exact_a = run_alone<exact_engine>(1, params, generations);
  const auto exact_b = run_alone<exact_engine>(2, params, generations);
  const auto literal_a = run_alone<literal_engine>(1, params, generations);
  const auto multinomial_a = run_alone<multinomial_engine>(1, params, generations);
  const auto multinomial_b = run_alone<multinomial_engine>(2, params, generations);
  ASSERT_NE(exact_a, exact_b);
  ASSERT_NE(multinomial_a, multinomial_b);

  auto e1 = std::make_unique<exact_engine>(), e2 = std::make_unique<exact_engine>();
  auto l1 = std::make_unique<literal_engine>();
  auto m1 = std::make_unique<multinomial_engine>(), m2 = std::make_unique<multinomial_engine>();
  seed_engine(*e1, 1), seed_engine(*e2, 2), seed_engine(*l1, 1);
  seed_engine(*m1, 1), seed_engine(*m2, 2);
  const model_params model = general_params(params);
  set_model(*e1, model), set_model(*e2, model), set_model(*l1, model);
  set_model(*m1, model), set_model(*m2, model);
  std::array<population_counts, 5> current{}, next{};
  for (auto& population : current) population[0] = params.generation_size;
  for (int g = 0; g < generations; ++g) {
    run_generation(*m2, current[4], next[4], g);
    run_generation(*e1, current[0], next[0], g);
    run_generation(*l1, current[2], next[2], g);
    run_generation(*m1, current[3], next[3], g);
    run_generation(*e2, current[1], next[1], g);
    const auto at = static_cast<size_t>(g);
    ASSERT_EQ(next[0], exact_a[at]) << g;
    ASSERT_EQ(next[1], exact_b[at]) << g;
    ASSERT_EQ(next[2], literal_a[at]) << g;
    ASSERT_EQ(next[3], multinomial_a[at]) << g;
    ASSERT_EQ(next[4], multinomial_b[at]) << g;
    current = next;
  }
}

TEST(Engines, AMultinomialGenerationDependsOnTheSeedAndItsNumberOnly) {
  const run_params params = valley_like(100000);
  const auto whole = run_alone<multinomial_engine>(9, params, 40);
  // A fresh engine started at generation 25 from the population before it.
  auto engine = std::make_unique<multinomial_engine>();
  seed_engine(*engine, 9);
  set_model(*engine, general_params(params));
  population_counts current = whole[24], next{};
  for (int g = 25; g < 40; ++g) {
    run_generation(*engine, current, next, g);
    ASSERT_EQ(next, whole[static_cast<size_t>(g)]) << g;
    current = next;
  }
}

// A digest of a trajectory (FNV-1a over its counts).
uint64_t digest(const std::vector<population_counts>& trajectory) {
  uint64_t hash = 1469598103934665603u;
  for (const auto& counts : trajectory) {
    for (const int32_t count : counts) {
      hash ^= static_cast<uint32_t>(count);
      hash *= 1099511628211u;
    }
  }
  return hash;
}

TEST(Engines, ClassicParametersThroughTheGeneralModelGiveTheClassicGenerations) {
  // The digests of 150 generations from seed 7, as the classic programs
  // compute them (exact and literal engines agree; then the multinomial).
  const std::array<std::array<uint64_t, 3>, 3> expected = {{
      {37, 0xff028d702d7442d9u, 0xa71098ae19e11cd3u},
      {2000, 0x4c79cabe3906170bu, 0xc189f970e02b9af1u},
      {100000, 0x45e3c2a63a98a71bu, 0x39dc322042642277u},
  }};
  for (const auto& [size, exact_digest, multinomial_digest] : expected) {
    const run_params classic = valley_like(static_cast<int32_t>(size));
    const model_params general = general_params(classic);
    EXPECT_EQ(digest(run_alone<exact_engine>(7, classic, 150)), exact_digest) << size;
    EXPECT_EQ(digest(run_alone<exact_engine>(7, general, 150)), exact_digest) << size;
    if (size <= 2000) {  // the literal engine is slow
      EXPECT_EQ(digest(run_alone<literal_engine>(7, general, 150)), exact_digest) << size;
    }
    EXPECT_EQ(digest(run_alone<multinomial_engine>(7, classic, 150)), multinomial_digest) << size;
    EXPECT_EQ(digest(run_alone<multinomial_engine>(7, general, 150)), multinomial_digest) << size;
  }
}

TEST(Engines, ExactAndLiteralEnginesGiveTheSameGenerationsOfTheGeneralModel) {
  model_params params = general_params(valley_like(0));
  params.mutation_a = {{{0, 4e-3, 2e-3}, {3e-3, 0, 1e-3}, {1e-3, 5e-3, 0}}};
  params.mutation_b = {{{0, 2e-3, 1e-3}, {2e-3, 0, 3e-3}, {4e-3, 1e-3, 0}}};
  for (const weight_rule rule : {weight_rule::exact, weight_rule::floor}) {
    for (const double r : {0.0, 0.1, 0.5}) {
      for (const int32_t size : {1, 37, 2000}) {
        params.weights = rule;
        params.recombination = r;
        params.generation_size = size;
        EXPECT_EQ(run_alone<exact_engine>(size, params, 60), run_alone<literal_engine>(size, params, 60))
            << "N " << size << " r " << r;
      }
    }
  }
}

}  // namespace
}  // namespace twolocus
