// The fast engine against the literal one: the generator against the C
// library's rand(), the integer thresholds against the double comparisons
// they replace, and both steps against their literal counterparts on the same
// random inputs, draw for draw.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <random>
#include <vector>

#include "model/genotype.hpp"
#include "model/literal_steps.hpp"
#include "model/model.hpp"
#include "model/random.hpp"
#include "model/steps.hpp"

namespace twolocus {
namespace {

// The two streams compared, shared by the tests of this file.
draw_stream stream;
literal_stream reference;

void seed_both(int32_t seed) {
  seed_draws(stream, seed);
  seed_literal(reference, seed);
}

// Counts how many of the next `count` draws differ between the two streams,
// taking the in-process ones alternately one at a time and in blocks.
int64_t stream_mismatches(int64_t count) {
  int64_t mismatches = 0;
  int64_t done = 0;
  std::mt19937 sizes(7);
  while (done < count) {
    if (sizes() % 2 == 0) {
      mismatches += raw_draw(stream) != literal_raw_draw(reference);
      ++done;
    } else {
      const size_t block = 1 + sizes() % draw_block;
      const int32_t* draws = draws_ahead(stream, block);
      for (size_t i = 0; i < block; ++i) mismatches += draws[i] != literal_raw_draw(reference);
      skip_draws(stream, block);
      done += static_cast<int64_t>(block);
    }
  }
  return mismatches;
}

TEST(Generator, ReproducesTheCLibraryRandStream) {
  for (const int32_t seed : {0, 1, 2222, -2222, INT_MAX, INT_MIN}) {
    seed_both(seed);
    EXPECT_EQ(stream_mismatches(2'000'000), 0) << "seed " << seed;
  }
  // Seed 0 acts as seed 1.
  seed_draws(stream, 0);
  seed_literal(reference, 1);
  EXPECT_EQ(stream_mismatches(1000), 0);
}

TEST(Generator, TheLiteralStreamIsTheCLibrarysRand) {
  for (const int32_t seed : {0, 1, 2222, INT_MIN}) {
    seed_literal(reference, seed);
    std::srand(static_cast<unsigned>(seed));
    int mismatches = 0;
    for (int i = 0; i < 100000; ++i) mismatches += literal_raw_draw(reference) != std::rand();
    EXPECT_EQ(mismatches, 0) << "seed " << seed;
  }
}

TEST(Generator, AStreamCanBeRestartedAfterAnyNumberOfDraws) {
  // Consumed one at a time and in blocks, across block boundaries; then a
  // second stream put at the same count gives the same draws.
  std::mt19937 sizes(3);
  for (const int32_t seed : {0, 7, INT_MIN}) {
    seed_draws(stream, seed);
    uint64_t consumed = 0;
    for (int step = 0; step < 400; ++step) {
      const size_t block = 1 + sizes() % draw_block;
      if (step % 3 == 0) {
        raw_draw(stream);
        ++consumed;
      } else {
        draws_ahead(stream, block);
        skip_draws(stream, block);
        consumed += block;
      }
      ASSERT_EQ(draws_consumed(stream), consumed);
      if (step % 37 != 0) continue;
      static draw_stream restarted;
      seed_draws_after(restarted, seed, consumed);
      const int32_t* expected = draws_ahead(stream, draw_block);
      const int32_t* got = draws_ahead(restarted, draw_block);
      ASSERT_TRUE(std::equal(expected, expected + draw_block, got)) << seed << " at " << consumed;
    }
  }
  // A million draws on, against the C library's stream; 10^12 on, a restart
  // and 3000 draws land where a restart 3000 draws further does.
  seed_literal(reference, 99);
  for (int i = 0; i < 1000000; ++i) literal_raw_draw(reference);
  seed_draws_after(stream, 99, 1000000);
  EXPECT_EQ(stream_mismatches(5000), 0);
  seed_draws_after(stream, 99, 1000000000000);
  for (int i = 0; i < 3000; ++i) raw_draw(stream);
  static draw_stream further;
  seed_draws_after(further, 99, 1000000003000);
  EXPECT_EQ(draws_consumed(stream), draws_consumed(further));
  const int32_t* expected = draws_ahead(stream, draw_block);
  EXPECT_TRUE(std::equal(expected, expected + draw_block, draws_ahead(further, draw_block)));
}

TEST(Generator, UniformDrawIsTheRawDrawOverItsMaximum) {
  seed_both(99);
  for (int i = 0; i < 1000; ++i) {
    EXPECT_EQ(uniform_draw(stream), literal_raw_draw(reference) / 2147483647.0);
  }
}

TEST(Generator, OverriddenDrawsComeNextAndTheStreamGoesOn) {
  seed_both(5);
  const std::vector<int32_t> chosen = {draw_max, 0, 12345};
  override_upcoming_draws(stream, chosen.data(), chosen.size());
  for (const int32_t value : chosen) {
    EXPECT_EQ(raw_draw(stream), value);
    literal_raw_draw(reference);
  }
  EXPECT_EQ(stream_mismatches(5000), 0);
}

// The comparison a threshold stands for.
bool below(uint32_t draw, double p) { return draw / 2147483647.0 < p; }

void expect_exact_threshold(double p) {
  const uint32_t threshold = draw_threshold(p);
  ASSERT_LE(threshold, 1u << 31) << p;
  for (int64_t offset = -3; offset <= 3; ++offset) {
    const int64_t draw = int64_t{threshold} + offset;
    if (draw < 0 || draw > draw_max) continue;
    EXPECT_EQ(below(static_cast<uint32_t>(draw), p), draw < threshold) << p << " at " << draw;
  }
}

TEST(DrawThreshold, DecidesAsTheDoubleComparisonAtAndAroundItself) {
  // Every rate the command line can give is a whole number of 10^-10 units;
  // the 1->3 threshold is the double sum of two such rates.
  std::mt19937 rates(11);
  for (int i = 0; i < 2000; ++i) {
    const double a = static_cast<int32_t>(rates()) / 1e10;
    const double b = static_cast<int32_t>(rates() % 100000) / 1e10;
    expect_exact_threshold(a);
    expect_exact_threshold(a + b);
  }
  for (const double p : {0.0, -1e-10, 1e-10, 2147483647 / 1e10, 0.5, 1.0, 1.5,
                         2147483646 / 2147483647.0, 1 / 2147483647.0}) {
    expect_exact_threshold(p);
  }
  EXPECT_EQ(draw_threshold(0.0), 0u);
  EXPECT_EQ(draw_threshold(1.0), 2147483647u);  // only a draw of draw_max is not below 1
  EXPECT_EQ(draw_threshold(1.5), 1u << 31);
  EXPECT_EQ(draw_threshold(0.5), static_cast<uint32_t>(half_threshold));
  EXPECT_TRUE(below(half_threshold - 1, 0.5));
  EXPECT_FALSE(below(half_threshold, 0.5));
}

// A random case of the steps' inputs.
struct step_case {
  population_counts counts{};
  fitness_table fitness{};
  mutation_rates rates_a{};
  mutation_rates rates_b{};
  int32_t generation_size = 0;
};

step_case random_case(std::mt19937& random, int kind) {
  step_case c;
  auto uniform = [&random](double low, double high) {
    return std::uniform_real_distribution<double>(low, high)(random);
  };
  auto pick = [&random](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
  // Populations: one class, a few classes, every class, large counts.
  switch (kind % 4) {
    case 0: c.counts[static_cast<size_t>(pick(81))] = 1 + pick(5000); break;
    case 1:
      for (int i = 0; i < 5; ++i) c.counts[static_cast<size_t>(pick(81))] += pick(3000);
      break;
    case 2:
      for (auto& count : c.counts) count = pick(200);
      break;
    default:
      c.counts[0] = 200000 + pick(100000);
      for (int i = 0; i < 10; ++i) c.counts[static_cast<size_t>(pick(81))] += pick(50000);
  }
  // Fitness tables: varied, with zeros, near zero, negative, equal, huge.
  switch (kind / 4 % 6) {
    case 0:
      for (auto& f : c.fitness) f = uniform(0.5, 1.5);
      break;
    case 1:
      for (auto& f : c.fitness) f = pick(3) == 0 ? 0.0 : uniform(0.9, 1.1);
      break;
    case 2:
      for (auto& f : c.fitness) f = pick(2) == 0 ? 1e-9 : uniform(0.0, 0.01);
      break;
    case 3:
      for (auto& f : c.fitness) f = uniform(-1.0, 1.0);
      break;
    case 4: c.fitness.fill(1.0); break;
    default:
      for (auto& f : c.fitness) f = pick(4) == 0 ? 1e30 : uniform(0.0, 2.0);
  }
  // Rates: none, small, the command line's largest, mixed with negatives.
  for (auto* rates : {&c.rates_a, &c.rates_b}) {
    for (auto& rate : *rates) {
      switch (pick(5)) {
        case 0: rate = 0; break;
        case 1: rate = pick(1000) / 1e10; break;
        case 2: rate = 2147483647 / 1e10; break;
        case 3: rate = -pick(1000) / 1e10; break;
        default: rate = pick(100000000) / 1e10;
      }
    }
  }
  const int32_t sizes[] = {0, 1, 2, 7, 100, 1000, 20000, 150000};
  c.generation_size = sizes[pick(8)];
  return c;
}

TEST(FastSteps, MutationMatchesTheLiteralStepDrawForDraw) {
  std::mt19937 random(2024);
  for (int trial = 0; trial < 120; ++trial) {
    const step_case c = random_case(random, trial);
    const auto seed = static_cast<int32_t>(random());
    population_counts fast = c.counts, literal = c.counts, fast_next{}, literal_next{};
    seed_both(seed);
    mutate_population(stream, fast, fast_next, c.rates_a, c.rates_b);
    mutate_population_literal(reference, literal, literal_next, c.rates_a, c.rates_b);
    ASSERT_EQ(fast, literal) << "trial " << trial;
    ASSERT_EQ(fast_next, literal_next) << "trial " << trial;
    ASSERT_EQ(stream_mismatches(1000), 0) << "trial " << trial;
  }
}

TEST(FastSteps, MatingMatchesTheLiteralStepDrawForDraw) {
  std::mt19937 random(4048);
  for (int trial = 0; trial < 150; ++trial) {
    const step_case c = random_case(random, trial);
    const auto seed = static_cast<int32_t>(random());
    population_counts fast = c.counts, literal = c.counts, fast_next{}, literal_next{};
    seed_both(seed);
    select_and_mate(stream, fast, fast_next, c.fitness, c.generation_size);
    select_and_mate_literal(reference, literal, literal_next, c.fitness, c.generation_size);
    ASSERT_EQ(fast_next, literal_next) << "trial " << trial;
    ASSERT_EQ(stream_mismatches(1000), 0) << "trial " << trial;
  }
}

TEST(FastSteps, WholeGenerationsStayInStepOverManyGenerations) {
  // Long runs pass through every regime: one class, a dominant class, many.
  std::mt19937 random(77);
  for (int trial = 0; trial < 6; ++trial) {
    step_case c = random_case(random, trial * 5);
    c.generation_size = 500 + static_cast<int32_t>(random() % 3000);
    c.counts = {};
    c.counts[0] = c.generation_size;
    for (auto& f : c.fitness) f = std::uniform_real_distribution<double>(0.8, 1.3)(random);
    c.rates_a = {3e-3, 2e-3, 1e-3};
    c.rates_b = {1e-3, 3e-3, 2e-3};
    population_counts fast = c.counts, literal = c.counts, fast_next{}, literal_next{};
    seed_both(static_cast<int32_t>(trial));
    for (int generation = 0; generation < 150; ++generation) {
      mutate_population(stream, fast, fast_next, c.rates_a, c.rates_b);
      select_and_mate(stream, fast, fast_next, c.fitness, c.generation_size);
      mutate_population_literal(reference, literal, literal_next, c.rates_a, c.rates_b);
      select_and_mate_literal(reference, literal, literal_next, c.fitness, c.generation_size);
      ASSERT_EQ(fast_next, literal_next) << "trial " << trial << " generation " << generation;
      fast = fast_next;
      literal = literal_next;
    }
    ASSERT_EQ(stream_mismatches(1000), 0);
  }
}

// A draw of draw_max is a uniform value of exactly 1, which no class takes
// when the frequencies add up to 1: that parent is not found, makes no
// inheritance draws and leaves its slots at allele 1.
TEST(FastSteps, AParentNotFoundMakesNoDraws) {
  population_counts counts{}, next{};
  const int homozygous_2222 = compose_index(1, 1, 1, 1);
  fitness_table fitness{};
  fitness.fill(1.0);
  for (const int32_t size : {3, 5000}) {  // walked, and through cut points
    counts = {};
    counts[static_cast<size_t>(homozygous_2222)] = 1000;
    seed_draws(stream, 1);
    // Offspring 1: first parent not found, second found (two draws).
    // Offspring 2: second not found. Offspring 3: neither found.
    const std::vector<int32_t> draws = {draw_max, 5, 7, 9, 5, draw_max, 7, 9, draw_max, draw_max};
    override_upcoming_draws(stream, draws.data(), draws.size());
    const int32_t after = [] {
      seed_draws(stream, 1);
      draws_ahead(stream, 10);
      skip_draws(stream, 10);
      return raw_draw(stream);
    }();
    seed_draws(stream, 1);
    override_upcoming_draws(stream, draws.data(), draws.size());
    select_and_mate(stream, counts, next, fitness, size);
    const int second_only = 3 + 27;   // alleles 2 in slots 2 and 4: 1212
    const int first_only = 1 + 9;     // alleles 2 in slots 1 and 3: 2121
    EXPECT_EQ(next[static_cast<size_t>(second_only)], 1) << size;
    EXPECT_EQ(next[static_cast<size_t>(first_only)], 1) << size;
    EXPECT_EQ(next[0], 1) << size;
    EXPECT_EQ(next[static_cast<size_t>(homozygous_2222)], size - 3) << size;
    if (size == 3) {
      EXPECT_EQ(raw_draw(stream), after) << "exactly ten draws are consumed";
    }
  }
}

}  // namespace
}  // namespace twolocus

namespace twolocus {
namespace {

// A hand-made checkpoint can hold counts that sum beyond 2^31 - 1: a class
// that mutants move into is held at 2147483647, in both engines' manner
// (each gain is held there), and nothing overflows.
TEST(FastSteps, ClassCountsAreHeldAtTheLargestCountInsteadOfOverflowing) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "2^33 draws take too long under the sanitizers";
#else
  // Everyone in 1111 mutates at both locus-a slots (a rate of 2 is always
  // met) into 2211, which cannot mutate further (its 2->3 rate and locus b's
  // rates are 0), whose count is already near the maximum.
  const int target = compose_index(1, 1, 0, 0);
  const mutation_rates rates_a = {2.0, 0.0, 0.0};
  const mutation_rates rates_b = {0.0, 0.0, 0.0};
  population_counts counts{}, next{};
  counts[0] = 20;
  counts[static_cast<size_t>(target)] = INT32_MAX - 10;
  seed_draws(stream, 3);
  mutate_population(stream, counts, next, rates_a, rates_b);
  EXPECT_EQ(counts[0], 0);
  EXPECT_EQ(counts[static_cast<size_t>(target)], INT32_MAX);
  for (size_t l = 0; l < counts.size(); ++l) {
    if (l != 0 && l != static_cast<size_t>(target)) {
      EXPECT_EQ(counts[l], 0) << l;
    }
  }
  EXPECT_EQ(next, counts);
#endif
}

}  // namespace
}  // namespace twolocus

