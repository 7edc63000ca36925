// A run's stop and watch conditions: distinct texts in the order first
// given, first labels, which stop condition ends the run, no allocation.
#include "model/watch.hpp"

#include <gtest/gtest.h>

#include <atomic>

extern std::atomic<long> allocations;  // counted in conditions_test.cpp

namespace twolocus {
namespace {

TEST(Watch, DistinctTextsInTheOrderFirstGivenAndTheBadOneNamed) {
  run_conditions run;
  ASSERT_FALSE(set_up_conditions({{"N > 5", false}, {"extinct", true}, {"N > 5", true},
                                  {"count(1111) < 3", false}, {"extinct", false}},
                                 run));
  ASSERT_EQ(run.given.size(), 3u);
  EXPECT_EQ(run.given[0].text, "N > 5");
  EXPECT_TRUE(run.given[0].stops);  // given to both: it stops
  EXPECT_TRUE(run.given[1].stops);
  EXPECT_FALSE(run.given[2].stops);
  EXPECT_EQ(run.pending, 3u);
  const auto error = set_up_conditions({{"extinct", true}, {"h22 >= ", false}}, run);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->which, 1u);
  EXPECT_EQ(error->error.kind, condition_error_kind::expected_operand);
  EXPECT_EQ(error->error.position, 8);  // the end of the text
}

TEST(Watch, FirstLabelsAndTheFirstStopGivenWithoutAllocation) {
  run_conditions run;
  ASSERT_FALSE(set_up_conditions({{"count(1111) <= 8", false}, {"count(1111) < 5", true},
                                  {"count(1111) < 7", true}, {"N == 10", false}},
                                 run));
  population_counts counts{};
  counts[0] = 10;
  const long before = allocations;
  EXPECT_EQ(check_start(run, counts, nullptr).reached, 1);  // N == 10
  counts[0] = 8;
  counts[1] = 2;
  const condition_check eight = check_conditions(run, counts, nullptr, 0);
  EXPECT_EQ(eight.reached, 1);
  EXPECT_FALSE(eight.stop);
  counts[0] = 8;  // reached conditions are not evaluated again
  EXPECT_EQ(check_conditions(run, counts, nullptr, 1).reached, 0);
  counts[0] = 4;
  counts[1] = 6;
  const condition_check four = check_conditions(run, counts, nullptr, 2);
  EXPECT_EQ(allocations, before);
  EXPECT_EQ(four.reached, 2);
  EXPECT_TRUE(four.stop);
  EXPECT_EQ(stop_condition(run), 1);  // both stops hold: the first given
  EXPECT_EQ(run.first, (std::vector<int64_t>{0, 2, 2, -1}));
  EXPECT_EQ(run.pending, 0u);

  reset_conditions(run);
  EXPECT_EQ(stop_condition(run), -1);
  restore_reached(run, 2, 5);
  restore_reached(run, 1, 5);
  restore_reached(run, 0, 3);
  restore_reached(run, 0, 4);  // a later hit of a reached condition changes nothing
  EXPECT_EQ(stop_condition(run), 1);
  EXPECT_EQ(run.first, (std::vector<int64_t>{3, 5, 5, not_reached}));
  EXPECT_EQ(run.pending, 1u);
}

}  // namespace
}  // namespace twolocus
