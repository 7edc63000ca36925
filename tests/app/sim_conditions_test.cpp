// twolocus-sim's --stop and --watch end to end: first labels equal to those
// of the same run recorded every generation (both engines, any record
// interval, the start as -1), a stop writing that generation's record, kills
// and resumes giving the uninterrupted summary, batches the same for any
// threads and cutting, and the errors before anything is written.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "model/conditions.hpp"
#include "support/process.hpp"

namespace twolocus {
namespace {

using testing::read_file;
using testing::temp_dir;
using args_list = std::vector<std::string>;

using testing::with;

testing::run_result sim(const args_list& args, const temp_dir& dir) {
  return testing::run_sim(args, dir);
}

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::stringstream stream(text);
  for (std::string part; std::getline(stream, part, separator);) parts.push_back(part);
  return parts;
}

// The summary's single row, split into fields, and its header.
struct summary_table {
  std::vector<std::string> header, row;
};
summary_table summary_of(const temp_dir& dir, const std::string& out) {
  const std::vector<std::string> lines = split(read_file(dir / (out + ".summary.tsv")), '\n');
  EXPECT_EQ(lines.size(), 2u);
  return {split(lines.at(0), '\t'), split(lines.at(1), '\t')};
}

// The fields from N on: the final population's statistics.
std::vector<std::string> statistics(const summary_table& table) {
  size_t n = 0;
  while (table.header[n] != "N") ++n;
  return {table.row.begin() + static_cast<long>(n), table.row.end()};
}

args_list model(const std::string& engine, const std::string& size) {
  return {"--fitness", testing::source_path("examples/valley.tsv").string(), "-s", "0.05", "-k",
          "0.1", "-N", size, "--mu", "0.001", "--mu-a21", "0.0002", "--recombination", "0.2",
          "--engine", engine, "--seed", "-77"};
}

TEST(SimConditions, FirstLabelsAreThoseOfTheRunRecordedEveryGeneration) {
  temp_dir dir;
  // Met at the start; early; the stop; after the stop; never.
  const std::vector<std::string> watches = {"a1 > 0.99", "count(2222) >= 1 or h22 > 0.01",
                                            "h22 >= 0.95", "extinct"};
  const std::string stop = "h22 >= 0.2 and (h11 < 0.5 or freq(2222) > 0.05)";
  for (const std::string engine : {"exact", "multinomial"}) {
    SCOPED_TRACE(engine);
    const args_list base = model(engine, "300");
    const args_list run = with(base, {"--generations", "2000"});
    ASSERT_EQ(sim(with(run, {"--record-every", "1", "-o", "every"}), dir).status, 0);
    const std::string every = read_file(dir / "every");
    const std::vector<std::string> records = split(every, '\n');

    // The first label of each condition on the starting population (all
    // 1111) and the records, as twolocus-stats --first finds it.
    std::vector<std::string> texts = watches;
    texts.insert(texts.begin() + 2, stop);
    std::vector<long> first(texts.size(), LONG_MIN);
    population_counts counts{};
    counts[0] = 300;
    for (size_t r = 0; r < records.size(); ++r) {
      const std::vector<std::string> fields = split(records[r], '\t');
      if (r > 0) {
        for (size_t g = 0; g < genotype_count; ++g) counts[g] = std::stoi(fields[g + 1]);
      }
      for (size_t c = 0; c < texts.size(); ++c) {
        if (first[c] == LONG_MIN && evaluate_condition(parse_condition(texts[c]).value, counts, nullptr)) {
          first[c] = r == 0 ? -1 : std::stol(fields[0]);
        }
      }
    }
    const long s = first[2];
    ASSERT_EQ(first[0], -1);
    ASSERT_GT(s, first[1]);
    ASSERT_GT(first[3], s);
    ASSERT_EQ(first[4], LONG_MIN);

    // The same run stopped by the condition, with records every 7 and none.
    ASSERT_EQ(sim(with(base, {"--generations", std::to_string(s + 1), "--record-every", "0", "-o", "cut"}), dir).status, 0);
    for (const std::string every_k : {"7", "0"}) {
      SCOPED_TRACE(every_k);
      const std::string out = "stopped-" + every_k;
      args_list conditions = {"--watch", watches[0], "--watch", watches[1], "--stop", stop,
                              "--watch", watches[2], "--watch", watches[3], "--watch", watches[1]};
      const auto done = sim(with(with(run, conditions), {"--record-every", every_k, "-o", out}), dir);
      ASSERT_EQ(done.status, 0);
      EXPECT_NE(done.err.find("stopped at label " + std::to_string(s) + " after " +
                              std::to_string(s + 1) + " generations: condition [" + stop + "] held."),
                std::string::npos);
      const summary_table table = summary_of(dir, out);
      const std::vector<std::string> head(table.header.begin(), table.header.begin() + 10);
      EXPECT_EQ(head, with({"replicate", "seed", "end", "label", "generations"}, texts));
      EXPECT_EQ(table.header[10], "N");  // the text given twice is one column
      const std::vector<std::string> row(table.row.begin(), table.row.begin() + 10);
      EXPECT_EQ(row, with({"0", "-77", stop, std::to_string(s), std::to_string(s + 1)},
                          {"-1", std::to_string(first[1]), std::to_string(s), "", ""}));
      EXPECT_EQ(statistics(table), statistics(summary_of(dir, "cut")));
      std::string expected = records[0] + "\n";
      for (long label = 0; every_k == "7" && label <= s; ++label) {
        if (label % 7 == 0 || label == s) expected += records[static_cast<size_t>(label) + 1] + "\n";
      }
      EXPECT_EQ(read_file(dir / out), expected);
      // Its resume changes nothing.
      const auto again = sim({"--resume", out}, dir);
      EXPECT_EQ(again.status, 0);
      EXPECT_NE(again.err.find("already stopped at label " + std::to_string(s)), std::string::npos);
      EXPECT_EQ(read_file(dir / out), expected);
    }
  }
  // A stop at the start: no generation, no record, label -1.
  const args_list run = with(model("exact", "300"), {"--generations", "50", "--stop", "a1 > 0.99"});
  ASSERT_EQ(sim(with(run, {"-o", "start"}), dir).status, 0);
  EXPECT_EQ(read_file(dir / "start"), testing::trajectory_header());
  const summary_table table = summary_of(dir, "start");
  EXPECT_EQ(std::vector<std::string>(table.row.begin() + 2, table.row.begin() + 7),
            (std::vector<std::string>{"a1 > 0.99", "-1", "0", "-1", "300"}));
  EXPECT_EQ(sim({"--resume", "start"}, dir).status, 0);
}

TEST(SimConditions, KilledRunsWithWatchHitsAndBatchesResumeToTheUninterruptedSummary) {
  temp_dir dir;
  // A run of some 300 ms whose watched conditions are first met between its
  // records (every 250), and a batch of 60 replicates each stopped near 390.
  const args_list single = with(model("exact", "3000"),
                                {"--generations", "20000", "--record-every", "250", "--watch",
                                 "a3 >= 0.008", "--watch", "classes >= 35", "--watch",
                                 "h22 >= 0.9", "--watch", "h22 > 0.9 and classes <= 16"});
  const args_list batch = with(model("multinomial", "1000000"),
                               {"--generations", "3000", "--record-every", "0", "--replicates",
                                "60", "--threads", "2", "--watch", "count(2222) >= 1", "--stop",
                                "h22 >= 0.5"});
  for (const bool is_batch : {false, true}) {
    const args_list& run = is_batch ? batch : single;
    const std::string whole = is_batch ? "whole-batch" : "whole-single";
    const std::string broken = is_batch ? "broken-batch" : "broken-single";
    SCOPED_TRACE(broken);
    int status = -1;
    const auto whole_time = testing::time_of([&] { status = sim(with(run, {"-o", whole}), dir).status; });
    ASSERT_EQ(status, 0);
    std::mt19937 moments(23);
    int kills = 0;
    bool started = false;
    bool finished = false;
    for (int attempt = 0; attempt < 40 && !finished; ++attempt) {
      const args_list command = started ? args_list{"--resume", broken} : with(run, {"-o", broken});
      const auto started_run =
          testing::start_program_at(testing::sim_binary_path(), command, dir.path, "twolocus-sim");
      std::this_thread::sleep_for(testing::kill_moment(moments, whole_time / 5));
      ::kill(started_run.pid, SIGKILL);
      finished = testing::finish_program(started_run).status == 0;
      kills += !finished;
      // A batch resumes once its summary is there, a run once it has a record.
      started = std::filesystem::exists(dir / (broken + (is_batch ? ".summary.tsv" : ""))) &&
                (is_batch || read_file(dir / broken).size() > testing::trajectory_header().size());
    }
    if (!finished) {
      ASSERT_EQ(sim(started ? args_list{"--resume", broken} : with(run, {"-o", broken}), dir).status, 0);
    }
    EXPECT_GE(kills, 3);
    EXPECT_EQ(read_file(dir / (broken + ".summary.tsv")), read_file(dir / (whole + ".summary.tsv")));
  }
}

TEST(SimConditions, BatchTablesAreTheSameForAnyThreadsAndCutting) {
  temp_dir dir;
  const args_list run = with(model("exact", "300"),
                             {"--generations", "3000", "--record-every", "0", "--stop",
                              "h22 >= 0.5", "--watch", "count(2222) >= 2", "--stop", "a1 < 0.3"});
  ASSERT_EQ(sim(with(run, {"--replicates", "8", "-o", "one"}), dir).status, 0);
  ASSERT_EQ(sim(with(run, {"--replicates", "8", "--threads", "2", "-o", "two"}), dir).status, 0);
  ASSERT_EQ(sim(with(run, {"--replicates", "4", "-o", "p1"}), dir).status, 0);
  ASSERT_EQ(sim(with(run, {"--replicates", "4", "--first-replicate", "4", "-o", "p2"}), dir).status, 0);
  const std::string one = read_file(dir / "one.summary.tsv");
  EXPECT_EQ(read_file(dir / "two.summary.tsv"), one);
  const std::string second = read_file(dir / "p2.summary.tsv");
  EXPECT_EQ(read_file(dir / "p1.summary.tsv") + second.substr(second.find('\n') + 1), one);
  const std::vector<std::string> lines = split(one, '\n');
  ASSERT_EQ(lines.size(), 9u);
  int both = 0;
  for (size_t i = 1; i < lines.size(); ++i) {
    const std::vector<std::string> row = split(lines[i], '\t');
    // Each replicate stops on its own, at its stop column's label.
    EXPECT_TRUE(row[2] == "h22 >= 0.5" || row[2] == "a1 < 0.3" || row[2] == "last");
    if (row[2] != "last") {
      EXPECT_EQ(row[3], row[2] == "h22 >= 0.5" ? row[5] : row[7]);
    }
    EXPECT_EQ(std::stol(row[4]), std::stol(row[3]) + 1);
    // Both stops held at once: the first given ends the run.
    both += row[5] == row[7] && row[2] == "h22 >= 0.5";
  }
  EXPECT_GE(both, 1);
}

TEST(SimConditions, ABadConditionIsOneLineBeforeAnythingIsWritten) {
  temp_dir dir;
  const args_list run = with(model("exact", "300"), {"--generations", "50", "-o", "bad"});
  const auto bad = sim(with(run, {"--watch", "h22 >= 0.5", "--stop", "h22 >= 0.5 and a9 < 1"}), dir);
  EXPECT_EQ(bad.status, 1);
  EXPECT_EQ(bad.err,
            "twolocus-sim: option [--stop] could not read the condition [h22 >= 0.5 and a9 < 1]: "
            "an unknown name at character 16.\n");
  EXPECT_TRUE(std::filesystem::is_empty(dir.path));
  const auto tab = sim(with(run, {"--watch", "h22 >=\t0.5"}), dir);
  EXPECT_EQ(tab.status, 1);
  EXPECT_TRUE(std::filesystem::is_empty(dir.path));
  ASSERT_EQ(sim(with(run, {"--stop", "extinct"}), dir).status, 0);
  EXPECT_EQ(sim({"--resume", "bad", "--watch", "extinct"}, dir).status, 1);
}

}  // namespace
}  // namespace twolocus
