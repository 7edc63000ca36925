// Cloning and selfing in the engines: the exact engine makes the literal
// steps' draws (seven an offspring: way, parents, gametes), and the
// offspring of every engine fit the exact mixture of clones, selfed and
// outcrossed offspring (Pearson's goodness of fit with fixed seeds; a
// p-value below 1e-4 fails). With both rates 0 no draw is added.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "model/engines.hpp"
#include "model/genotype.hpp"
#include "support/chi_square.hpp"
#include "support/offspring.hpp"

namespace twolocus {
namespace {

constexpr double all_draws = 2147483648.0;

model_params mixed_model(double cloning, double selfing, double r, weight_rule rule, int32_t size) {
  model_params model;
  model.generation_size = size;
  model.mutation_a = classic_matrix({0.01, 0.02, 0.005});
  model.mutation_b = classic_matrix({0.02, 0.01, 0.01});
  model.recombination = r;
  model.weights = rule;
  model.cloning = cloning;
  model.selfing = selfing;
  for (size_t l = 0; l < model.fitness.size(); ++l) {
    model.fitness[l] = 0.6 + 0.05 * static_cast<double>(l % 9);
  }
  return model;
}

template <typename engine_type>
std::vector<population_counts> generations_of(const model_params& model, int32_t seed, int count) {
  auto engine = std::make_unique<engine_type>();
  seed_engine(*engine, seed);
  set_model(*engine, model);
  population_counts current{}, next{};
  current[0] = model.generation_size;
  std::vector<population_counts> all;
  for (int g = 0; g < count; ++g) {
    run_generation(*engine, current, next, g);
    all.push_back(next);
    current = next;
  }
  return all;
}

TEST(Reproduction, TheExactEngineMakesTheLiteralStepsDraws) {
  for (const weight_rule rule : {weight_rule::floor, weight_rule::exact}) {
    for (const auto& [cloning, selfing] : {std::pair{0.3, 0.4}, {0.0, 1.0}, {1.0, 0.0}, {0.05, 0.0}}) {
      for (const int32_t size : {1, 60, 3000}) {
        const model_params model = mixed_model(cloning, selfing, 0.1, rule, size);
        EXPECT_EQ(generations_of<exact_engine>(model, 5, 80), generations_of<literal_engine>(model, 5, 80))
            << "c " << cloning << " s " << selfing << " N " << size;
      }
    }
  }
}

TEST(Reproduction, RatesOfZeroMakeTheOutcrossingEnginesDraws) {
  // A model with both rates 0 is the model without them, draw for draw, in
  // every engine (the classic programs' files stay as they are).
  const model_params outcrossing = mixed_model(0, 0, 0.2, weight_rule::exact, 500);
  model_params plain = outcrossing;
  plain.cloning = plain.selfing = 0;
  EXPECT_EQ(generations_of<multinomial_engine>(outcrossing, 9, 50),
            generations_of<multinomial_engine>(plain, 9, 50));
  EXPECT_EQ(generations_of<exact_engine>(outcrossing, 9, 50), generations_of<exact_engine>(plain, 9, 50));
}

// The exact probability of one offspring's class from a population (after
// mutation) under exact weights: the ways by their shares of the raw draws,
// a clone its parent's class, a selfed offspring two gametes of one parent,
// an outcrossed one two gametes of two.
std::vector<double> mixed_offspring(const population_counts& counts, const fitness_table& fitness,
                                    double r, double cloning, double selfing) {
  parent_shares shares{};
  parent_class_shares(counts, fitness, weight_rule::exact, shares);
  const double same = draw_threshold(1 - r) / all_draws, other = draw_threshold(r) / all_draws;
  const auto gametes_of = [&](int l) {
    std::array<double, 9> gamete{};
    const int a1 = index_digit(l, 1), a2 = index_digit(l, 2), b1 = index_digit(l, 3), b2 = index_digit(l, 4);
    gamete[static_cast<size_t>(a1 + 3 * b1)] += same / 2;
    gamete[static_cast<size_t>(a1 + 3 * b2)] += (1 - same) / 2;
    gamete[static_cast<size_t>(a2 + 3 * b1)] += other / 2;
    gamete[static_cast<size_t>(a2 + 3 * b2)] += (1 - other) / 2;
    return gamete;
  };
  const reproduction_thresholds ways = reproduction_thresholds_of(cloning, selfing);
  const double p_clone = ways.clone / all_draws, p_self = (ways.self - ways.clone) / all_draws;
  std::array<double, 9> pooled{};
  std::vector<double> probability(genotype_count, 0.0);
  for (int l = 0; l < genotype_count; ++l) {
    const double parent = shares[static_cast<size_t>(l)] / all_draws;
    if (parent == 0) continue;
    probability[static_cast<size_t>(l)] += p_clone * parent;
    const auto gamete = gametes_of(l);
    const std::vector<double> selfed = testing::offspring_of_gametes(gamete);
    for (size_t i = 0; i < probability.size(); ++i) probability[i] += p_self * parent * selfed[i];
    for (size_t g = 0; g < 9; ++g) pooled[g] += parent * gamete[g];
  }
  const std::vector<double> outcrossed = testing::offspring_of_gametes(pooled);
  for (size_t i = 0; i < probability.size(); ++i) probability[i] += (1 - p_clone - p_self) * outcrossed[i];
  return probability;
}

TEST(Reproduction, OffspringFitTheExactMixtureOfClonesSelfedAndOutcrossed) {
  population_counts counts{};
  counts[static_cast<size_t>(compose_index(1, 0, 1, 0))] = 3;  // coupling
  counts[static_cast<size_t>(compose_index(0, 1, 1, 0))] = 2;  // repulsion
  counts[static_cast<size_t>(compose_index(2, 0, 0, 2))] = 1;
  counts[0] = 4;
  constexpr int replicates = 3000;
  constexpr int32_t size = 200;
  for (const auto& [cloning, selfing] : {std::pair{0.25, 0.5}, {0.0, 0.9}}) {
    model_params model = mixed_model(cloning, selfing, 0.1, weight_rule::exact, size);
    model.mutation_a = {};
    model.mutation_b = {};
    const std::vector<double> expected = mixed_offspring(counts, model.fitness, 0.1, cloning, selfing);
    const auto observe = [&](auto& engine) {
      seed_engine(engine, 31);
      set_model(engine, model);
      std::vector<int64_t> pooled(genotype_count, 0);
      for (int k = 0; k < replicates; ++k) {
        population_counts current = counts, next{};
        run_generation(engine, current, next, k);
        EXPECT_EQ(std::accumulate(next.begin(), next.end(), int64_t{0}), size);
        for (size_t i = 0; i < pooled.size(); ++i) pooled[i] += next[i];
      }
      return pooled;
    };
    const auto exact = std::make_unique<exact_engine>();
    const auto by_class = std::make_unique<multinomial_engine>();
    for (const auto& [name, p] : {std::pair{"exact", testing::goodness_of_fit(observe(*exact), expected)},
                                  {"by class", testing::goodness_of_fit(observe(*by_class), expected)}}) {
      std::printf("p-value c %.2f s %.2f, %-10s %.3g\n", cloning, selfing, name, p);
      EXPECT_GE(p, 1e-4) << name << " c " << cloning << " s " << selfing;
    }
  }
}

}  // namespace
}  // namespace twolocus
