// Generations of several demes: a deme of its own parents makes the draws
// of a run of one deme; the exact engine makes the literal steps' draws
// when offspring have parents in other demes; and the offspring of both
// engines fit the exact mixture, over the source demes, of clones, selfed
// and outcrossed offspring of each source's parents (Pearson's goodness of
// fit with fixed seeds; a p-value below 1e-4 fails).
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <numeric>
#include <vector>

#include "model/engines.hpp"
#include "model/genotype.hpp"
#include "support/chi_square.hpp"
#include "support/offspring.hpp"

namespace twolocus {
namespace {

constexpr double all_draws = 2147483648.0;

model_params deme_model(double fitness_slope, double r, double cloning, double selfing) {
  model_params model;
  model.mutation_a = classic_matrix({0.01, 0.002, 0.004});
  model.mutation_b = classic_matrix({0.006, 0.001, 0.002});
  model.recombination = r;
  model.weights = weight_rule::exact;
  model.cloning = cloning;
  model.selfing = selfing;
  for (size_t l = 0; l < model.fitness.size(); ++l) {
    model.fitness[l] = 0.5 + fitness_slope * static_cast<double>(l % 7);
  }
  return model;
}

// Three demes: A of its own parents, B from A and itself, C from all three.
std::vector<deme_generation> three_demes(int32_t size) {
  std::vector<deme_generation> plan(3);
  plan[0] = {true, size, {}};
  plan[1] = {true, size + 7, {{0, 0.3}, {1, 0.7}}};
  plan[2] = {true, size / 2 + 1, {{0, 0.2}, {1, 0.25}, {2, 0.55}}};
  return plan;
}

template <typename engine_type>
std::vector<deme_population> demes_run(const std::vector<model_params>& models, int32_t size, int count) {
  std::vector<std::unique_ptr<engine_type>> owned;
  deme_engines<engine_type> engines;
  for (size_t d = 0; d < models.size(); ++d) {
    owned.push_back(std::make_unique<engine_type>());
    seed_engine(*owned.back(), static_cast<int32_t>(40 + d));
    set_model(*owned.back(), models[d]);
    engines.engines.push_back(owned.back().get());
  }
  deme_population current, next;
  current.demes.assign(models.size(), population_counts{});
  for (auto& deme : current.demes) deme[0] = size;
  engines.plan = three_demes(size);
  std::vector<deme_population> all;
  for (int g = 0; g < count; ++g) {
    run_demes_generation(engines, current, next, g);
    all.push_back(next);
    current = next;
  }
  return all;
}

TEST(DemeGenerations, TheExactEngineMakesTheLiteralStepsDrawsAcrossDemes) {
  const std::vector<model_params> models = {deme_model(0.05, 0.1, 0.2, 0.3), deme_model(-0.03, 0.5, 0, 0),
                                            deme_model(0.01, 0.0, 0, 0.8)};
  for (const int32_t size : {3, 80, 2000}) {
    EXPECT_TRUE(demes_run<exact_engine>(models, size, 40) == demes_run<literal_engine>(models, size, 40))
        << "N " << size;
  }
}

TEST(DemeGenerations, ADemeOfItsOwnParentsMakesTheDrawsOfARunOfOneDeme) {
  // Deme A (its own parents only) alongside two others, against A alone.
  const std::vector<model_params> models = {deme_model(0.05, 0.2, 0.1, 0.2), deme_model(0.02, 0.5, 0, 0),
                                            deme_model(0.03, 0.5, 0, 0)};
  const auto check = [&](auto* kind) {
    using engine_type = std::remove_pointer_t<decltype(kind)>;
    const auto together = demes_run<engine_type>(models, 300, 30);
    auto alone = std::make_unique<engine_type>();
    seed_engine(*alone, 40);
    model_params model = models[0];
    model.generation_size = 300;
    set_model(*alone, model);
    population_counts current{}, next{};
    current[0] = 300;
    for (int g = 0; g < 30; ++g) {
      run_generation(*alone, current, next, g);
      EXPECT_EQ(next, together[static_cast<size_t>(g)].demes[0]) << g;
      current = next;
    }
  };
  check(static_cast<exact_engine*>(nullptr));
  check(static_cast<multinomial_engine*>(nullptr));
}

// The exact probability of one offspring's class in a deme whose parents
// come from sources (each a population, a fitness and a recombination
// fraction) by their probabilities, with the deme's cloning and selfing.
std::vector<double> sources_offspring(const std::vector<population_counts>& parents,
                                      const std::vector<fitness_table>& fitness, const std::vector<double>& r,
                                      const std::vector<double>& probability, double cloning, double selfing) {
  const reproduction_thresholds ways = reproduction_thresholds_of(cloning, selfing);
  const double p_clone = ways.clone / all_draws, p_self = (ways.self - ways.clone) / all_draws;
  std::vector<double> result(genotype_count, 0.0);
  double cumulative = 0;
  uint32_t below = 0;
  for (size_t k = 0; k < parents.size(); ++k) {
    cumulative += probability[k];
    const uint32_t top = k + 1 == parents.size() ? uint32_t{1} << 31 : draw_threshold(cumulative);
    const double weight = (top - below) / all_draws;
    below = top;
    parent_shares shares{};
    parent_class_shares(parents[k], fitness[k], weight_rule::exact, shares);
    const double same = draw_threshold(1 - r[k]) / all_draws, other = draw_threshold(r[k]) / all_draws;
    std::array<double, 9> pooled{};
    for (int l = 0; l < genotype_count; ++l) {
      const double parent = shares[static_cast<size_t>(l)] / all_draws;
      if (parent == 0) continue;
      std::array<double, 9> gamete{};
      const int a1 = index_digit(l, 1), a2 = index_digit(l, 2), b1 = index_digit(l, 3), b2 = index_digit(l, 4);
      gamete[static_cast<size_t>(a1 + 3 * b1)] += same / 2;
      gamete[static_cast<size_t>(a1 + 3 * b2)] += (1 - same) / 2;
      gamete[static_cast<size_t>(a2 + 3 * b1)] += other / 2;
      gamete[static_cast<size_t>(a2 + 3 * b2)] += (1 - other) / 2;
      result[static_cast<size_t>(l)] += weight * p_clone * parent;
      const auto selfed = testing::offspring_of_gametes(gamete);
      for (size_t i = 0; i < result.size(); ++i) result[i] += weight * p_self * parent * selfed[i];
      for (size_t g = 0; g < 9; ++g) pooled[g] += parent * gamete[g];
    }
    const auto outcrossed = testing::offspring_of_gametes(pooled);
    for (size_t i = 0; i < result.size(); ++i) result[i] += weight * (1 - p_clone - p_self) * outcrossed[i];
  }
  return result;
}

TEST(DemeGenerations, OffspringFitTheExactMixtureOverTheirSources) {
  population_counts a{}, b{};
  a[static_cast<size_t>(compose_index(1, 0, 1, 0))] = 3;
  a[0] = 5;
  b[static_cast<size_t>(compose_index(0, 1, 1, 0))] = 2;
  b[static_cast<size_t>(compose_index(2, 2, 0, 1))] = 4;
  model_params first = deme_model(0.04, 0.1, 0, 0), second = deme_model(-0.02, 0.35, 0, 0);
  first.mutation_a = first.mutation_b = second.mutation_a = second.mutation_b = {};
  constexpr int replicates = 2000;
  constexpr int32_t size = 150;
  for (const auto& [cloning, selfing] : {std::pair{0.0, 0.0}, {0.2, 0.5}}) {
    model_params dest = first;
    dest.cloning = cloning;
    dest.selfing = selfing;
    const auto expected = sources_offspring({a, b}, {first.fitness, second.fitness}, {0.1, 0.35}, {0.4, 0.6},
                                            cloning, selfing);
    const auto observe = [&](auto* kind) {
      using engine_type = std::remove_pointer_t<decltype(kind)>;
      std::vector<std::unique_ptr<engine_type>> owned;
      for (const model_params& m : {dest, second}) {
        owned.push_back(std::make_unique<engine_type>());
        seed_engine(*owned.back(), 77);
        set_model(*owned.back(), m);
      }
      deme_engines<engine_type> engines;
      engines.engines = {owned[0].get(), owned[1].get()};
      engines.plan.resize(2);
      engines.plan[0] = {true, size, {{0, 0.4}, {1, 0.6}}};
      std::vector<int64_t> pooled(genotype_count, 0);
      for (int k = 0; k < replicates; ++k) {
        deme_population current, next;
        current.demes = {a, b};
        run_demes_generation(engines, current, next, k);
        EXPECT_EQ(std::accumulate(next.demes[0].begin(), next.demes[0].end(), int64_t{0}), size);
        EXPECT_EQ(next.demes[1], population_counts{});
        for (size_t i = 0; i < pooled.size(); ++i) pooled[i] += next.demes[0][i];
      }
      return testing::goodness_of_fit(pooled, expected);
    };
    for (const auto& [name, p] : {std::pair{"exact", observe(static_cast<exact_engine*>(nullptr))},
                                  {"by class", observe(static_cast<multinomial_engine*>(nullptr))}}) {
      std::printf("p-value sources, c %.1f s %.1f, %-8s %.3g\n", cloning, selfing, name, p);
      EXPECT_GE(p, 1e-4) << name;
    }
  }
}

}  // namespace
}  // namespace twolocus
