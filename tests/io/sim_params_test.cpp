// twolocus-sim's parameter file: the shared cases of tests/cases/sim_params
// (each file with its verdict, also for other readers of the format), and a
// file read back and written again to the same bytes.
#include "io/sim_params.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>

#include "support/process.hpp"

namespace twolocus {
namespace {

std::string verdict_of(const sim_params_reading& reading) {
  using outcome = sim_params_reading::outcome;
  const std::string key = reading.key.empty() ? "-" : reading.key;
  const std::string line = std::to_string(reading.line);
  switch (reading.result) {
    case outcome::read: return "read";
    case outcome::classic: return "classic";
    case outcome::first_line: return "first_line " + line;
    case outcome::bad_line: return "bad_line " + line + " " + key;
    case outcome::repeated: return "repeated " + line + " " + key;
    case outcome::missing: return "missing " + key;
    case outcome::inconsistent: return "inconsistent " + key;
  }
  return "?";
}

TEST(SimParams, EverySharedCaseGetsItsVerdict) {
  const auto folder = testing::source_path("tests/cases/sim_params");
  std::istringstream verdicts(testing::read_file(folder / "verdicts.tsv"));
  int cases = 0;
  for (std::string line; std::getline(verdicts, line);) {
    if (line.empty() || line[0] == '#') continue;
    const std::string name = line.substr(0, line.find('\t'));
    SCOPED_TRACE(name);
    std::FILE* file = std::fopen((folder / name).c_str(), "rb");
    ASSERT_NE(file, nullptr);
    sim_params params;
    EXPECT_EQ(verdict_of(read_sim_params(file, params)), line.substr(line.find('\t') + 1));
    std::fclose(file);
    ++cases;
  }
  EXPECT_GE(cases, 30);
}

TEST(SimParams, AFileReadsBackExactlyAndIsWrittenAgainToTheSameBytes) {
  const auto good = testing::source_path("tests/cases/sim_params/good.params");
  std::FILE* file = std::fopen(good.c_str(), "rb");
  ASSERT_NE(file, nullptr);
  sim_params params;
  ASSERT_EQ(read_sim_params(file, params).result, sim_params_reading::outcome::read);
  std::fclose(file);
  EXPECT_EQ(params.mutation_a[1][0], 3e-7);
  EXPECT_EQ(params.recombination, 0.1);
  EXPECT_EQ(params.fitness[1], 1 - 0.05 / 2);
  EXPECT_EQ(params.seed, -5);
  char* text = nullptr;
  size_t size = 0;
  std::FILE* out = open_memstream(&text, &size);
  write_sim_params(out, params);
  std::fclose(out);
  EXPECT_EQ(std::string(text, size), testing::read_file(good));
  std::free(text);
}

TEST(SimParams, ConditionsReadBackInTheirOrderAndAreWrittenAgainToTheSameBytes) {
  const auto path = testing::source_path("tests/cases/sim_params/conditions.params");
  std::FILE* file = std::fopen(path.c_str(), "rb");
  ASSERT_NE(file, nullptr);
  sim_params params;
  ASSERT_EQ(read_sim_params(file, params).result, sim_params_reading::outcome::read);
  std::fclose(file);
  ASSERT_EQ(params.conditions.size(), 3u);
  EXPECT_EQ(params.conditions[1].text, "extinct or count(2122) > 0");
  EXPECT_TRUE(params.conditions[0].stops && !params.conditions[1].stops && params.conditions[2].stops);
  char* text = nullptr;
  size_t size = 0;
  std::FILE* out = open_memstream(&text, &size);
  write_sim_params(out, params);
  std::fclose(out);
  EXPECT_EQ(std::string(text, size), testing::read_file(path));
  std::free(text);
}

}  // namespace
}  // namespace twolocus
