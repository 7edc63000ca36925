// Statistical and draw-order tests of the mutation step and the selection and
// mating step, with fixed seeds. Tolerances are six standard deviations of
// the counts the model implies.
#include "model/steps.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <numeric>
#include <vector>

#include "model/genotype.hpp"
#include "model/random.hpp"

namespace twolocus {
namespace {

draw_stream stream;

// The command line's largest rate: 2147483647 units of 10^-10.
constexpr double max_rate = 2147483647 / 1e10;

// Expects `observed` successes out of `trials` to match probability `p`
// within six standard deviations.
void expect_share(long long observed, long long trials, double p, const char* what) {
  const double mean = static_cast<double>(trials) * p;
  const double sd = std::sqrt(static_cast<double>(trials) * p * (1 - p));
  EXPECT_NEAR(static_cast<double>(observed), mean, 6 * sd + 1e-9)
      << what << ": " << observed << " of " << trials << ", expected share " << p;
}

long long total(const population_counts& counts) {
  return std::accumulate(counts.begin(), counts.end(), 0LL);
}

// Number of slots holding `allele` (1..3) at one locus ('a': slots 1 and 2,
// 'b': slots 3 and 4), over the whole population.
long long slots_with(const population_counts& counts, char locus, int allele) {
  long long slots = 0;
  const int first = locus == 'a' ? 1 : 3;
  for (int j = 0; j < genotype_count; ++j) {
    const auto count = counts[static_cast<size_t>(j)];
    if (count <= 0) continue;
    for (int slot = first; slot < first + 2; ++slot) {
      if (index_digit(j, slot) == allele - 1) slots += count;
    }
  }
  return slots;
}

fitness_table uniform_fitness(double value) {
  fitness_table fitness;
  fitness.fill(value);
  return fitness;
}

population_counts only(int index, int32_t count) {
  population_counts counts{};
  counts[static_cast<size_t>(index)] = count;
  return counts;
}

// The draw that a stream seeded with `seed` gives after skipping `skipped`.
int32_t draw_after(int32_t seed, long long skipped) {
  seed_draws(stream, seed);
  for (long long i = 0; i < skipped; ++i) raw_draw(stream);
  return raw_draw(stream);
}

// ---------------------------------------------------------------- mutation

TEST(MutationStep, LargestRateConvertsAboutAFifthOfAllele1SlotsAtLocusA) {
  seed_draws(stream, 101);
  const int32_t n = 20000;
  population_counts current = only(0, n);
  population_counts next{};
  mutate_population(stream, current, next, {max_rate, 0, 0}, {0, 0, 0});
  EXPECT_EQ(total(current), n);
  EXPECT_EQ(current, next);
  expect_share(slots_with(current, 'a', 2), 2LL * n, max_rate, "locus-a slots now allele 2");
  EXPECT_EQ(slots_with(current, 'a', 3), 0);
  EXPECT_EQ(slots_with(current, 'b', 1), 2LL * n) << "locus b never changes";
  // Each slot mutates independently, and a mutant is not mutated again in
  // the class it moved to.
  const double p = max_rate;
  expect_share(current[0], n, (1 - p) * (1 - p), "1111");
  expect_share(current[1], n, p * (1 - p), "2111");
  expect_share(current[3], n, p * (1 - p), "1211");
  expect_share(current[4], n, p * p, "2211");
}

TEST(MutationStep, RatesOfLocusBActOnSlots3And4Only) {
  seed_draws(stream, 102);
  const int32_t n = 20000;
  population_counts current = only(0, n);
  population_counts next{};
  mutate_population(stream, current, next, {0, 0, 0}, {0.3, 0, 0});
  EXPECT_EQ(slots_with(current, 'a', 1), 2LL * n);
  expect_share(slots_with(current, 'b', 2), 2LL * n, 0.3, "locus-b slots now allele 2");
  expect_share(current[9], n, 0.3 * 0.7, "1121");
  expect_share(current[27], n, 0.3 * 0.7, "1112");
  expect_share(current[36], n, 0.09, "1122");
}

TEST(MutationStep, OneToThreeIsDecidedByTheSameDrawAboveTheOneToTwoRate) {
  const int32_t n = 20000;
  {
    seed_draws(stream, 103);
    population_counts current = only(0, n);
    population_counts next{};
    mutate_population(stream, current, next, {0, 0, 0.2}, {0, 0, 0});
    EXPECT_EQ(slots_with(current, 'a', 2), 0);
    expect_share(slots_with(current, 'a', 3), 2LL * n, 0.2, "a2 only: allele 3");
    expect_share(current[2], n, 0.2 * 0.8, "3111");
    expect_share(current[6], n, 0.2 * 0.8, "1311");
    expect_share(current[8], n, 0.04, "3311");
  }
  {
    // Both rates at once: the draw below a0 gives allele 2, between a0 and
    // a0 + a2 allele 3, so the shares are 0.1 and 0.25.
    seed_draws(stream, 104);
    population_counts current = only(0, n);
    population_counts next{};
    mutate_population(stream, current, next, {0, 0, 0}, {0.1, 0, 0.25});
    expect_share(slots_with(current, 'b', 2), 2LL * n, 0.1, "b0 and b2: allele 2");
    expect_share(slots_with(current, 'b', 3), 2LL * n, 0.25, "b0 and b2: allele 3");
    expect_share(slots_with(current, 'b', 1), 2LL * n, 0.65, "b0 and b2: allele 1");
  }
}

TEST(MutationStep, TwoToThreeActsOnlyOnAllele2Slots) {
  seed_draws(stream, 105);
  const int32_t n = 20000;
  // 1111, 2211 and 2221: allele 1 and allele 2 slots at both loci.
  population_counts current{};
  current[0] = n;
  current[4] = n;
  current[13] = n;
  population_counts next{};
  mutate_population(stream, current, next, {0, 0.3, 0}, {0, 0, 0});
  EXPECT_EQ(total(current), 3LL * n);
  EXPECT_EQ(current[0], n) << "allele 1 does not take the 2->3 path";
  expect_share(current[4], n, 0.49, "2211 kept");
  expect_share(current[5], n, 0.21, "3211");
  expect_share(current[7], n, 0.21, "2311");
  expect_share(current[8], n, 0.09, "3311");
  // 2221 keeps its allele 2 at locus b, whose rates are 0.
  expect_share(current[13], n, 0.49, "2221 kept");
  expect_share(current[14], n, 0.21, "3221");
  expect_share(current[16], n, 0.21, "2321");
  expect_share(current[17], n, 0.09, "3321");
  EXPECT_EQ(slots_with(current, 'b', 3), 0);
}

TEST(MutationStep, Allele3NeverMutatesButStillConsumesFourDraws) {
  const int32_t n = 5000;
  seed_draws(stream, 106);
  population_counts current = only(80, n);
  population_counts next{};
  mutate_population(stream, current, next, {0.4, 0.5, 0.1}, {0.4, 0.5, 0.1});
  EXPECT_EQ(current, only(80, n));
  const int32_t after = raw_draw(stream);
  EXPECT_EQ(after, draw_after(106, 4LL * n));
}

TEST(MutationStep, ZeroRatesChangeNothingAndConsumeFourDrawsPerIndividual) {
  population_counts start{};
  start[0] = 700;
  start[13] = 300;
  start[40] = 1;
  start[79] = 999;
  start[5] = -20;  // no individuals, no draws
  seed_draws(stream, 107);
  population_counts current = start;
  population_counts next{};
  mutate_population(stream, current, next, {0, 0, 0}, {0, 0, 0});
  EXPECT_EQ(current, start);
  const int32_t after = raw_draw(stream);
  EXPECT_EQ(after, draw_after(107, 4LL * (700 + 300 + 1 + 999)));
}

TEST(MutationStep, EveryIndividualMakesFourDrawsWhateverItsGenotype) {
  // A population of every class, with rates that make many mutants.
  population_counts start{};
  long long individuals = 0;
  for (int j = 0; j < genotype_count; ++j) {
    start[static_cast<size_t>(j)] = 37 * (j % 5) + 11;
    individuals += start[static_cast<size_t>(j)];
  }
  seed_draws(stream, 108);
  population_counts current = start;
  population_counts next{};
  mutate_population(stream, current, next, {0.3, 0.2, 0.1}, {0.05, 0.4, 0.3});
  EXPECT_EQ(total(current), individuals);
  const int32_t after = raw_draw(stream);
  EXPECT_EQ(after, draw_after(108, 4 * individuals));
}

TEST(MutationStep, SlotsDrawInOrderOneToFour) {
  // One individual of 1111 at a time: slot k mutates exactly when its own
  // draw, the k-th of the individual's four, is below one half.
  seed_draws(stream, 109);
  std::vector<int> moved_to;
  for (int trial = 0; trial < 300; ++trial) {
    population_counts current = only(0, 1);
    population_counts next{};
    mutate_population(stream, current, next, {0.5, 0, 0}, {0.5, 0, 0});
    for (int j = 0; j < genotype_count; ++j) {
      if (current[static_cast<size_t>(j)] == 1) moved_to.push_back(j);
    }
  }
  ASSERT_EQ(moved_to.size(), 300u);
  seed_draws(stream, 109);
  int differ = 0;
  for (const int index : moved_to) {
    int expected = 0;
    for (const int weight : slot_weight) {
      if (uniform_draw(stream) < 0.5) expected += weight;
    }
    if (expected != index) ++differ;
  }
  EXPECT_EQ(differ, 0);
}

TEST(MutationStep, CountsSumToTheSameTotal) {
  population_counts start{};
  for (int j = 0; j < genotype_count; ++j) start[static_cast<size_t>(j)] = (j * 7919) % 200;
  seed_draws(stream, 110);
  population_counts current = start;
  population_counts next{};
  mutate_population(stream, current, next, {max_rate, max_rate, max_rate},
                    {max_rate, max_rate, max_rate});
  EXPECT_EQ(total(current), total(start));
  for (const int32_t c : current) EXPECT_GE(c, 0);
}

// ---------------------------------------------------------------- selection weights

TEST(SelectionWeight, TruncatesTheProductWithSinglePrecisionFitness) {
  EXPECT_EQ(selection_weight(3, 1.25), 3);
  EXPECT_EQ(selection_weight(1, 0.95), 0) << "a lone individual of fitness 0.95 weighs 0";
  EXPECT_EQ(selection_weight(1, 1.0), 1);
  EXPECT_EQ(selection_weight(10, 1.05), 10);
  EXPECT_EQ(selection_weight(20, 1.05), 20) << "1.05 in single precision is 1.0499999523...";
  EXPECT_EQ(selection_weight(20, 1.25), 25);
  // 0.95 in single precision is 0.949999988..., so 1000 of them weigh 949.
  EXPECT_EQ(selection_weight(1000, 0.95), 949);
  EXPECT_EQ(selection_weight(1000, 1.0 - static_cast<double>(0.05f)), 949);
  EXPECT_EQ(selection_weight(2147483647, 1.0), 2147483647);
  EXPECT_EQ(selection_weight(2147483647, 2.0), 4294967294LL) << "no 32-bit overflow";
  EXPECT_EQ(selection_weight(0, 5.0), 0);
  EXPECT_EQ(selection_weight(7, 0.0), 0);
}

TEST(SelectionWeight, NegativeInputsWeighZeroAndHugeFitnessIsCapped) {
  EXPECT_EQ(selection_weight(5, -0.5), 0);
  EXPECT_EQ(selection_weight(-5, 1.0), 0);
  EXPECT_EQ(selection_weight(-5, -1.0), 0);
  const int64_t cap = int64_t{1} << 56;
  EXPECT_EQ(selection_weight(1, 1e30), cap);
  EXPECT_EQ(selection_weight(2147483647, 1e300), cap);
  EXPECT_EQ(selection_weight(1000, 1e15), cap);
  EXPECT_EQ(selection_weight(1, 4096.0), 4096);
}

// ---------------------------------------------------------------- mating

TEST(MatingStep, OffspringOfOnly2111AreTheFourCombinationsInEqualShares) {
  seed_draws(stream, 201);
  const int32_t size = 20000;
  population_counts current = only(1, size);
  population_counts next{};
  select_and_mate(stream, current, next, uniform_fitness(1.0), size);
  EXPECT_EQ(total(next), size);
  EXPECT_EQ(next[0] + next[1] + next[3] + next[4], size)
      << "only 1111, 2111, 1211 and 2211 can be born";
  expect_share(next[0], size, 0.25, "1111");
  expect_share(next[1], size, 0.25, "2111");
  expect_share(next[3], size, 0.25, "1211");
  expect_share(next[4], size, 0.25, "2211");
}

TEST(MatingStep, LociAreInheritedIndependentlyFromEachParent) {
  // Parents 2121 pass allele 2 or 1 at each locus independently; the first
  // parent fills slots 1 and 3, the second slots 2 and 4: 16 equal classes.
  seed_draws(stream, 202);
  const int32_t size = 32000;
  population_counts current = only(10, size);
  population_counts next{};
  select_and_mate(stream, current, next, uniform_fitness(1.0), size);
  EXPECT_EQ(total(next), size);
  long long in_range = 0;
  for (const int a1 : {0, 1})
    for (const int a2 : {0, 1})
      for (const int b1 : {0, 1})
        for (const int b2 : {0, 1}) {
          const int32_t count = next[static_cast<size_t>(compose_index(a1, a2, b1, b2))];
          in_range += count;
          expect_share(count, size, 1.0 / 16, "one of the 16 combinations");
        }
  EXPECT_EQ(in_range, size);
}

TEST(MatingStep, ParentsArePickedInProportionToWeight) {
  // 1111 weighs 1000, 3333 weighs 3000: each parent is 3333 with chance 3/4.
  seed_draws(stream, 203);
  const int32_t size = 20000;
  population_counts current{};
  current[0] = 1000;
  current[80] = 1000;
  fitness_table fitness = uniform_fitness(1.0);
  fitness[80] = 3.0;
  population_counts next{};
  select_and_mate(stream, current, next, fitness, size);
  EXPECT_EQ(total(next), size);
  expect_share(next[80], size, 9.0 / 16, "both parents 3333");
  expect_share(next[0], size, 1.0 / 16, "both parents 1111");
  expect_share(next[compose_index(2, 0, 2, 0)], size, 3.0 / 16, "first 3333, second 1111");
  expect_share(next[compose_index(0, 2, 0, 2)], size, 3.0 / 16, "first 1111, second 3333");
  EXPECT_EQ(next[0] + next[80] + next[20] + next[60], size);
}

TEST(MatingStep, TruncatedWeightsDecideTheParents) {
  // 1000 individuals of fitness 0.95 weigh 949, one of 1.25 weighs 1 and one
  // of 0.95 weighs 0; that last class is never a parent.
  seed_draws(stream, 204);
  const int32_t size = 30000;
  population_counts current{};
  current[0] = 1000;
  current[80] = 1;
  current[40] = 1;
  fitness_table fitness = uniform_fitness(0.95);
  fitness[80] = 1.25;
  population_counts next{};
  select_and_mate(stream, current, next, fitness, size);
  EXPECT_EQ(total(next), size);
  // 2222 (index 40) as a parent would leave a 2 in some slot.
  long long with_allele_2 = 0;
  for (int j = 0; j < genotype_count; ++j) {
    for (int slot = 1; slot <= 4; ++slot) {
      if (index_digit(j, slot) == 1) {
        with_allele_2 += next[static_cast<size_t>(j)];
        break;
      }
    }
  }
  EXPECT_EQ(with_allele_2, 0);
  // 3333 is a parent with chance 1/950 per parent.
  const double q = 1.0 / 950;
  long long with_allele_3 = 0;
  for (int j = 0; j < genotype_count; ++j) {
    if (j != 0) with_allele_3 += next[static_cast<size_t>(j)];
  }
  expect_share(with_allele_3, size, 1 - (1 - q) * (1 - q), "a 3333 parent");
}

TEST(MatingStep, AClassOfFitnessZeroIsNeverAParent) {
  seed_draws(stream, 205);
  const int32_t size = 20000;
  population_counts current{};
  current[0] = 100000;  // many, but of fitness 0
  current[80] = 1;
  fitness_table fitness = uniform_fitness(1.0);
  fitness[0] = 0.0;
  population_counts next{};
  select_and_mate(stream, current, next, fitness, size);
  EXPECT_EQ(next, only(80, size));
}

TEST(MatingStep, NegativeFitnessOrCountMakesNoParent) {
  seed_draws(stream, 206);
  const int32_t size = 10000;
  population_counts current{};
  current[0] = 500;   // negative fitness
  current[40] = -30;  // negative count
  current[80] = 10;
  fitness_table fitness = uniform_fitness(1.0);
  fitness[0] = -0.25;
  population_counts next{};
  select_and_mate(stream, current, next, fitness, size);
  EXPECT_EQ(next, only(80, size));
}

TEST(MatingStep, OffspringCountsSumToTheGenerationSize) {
  population_counts start{};
  fitness_table fitness{};
  for (int j = 0; j < genotype_count; ++j) {
    start[static_cast<size_t>(j)] = (j * 37) % 50;
    fitness[static_cast<size_t>(j)] = 0.5 + (j % 7) * 0.25;
  }
  for (const int32_t size : {1, 2, 3, 999, 12345}) {
    seed_draws(stream, 207);
    population_counts current = start;
    population_counts next{};
    select_and_mate(stream, current, next, fitness, size);
    EXPECT_EQ(total(next), size);
    for (const int32_t c : next) EXPECT_GE(c, 0);
  }
  // No offspring at all for a size of 0 or less.
  for (const int32_t size : {0, -5}) {
    population_counts current = start;
    population_counts next = start;
    select_and_mate(stream, current, next, fitness, size);
    EXPECT_EQ(next, population_counts{});
  }
}

TEST(MatingStep, ZeroTotalWeightLeavesTheNextCountsZeroAndMakesNoDraws) {
  const int32_t first = draw_after(208, 0);
  {
    seed_draws(stream, 208);
    population_counts current = only(0, 1000);
    population_counts next = only(5, 3);
    select_and_mate(stream, current, next, uniform_fitness(0.0), 500);
    EXPECT_EQ(next, population_counts{});
    EXPECT_EQ(raw_draw(stream), first);
  }
  {
    // Every class too small for its fitness: weights truncate to 0.
    seed_draws(stream, 208);
    population_counts current{};
    for (size_t j = 0; j < current.size(); ++j) current[j] = 1;
    population_counts next{};
    select_and_mate(stream, current, next, uniform_fitness(0.95), 500);
    EXPECT_EQ(next, population_counts{});
    EXPECT_EQ(raw_draw(stream), first);
  }
  {
    seed_draws(stream, 208);
    population_counts current{};
    population_counts next{};
    select_and_mate(stream, current, next, uniform_fitness(1.0), 500);
    EXPECT_EQ(next, population_counts{});
    EXPECT_EQ(raw_draw(stream), first);
  }
}

// The offspring index that one walk's draws give, for parents drawn from
// two classes of equal weight, `low` and `high` (low < high), as the step
// defines the draw order: t and u, then two draws for the parent found first
// in the walk (the first parent when both are in one class), then two for
// the other.
int replay_offspring(int low, int high) {
  const double t = uniform_draw(stream);
  const double u = uniform_draw(stream);
  auto class_of = [&](double draw) { return draw < 0.5 ? low : (draw - 0.5 < 0.5 ? high : -1); };
  const int first = class_of(t);
  const int second = class_of(u);
  auto passed = [](int parent, int slot_a, int slot_b) {
    const int a = uniform_draw(stream) < 0.5 ? index_digit(parent, 1) : index_digit(parent, 2);
    const int b = uniform_draw(stream) < 0.5 ? index_digit(parent, 3) : index_digit(parent, 4);
    return a * slot_weight[static_cast<size_t>(slot_a)] +
           b * slot_weight[static_cast<size_t>(slot_b)];
  };
  int index = 0;
  if (first != -1 && (second == -1 || first <= second)) {
    index += passed(first, 0, 2);
    if (second != -1) index += passed(second, 1, 3);
  } else if (second != -1) {
    index += passed(second, 1, 3);
    if (first != -1) index += passed(first, 0, 2);
  }
  return index;
}

TEST(MatingStep, DrawsComeInTheWalkOrder) {
  // 2121 and 2323: heterozygous at both loci, so every inheritance draw
  // shows in the offspring.
  const int low = compose_index(1, 0, 1, 0);
  const int high = compose_index(1, 2, 1, 2);
  seed_draws(stream, 209);
  std::vector<int> born;
  for (int child = 0; child < 2000; ++child) {
    population_counts current{};
    current[static_cast<size_t>(low)] = 50;
    current[static_cast<size_t>(high)] = 50;
    population_counts next{};
    select_and_mate(stream, current, next, uniform_fitness(1.0), 1);
    ASSERT_EQ(total(next), 1);
    for (int j = 0; j < genotype_count; ++j) {
      if (next[static_cast<size_t>(j)] == 1) born.push_back(j);
    }
  }
  seed_draws(stream, 209);
  int differ = 0;
  for (const int index : born) {
    if (replay_offspring(low, high) != index) ++differ;
  }
  EXPECT_EQ(differ, 0);
  // A whole generation draws the same stream as one offspring at a time.
  seed_draws(stream, 209);
  population_counts current{};
  current[static_cast<size_t>(low)] = 50;
  current[static_cast<size_t>(high)] = 50;
  population_counts next{};
  select_and_mate(stream, current, next, uniform_fitness(1.0), 2000);
  population_counts one_by_one{};
  for (const int index : born) ++one_by_one[static_cast<size_t>(index)];
  EXPECT_EQ(next, one_by_one);
}

}  // namespace
}  // namespace twolocus
