// twolocus-sim with a demography (a Demes file of one deme): the records'
// N follow the sizes of the model's epochs generation by generation; a
// constant deme gives the bytes of the same run with -N; a run resumed from
// any record of a history (with selfing and cloning) writes the
// uninterrupted run's records and summary, on both engines, and so does a
// batch; --resolve prints the resolved model; what a run cannot simulate is
// refused in one line.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "support/process.hpp"

namespace twolocus {
namespace {

using testing::read_file;
using testing::temp_dir;
using testing::write_file;
using args_list = std::vector<std::string>;

constexpr auto sim = testing::run_sim;

// A history with every kind of epoch: constant, selfing, exponential growth
// with cloning, linear decline with both.
const char* const history_yaml = R"(time_units: generations
description: a history with every kind of epoch
demes:
  - name: P
    epochs:
      - {start_size: 300, end_time: 400}
      - {start_size: 40, end_time: 250.5, selfing_rate: 0.6}
      - {start_size: 40, end_size: 900, end_time: 120, size_function: exponential, cloning_rate: 0.3}
      - {start_size: 900, end_size: 100, end_time: 0, size_function: linear, selfing_rate: 0.2, cloning_rate: 0.1}
)";

// The size of the generation born at time t (generations before time 0), as
// the Demes format writes each size function, rounded to the nearest whole
// number (halves up).
long expected_size(double t) {
  struct epoch { double start, end, start_size, end_size; int shape; };
  const epoch epochs[] = {{INFINITY, 400, 300, 300, 0}, {400, 250.5, 40, 40, 0},
                          {250.5, 120, 40, 900, 1}, {120, 0, 900, 100, 2}};
  for (const epoch& e : epochs) {
    if (!(e.end <= t && t < e.start)) continue;
    const double dt = std::isinf(e.start) ? 0 : (e.start - t) / (e.start - e.end);
    const double size = e.shape == 0   ? e.start_size
                        : e.shape == 1 ? e.start_size * std::exp(std::log(e.end_size / e.start_size) * dt)
                                       : e.start_size + (e.end_size - e.start_size) * dt;
    return static_cast<long>(std::floor(size + 0.5));
  }
  return -1;
}

// Each complete record of a trajectory: its label and its line.
std::map<long, std::string> records_of(const std::string& text) {
  std::map<long, std::string> records;
  size_t start = text.find('\n') + 1;
  while (start < text.size()) {
    const size_t end = text.find('\n', start);
    if (end == std::string::npos) break;
    const std::string line = text.substr(start, end - start);
    if (!line.empty()) records[std::stol(line)] = line;
    start = end + 1;
  }
  return records;
}

long total_of(const std::string& record) {
  long total = 0;
  for (size_t at = record.find('\t'); at != std::string::npos; at = record.find('\t', at + 1)) {
    total += std::stol(record.substr(at + 1));
  }
  return total;
}

struct SimHistory : ::testing::Test {
  temp_dir dir;
  void SetUp() override {
    write_file(dir / "fit.tsv", read_file(testing::source_path("examples/valley.tsv")));
    write_file(dir / "history.yaml", history_yaml);
  }
  args_list run(const std::string& engine, const std::string& out, const args_list& more = {}) const {
    args_list args = {"--fitness", "fit.tsv", "-s", "0.05", "-k", "0.1", "--mu", "0.002",
                      "--recombination", "0.2", "--demography", "history.yaml", "--engine", engine,
                      "--seed", "41", "-o", out};
    args.insert(args.end(), more.begin(), more.end());
    return args;
  }
};

TEST_F(SimHistory, EveryRecordsSizeIsItsGenerationsSizeOfTheModel) {
  for (const std::string engine : {"exact", "multinomial"}) {
    SCOPED_TRACE(engine);
    // --burn-in 30: the run starts at 400 + 30 = 430 generations before 0.
    const auto done = sim(run(engine, engine + ".out", {"--burn-in", "30", "--record-every", "1"}), dir);
    ASSERT_EQ(done.status, 0) << done.err;
    const auto records = records_of(read_file(dir / (engine + ".out")));
    ASSERT_EQ(records.size(), 430u);
    for (const auto& [label, line] : records) {
      // Generation g's offspring are born at 430 - g - 1.
      EXPECT_EQ(total_of(line), expected_size(430.0 - static_cast<double>(label) - 1)) << label;
    }
    const std::string params = read_file(dir / (engine + ".out.params"));
    EXPECT_NE(params.find("\npopulation_size = 300\n"), std::string::npos);
    EXPECT_NE(params.find("\ngenerations = 430\n"), std::string::npos);
    EXPECT_NE(params.find("\nhistory_start = 430\n"), std::string::npos);
  }
}

TEST_F(SimHistory, AConstantDemeGivesTheBytesOfTheSameRunWithN) {
  write_file(dir / "constant.yaml", "time_units: generations\ndemes:\n  - name: A\n    epochs:\n      - start_size: 120\n");
  for (const std::string engine : {"exact", "multinomial"}) {
    SCOPED_TRACE(engine);
    const args_list common = {"--fitness", "fit.tsv", "-s", "0.05", "-k", "0.1", "--mu", "0.002",
                              "--engine", engine, "--generations", "700", "--record-every", "33",
                              "--stop", "a2 > 0.6", "--watch", "count(2222) > 0"};
    args_list with_history = common, with_n = common;
    with_history.insert(with_history.end(), {"--demography", "constant.yaml", "-o", "d.out"});
    with_n.insert(with_n.end(), {"-N", "120", "-o", "n.out"});
    ASSERT_EQ(sim(with_history, dir).status, 0);
    ASSERT_EQ(sim(with_n, dir).status, 0);
    for (const std::string file : {"", ".summary.tsv", ".checkpoint"}) {
      EXPECT_EQ(read_file(dir / ("d.out" + file)), read_file(dir / ("n.out" + file))) << file;
    }
  }
}

TEST_F(SimHistory, AResumeFromAnyRecordWritesTheUninterruptedRun) {
  for (const std::string engine : {"exact", "multinomial"}) {
    SCOPED_TRACE(engine);
    ASSERT_EQ(sim(run(engine, "whole.out", {"--generations", "420", "--record-every", "17"}), dir).status, 0);
    const std::string whole = read_file(dir / "whole.out");
    const std::string lines = read_file(dir / "whole.out.checkpoint");
    const auto records = records_of(whole);
    for (const auto& [label, line] : records) {
      // Killed right after this record and its checkpoint line.
      const size_t end = whole.find(line) + line.size() + 1;
      const size_t line_start = lines.find(std::to_string(label) + "\t");
      ASSERT_NE(line_start, std::string::npos);
      write_file(dir / "cut.out", whole.substr(0, end));
      write_file(dir / "cut.out.checkpoint", lines.substr(0, lines.find('\n', line_start) + 1));
      write_file(dir / "cut.out.params", read_file(dir / "whole.out.params"));
      std::filesystem::remove(dir / "cut.out.summary.tsv");
      const auto resumed = sim({"--resume", "cut.out"}, dir);
      ASSERT_EQ(resumed.status, 0) << label << ": " << resumed.err;
      EXPECT_EQ(records_of(read_file(dir / "cut.out")), records) << label;
      EXPECT_EQ(read_file(dir / "cut.out.summary.tsv"), read_file(dir / "whole.out.summary.tsv")) << label;
    }
    // Extended beyond time 0, the run goes on as the model stands at 0.
    ASSERT_EQ(sim({"--resume", "whole.out", "--generations", "440"}, dir).status, 0);
    const auto extended = records_of(read_file(dir / "whole.out"));
    EXPECT_EQ(total_of(extended.at(425)), 100);
    EXPECT_EQ(total_of(extended.at(440)), 100);
  }
}

TEST_F(SimHistory, ABatchsReplicatesAreTheSingleRunsOfTheirSeeds) {
  ASSERT_EQ(sim(run("multinomial", "batch", {"--generations", "300", "--replicates", "4", "--threads", "2",
                                             "--trajectories", "runs"}),
                dir)
                .status,
            0);
  const std::string summary = read_file(dir / "batch.summary.tsv");
  EXPECT_EQ(std::count(summary.begin(), summary.end(), '\n'), 5);
  // The replicates' own trajectories: each resumes to itself.
  const auto records = records_of(read_file(dir / "runs/replicate-2"));
  EXPECT_EQ(total_of(records.rbegin()->second), expected_size(0));
}

TEST_F(SimHistory, WhatARunCannotSimulateIsRefusedInOneLine) {
  write_file(dir / "two.yaml",
             "time_units: generations\ndemes:\n  - name: A\n    epochs: [{start_size: 100}]\n"
             "  - name: B\n    epochs: [{start_size: 100}]\n");
  write_file(dir / "tiny.yaml", "time_units: generations\ndemes:\n  - name: T\n    epochs:\n"
                                "      - {start_size: 100, end_time: 10}\n      - {start_size: 0.1}\n");
  write_file(dir / "bad.yaml", "time_units: generations\ndemes:\n  - name: 9x\n    epochs: [{start_size: 1}]\n");
  const std::vector<std::pair<args_list, std::string>> cases = {
      {run("exact", "r", {"--demography", "two.yaml"}), "twolocus-sim: option [--demography] is given twice.\n"},
      {{"--fitness", "fit.tsv", "--demography", "tiny.yaml", "--generations", "20", "-o", "r"},
       "twolocus-sim: demography file [tiny.yaml]: deme [T] epoch 2: its size 0.10000000000000001 at 9 "
       "generations before time 0 rounds to 0, below 1, which a run cannot simulate.\n"},
      {{"--fitness", "fit.tsv", "--demography", "bad.yaml", "--generations", "5", "-o", "r"},
       "twolocus-sim: demography file [bad.yaml]: "},
      {{"--fitness", "fit.tsv", "--demography", "none.yaml", "--generations", "5", "-o", "r"},
       "twolocus-sim: could not open demography file [none.yaml] to read.\n"},
      {{"--fitness", "fit.tsv", "--demography", "history.yaml", "-N", "5", "-o", "r"},
       "twolocus-sim: option [-N] cannot be used with [--demography].\n"},
      {{"--fitness", "fit.tsv", "--demography", "history.yaml", "--burn-in", "5", "--generations", "5", "-o", "r"},
       "twolocus-sim: option [--burn-in] cannot be used with [--generations].\n"},
      {{"--fitness", "fit.tsv", "-N", "5", "--burn-in", "5", "--generations", "5", "-o", "r"},
       "twolocus-sim: option [--burn-in] cannot be used with [a run without --demography].\n"},
  };
  for (const auto& [args, message] : cases) {
    SCOPED_TRACE(message);
    const auto refused = sim(args, dir);
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err.rfind(message, 0), 0u) << refused.err;
    EXPECT_EQ(std::count(refused.err.begin(), refused.err.end(), '\n'), 1);
    EXPECT_FALSE(std::filesystem::exists(dir / "r"));
  }
  // --resolve reads what a run refuses (and any model), and needs nothing else.
  for (const std::string file : {"two.yaml", "tiny.yaml"}) {
    const auto resolved = sim({"--demography", file, "--resolve"}, dir);
    EXPECT_EQ(resolved.status, 0) << resolved.err;
    EXPECT_EQ(resolved.out.rfind("{\n  \"time_units\": \"generations\",", 0), 0u);
  }
}

}  // namespace
}  // namespace twolocus
