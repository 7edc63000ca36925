// twolocus-sim end to end: command-line refusals (one line on standard
// error, status 1, nothing written), the classic programs' trajectories byte
// for byte, fitness tables with the mirror rule, --initial, the file safety
// of twolocus, the refusal of each other's parameter files, and resumes of
// runs killed at random moments and of finished runs extended.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/process.hpp"

namespace twolocus {
namespace {

using testing::read_file;
using testing::run_program_at;
using testing::sim_binary_path;
using testing::temp_dir;
using testing::write_file;
using args_list = std::vector<std::string>;

testing::run_result sim(const args_list& args, const temp_dir& dir) {
  return run_program_at(sim_binary_path(), args, dir.path, "twolocus-sim");
}

// The records a reader keeps: complete lines only, the last copy of each label.
std::map<long, std::string> kept_records(const std::string& text) {
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

size_t line_count(const std::string& text) { return static_cast<size_t>(std::count(text.begin(), text.end(), '\n')); }

// A valley run's options, with `more` appended.
args_list valley(const args_list& more, const std::string& size = "300") {
  args_list args = {"--fitness", "fit.tsv", "-s", "0.05", "-k", "0.1", "-N", size, "--mu", "0.001"};
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

struct SimProgram : ::testing::Test {
  temp_dir dir;
  void SetUp() override {
    write_file(dir / "fit.tsv", read_file(testing::source_path("examples/valley.tsv")));
  }
};

TEST_F(SimProgram, RefusalsAreOneLineNamingTheOptionWithNothingWritten) {
  const std::vector<std::pair<args_list, std::string>> cases = {
      {valley({"--generations", "10"}), "option [--output] is required"},
      {valley({"-o", "r.out"}), "option [--generations] is required"},
      {valley({"--generations", "1e3", "-o", "r.out"}), "option [--generations] takes a whole number"},
      {valley({"--generations", "10", "-o", "r.out", "-N", "5"}), "option [-N] is given twice"},
      {valley({"--generations", "10", "-o", "r.out", "--population-size", "5"}), "option [--population-size] is given twice"},
      {valley({"--generations", "10", "-o", "r.out", "--recombination", "0.6"}), "option [--recombination] takes a probability from 0 to 0.5, not [0.6]"},
      {valley({"--generations", "10", "-o", "r.out", "--recombination", "0.1x"}), "[--recombination] takes"},
      {valley({"--generations", "10", "-o", "r.out", "--mu-a21", "nan"}), "[--mu-a21] takes"},
      {valley({"--generations", "10", "-o", "r.out", "--mu-b31", "0.6", "--mu-b32", "0.5"}), "out of allele 3 at locus b sum to 1.1"},
      {valley({"--generations", "10", "-o", "r.out", "--weights", "round"}), "option [--weights] takes exact or floor, not [round]"},
      {valley({"--generations", "10", "-o", "r.out", "--engine", "fast"}), "option [--engine] takes exact or multinomial"},
      {valley({"--generations", "10", "-o", "r.out", "--seed", "4294967296"}), "option [--seed] takes"},
      {valley({"--generations", "10", "-o", "r.out", "--record-every", "-1"}), "option [--record-every] takes"},
      {valley({"--generations", "10", "-o", "r.out", "--fitness-values", "fit.tsv"}), "option [--fitness-values] cannot be used with [--fitness]"},
      {valley({"--generations", "10", "-o", "r.out", "--bogus", "1"}), "unknown option [--bogus]"},
      {valley({"--generations", "10", "-o", "r.out", "stray"}), "unexpected argument [stray]"},
      {valley({"--generations", "10", "-o"}), "option [-o] needs a value"},
      {{"--resume", "r.out", "--seed", "3"}, "option [--seed] cannot be used with [--resume]"},
      {valley({"--generations", "10", "-o", "fit.tsv"}), "output file [fit.tsv] is the input file [fit.tsv]"},
      {valley({"--generations", "10", "-o", "fit", "--fitness", "fit.tsv.params"}), "is given twice"},
      {valley({"--generations", "10", "-o", "r.out", "--column", "3"}), "line 41 of fitness file [fit.tsv] is not four alleles 1 to 3 and a column [3]"},
      {valley({"--generations", "10", "-o", "r.out", "--initial", "none.tsv"}), "could not open initial file [none.tsv]"},
  };
  for (const auto& [args, message] : cases) {
    SCOPED_TRACE(args.back());
    const auto result = sim(args, dir);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(line_count(result.err), 1u) << result.err;
    EXPECT_EQ(result.err.rfind("twolocus-sim: ", 0), 0u);
    EXPECT_NE(result.err.find(message), std::string::npos) << result.err;
    EXPECT_FALSE(std::filesystem::exists(dir / "r.out"));
  }
  EXPECT_EQ(read_file(dir / "fit.tsv"), read_file(testing::source_path("examples/valley.tsv")));
  const auto help = sim({"--help"}, dir);
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("--recombination R"), std::string::npos);
  // --version prints the release that the file VERSION holds (its one line).
  EXPECT_EQ(sim({"--version"}, dir).out,
            "twolocus-sim version " + read_file(testing::source_path("VERSION")));
}

// s, k (whole percent), column, n, N, rates (x 10^-10), seed.
struct classic_case {
  int s, k, column, n, size, rate12, rate23, rate13, seed;
};

std::string fraction(int whole, int digits) {
  char text[64];
  std::snprintf(text, sizeof text, "%de-%d", whole, digits);
  return text;
}

TEST_F(SimProgram, ClassicParametersWriteTheClassicProgramsTrajectoriesByteForByte) {
  std::mt19937 draw(18);
  std::vector<classic_case> cases = {{0, 0, 1, 401, 200, 100000, 10000, 100000, 2222},
                                     {100, 100, 2, 1, 50, 0, 0, 0, 1},
                                     {5, 10, 1, 2001, 400, 1000000, 100000, 1000000, 7}};
  for (int i = 0; i < 21; ++i) {
    cases.push_back({static_cast<int>(draw() % 101), static_cast<int>(draw() % 101),
                     1 + static_cast<int>(draw() % 2), static_cast<int>(draw() % 1300),
                     1 + static_cast<int>(draw() % 700), static_cast<int>(draw() % 50000000),
                     static_cast<int>(draw() % 5000000), static_cast<int>(draw() % 20000000),
                     static_cast<int>(draw())});
  }
  for (const std::string table : {"examples/valley.tsv", "examples/lethal.tsv"}) {
    write_file(dir / "fit.tsv", read_file(testing::source_path(table)));
    for (const classic_case& c : cases) {
      const std::string n = std::to_string(c.n), size = std::to_string(c.size);
      const std::string r12 = std::to_string(c.rate12), r23 = std::to_string(c.rate23),
                        r13 = std::to_string(c.rate13), seed = std::to_string(c.seed);
      SCOPED_TRACE(table + " s " + std::to_string(c.s) + " k " + std::to_string(c.k) + " n " + n +
                   " N " + size + " seed " + seed);
      const args_list classic = {"fit.tsv", std::to_string(c.column), std::to_string(c.s),
                                 std::to_string(c.k), n, size, r12, r23, r13, r12, r23, r13,
                                 "classic.out", seed};
      args_list general = {"--fitness", "fit.tsv", "--column", std::to_string(c.column),
                           "-s", fraction(c.s, 2), "-k", fraction(c.k, 2), "--generations", n,
                           "-N", size, "--seed", seed, "--weights", "floor", "-o", "sim.out"};
      for (const char* locus : {"a", "b"}) {
        for (const auto& [change, rate] : {std::pair{"12", c.rate12}, {"23", c.rate23}, {"13", c.rate13}}) {
          general.insert(general.end(), {std::string("--mu-") + locus + change, fraction(rate, 10)});
        }
      }
      for (const auto& [engine, binary] :
           {std::pair{"exact", testing::binary_path()}, {"multinomial", testing::multinomial_binary_path()}}) {
        ASSERT_EQ(run_program_at(binary, classic, dir.path).status, 0);
        args_list with_engine = general;
        with_engine.insert(with_engine.end(), {"--engine", engine});
        ASSERT_EQ(sim(with_engine, dir).status, 0);
        EXPECT_EQ(read_file(dir / "sim.out"), read_file(dir / "classic.out")) << engine;
      }
    }
  }
}

TEST_F(SimProgram, AGenotypeNotListedTakesItsMirrorsFitness) {
  // Keep only one parental order of each genotype (the first met of a pair).
  const std::string full = read_file(dir / "fit.tsv");
  std::string halved, values;
  std::vector<std::string> kept;
  size_t start = 0;
  while (start < full.size()) {
    const size_t end = full.find('\n', start);
    const std::string line = full.substr(start, end - start);
    start = end + 1;
    if (line.empty() || line[0] == '#') continue;
    const std::string label = {line[0], line[2], line[4], line[6]};
    const std::string mirror = {label[1], label[0], label[3], label[2]};
    if (std::find(kept.begin(), kept.end(), mirror) != kept.end()) continue;
    kept.push_back(label);
    halved += line + "\n";
    values += line.substr(0, 8) + (line[8] == '1' ? "1" : "0.5e0") + "\n";
  }
  ASSERT_LT(kept.size(), 81u);
  write_file(dir / "half.tsv", halved);
  write_file(dir / "values.tsv", values);
  const args_list common = {"-N", "300", "--mu", "0.001", "--generations", "401", "--seed", "3"};
  auto run = [&](args_list table, const std::string& out) {
    table.insert(table.end(), common.begin(), common.end());
    table.insert(table.end(), {"-o", out});
    return sim(table, dir);
  };
  ASSERT_EQ(run({"--fitness", "fit.tsv", "-s", "0.05", "-k", "0.1"}, "full.out").status, 0);
  ASSERT_EQ(run({"--fitness", "half.tsv", "-s", "0.05", "-k", "0.1"}, "half.out").status, 0);
  EXPECT_EQ(read_file(dir / "half.out"), read_file(dir / "full.out"));
  EXPECT_EQ(read_file(dir / "half.out.params"), read_file(dir / "full.out.params"));
  ASSERT_EQ(run({"--fitness-values", "values.tsv"}, "values.out").status, 0);
  EXPECT_NE(read_file(dir / "values.out.params").find("fitness_1112 = 0.5\n"), std::string::npos);

  write_file(dir / "gap.tsv", halved.substr(halved.find('\n') + 1));
  EXPECT_EQ(run({"--fitness", "gap.tsv"}, "x.out").err,
            "twolocus-sim: fitness file [gap.tsv] gives no fitness for genotype [1111] nor for its mirror [1111].\n");
  write_file(dir / "bad.tsv", "1\t1\t1\t1\t9\n");
  EXPECT_EQ(run({"--fitness", "bad.tsv"}, "x.out").err,
            "twolocus-sim: line 1 of fitness file [bad.tsv] gives genotype [1111] an unknown code (not 0 to 8) [9].\n");
  write_file(dir / "twice.tsv", "1\t1\t1\t1\t1\n1\t1\t1\t1\t1\n");
  EXPECT_EQ(run({"--fitness-values", "twice.tsv"}, "x.out").err,
            "twolocus-sim: line 2 of fitness file [twice.tsv] lists genotype [1111] again.\n");
  write_file(dir / "neg.tsv", "1\t1\t1\t1\t-1\n");
  EXPECT_NE(run({"--fitness-values", "neg.tsv"}, "x.out").err.find("a value that is not a number of at least 0 [-1]"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(dir / "x.out"));
}

TEST_F(SimProgram, InitialCountsComeFromARecordOrFromLabelledCounts) {
  ASSERT_EQ(sim(valley({"--generations", "1001", "--record-every", "100", "-o", "first.out"}), dir).status, 0);
  const auto records = kept_records(read_file(dir / "first.out"));
  ASSERT_EQ(records.size(), 12u);  // 0, 100, ..., 1000 and the final 1001
  // A record as the population before generation 0: its counts, in a file of
  // counts, start the same run.
  const std::string record = records.at(500);
  std::string counts = "# from record 500\n";
  size_t at = record.find('\t');
  for (int index = 0; index < 81; ++index) {
    const size_t end = record.find('\t', at + 1);
    const std::string count = record.substr(at + 1, end == std::string::npos ? end : end - at - 1);
    const std::string label = {static_cast<char>('1' + index % 3), static_cast<char>('1' + index / 3 % 3),
                               static_cast<char>('1' + index / 9 % 3), static_cast<char>('1' + index / 27)};
    if (count != "0") counts += label + "\t" + count + "\n";
    at = end;
  }
  write_file(dir / "counts.tsv", counts);
  ASSERT_EQ(sim(valley({"--generations", "300", "--initial", "first.out:500", "-o", "a.out"}), dir).status, 0);
  ASSERT_EQ(sim(valley({"--generations", "300", "--initial", "counts.tsv", "-o", "b.out"}), dir).status, 0);
  EXPECT_EQ(read_file(dir / "a.out"), read_file(dir / "b.out"));
  ASSERT_EQ(sim(valley({"--generations", "300", "--initial", "first.out", "-o", "c.out"}), dir).status, 0);
  EXPECT_NE(read_file(dir / "c.out.params").find("initial_1111 = " + records.at(1001).substr(5, records.at(1001).find('\t', 5) - 5) + "\n"), std::string::npos);

  const std::vector<std::pair<std::string, std::string>> bad = {
      {"1111\t5\n1111\t6\n", "line 2 of initial file [bad.tsv] lists genotype [1111] again"},
      {"1114\t5\n", "line 1 of initial file [bad.tsv] is not of the right format"},
      {"1111\t-5\n", "line 1 of initial file [bad.tsv] is not of the right format"},
      {"1111\t2000000000\n2111\t2000000000\n", "total more than 2147483647"}};
  for (const auto& [text, message] : bad) {
    write_file(dir / "bad.tsv", text);
    const auto result = sim(valley({"--generations", "3", "--initial", "bad.tsv", "-o", "x.out"}), dir);
    EXPECT_NE(result.err.find(message), std::string::npos) << result.err;
  }
  EXPECT_NE(sim(valley({"--generations", "3", "--initial", "first.out:7", "-o", "x.out"}), dir).err.find("no complete record labelled [7]"), std::string::npos);
  EXPECT_NE(sim(valley({"--generations", "3", "--initial", "first.out", "-o", "first.out"}), dir).err.find("output file [first.out] is the input file [first.out]"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(dir / "x.out"));
}

TEST_F(SimProgram, EachProgramRefusesTheOthersParameterFileInOneLine) {
  ASSERT_EQ(sim(valley({"--generations", "401", "-o", "sim.out"}), dir).status, 0);
  const std::string before = read_file(dir / "sim.out");
  for (const std::string& binary : {testing::binary_path(), testing::multinomial_binary_path()}) {
    const auto result = run_program_at(binary, {"sim.out", "600"}, dir.path);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, testing::banner +
              "You have to reenter the parameters.  [sim.out.params] is a parameter file of twolocus-sim; resume that run with twolocus-sim.\n");
  }
  EXPECT_EQ(read_file(dir / "sim.out"), before);
  ASSERT_EQ(run_program_at(testing::binary_path(), {"fit.tsv", "1", "5", "10", "401", "100", "1000", "1000", "1000", "1000", "1000", "1000", "classic.out"}, dir.path).status, 0);
  const auto result = sim({"--resume", "classic.out"}, dir);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "twolocus-sim: [classic.out.params] is a parameter file of twolocus or twolocus-multinomial; resume that run with that program.\n");
}

TEST_F(SimProgram, FileSafetyLocksAndCutBack) {
  // A second writer is refused while the first holds the lock (taken before
  // its header is written, however long the start takes).
  const auto first = testing::start_program_at(sim_binary_path(), valley({"--generations", "20000000", "--engine", "exact", "-o", "run.out"}), dir.path, "twolocus-sim");
  for (int i = 0; i < 6000 && read_file(dir / "run.out").size() < testing::trajectory_header().size(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  for (const args_list& args : {valley({"--generations", "5", "-o", "run.out"}), args_list{"--resume", "run.out"}}) {
    const auto second = sim(args, dir);
    EXPECT_EQ(second.status, 1);
    EXPECT_EQ(second.err, "twolocus-sim: output file [run.out] is in use by another run.\n");
  }
  ::kill(first.pid, SIGKILL);
  testing::finish_program(first);
  // A full disk: the trajectory is cut back to its last whole record, and
  // the run resumes from there to the uninterrupted run's records.
  ASSERT_EQ(sim(valley({"--generations", "2000", "--record-every", "10", "--engine", "exact", "-o", "whole.out"}), dir).status, 0);
  for (const long long limit : {5000LL, 20011LL, 30001LL}) {
    const auto cut = testing::run_program_limited_at(sim_binary_path(), valley({"--generations", "2000", "--record-every", "10", "--engine", "exact", "-o", "cut.out"}), dir.path, limit);
    EXPECT_EQ(cut.status, 1);
    EXPECT_EQ(cut.err, "twolocus-sim: could not write output file [cut.out]; it was cut back to its last whole record.\n");
    const std::string text = read_file(dir / "cut.out");
    EXPECT_EQ(text.back(), '\n');
    EXPECT_EQ(kept_records(text).size(), line_count(text) - 1);
    ASSERT_EQ(sim({"--resume", "cut.out"}, dir).status, 0);
    EXPECT_EQ(kept_records(read_file(dir / "cut.out")), kept_records(read_file(dir / "whole.out")));
  }
}

TEST_F(SimProgram, ResumeReadsTheCheckpointLineOfTheLastCompleteRecord) {
  const args_list run = valley({"--engine", "exact", "--generations", "701", "--record-every", "100", "-o", "r.out"});
  ASSERT_EQ(sim(run, dir).status, 0);
  const std::string whole = read_file(dir / "r.out");
  const std::string lines = read_file(dir / "r.out.checkpoint");
  EXPECT_EQ(lines.substr(0, 5), "0\t1\t3");
  EXPECT_NE(lines.find("\n700\t701\t"), std::string::npos);
  EXPECT_EQ(lines.substr(lines.find("\n701\t") + 1, 8), "701\t701\t");
  // Killed inside record 600 and inside the line of record 700.
  write_file(dir / "r.out", whole.substr(0, whole.find("\n600\t") + 40));
  const size_t start_600 = lines.find("\n600\t") + 1, end_600 = lines.find('\n', start_600) + 1;
  write_file(dir / "r.out.checkpoint", lines.substr(0, end_600 + 5));
  const auto resumed = sim({"--resume", "r.out"}, dir);
  EXPECT_EQ(resumed.status, 0);
  EXPECT_EQ(resumed.err, "twolocus-sim: resuming [r.out] from record [500]: generations [501] to [701].\n");
  EXPECT_EQ(kept_records(read_file(dir / "r.out")), kept_records(whole));
  EXPECT_EQ(read_file(dir / "r.out.checkpoint"), lines.substr(0, end_600) + lines.substr(start_600));
  // No line for the last record: refused, nothing changed.
  write_file(dir / "r.out.checkpoint", lines.substr(0, lines.find("\n701\t") + 1));
  const auto refused = sim({"--resume", "r.out", "--generations", "900"}, dir);
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.err, "twolocus-sim: checkpoint file [r.out.checkpoint] has no line for record [701].\n");
  EXPECT_NE(read_file(dir / "r.out.params").find("generations = 701\n"), std::string::npos);
}

TEST_F(SimProgram, KilledResumedAndExtendedRunsWriteTheUninterruptedRunsRecords) {
  for (const std::string engine : {"exact", "multinomial"}) {
    SCOPED_TRACE(engine);
    // Sizes at which a whole run takes some 100 ms, so that kills land inside it.
    const bool exact = engine == "exact";
    const int n = exact ? 6000 : 20000;
    const int longer = exact ? 9000 : 30000;
    const args_list model = valley({"--engine", engine, "--mu-a21", "0.0005", "--mu-b32", "0.0002",
                                    "--recombination", "0.1", "--record-every", "37", "--seed", "99"},
                                   exact ? "5000" : "1000000");
    auto fresh = [&](int generations, const std::string& out) {
      args_list args = model;
      args.insert(args.end(), {"--generations", std::to_string(generations), "-o", out});
      return args;
    };
    int status = -1;
    const auto whole_time = testing::time_of([&] { status = sim(fresh(n, "whole.out"), dir).status; });
    ASSERT_EQ(status, 0);
    const auto expected = kept_records(read_file(dir / "whole.out"));
    ASSERT_EQ(expected.size(), static_cast<size_t>(n / 37 + 1 + (n % 37 != 0)));

    // A file of its own per engine: a kill before the fresh run opens its
    // output must not leave the other engine's finished file to resume.
    const std::string broken = engine + "-broken.out";
    std::mt19937 moments(engine == "exact" ? 5 : 6);
    int kills = 0;
    bool started = false, finished = false;
    for (int attempt = 0; attempt < 60 && !finished; ++attempt) {
      const args_list command = started ? args_list{"--resume", broken} : fresh(n, broken);
      const auto run = testing::start_program_at(sim_binary_path(), command, dir.path, "twolocus-sim");
      std::this_thread::sleep_for(testing::kill_moment(moments, whole_time / 5));
      ::kill(run.pid, SIGKILL);
      finished = testing::finish_program(run).status == 0;
      kills += !finished;
      started = !kept_records(read_file(dir / broken)).empty();
    }
    if (!finished) {
      // On a loaded machine every attempt may have been killed before the first record.
      ASSERT_EQ(sim(started ? args_list{"--resume", broken} : fresh(n, broken), dir).status, 0);
    }
    EXPECT_GE(kills, 3);
    EXPECT_EQ(kept_records(read_file(dir / broken)), expected);
    EXPECT_EQ(read_file(dir / (broken + ".summary.tsv")), read_file(dir / "whole.out.summary.tsv"));

    // Extending the finished run equals a fresh run to the new total (but
    // for the earlier final record, n, which a fresh run does not write).
    const auto nothing = sim({"--resume", "whole.out"}, dir);
    EXPECT_EQ(nothing.status, 0);
    EXPECT_NE(nothing.err.find("Nothing to do"), std::string::npos);
    ASSERT_EQ(sim({"--resume", "whole.out", "--generations", std::to_string(longer)}, dir).status, 0);
    ASSERT_EQ(sim(fresh(longer, "longer.out"), dir).status, 0);
    auto extended = kept_records(read_file(dir / "whole.out"));
    extended.erase(n);
    EXPECT_EQ(extended, kept_records(read_file(dir / "longer.out")));
    EXPECT_EQ(read_file(dir / "whole.out.params"), read_file(dir / "longer.out.params"));
  }
}

}  // namespace
}  // namespace twolocus
