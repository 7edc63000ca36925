// Fitness values at the ends of their range in twolocus-sim: values whose
// weights overflow the doubles still give a neutral population under exact
// weights on both engines, and floor weights refuse values above their
// bound, on the command line and in a parameter file.
#include <gtest/gtest.h>

#include <numeric>
#include <string>
#include <vector>

#include "support/process.hpp"

namespace twolocus {
namespace {

using testing::read_file;
using testing::temp_dir;
using testing::write_file;

constexpr auto sim = testing::run_sim;

// A values table giving genotype 1111 `first` and every other `rest`.
std::string values_table(const std::string& first, const std::string& rest) {
  std::string table = "1\t1\t1\t1\t" + first + "\n";
  for (int index = 1; index < 81; ++index) {
    int digits = index;
    std::string line;
    for (int slot = 0; slot < 4; ++slot, digits /= 3) line += std::to_string(1 + digits % 3) + "\t";
    table += line + rest + "\n";
  }
  return table;
}

// The counts of a trajectory's last record, summed.
long last_record_total(const std::string& trajectory) {
  const size_t end = trajectory.find_last_of('\n', trajectory.size() - 2);
  const std::string line = trajectory.substr(end + 1);
  long total = 0;
  size_t at = line.find('\t');
  while (at != std::string::npos) {
    total += std::stol(line.substr(at + 1));
    at = line.find('\t', at + 1);
  }
  return total;
}

TEST(SimFitnessRange, HugeValuesUnderExactWeightsKeepThePopulation) {
  temp_dir dir;
  write_file(dir / "huge.tsv", values_table("1e307", "1e307"));
  for (const std::string engine : {"exact", "multinomial"}) {
    SCOPED_TRACE(engine);
    const auto run = sim({"--fitness-values", "huge.tsv", "-N", "18", "--generations", "3",
                          "--record-every", "1", "--mu", "0.01", "--engine", engine, "-o", "r.out"},
                         dir);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(last_record_total(read_file(dir / "r.out")), 18);
  }
}

TEST(SimFitnessRange, FloorWeightsRefuseValuesAboveTheirBound) {
  temp_dir dir;
  write_file(dir / "big.tsv", values_table("1", "33554433"));
  write_file(dir / "top.tsv", values_table("1", "33554432"));
  const auto refused = sim({"--fitness-values", "big.tsv", "--weights", "floor", "-N", "10",
                            "--generations", "2", "-o", "r.out"},
                           dir);
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.err,
            "twolocus-sim: line 2 of fitness file [big.tsv] gives genotype [2111] a fitness above "
            "33554432, the largest under --weights floor, [33554433].\n");
  EXPECT_FALSE(std::filesystem::exists(dir / "r.out"));
  // Under exact weights the same table runs; at the bound floor runs too.
  EXPECT_EQ(sim({"--fitness-values", "big.tsv", "-N", "10", "--generations", "2", "-o", "e.out"}, dir)
                .status,
            0);
  const auto top = sim({"--fitness-values", "top.tsv", "--weights", "floor", "-N", "10",
                        "--generations", "2", "-o", "f.out"},
                       dir);
  ASSERT_EQ(top.status, 0) << top.err;
  // A parameter file edited beyond the bound is refused by a resume.
  std::string params = read_file(dir / "f.out.params");
  const std::string key = "fitness_2111 = 33554432\n";
  ASSERT_NE(params.find(key), std::string::npos);
  params.replace(params.find(key), key.size(), "fitness_2111 = 33554433\n");
  write_file(dir / "f.out.params", params);
  const auto resumed = sim({"--resume", "f.out", "--generations", "4"}, dir);
  EXPECT_EQ(resumed.status, 1);
  EXPECT_NE(resumed.err.find("is not consistent at [fitness_2111]"), std::string::npos) << resumed.err;
}

}  // namespace
}  // namespace twolocus