namespace twolocus {
namespace {

// The general model: back mutation, the exact weight rule and linkage,
// fast steps against literal ones on random inputs, draw for draw.
struct general_case {
  mutation_matrix a{}, b{};
  weight_rule rule = weight_rule::floor;
  double recombination = 0.5;
};

general_case random_general(std::mt19937& random, int trial) {
  general_case g;
  auto uniform = [&random](double high) { return std::uniform_real_distribution<double>(0, high)(random); };
  // Rates from none to large, every change possible; a row sums to at most 1
  // (or, now and then, a row whose first change is certain).
  for (auto* matrix : {&g.a, &g.b}) {
    const double scale = std::array{0.0, 1e-4, 1e-2, 0.3}[random() % 4];
    for (size_t i = 0; i < 3; ++i) {
      for (size_t j = 0; j < 3; ++j) (*matrix)[i][j] = i == j ? 0 : uniform(scale);
    }
    if (random() % 8 == 0) (*matrix)[random() % 3] = {1.0, 1.0, 1.0};
  }
  g.rule = trial % 2 == 0 ? weight_rule::exact : weight_rule::floor;
  g.recombination = std::array{0.0, 0.1, 0.5}[trial / 2 % 3];
  return g;
}

TEST(GeneralSteps, MutationMatchesTheLiteralStepDrawForDraw) {
  std::mt19937 random(303);
  for (int trial = 0; trial < 120; ++trial) {
    const step_case c = random_case(random, trial);
    const general_case g = random_general(random, trial);
    const auto seed = static_cast<int32_t>(random());
    population_counts fast = c.counts, literal = c.counts, fast_next{}, literal_next{};
    seed_both(seed);
    mutate_by_matrices(stream, fast, fast_next, g.a, g.b);
    mutate_by_matrices_literal(reference, literal, literal_next, g.a, g.b);
    ASSERT_EQ(fast, literal) << "trial " << trial;
    ASSERT_EQ(fast_next, literal_next) << "trial " << trial;
    ASSERT_EQ(stream_mismatches(1000), 0) << "trial " << trial;
  }
}

TEST(GeneralSteps, MatingMatchesTheLiteralStepDrawForDraw) {
  std::mt19937 random(606);
  for (int trial = 0; trial < 150; ++trial) {
    const step_case c = random_case(random, trial);
    const general_case g = random_general(random, trial);
    const auto seed = static_cast<int32_t>(random());
    population_counts fast = c.counts, literal = c.counts, fast_next{}, literal_next{};
    seed_both(seed);
    select_and_mate(stream, fast, fast_next, c.fitness, g.rule, recombination_thresholds(g.recombination),
                    c.generation_size);
    select_and_mate_literal(reference, literal, literal_next, c.fitness, g.rule, g.recombination,
                            c.generation_size);
    ASSERT_EQ(fast_next, literal_next) << "trial " << trial;
    ASSERT_EQ(stream_mismatches(1000), 0) << "trial " << trial;
  }
}

// Back mutation moves individuals into classes already visited: a class
// that gains after its own turn is held at 2147483647 too, as the literal
// step holds every gain.
TEST(GeneralSteps, BackMutationHoldsAClassThatGainsAfterItsTurn) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "2^33 draws take too long under the sanitizers";
#else
  // Everyone in 2211 mutates back at both locus-a slots into 1111, which is
  // near the maximum and cannot mutate.
  mutation_matrix back{}, none{};
  back[1][0] = 1.5;  // always met
  population_counts counts{}, next{};
  const int from = compose_index(1, 1, 0, 0);
  counts[0] = INT32_MAX - 10;
  counts[static_cast<size_t>(from)] = 20;
  seed_draws(stream, 3);
  mutate_by_matrices(stream, counts, next, back, none);
  EXPECT_EQ(counts[0], INT32_MAX);
  EXPECT_EQ(counts[static_cast<size_t>(from)], 0);
  EXPECT_EQ(next, counts);
#endif
}

// Under the exact rule a walk that runs past the last class (here a draw of
// draw_max, a uniform value of exactly 1) takes the last class of positive
// weight: the offspring, and the draws made, are those of a draw that lands
// in that class.
TEST(GeneralSteps, AnOverrunTakesTheLastClassUnderExactWeights) {
  fitness_table fitness{};
  fitness.fill(1.0);
  population_counts counts{};
  counts[0] = 1000;
  counts[static_cast<size_t>(compose_index(1, 0, 1, 0))] = 1000;  // 2121, the last class
  for (const int32_t size : {1, 3, 5000}) {  // walked, and through cut points
    for (const double r : {0.1, 0.5}) {
      std::array<population_counts, 2> next{};
      std::array<int32_t, 2> after{};
      for (const int32_t first : {draw_max, draw_max - 1000}) {
        const std::vector<int32_t> draws = {first, 5, 7, 1 << 30, 11, (1 << 30) + 13};
        seed_draws(stream, 1);
        override_upcoming_draws(stream, draws.data(), draws.size());
        population_counts current = counts;
        const size_t k = first == draw_max ? 0 : 1;
        select_and_mate(stream, current, next[k], fitness, weight_rule::exact, recombination_thresholds(r), size);
        after[k] = raw_draw(stream);
      }
      EXPECT_EQ(next[0], next[1]) << size << " " << r;
      EXPECT_EQ(after[0], after[1]) << size << " " << r;
      if (size == 1) {
        // 2121 passes 2 and 1 (locus a from slot 2, then locus b from slot 3
        // below r or slot 4 above); 1111 passes 1 1.
        EXPECT_EQ(next[0][static_cast<size_t>(r < 0.5 ? 1 + 9 : 1)], 1) << r;
      }
    }
  }
}

}  // namespace
}  // namespace twolocus
