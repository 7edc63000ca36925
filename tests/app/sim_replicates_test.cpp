// twolocus-sim's summary and batches end to end: tables identical for any
// number of threads and any cutting into batches, a replicate's row and
// trajectory equal to a single run with its seed, --record-every 0, and
// batches and single runs killed at random moments and resumed giving the
// uninterrupted tables.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

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

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

// A summary line without its first column (the replicate's number).
std::string from_seed(const std::string& line) { return line.substr(line.find('\t') + 1); }

struct SimReplicates : ::testing::Test {
  temp_dir dir;
  args_list model(const std::string& engine, const std::string& size) const {
    return {"--fitness", testing::source_path("examples/valley.tsv").string(), "-s", "0.05", "-k",
            "0.1", "-N", size, "--mu", "0.001", "--mu-a21", "0.0002", "--recombination", "0.2",
            "--engine", engine, "--seed", "-77"};
  }
  std::string summary(const std::string& out) const { return read_file(dir / (out + ".summary.tsv")); }
};

TEST_F(SimReplicates, TablesAreTheSameForAnyThreadsAndBatchesAndRowsAreSingleRuns) {
  for (const std::string engine : {"exact", "multinomial"}) {
    SCOPED_TRACE(engine);
    const args_list run = with(model(engine, "400"), {"--generations", "150", "--record-every", "40"});
    ASSERT_EQ(sim(with(run, {"--replicates", "8", "-o", "one"}), dir).status, 0);
    ASSERT_EQ(sim(with(run, {"--replicates", "8", "--threads", "2", "--trajectories", "t", "-o", "two"}), dir).status, 0);
    ASSERT_EQ(sim(with(run, {"--replicates", "3", "-o", "p1"}), dir).status, 0);
    ASSERT_EQ(sim(with(run, {"--replicates", "5", "--first-replicate", "3", "--threads", "3", "-o", "p2"}), dir).status, 0);
    const std::vector<std::string> rows = lines_of(summary("one"));
    ASSERT_EQ(rows.size(), 9u);
    EXPECT_EQ(summary("two"), summary("one"));
    const std::vector<std::string> second = lines_of(summary("p2"));
    std::vector<std::string> joined = lines_of(summary("p1"));
    joined.insert(joined.end(), second.begin() + 1, second.end());
    EXPECT_EQ(joined, rows);

    // Replicate 5 run alone with its row's seed: the same row, and the
    // batch's trajectory of it is the single run's, byte for byte.
    const std::string seed = rows[6].substr(2, rows[6].find('\t', 2) - 2);
    EXPECT_EQ(rows[6].substr(0, 2), "5\t");
    args_list alone = run;
    alone[alone.size() - 5] = seed;  // the value of --seed in model()
    ASSERT_EQ(sim(with(alone, {"-o", "alone"}), dir).status, 0);
    const std::vector<std::string> single = lines_of(summary("alone"));
    ASSERT_EQ(single.size(), 2u);
    EXPECT_EQ(from_seed(single[1]), from_seed(rows[6]));
    EXPECT_EQ(read_file(dir / "t/replicate-5"), read_file(dir / "alone"));
    EXPECT_EQ(read_file(dir / "t/replicate-5.params"), read_file(dir / "alone.params"));
  }
}

TEST_F(SimReplicates, KilledBatchesAndRunsWithoutRecordsResumeToTheUninterruptedTables) {
  // A batch of 60 replicates of some 5 ms each, and a run without records
  // of some 150 ms, killed at random moments and resumed until done.
  const args_list batch = with(model("multinomial", "1000000"),
                               {"--generations", "3000", "--record-every", "0", "--replicates",
                                "60", "--threads", "2"});
  const args_list single = with(model("exact", "3000"), {"--generations", "20000", "--record-every", "0"});
  for (const args_list& run : {batch, single}) {
    const bool is_batch = run.size() == batch.size();
    const std::string whole = is_batch ? "whole-batch" : "whole-single";
    const std::string broken = is_batch ? "broken-batch" : "broken-single";
    SCOPED_TRACE(broken);
    int status = -1;
    const auto whole_time = testing::time_of([&] { status = sim(with(run, {"-o", whole}), dir).status; });
    ASSERT_EQ(status, 0);
    std::mt19937 moments(19);
    int kills = 0;
    bool started = false;
    bool finished = false;
    // The single run starts again at each resume, so it is killed 5 times.
    for (int attempt = 0; attempt < (is_batch ? 40 : 5) && !finished; ++attempt) {
      const args_list command = started ? args_list{"--resume", broken} : with(run, {"-o", broken});
      const auto started_run = testing::start_program_at(testing::sim_binary_path(), command, dir.path, "twolocus-sim");
      std::this_thread::sleep_for(testing::kill_moment(moments, whole_time / 5));
      ::kill(started_run.pid, SIGKILL);
      finished = testing::finish_program(started_run).status == 0;
      kills += !finished;
      // What a resume needs is whole once a batch's summary is there, and
      // once a single run's trajectory holds its header.
      started = is_batch ? std::filesystem::exists(dir / (broken + ".summary.tsv"))
                         : read_file(dir / broken).size() >= testing::trajectory_header().size();
    }
    if (!finished) {
      ASSERT_EQ(sim(started ? args_list{"--resume", broken} : with(run, {"-o", broken}), dir).status, 0);
    }
    EXPECT_GE(kills, 3);
    EXPECT_EQ(summary(broken), summary(whole));
    if (is_batch) {
      // OUT holds the lock of the name, and nothing else.
      EXPECT_EQ(read_file(dir / broken), "");
    } else {
      EXPECT_EQ(read_file(dir / broken), testing::trajectory_header());
    }
    const auto again = sim({"--resume", broken}, dir);
    EXPECT_EQ(again.status, 0);
    EXPECT_NE(again.err.find("Nothing to do"), std::string::npos);
    EXPECT_EQ(summary(broken), summary(whole));
  }
}

}  // namespace
}  // namespace twolocus
