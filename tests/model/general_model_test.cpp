// The general model in the class-count engine: its parent shares under
// exact weights against a literal walk over every raw draw value, and one
// step of each engine against the exact multinomial probabilities of the
// quantized model (back mutation; linkage r = 0, 0.1, 1/2 under exact
// weights), and a whole generation against the exact mixture of both steps,
// by Pearson's goodness of fit with fixed seeds. Each p-value is printed; one
// below 1e-4 fails.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "model/engines.hpp"
#include "model/genotype.hpp"
#include "model/multinomial.hpp"
#include "model/random.hpp"
#include "model/steps.hpp"
#include "support/chi_square.hpp"
#include "support/offspring.hpp"

namespace twolocus {
namespace {

using testing::goodness_of_fit;

draw_stream stream;
class_stream classes;

constexpr double all_draws = 2147483648.0;

void expect_p(const std::string& what, double p) {
  std::printf("p-value %-52s %.3g\n", what.c_str(), p);
  EXPECT_GE(p, 1e-4) << what;
}

// The class a literal walk under exact weights picks for a raw draw: the
// remainder's class, or past the end the last class of positive weight.
int exact_walk(const population_counts& counts, const fitness_table& fitness, uint32_t draw) {
  std::array<double, genotype_count> weight{};
  double total = 0;
  int last = -1;
  for (size_t l = 0; l < weight.size(); ++l) {
    if (counts[l] > 0 && fitness[l] > 0) weight[l] = counts[l] * fitness[l], last = static_cast<int>(l);
    total += weight[l];
  }
  double t = draw / static_cast<double>(draw_max);
  for (int l = 0; l < genotype_count; ++l) {
    const double f = weight[static_cast<size_t>(l)] / total;
    if (t < f) return l;
    t -= f;
  }
  return last;
}

TEST(GeneralClassCounts, ParentSharesUnderExactWeightsAreTheLiteralWalksShares) {
  fitness_table fitness{};
  for (size_t l = 0; l < fitness.size(); ++l) fitness[l] = 0.3 + 0.0937 * static_cast<double>(l % 13);
  fitness[80] = 0;
  population_counts one{}, few{}, all{}, heavy{};
  one[40] = 1;
  few[0] = 700, few[10] = 3, few[13] = 250, few[79] = 47, few[80] = 5;
  for (size_t l = 0; l < all.size(); ++l) all[l] = static_cast<int32_t>(1 + 37 * l);
  for (size_t l = 0; l < heavy.size(); ++l) heavy[l] = 26'000'000 + static_cast<int32_t>(l * 1013);
  for (const population_counts& counts : {one, few, all, heavy}) {
    parent_shares shares{};
    ASSERT_TRUE(parent_class_shares(counts, fitness, weight_rule::exact, shares));
    uint64_t below = 0;
    for (int l = 0; l < genotype_count; ++l) {
      uint64_t low = below, high = draw_values;  // the first draw whose walk goes past l
      while (low < high) {
        const uint64_t middle = (low + high) / 2;
        if (exact_walk(counts, fitness, static_cast<uint32_t>(middle)) <= l) low = middle + 1;
        else high = middle;
      }
      EXPECT_EQ(shares[static_cast<size_t>(l)], low - below) << l;
      below = low;
    }
    EXPECT_EQ(below, draw_values);
    EXPECT_EQ(shares[genotype_count], 0u);  // every draw finds a parent
  }
  parent_shares shares{};
  population_counts lone{};
  lone[80] = 5;  // fitness 0: extinct
  EXPECT_FALSE(parent_class_shares(lone, fitness, weight_rule::exact, shares));
}

// Rates with back mutation, and large enough to be seen in one generation.
const mutation_matrix matrix_a = {{{0, 0.04, 0.02}, {0.03, 0, 0.05}, {0.01, 0.06, 0}}};
const mutation_matrix matrix_b = {{{0, 0.02, 0.07}, {0.05, 0, 0.01}, {0.03, 0.02, 0}}};

// Probability that an individual of class j has class i after mutation:
// per slot, the shares of raw draws below T(c1) and in [T(c1), T(c2)).
std::vector<double> mutation_probabilities(int j) {
  std::vector<double> probability(genotype_count, 0.0);
  for (int i = 0; i < genotype_count; ++i) {
    double product = 1;
    for (int slot = 1; slot <= 4; ++slot) {
      const mutation_matrix& m = slot <= 2 ? matrix_a : matrix_b;
      const int from = index_digit(j, slot), to = index_digit(i, slot);
      const auto f = static_cast<size_t>(from);
      const double c1 = m[f][(f + 1) % 3], c2 = c1 + m[f][(f + 2) % 3];
      const double t1 = draw_threshold(c1), t2 = std::max<double>(draw_threshold(c2), t1);
      product *= (to == from ? all_draws - t2 : to == (from + 1) % 3 ? t1 : t2 - t1) / all_draws;
    }
    probability[static_cast<size_t>(i)] = product;
  }
  return probability;
}

// Probability of each offspring class under exact weights with linkage r:
// each parent class by its share of the walk, its locus-a slot with
// probability 1/2, its locus-b slot from the same haplotype with the share
// of draws below T(1 - r), from the other with the share below T(r).
std::vector<double> offspring_probabilities(const population_counts& counts, const fitness_table& fitness,
                                            double r) {
  parent_shares shares{};
  parent_class_shares(counts, fitness, weight_rule::exact, shares);
  const double same = draw_threshold(1 - r) / all_draws, other = draw_threshold(r) / all_draws;
  std::array<double, 9> gamete{};
  for (int l = 0; l < genotype_count; ++l) {
    const double parent = shares[static_cast<size_t>(l)] / all_draws;
    const int a1 = index_digit(l, 1), a2 = index_digit(l, 2), b1 = index_digit(l, 3), b2 = index_digit(l, 4);
    gamete[static_cast<size_t>(a1 + 3 * b1)] += parent / 2 * same;
    gamete[static_cast<size_t>(a1 + 3 * b2)] += parent / 2 * (1 - same);
    gamete[static_cast<size_t>(a2 + 3 * b1)] += parent / 2 * other;
    gamete[static_cast<size_t>(a2 + 3 * b2)] += parent / 2 * (1 - other);
  }
  return testing::offspring_of_gametes(gamete);
}

TEST(GeneralOneGeneration, MutationWithBackMutationFitsTheExactProbabilities) {
  constexpr int replicates = 4000;
  for (const int j : {0, compose_index(1, 2, 0, 1), 80}) {  // 1111, 2312, 3333
    for (const bool by_class : {false, true}) {
      seed_draws(stream, 21);
      key_class_draws(classes, 21);
      std::vector<int64_t> pooled(genotype_count, 0);
      for (int k = 0; k < replicates; ++k) {
        population_counts current{}, next{};
        current[static_cast<size_t>(j)] = 500;
        start_class_draws(classes, k);
        if (by_class) mutate_by_shares(classes, current, next, matrix_shares(matrix_a), matrix_shares(matrix_b));
        else mutate_by_matrices(stream, current, next, matrix_a, matrix_b);
        for (size_t i = 0; i < pooled.size(); ++i) pooled[i] += next[i];
      }
      expect_p(std::string("mutation of ") + genotype_label(j).data() + (by_class ? ", by class" : ", exact"),
               goodness_of_fit(pooled, mutation_probabilities(j)));
    }
  }
}

TEST(GeneralOneGeneration, MatingWithLinkageUnderExactWeightsFitsTheExactProbabilities) {
  constexpr int replicates = 4000;
  constexpr int32_t size = 400;
  // Double heterozygotes in coupling (2121: haplotypes 22 and 11) and in
  // repulsion (1221: 12 and 21), with others; fitness below 1 for some,
  // which floor weights would truncate.
  population_counts counts{};
  counts[static_cast<size_t>(compose_index(1, 0, 1, 0))] = 3;
  counts[static_cast<size_t>(compose_index(0, 1, 1, 0))] = 2;
  counts[static_cast<size_t>(compose_index(2, 0, 0, 2))] = 1;
  counts[0] = 14;
  fitness_table fitness{};
  fitness.fill(1.0);
  fitness[static_cast<size_t>(compose_index(1, 0, 1, 0))] = 0.7;
  fitness[static_cast<size_t>(compose_index(2, 0, 0, 2))] = 0.35;
  for (const double r : {0.0, 0.1, 0.5}) {
    const linkage_thresholds linkage = recombination_thresholds(r);
    for (const bool by_class : {false, true}) {
      seed_draws(stream, 22);
      key_class_draws(classes, 22);
      std::vector<int64_t> pooled(genotype_count, 0);
      for (int k = 0; k < replicates; ++k) {
        population_counts current = counts, next{};
        start_class_draws(classes, k);
        if (by_class) {
          mate_by_class(classes, current, next, fitness, weight_rule::exact, linkage.after_slot_1,
                        linkage.after_slot_2, size);
        } else {
          select_and_mate(stream, current, next, fitness, weight_rule::exact, linkage, size);
        }
        ASSERT_EQ(std::accumulate(next.begin(), next.end(), int64_t{0}), size);
        for (size_t i = 0; i < pooled.size(); ++i) pooled[i] += next[i];
      }
      expect_p("offspring at r " + std::to_string(r).substr(0, 3) + (by_class ? ", by class" : ", exact"),
               goodness_of_fit(pooled, offspring_probabilities(counts, fitness, r)));
    }
  }
}

// A whole generation of each engine through run_generation: two
// individuals (double heterozygotes in coupling and in repulsion) mutate with
// back mutation, then one offspring is drawn under exact weights with
// linkage. Its class has the mixture of the offspring probabilities over
// every pair of mutated classes, worked out exactly; each replicate is one
// draw from it.
TEST(GeneralOneGeneration, AWholeGenerationFitsTheExactMixtureOfBothSteps) {
  constexpr int replicates = 20000;
  const int coupling = compose_index(1, 0, 1, 0), repulsion = compose_index(0, 1, 1, 0);
  model_params params;
  params.generation_size = 1;
  params.mutation_a = matrix_a;
  params.mutation_b = matrix_b;
  params.weights = weight_rule::exact;
  for (size_t l = 0; l < params.fitness.size(); ++l) params.fitness[l] = 0.4 + 0.05 * static_cast<double>(l % 11);
  const std::vector<double> from_coupling = mutation_probabilities(coupling);
  const std::vector<double> from_repulsion = mutation_probabilities(repulsion);
  for (const double r : {0.0, 0.1}) {
    params.recombination = r;
    std::vector<double> expected(genotype_count, 0.0);
    for (int t1 = 0; t1 < genotype_count; ++t1) {
      for (int t2 = 0; t2 < genotype_count; ++t2) {
        const double both = from_coupling[static_cast<size_t>(t1)] * from_repulsion[static_cast<size_t>(t2)];
        if (both == 0) continue;
        population_counts mutated{};
        ++mutated[static_cast<size_t>(t1)];
        ++mutated[static_cast<size_t>(t2)];
        const std::vector<double> offspring = offspring_probabilities(mutated, params.fitness, r);
        for (size_t i = 0; i < expected.size(); ++i) expected[i] += both * offspring[i];
      }
    }
    const auto observe = [&](auto& engine) {
      seed_engine(engine, 23);
      set_model(engine, params);
      std::vector<int64_t> observed(genotype_count, 0);
      for (int k = 0; k < replicates; ++k) {
        population_counts current{}, next{};
        current[static_cast<size_t>(coupling)] = 1;
        current[static_cast<size_t>(repulsion)] = 1;
        run_generation(engine, current, next, k);
        for (size_t i = 0; i < observed.size(); ++i) observed[i] += next[i];
      }
      return observed;
    };
    const auto exact = std::make_unique<exact_engine>();
    const auto by_class = std::make_unique<multinomial_engine>();
    const std::string at = "whole generation at r " + std::to_string(r).substr(0, 3);
    expect_p(at + ", exact", goodness_of_fit(observe(*exact), expected));
    expect_p(at + ", by class", goodness_of_fit(observe(*by_class), expected));
  }
}

}  // namespace
}  // namespace twolocus
