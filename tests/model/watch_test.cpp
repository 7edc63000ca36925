// A run's stop and watch conditions: one per distinct text (given to both
// options, it stops), first labels, the first stop given ends the run,
// restored labels, no allocation while checking.
#include "model/watch.hpp"

#include <gtest/gtest.h>

#include <atomic>

extern std::atomic<long> allocations;  // counted in conditions_test.cpp

namespace twolocus {
namespace {

TEST(Watch, FirstLabelsTheFirstStopGivenAndRestoredLabelsWithoutAllocation) {
  run_conditions run;
  const auto bad = set_up_conditions({{"N == 10", false}, {"h22 >= ", true}}, run);
  ASSERT_TRUE(bad);
  EXPECT_EQ(bad->which, 1u);
  EXPECT_EQ(bad->error.kind, condition_error_kind::expected_operand);
  ASSERT_FALSE(set_up_conditions({{"count(1111) <= 8", false}, {"count(1111) < 5", false},
                                  {"count(1111) < 7", true}, {"N == 10", false},
                                  {"count(1111) < 5", true}},
                                 run));
  ASSERT_EQ(run.given.size(), 4u);
  EXPECT_TRUE(run.given[1].stops);  // given to both options
  population_counts counts{};
  counts[0] = 10;
  const long before = allocations;
  EXPECT_EQ(check_start(run, counts, nullptr).reached, 1);  // N == 10
  counts[0] = 8;
  counts[1] = 2;
  EXPECT_FALSE(check_conditions(run, counts, nullptr, 0).stop);
  EXPECT_EQ(check_conditions(run, counts, nullptr, 1).reached, 0);  // met ones are not checked
  counts[0] = 4;
  counts[1] = 6;
  const condition_check four = check_conditions(run, counts, nullptr, 2);
  EXPECT_EQ(allocations, before);
  EXPECT_EQ(four.reached, 2);
  EXPECT_TRUE(four.stop);
  EXPECT_EQ(stop_condition(run), 1);  // both stops hold: the first given
  EXPECT_EQ(run.first, (std::vector<int64_t>{0, 2, 2, -1}));

  reset_conditions(run);
  restore_reached(run, 2, 5);
  restore_reached(run, 1, 5);
  restore_reached(run, 0, 3);
  restore_reached(run, 0, 4);  // a later line of a met condition changes nothing
  EXPECT_EQ(stop_condition(run), 1);
  EXPECT_EQ(run.first, (std::vector<int64_t>{3, 5, 5, not_reached}));
  EXPECT_EQ(run.pending, 1u);
}

}  // namespace
}  // namespace twolocus
