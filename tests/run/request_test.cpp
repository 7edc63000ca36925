// A run's parameters read by their entries, stored, and checked as a whole:
// the values each kind takes, and every problem of a request in the order
// both front ends report them (the first is what twolocus-sim prints).
#include "run/request.hpp"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace twolocus {
namespace {

// Takes (entry, text) pairs, each a value of its entry; returns the request.
run_request request_of(const std::vector<std::pair<parameter_id, std::string>>& values) {
  run_request request;
  for (const auto& [id, text] : values) {
    const parameter_reading reading = read_parameter(parameter(id), text);
    EXPECT_TRUE(reading.value.has_value()) << text;
    if (reading.value) set_parameter(request, parameter(id), *reading.value);
  }
  return request;
}

TEST(Request, EachKindReadsItsValuesWhole) {
  const auto reads = [](parameter_id id, const char* text) {
    return read_parameter(parameter(id), text).value.has_value();
  };
  EXPECT_TRUE(reads(parameter_id::population_size, "1"));
  EXPECT_FALSE(reads(parameter_id::population_size, "0"));
  EXPECT_FALSE(reads(parameter_id::population_size, "100.0"));
  EXPECT_TRUE(reads(parameter_id::recombination, "0.5"));
  EXPECT_FALSE(reads(parameter_id::recombination, "0.7"));
  EXPECT_FALSE(reads(parameter_id::recombination, "nan"));
  EXPECT_TRUE(reads(parameter_id::engine, "exact"));
  EXPECT_FALSE(reads(parameter_id::engine, "Exact"));
  EXPECT_FALSE(reads(parameter_id::fitness, ""));
  const parameter_reading start = read_parameter(parameter(parameter_id::initial), "run.out:200");
  ASSERT_TRUE(start.value);
  EXPECT_EQ(start.value->text, "run.out");
  EXPECT_EQ(start.value->label, 200);
  EXPECT_EQ(read_parameter(parameter(parameter_id::initial), "a:b").value->text, "a:b");
  const parameter_reading condition = read_parameter(parameter(parameter_id::stop), "h22 >=");
  EXPECT_FALSE(condition.value);
  EXPECT_EQ(condition.condition.kind, condition_error_kind::expected_operand);
  EXPECT_EQ(condition.condition.position, 7);
  EXPECT_FALSE(read_parameter(parameter(parameter_id::watch), "a1 < 1\tx").value);
}

TEST(Request, EveryProblemOfARequestInOrderAndTheFirstChecked) {
  run_request request = request_of({{parameter_id::threads, "2"},
                                    {parameter_id::fitness, "a.tsv"},
                                    {parameter_id::fitness_values, "b.tsv"},
                                    {parameter_id::mu_a12, "0.6"},
                                    {parameter_id::mu_a13, "0.5"},
                                    {parameter_id::mu, "0.7"},
                                    {parameter_id::mu_b21, "0.1"}});
  constexpr parameter_id required[] = {parameter_id::population_size, parameter_id::generations};
  const std::vector<request_problem> problems = request_problems(request, required);
  ASSERT_EQ(problems.size(), 6u);
  EXPECT_EQ(problems[0].what, request_problem::kind::single_run);
  EXPECT_EQ(problems[0].entry, parameter_id::threads);
  EXPECT_EQ(problems[1].what, request_problem::kind::conflict);
  EXPECT_EQ(problems[1].entry, parameter_id::fitness_values);
  EXPECT_EQ(problems[1].other, parameter_id::fitness);
  EXPECT_EQ(problems[2].entry, parameter_id::population_size);
  EXPECT_EQ(problems[3].entry, parameter_id::generations);
  // Allele 1 at locus a: 0.6 + 0.5 (allele 2: --mu's 0.7 to 3, and 0 back to 1).
  EXPECT_EQ(problems[4].what, request_problem::kind::row_sum);
  EXPECT_EQ(problems[4].locus, 'a');
  EXPECT_EQ(problems[4].allele, 1);
  EXPECT_EQ(problems[4].sum, 1.1000000000000001);
  EXPECT_EQ(problems[4].entry, parameter_id::mu_a12);
  // Locus b: 1 to 2 and 1 to 3 take --mu, 0.7 + 0.7 (allele 2: 0.7 + 0.1).
  EXPECT_EQ(problems[5].locus, 'b');
  EXPECT_EQ(problems[5].allele, 1);
  const auto first = check_request(request, required);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->what, request_problem::kind::single_run);
}

TEST(Request, ACheckedRequestIsCompleted) {
  run_request request = request_of({{parameter_id::fitness_values, "v.tsv"},
                                    {parameter_id::population_size, "10"},
                                    {parameter_id::generations, "5"},
                                    {parameter_id::mu, "0.001"},
                                    {parameter_id::mu_b31, "0.002"},
                                    {parameter_id::stop, "a1 < 0.5"},
                                    {parameter_id::watch, "a1 < 0.5"},
                                    {parameter_id::watch, "extinct"}});
  constexpr parameter_id required[] = {parameter_id::population_size, parameter_id::generations,
                                       parameter_id::fitness};
  EXPECT_FALSE(check_request(request, required));
  EXPECT_EQ(request.params.generations, 5);
  EXPECT_EQ(request.params.mutation_a[0][1], 0.001);
  EXPECT_EQ(request.params.mutation_a[1][0], 0.0);
  EXPECT_EQ(request.params.mutation_b[2][0], 0.002);
  ASSERT_EQ(request.params.conditions.size(), 2u);  // a text given twice stops
  EXPECT_TRUE(request.params.conditions[0].stops);
  // A table of values with s (and k): one problem each; with both tables, the conflict alone.
  run_request coefficients = request_of({{parameter_id::fitness_values, "v.tsv"},
                                         {parameter_id::s, "0.1"}, {parameter_id::k, "0.2"}});
  const auto found = request_problems(coefficients, {});
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].entry, parameter_id::s);
  EXPECT_EQ(found[1].entry, parameter_id::k);
  EXPECT_EQ(found[1].other, parameter_id::fitness_values);
  run_request both = request_of({{parameter_id::fitness, "a.tsv"},
                                 {parameter_id::fitness_values, "v.tsv"},
                                 {parameter_id::s, "0.1"}});
  EXPECT_EQ(request_problems(both, {}).size(), 1u);
}

}  // namespace
}  // namespace twolocus
