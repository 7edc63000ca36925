// The general model over many generations against known results, both
// engines, fixed seeds (each p-value is one fixed number; below `level`
// fails): the decay of linkage disequilibrium by (1 - r) a generation, and
// the equilibrium of mutation with back mutation. Long: Release suite only.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "model/engines.hpp"
#include "model/genotype.hpp"

namespace twolocus {
namespace {

constexpr double level = 1e-4;

// Takes replicate values and their expected mean; returns the two-sided
// p-value of the mean (normal approximation, the sample's own spread).
double mean_p(const std::vector<double>& values, double expected) {
  double mean = 0, square = 0;
  for (const double v : values) mean += v;
  mean /= static_cast<double>(values.size());
  for (const double v : values) square += (v - mean) * (v - mean);
  const double error = std::sqrt(square / static_cast<double>(values.size() - 1) /
                                 static_cast<double>(values.size()));
  return std::erfc(std::fabs(mean - expected) / error / std::sqrt(2.0));
}

void expect_p(const std::string& what, double p) {
  std::printf("p-value %-60s %.3g\n", what.c_str(), p);
  EXPECT_GE(p, level) << what;
}

// Runs `generations` generations of `engine` from `start`; returns the counts.
template <typename engine_type>
population_counts run(engine_type& engine, int32_t seed, const population_counts& start,
                      const model_params& params, int generations) {
  seed_engine(engine, seed);
  set_model(engine, params);
  population_counts current = start, next{};
  for (int g = 0; g < generations; ++g) {
    run_generation(engine, current, next, g);
    current = next;
  }
  return current;
}

model_params neutral(int32_t size, double r) {
  model_params params;
  params.fitness.fill(1.0);
  params.generation_size = size;
  params.recombination = r;
  params.weights = weight_rule::exact;
  return params;
}

// The linkage disequilibrium of the haplotypes (slots 1 and 3, 2 and 4):
// D = p(a1 b1) - p(a1) p(b1).
double disequilibrium(const population_counts& counts) {
  double total = 0, a = 0, b = 0, ab = 0;
  for (int index = 0; index < genotype_count; ++index) {
    const double c = counts[static_cast<size_t>(index)];
    for (const auto& [slot_a, slot_b] : {std::pair{1, 3}, {2, 4}}) {
      const bool has_a = index_digit(index, slot_a) == 0, has_b = index_digit(index, slot_b) == 0;
      total += c, a += has_a * c, b += has_b * c, ab += (has_a && has_b) * c;
    }
  }
  return ab / total - (a / total) * (b / total);
}

template <typename engine_type>
void linkage_decay(const std::string& name) {
  // Haplotypes 11 and 22, one half each, joined at random: D = 1/4.
  constexpr int32_t size = 20000;
  constexpr int generations = 5;
  constexpr int replicates = 60;
  population_counts start{};
  for (const int first : {0, 1}) {
    for (const int second : {0, 1}) start[static_cast<size_t>(compose_index(first, second, first, second))] = size / 4;
  }
  for (const double r : {0.0, 0.1, 0.5}) {
    std::vector<double> d;
    const auto engine = std::make_unique<engine_type>();
    for (int rep = 0; rep < replicates; ++rep) {
      d.push_back(disequilibrium(run(*engine, 100 + rep, start, neutral(size, r), generations)));
    }
    const double expected = 0.25 * std::pow((1 - r) * (1 - 0.5 / size), generations);
    expect_p(name + " D after 5 generations, r = " + std::to_string(r), mean_p(d, expected));
  }
}

TEST(ManyGenerationsKnown, LinkageDisequilibriumDecaysByOneMinusRExact) { linkage_decay<exact_engine>("exact"); }
TEST(ManyGenerationsKnown, LinkageDisequilibriumDecaysByOneMinusRMultinomial) {
  linkage_decay<multinomial_engine>("multinomial");
}

template <typename engine_type>
void mutation_equilibrium(const std::string& name) {
  // Locus a: every change; locus b: 1 <-> 2 only. Neutral Wright-Fisher
  // sampling keeps the expected allele frequencies on the mutation chain, so
  // after many generations their mean is its stationary distribution.
  model_params params = neutral(1000, 0.5);
  params.mutation_a = {{{0, 0.02, 0.01}, {0.03, 0, 0.02}, {0.01, 0.04, 0}}};
  params.mutation_b = {{{0, 0.02, 0}, {0.06, 0, 0}, {0, 0, 0}}};
  std::array<std::array<double, 3>, 2> stationary{};
  for (size_t locus = 0; locus < 2; ++locus) {
    const mutation_matrix& m = locus == 0 ? params.mutation_a : params.mutation_b;
    std::array<double, 3> pi = {1, 0, 0};
    for (int step = 0; step < 100000; ++step) {
      std::array<double, 3> next{};
      for (size_t i = 0; i < 3; ++i) {
        double stay = 1;
        for (size_t j = 0; j < 3; ++j) {
          if (j != i) next[j] += pi[i] * m[i][j], stay -= m[i][j];
        }
        next[i] += pi[i] * stay;
      }
      pi = next;
    }
    stationary[locus] = pi;
  }
  population_counts start{};
  start[0] = 1000;
  std::array<std::array<std::vector<double>, 3>, 2> frequency;
  const auto engine = std::make_unique<engine_type>();
  for (int rep = 0; rep < 200; ++rep) {
    const population_counts counts = run(*engine, 500 + rep, start, params, 600);
    std::array<std::array<double, 3>, 2> copies{};
    for (int index = 0; index < genotype_count; ++index) {
      const double c = counts[static_cast<size_t>(index)];
      for (int slot = 1; slot <= 4; ++slot) copies[slot <= 2 ? 0 : 1][static_cast<size_t>(index_digit(index, slot))] += c;
    }
    for (size_t locus = 0; locus < 2; ++locus) {
      for (size_t allele = 0; allele < 3; ++allele) frequency[locus][allele].push_back(copies[locus][allele] / 2000);
    }
  }
  for (size_t locus = 0; locus < 2; ++locus) {
    for (size_t allele = 0; allele < (locus == 0 ? 3u : 2u); ++allele) {
      expect_p(name + " allele " + std::to_string(allele + 1) + " at locus " + (locus == 0 ? "a" : "b") +
                   ", mean after 600 generations",
               mean_p(frequency[locus][allele], stationary[locus][allele]));
    }
  }
}

TEST(ManyGenerationsKnown, BackMutationReachesTheMutationChainsEquilibriumExact) {
  mutation_equilibrium<exact_engine>("exact");
}
TEST(ManyGenerationsKnown, BackMutationReachesTheMutationChainsEquilibriumMultinomial) {
  mutation_equilibrium<multinomial_engine>("multinomial");
}

}  // namespace
}  // namespace twolocus
