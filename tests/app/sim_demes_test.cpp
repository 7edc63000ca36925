// twolocus-sim with a model of several demes: OUT holds the demes summed
// and OUT@NAME each deme's records, in the generations it exists, with the
// model's sizes; runs killed at random moments and resumed, or resumed from
// any record, write the uninterrupted run's files on both engines; a batch
// writes each replicate's demes beside its trajectory; a fresh run removes
// an older run's demes' files.
#include <gtest/gtest.h>
#include <signal.h>

#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/process.hpp"

namespace twolocus {
namespace {

using testing::read_file;
using testing::temp_dir;
using testing::write_file;
using args_list = std::vector<std::string>;

constexpr auto sim = testing::run_sim;

// Three demes: A throughout; B split from A 300 generations ago and growing;
// C founded from A and B 150 generations ago; migration between A and B,
// and a pulse from C into A 60 generations ago.
const char* const three_yaml = R"(time_units: generations
demes:
  - name: A
    epochs: [{start_size: 400}]
  - name: B
    ancestors: [A]
    start_time: 300
    epochs: [{start_size: 100, end_size: 600, size_function: exponential, selfing_rate: 0.3}]
  - name: C
    ancestors: [A, B]
    proportions: [0.5, 0.5]
    start_time: 150
    epochs: [{start_size: 80, cloning_rate: 0.2}]
migrations:
  - demes: [A, B]
    rate: 0.02
pulses:
  - {sources: [C], dest: A, time: 60, proportions: [0.25]}
)";

std::map<long, std::string> records_of(const std::string& text) {
  std::map<long, std::string> records;
  size_t start = text.find('\n') + 1;
  while (start < text.size()) {
    const size_t end = text.find('\n', start);
    if (end == std::string::npos) break;
    const std::string line = text.substr(start, end - start);
    if (std::count(line.begin(), line.end(), '\t') == 81) records[std::stol(line)] = line;
    start = end + 1;
  }
  return records;
}

std::vector<long> counts_of(const std::string& record) {
  std::vector<long> counts;
  for (size_t at = record.find('\t'); at != std::string::npos; at = record.find('\t', at + 1)) {
    counts.push_back(std::stol(record.substr(at + 1)));
  }
  return counts;
}

long total_of(const std::string& record) {
  long total = 0;
  for (const long count : counts_of(record)) total += count;
  return total;
}

struct SimDemes : ::testing::Test {
  temp_dir dir;
  void SetUp() override {
    write_file(dir / "fit.tsv", read_file(testing::source_path("examples/valley.tsv")));
    write_file(dir / "three.yaml", three_yaml);
  }
  static args_list run(const std::string& engine, const std::string& out, const args_list& more) {
    args_list args = {"--fitness", "fit.tsv", "-s", "0.05", "-k", "0.1", "--mu", "0.001",
                      "--recombination", "0.1", "--demography", "three.yaml", "--engine", engine,
                      "--seed", "23", "-o", out};
    args.insert(args.end(), more.begin(), more.end());
    return args;
  }
  std::map<long, std::string> records(const std::string& file) const { return records_of(read_file(dir / file)); }
};

TEST_F(SimDemes, TheWholeIsTheDemesSummedEachInTheGenerationsItExists) {
  ASSERT_EQ(sim(run("multinomial", "r", {"--burn-in", "20", "--record-every", "1"}), dir).status, 0);
  const auto whole = records("r"), a = records("r@A"), b = records("r@B"), c = records("r@C");
  // The run starts 320 generations before 0: B's first generation is born at
  // 299 (generation 20), C's at 149 (generation 170).
  ASSERT_EQ(whole.size(), 320u);
  EXPECT_EQ(a.size(), 320u);
  EXPECT_EQ(b.begin()->first, 20);
  EXPECT_EQ(c.begin()->first, 170);
  EXPECT_EQ(b.size(), 300u);
  EXPECT_EQ(c.size(), 150u);
  for (const auto& [label, line] : whole) {
    std::vector<long> sum(81, 0);
    for (const auto* deme : {&a, &b, &c}) {
      const auto found = deme->find(label);
      if (found == deme->end()) continue;
      const auto counts = counts_of(found->second);
      for (size_t i = 0; i < 81; ++i) sum[i] += counts[i];
    }
    EXPECT_EQ(counts_of(line), sum) << label;
    EXPECT_EQ(total_of(a.at(label)), 400) << label;
  }
  EXPECT_EQ(total_of(c.at(319)), 80);
  EXPECT_EQ(total_of(b.at(319)), 600);
  // Born one generation into its epoch of growth: 100 x 6^(1/300), rounded.
  EXPECT_EQ(total_of(b.at(20)), 101);
}

TEST_F(SimDemes, AResumeFromAnyRecordWritesTheUninterruptedRun) {
  for (const std::string engine : {"exact", "multinomial"}) {
    SCOPED_TRACE(engine);
    ASSERT_EQ(sim(run(engine, "whole", {"--generations", "330", "--record-every", "23", "--stop", "a2 > 0.9"}), dir)
                  .status,
              0);
    const std::string text = read_file(dir / "whole");
    const std::string lines = read_file(dir / "whole.checkpoint");
    for (const auto& [label, line] : records_of(text)) {
      write_file(dir / "cut", text.substr(0, text.find(line) + line.size() + 1));
      const size_t line_start = lines.find(std::to_string(label) + "\t");
      write_file(dir / "cut.checkpoint", lines.substr(0, lines.find('\n', line_start) + 1));
      write_file(dir / "cut.params", read_file(dir / "whole.params"));
      // The demes' files as a kill leaves them: whole, beyond the record.
      for (const std::string deme : {"@A", "@B", "@C"}) write_file(dir / ("cut" + deme), read_file(dir / ("whole" + deme)));
      std::filesystem::remove(dir / "cut.summary.tsv");
      const auto resumed = sim({"--resume", "cut"}, dir);
      ASSERT_EQ(resumed.status, 0) << label << ": " << resumed.err;
      for (const std::string file : {"", "@A", "@B", "@C"}) {
        EXPECT_EQ(records("cut" + file), records("whole" + file)) << label << file;
      }
      EXPECT_EQ(read_file(dir / "cut.summary.tsv"), read_file(dir / "whole.summary.tsv")) << label;
    }
  }
}

TEST_F(SimDemes, ADemesRecordCutShortBeyondTheResumedRecordIsWrittenAgain) {
  // A kill can come after a deme's file got records beyond OUT's last, the
  // last of them cut short; the resume from OUT's last record writes them
  // again as whole lines.
  ASSERT_EQ(sim(run("multinomial", "whole", {"--generations", "330", "--record-every", "7"}), dir).status, 0);
  const std::string text = read_file(dir / "whole");
  const std::string lines = read_file(dir / "whole.checkpoint");
  for (const long label : {175L, 182L, 245L}) {
    SCOPED_TRACE(label);
    std::string at(1, '\n');
    at += std::to_string(label);
    at += '\t';
    write_file(dir / "cut", text.substr(0, text.find('\n', text.find(at) + 1) + 1));
    write_file(dir / "cut.checkpoint", lines.substr(0, lines.find('\n', lines.find(at) + 1) + 1));
    write_file(dir / "cut.params", read_file(dir / "whole.params"));
    std::filesystem::remove(dir / "cut.summary.tsv");
    for (const std::string deme : {"@A", "@B", "@C"}) {
      // Each deme's file: two records more, the second cut in its counts.
      const std::string whole = read_file(dir / ("whole" + deme));
      size_t end = whole.find(at);
      end = end == std::string::npos ? whole.find('\n') : whole.find('\n', end + 1);
      end = whole.find('\n', end + 1);
      if (end != std::string::npos) end = whole.find('\n', end + 1);
      write_file(dir / ("cut" + deme), whole.substr(0, end == std::string::npos ? whole.size() : end - 3));
    }
    const auto resumed = sim({"--resume", "cut"}, dir);
    ASSERT_EQ(resumed.status, 0) << resumed.err;
    for (const std::string file : {"", "@A", "@B", "@C"}) {
      EXPECT_EQ(records("cut" + file), records("whole" + file)) << file;
    }
    for (const std::string deme : {"@A", "@B", "@C"}) {
      // Every line whole: the header, records, and the empty line before a
      // resumed record.
      std::istringstream resumed_lines(read_file(dir / ("cut" + deme)));
      std::string line;
      std::getline(resumed_lines, line);
      while (std::getline(resumed_lines, line)) {
        EXPECT_TRUE(line.empty() || std::count(line.begin(), line.end(), '\t') == 81) << deme << ": " << line;
      }
    }
    EXPECT_EQ(read_file(dir / "cut.summary.tsv"), read_file(dir / "whole.summary.tsv"));
  }
}

TEST_F(SimDemes, KilledAndResumedRunsLoseNothing) {
  for (const std::string engine : {"exact", "multinomial"}) {
    SCOPED_TRACE(engine);
    const auto fresh = [&](const std::string& out) {
      return run(engine, out, {"--generations", "330", "--record-every", "7"});
    };
    int status = -1;
    const auto whole_time = testing::time_of([&] { status = sim(fresh("whole"), dir).status; });
    ASSERT_EQ(status, 0);
    const std::string broken = engine + "-broken";
    std::mt19937 moments(engine == "exact" ? 7 : 8);
    bool started = false, finished = false;
    for (int attempt = 0; attempt < 40 && !finished; ++attempt) {
      const args_list command = started ? args_list{"--resume", broken} : fresh(broken);
      const auto running = testing::start_program_at(testing::sim_binary_path(), command, dir.path, "twolocus-sim");
      std::this_thread::sleep_for(testing::kill_moment(moments, whole_time / 4));
      ::kill(running.pid, SIGKILL);
      finished = testing::finish_program(running).status == 0;
      started = !records(broken).empty();
    }
    if (!finished) {
      ASSERT_EQ(sim(started ? args_list{"--resume", broken} : fresh(broken), dir).status, 0);
    }
    for (const std::string file : {"", "@A", "@B", "@C"}) {
      EXPECT_EQ(records(broken + file), records("whole" + file)) << file;
    }
    EXPECT_EQ(read_file(dir / (broken + ".summary.tsv")), read_file(dir / "whole.summary.tsv"));
  }
}

TEST_F(SimDemes, ABatchKeepsEachReplicatesDemesAndAFreshRunClearsOlderDemes) {
  ASSERT_EQ(sim(run("multinomial", "batch", {"--generations", "200", "--replicates", "3", "--threads", "2",
                                             "--record-every", "50", "--trajectories", "runs"}),
                dir)
                .status,
            0);
  for (const std::string deme : {"@A", "@B", "@C"}) {
    EXPECT_FALSE(records("runs/replicate-1" + deme).empty()) << deme;
  }
  // A run of one deme on the same name leaves none of the batch's demes.
  write_file(dir / "one.yaml", "time_units: generations\ndemes:\n  - name: P\n    epochs: [{start_size: 50}]\n");
  ASSERT_EQ(sim({"--fitness", "fit.tsv", "--demography", "one.yaml", "--generations", "10", "-o", "batch"}, dir).status, 0);
  EXPECT_FALSE(std::filesystem::exists(dir / "batch@A"));
  EXPECT_FALSE(std::filesystem::exists(dir / "batch.batch"));
}

TEST_F(SimDemes, AKillBeforeTheFinalRecordIsCompletedByAResume) {
  // n = 330 and K = 7: the record of the last generation is labelled 329,
  // and the final record 330 follows it. Killed after 330's checkpoint line
  // and before its record, a resume writes that record and the summary.
  for (const bool demes : {false, true}) {
    SCOPED_TRACE(demes ? "three demes" : "one population");
    args_list model = demes ? run("exact", "whole", {"--generations", "330", "--record-every", "7"})
                            : args_list{"--fitness", "fit.tsv", "-N", "60", "--mu", "0.001", "--generations",
                                        "330", "--record-every", "7", "-o", "whole"};
    ASSERT_EQ(sim(model, dir).status, 0);
    const std::string whole = read_file(dir / "whole");
    write_file(dir / "cut", whole.substr(0, whole.find("\n330\t") + 1));
    write_file(dir / "cut.checkpoint", read_file(dir / "whole.checkpoint"));
    write_file(dir / "cut.params", read_file(dir / "whole.params"));
    for (const std::string deme : {"@A", "@B", "@C"}) {
      if (demes) write_file(dir / ("cut" + deme), read_file(dir / ("whole" + deme)));
    }
    std::filesystem::remove(dir / "cut.summary.tsv");
    const auto resumed = sim({"--resume", "cut"}, dir);
    ASSERT_EQ(resumed.status, 0) << resumed.err;
    EXPECT_EQ(records("cut"), records("whole"));
    EXPECT_EQ(read_file(dir / "cut.summary.tsv"), read_file(dir / "whole.summary.tsv"));
  }
}

// The summary's row as a map from its header's columns (the first of a
// name: a condition's column comes before a statistic of the same name).
std::map<std::string, std::string> summary_of(const std::string& text) {
  std::vector<std::vector<std::string>> lines;
  std::istringstream rows(text);
  for (std::string line; std::getline(rows, line);) {
    lines.emplace_back();
    std::istringstream fields(line);
    for (std::string field; std::getline(fields, field, '\t');) lines.back().push_back(field);
    if (!line.empty() && line.back() == '\t') lines.back().emplace_back();
  }
  std::map<std::string, std::string> row;
  if (lines.size() < 2) return row;
  for (size_t i = 0; i < lines[0].size() && i < lines[1].size(); ++i) row.emplace(lines[0][i], lines[1][i]);
  return row;
}

TEST_F(SimDemes, ConditionsReadOneDemeOrTheDemesTogether) {
  // B is first born in generation 20 and C in 170 (see above); C does not
  // exist at the start, A is all 1111 there.
  const args_list watches = {"--watch", "N@B > 0", "--watch", "N@C > 0", "--watch", "extinct@C",
                             "--watch", "count(1111)@A == 400", "--watch", "N > 500 and N@A == 400",
                             "--stop", "count(1111)@B < 50 and N@B > 0"};
  for (const std::string engine : {"exact", "multinomial"}) {
    SCOPED_TRACE(engine);
    args_list args = run(engine, "r", {"--burn-in", "20", "--record-every", "1"});
    args.insert(args.end(), watches.begin(), watches.end());
    const auto done = sim(args, dir);
    ASSERT_EQ(done.status, 0) << done.err;
    // The stop's first label: the first record of B (growing from 101 to
    // 600, crossing the valley) with fewer than 50 1111.
    long first_other = -2;
    for (const auto& [label, line] : records("r@B")) {
      if (counts_of(line)[0] < 50) {
        first_other = label;
        break;
      }
    }
    ASSERT_GT(first_other, 170) << "the stop is reached after C is founded";
    long first_large = -2;  // the demes together above 500
    for (const auto& [label, line] : records("r")) {
      if (total_of(line) > 500) {
        first_large = label;
        break;
      }
    }
    const auto row = summary_of(read_file(dir / "r.summary.tsv"));
    EXPECT_EQ(row.at("N@B > 0"), "20");
    EXPECT_EQ(row.at("N@C > 0"), "170");
    EXPECT_EQ(row.at("extinct@C"), "-1");
    EXPECT_EQ(row.at("count(1111)@A == 400"), "-1");
    EXPECT_EQ(row.at("N > 500 and N@A == 400"), std::to_string(first_large));
    EXPECT_EQ(row.at("end"), "count(1111)@B < 50 and N@B > 0");
    EXPECT_EQ(row.at("label"), std::to_string(first_other));
    // The whole's statistics, then each deme's, of the last population.
    const auto b_last = counts_of(records("r@B").at(first_other));
    EXPECT_EQ(row.at("N@B"), std::to_string(total_of(records("r@B").at(first_other))));
    EXPECT_EQ(row.at("N@A"), "400");
    EXPECT_EQ(row.at("N@C"), "80");
    EXPECT_EQ(row.at("N"), std::to_string(total_of(records("r").at(first_other))));
    EXPECT_EQ(std::stol(row.at("classes@B")), std::count_if(b_last.begin(), b_last.end(), [](long c) { return c > 0; }));
    EXPECT_EQ(row.at("extinct@B"), "0");
    EXPECT_EQ(row.size(), 5 + 6 + 24 * 4 - 1) << "one name shared by a condition and a deme's statistic";
    // A resume from a record before the stop finds the same labels.
    const std::string text = read_file(dir / "r");
    // (A line's start, built in steps: g++ 12 warns wrongly on "\n" + ....)
    std::string cut_at(1, '\n');
    cut_at += std::to_string(first_other - 3);
    cut_at += '\t';
    write_file(dir / "cut", text.substr(0, text.find('\n', text.find(cut_at) + 1) + 1));
    const std::string lines = read_file(dir / "r.checkpoint");
    const size_t line_start = lines.find(cut_at) + 1;
    write_file(dir / "cut.checkpoint", lines.substr(0, lines.find('\n', line_start) + 1));
    write_file(dir / "cut.params", read_file(dir / "r.params"));
    for (const std::string deme : {"@A", "@B", "@C"}) write_file(dir / ("cut" + deme), read_file(dir / ("r" + deme)));
    const auto resumed = sim({"--resume", "cut"}, dir);
    ASSERT_EQ(resumed.status, 0) << resumed.err;
    EXPECT_EQ(read_file(dir / "cut.summary.tsv"), read_file(dir / "r.summary.tsv"));
  }
}

TEST_F(SimDemes, AConditionOnADemeTheModelLacksIsRefusedBeforeAnythingIsWritten) {
  const std::vector<std::pair<args_list, std::string>> cases = {
      {run("exact", "r", {"--generations", "5", "--watch", "N@D > 0"}),
       "twolocus-sim: condition [N@D > 0] names deme [D], which the run's model does not have.\n"},
      {run("exact", "r", {"--generations", "5", "--replicates", "2", "--stop", "a1@A < 1 or h22@Z > 0"}),
       "twolocus-sim: condition [a1@A < 1 or h22@Z > 0] names deme [Z], which the run's model does not have.\n"},
      {{"--fitness", "fit.tsv", "-N", "10", "--generations", "5", "-o", "r", "--stop", "extinct@A"},
       "twolocus-sim: condition [extinct@A] names deme [A], which the run's model does not have.\n"},
      {{"--fitness", "fit.tsv", "-N", "10", "--generations", "5", "-o", "r", "--stop", "N@ > 0"},
       "twolocus-sim: option [--stop] could not read the condition [N@ > 0]: '@' not followed by a deme's name at character 3.\n"},
  };
  for (const auto& [args, message] : cases) {
    SCOPED_TRACE(message);
    const auto refused = sim(args, dir);
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err.rfind(message, 0), 0u) << refused.err;
    EXPECT_FALSE(std::filesystem::exists(dir / "r"));
    EXPECT_FALSE(std::filesystem::exists(dir / "r.params"));
  }
}

