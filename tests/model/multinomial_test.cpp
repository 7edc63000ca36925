// The class-count engine: its parent probabilities against a literal walk
// over every raw draw value (found by bisection, the walk being monotone in
// its draw), and exact totals and the edge cases of the counts. (That a
// generation's draws depend on the seed and its number only is shown end to
// end, by resumes.)
#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <numeric>

#include "model/multinomial.hpp"
#include "model/steps.hpp"

namespace twolocus {
namespace {

class_stream classes;

// The class the literal walk over all 81 classes picks for a raw draw
// (81: none), as the literal selection step computes it.
int literal_walk(const class_weights& weight, int64_t total, uint32_t draw) {
  const double divisor = static_cast<double>(static_cast<float>(total));
  double t = draw / static_cast<double>(draw_max);
  for (int l = 0; l < genotype_count; ++l) {
    const double f = static_cast<double>(weight[static_cast<size_t>(l)]) / divisor;
    if (t >= 0 && t < f) return l;
    t -= f;
  }
  return genotype_count;
}

// Each class's share of the 2^31 raw draws under the literal walk.
parent_shares literal_shares(const population_counts& counts, const fitness_table& fitness) {
  class_weights weight{};
  const int64_t total = weigh_classes(counts, fitness, weight);
  parent_shares shares{};
  uint64_t below = 0;
  for (int l = 0; l < genotype_count; ++l) {
    uint64_t low = below, high = draw_values;  // first draw whose walk goes past l
    while (low < high) {
      const uint64_t middle = (low + high) / 2;
      if (literal_walk(weight, total, static_cast<uint32_t>(middle)) <= l) low = middle + 1;
      else high = middle;
    }
    shares[static_cast<size_t>(l)] = static_cast<uint32_t>(low - below);
    below = low;
  }
  shares[genotype_count] = static_cast<uint32_t>(draw_values - below);
  return shares;
}

fitness_table varied_fitness() {
  fitness_table fitness{};
  for (size_t l = 0; l < fitness.size(); ++l) fitness[l] = 0.9 + 0.0137 * static_cast<double>(l % 17);
  return fitness;
}

TEST(ClassCountEngine, ParentSharesAreTheLiteralWalksShares) {
  const fitness_table fitness = varied_fitness();
  population_counts one{}, few{}, all{}, heavy{};
  one[40] = 1000;
  few[0] = 700, few[10] = 3, few[13] = 250, few[80] = 47;
  for (size_t l = 0; l < all.size(); ++l) all[l] = static_cast<int32_t>(1 + 37 * l);
  // Weights above 2^24, where the single-precision total leaves a share
  // of draws that find no parent.
  for (size_t l = 0; l < heavy.size(); ++l) heavy[l] = 26'000'000 + static_cast<int32_t>(l * 1013);
  for (const population_counts& counts : {one, few, all, heavy}) {
    parent_shares shares{};
    ASSERT_TRUE(parent_class_shares(counts, fitness, shares));
    EXPECT_EQ(shares, literal_shares(counts, fitness));
    EXPECT_EQ(std::accumulate(shares.begin(), shares.end(), uint64_t{0}), draw_values);
  }
  parent_shares shares{};
  population_counts lone{};
  lone[1] = 1;  // fitness 0.9137 weighs 0: extinct
  EXPECT_FALSE(parent_class_shares(lone, fitness, shares));
}

TEST(ClassCountEngine, RankCutsAreTheWalksCutsAlsoWhereTheSumIsTooLargeForItsBound) {
  // From a running sum of 3/2 on the cuts come from find_cut's search.
  const std::array<double, 4> frequency = {0.25, 1.0, 0.5, 0.125};
  std::array<uint32_t, 4> cut{};
  rank_walk_cuts(frequency.data(), 4, weight_rule::floor, cut.data());
  for (int rank = 0; rank < 4; ++rank) {
    const auto ended = [&](uint64_t draw) {
      double t = static_cast<double>(draw) / static_cast<double>(draw_max);
      for (int r = 0; r <= rank; ++r) t -= frequency[static_cast<size_t>(r)];
      return t < 0;
    };
    uint64_t low = 0, high = draw_values;  // the first draw whose walk has not ended
    while (low < high) {
      const uint64_t middle = (low + high) / 2;
      if (ended(middle)) low = middle + 1;
      else high = middle;
    }
    EXPECT_EQ(cut[static_cast<size_t>(rank)], low) << "rank " << rank;
  }
}

TEST(ClassCountEngine, CountsSumExactlyAndKeepTheExactEnginesEdgeCases) {
  key_class_draws(classes, 5);
  start_class_draws(classes, 0);
  fitness_table fitness{};
  fitness.fill(1.0);
  population_counts all{};
  for (size_t l = 0; l < all.size(); ++l) all[l] = 26'000'000;
  population_counts next{};
  for (const int32_t size : {1, 1000, INT_MAX}) {
    mate_by_class(classes, all, next, fitness, size);
    EXPECT_EQ(std::accumulate(next.begin(), next.end(), int64_t{0}), size);
  }
  mate_by_class(classes, all, next, fitness, 0);
  EXPECT_EQ(next, population_counts{});
  population_counts lone{};
  lone[3] = 1;
  fitness[3] = 0.95;  // weighs 0: extinct
  mate_by_class(classes, lone, next, fitness, 100);
  EXPECT_EQ(next, population_counts{});

  // Mutation moves individuals without losing any, keeps a negative count
  // where it is, and holds a count at 2147483647.
  const mutation_rates rates = {0.1, 0.1, 0.1};
  population_counts current = all;
  mutate_by_class(classes, current, next, rates, rates);
  EXPECT_EQ(std::accumulate(next.begin(), next.end(), int64_t{0}), 81 * int64_t{26'000'000});
  EXPECT_EQ(current, next);
  current = population_counts{};
  current[0] = INT_MAX;
  current[80] = INT_MAX;
  current[1] = -5;
  mutate_by_class(classes, current, next, {0, 0, 0}, rates);
  EXPECT_EQ(next[80], INT_MAX);
  EXPECT_EQ(next[1], -5);
  EXPECT_EQ(std::accumulate(next.begin(), next.end(), int64_t{0}) - INT_MAX + 5, INT_MAX);
}

}  // namespace
}  // namespace twolocus