TEST_F(SimDemes, AFinalRecordWithoutItsLineEndIsEndedByAResume) {
  // Each count is handed to the system as it is written and the line end
  // with the next write: a kill between the last count and the end of the
  // run leaves the final record whole but its line open. The resume that
  // finds the run complete ends the line and writes the summary.
  for (const bool demes : {false, true}) {
    SCOPED_TRACE(demes ? "three demes" : "one population");
    args_list model = demes ? run("exact", "whole", {"--generations", "330", "--record-every", "7"})
                            : args_list{"--fitness", "fit.tsv", "-N", "60", "--mu", "0.001", "--generations",
                                        "330", "--record-every", "7", "-o", "whole"};
    ASSERT_EQ(sim(model, dir).status, 0);
    const std::string whole = read_file(dir / "whole");
    ASSERT_EQ(whole.back(), '\n');
    write_file(dir / "cut", whole.substr(0, whole.size() - 1));
    write_file(dir / "cut.checkpoint", read_file(dir / "whole.checkpoint"));
    write_file(dir / "cut.params", read_file(dir / "whole.params"));
    for (const std::string deme : {"@A", "@B", "@C"}) {
      if (demes) write_file(dir / ("cut" + deme), read_file(dir / ("whole" + deme)));
    }
    std::filesystem::remove(dir / "cut.summary.tsv");
    for (int again = 0; again < 2; ++again) {
      const auto resumed = sim({"--resume", "cut"}, dir);
      ASSERT_EQ(resumed.status, 0) << resumed.err;
      EXPECT_EQ(read_file(dir / "cut"), whole);
      EXPECT_EQ(read_file(dir / "cut.summary.tsv"), read_file(dir / "whole.summary.tsv"));
    }
  }
}

}  // namespace
}  // namespace twolocus
