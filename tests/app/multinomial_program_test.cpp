// twolocus-multinomial end to end: the same messages, statuses and files as
// twolocus but for the seed line; a resume, also of a run killed at random
// moments any number of times, writes the uninterrupted run's records; and
// the seed line read both ways (missing for this program, present for
// twolocus).
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/process.hpp"

namespace twolocus {
namespace {

using testing::multinomial_binary_path;
using testing::read_file;
using testing::run_program_at;
using testing::temp_dir;
using testing::write_file;

std::vector<std::string> fresh_args(const std::string& n, const std::string& size,
                                    const std::string& rate) {
  return {"fit.tsv", "1", "0", "50", n, size, rate, "100000", rate, rate, "100000", rate, "run.out", "4242"};
}

// The records of a trajectory as a reader keeps them: complete lines only,
// the last copy of each generation.
std::map<std::string, std::string> kept_records(const std::string& text) {
  std::map<std::string, std::string> records;
  size_t start = text.find('\n') + 1;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) break;  // an unfinished last line
    const std::string line = text.substr(start, end - start);
    if (std::count(line.begin(), line.end(), '\t') == 81) records[line.substr(0, line.find('\t'))] = line;
    start = end + 1;
  }
  return records;
}

TEST(MultinomialProgram, SameMessagesStatusesAndFilesAsTwolocusButTheSeedLine) {
  temp_dir exact, multi;
  for (const temp_dir* dir : {&exact, &multi}) {
    write_file(*dir / "fit.tsv", read_file(testing::source_path("examples/valley.tsv")));
  }
  const std::vector<std::vector<std::string>> commands = {
      {}, {"a", "b", "c"}, {"missing.out"}, fresh_args("401", "1000", "10000000"),
      {"run.out"}, {"run.out", "300"}, {"run.out", "601"}};
  for (const auto& args : commands) {
    const auto e = run_program_at(testing::binary_path(), args, exact.path);
    const auto m = run_program_at(multinomial_binary_path(), args, multi.path);
    EXPECT_EQ(m.out, e.out);
    EXPECT_EQ(m.status, e.status);
    EXPECT_EQ(m.err, "");
  }
  EXPECT_EQ(read_file(multi / "run.out.params"), read_file(exact / "run.out.params") + "seed = 4242\n");
  EXPECT_EQ(read_file(multi / "run.out.params.new"),
            read_file(exact / "run.out.params.new") + "seed = 4242\n");
  const auto records = kept_records(read_file(multi / "run.out"));
  EXPECT_EQ(records.size(), kept_records(read_file(exact / "run.out")).size());
  EXPECT_EQ(read_file(multi / "run.out").substr(0, 416), testing::trajectory_header());
}

TEST(MultinomialProgram, KilledAndResumedRunsWriteTheUninterruptedRunsRecords) {
  temp_dir whole, broken;
  const auto args = fresh_args("100001", "3000", "10000000");
  for (const temp_dir* dir : {&whole, &broken}) {
    write_file(*dir / "fit.tsv", read_file(testing::source_path("examples/valley.tsv")));
  }
  int status = -1;
  const auto whole_time = testing::time_of(
      [&] { status = run_program_at(multinomial_binary_path(), args, whole.path).status; });
  ASSERT_EQ(status, 0);
  const auto expected = kept_records(read_file(whole / "run.out"));
  ASSERT_EQ(expected.size(), 502u);

  // Kills land anywhere in the run, however long it takes on this machine,
  // resumes included; one that lands before the first record leaves nothing
  // to resume from, and the run starts again.
  std::mt19937 moments(17);
  int kills = 0;
  bool started = false;
  bool finished = false;
  for (int attempt = 0; attempt < 40 && !finished; ++attempt) {
    const std::vector<std::string> command = started ? std::vector<std::string>{"run.out"} : args;
    const auto run = testing::start_program_at(multinomial_binary_path(), command, broken.path);
    std::this_thread::sleep_for(testing::kill_moment(moments, whole_time / 5));
    ::kill(run.pid, SIGKILL);
    const auto result = testing::finish_program(run);
    finished = result.status == 0;
    kills += !finished;
    const auto kept = kept_records(read_file(broken / "run.out"));
    started = kept.size() > 0;
    // Killed after its final record (while exiting): the run's work is
    // done, and a resume would only append the record after it.
    finished = finished || kept.count("100001") > 0;
  }
  if (!finished) {
    // Only a run that started is resumed; one that never did is run again.
    const std::vector<std::string> last = started ? std::vector<std::string>{"run.out"} : args;
    EXPECT_EQ(run_program_at(multinomial_binary_path(), last, broken.path).status, 0);
  }
  const auto resumed = kept_records(read_file(broken / "run.out"));
  EXPECT_EQ(resumed.size(), expected.size());
  for (const auto& [label, record] : expected) {
    const auto found = resumed.find(label);
    EXPECT_TRUE(found != resumed.end() && found->second == record) << "record " << label;
  }
  EXPECT_GE(kills, 3);
}

TEST(MultinomialProgram, SeedLineMissingHereAndIgnoredByTwolocus) {
  temp_dir with_seed, without_seed, exact_with, exact_without;
  for (const temp_dir* dir : {&with_seed, &without_seed, &exact_with, &exact_without}) {
    write_file(*dir / "fit.tsv", read_file(testing::source_path("examples/valley.tsv")));
    ASSERT_EQ(run_program_at(multinomial_binary_path(), fresh_args("600", "500", "1000000"), dir->path).status, 0);
  }
  // This program: no seed line means seed 2222, said once.
  const std::string params = read_file(with_seed / "run.out.params");
  const std::string unseeded = params.substr(0, params.rfind("seed = "));
  write_file(without_seed / "run.out.params", unseeded);
  write_file(with_seed / "run.out.params", unseeded + "seed = 2222\n");
  const auto seeded_run = run_program_at(multinomial_binary_path(), {"run.out", "1001"}, with_seed.path);
  const auto unseeded_run = run_program_at(multinomial_binary_path(), {"run.out", "1001"}, without_seed.path);
  const std::string said = "No seed in [run.out.params]; using [2222].\n";
  const auto at = unseeded_run.out.find(said);
  ASSERT_NE(at, std::string::npos);
  EXPECT_EQ(unseeded_run.out.substr(0, at) + unseeded_run.out.substr(at + said.size()), seeded_run.out);
  EXPECT_EQ(read_file(without_seed / "run.out"), read_file(with_seed / "run.out"));
  EXPECT_EQ(read_file(without_seed / "run.out.params.new"), read_file(with_seed / "run.out.params.new"));

  // twolocus: the seed line changes nothing, and its .params.new keeps the
  // line that .params had, so that copying it back keeps the other
  // program's seed.
  write_file(exact_without / "run.out.params", unseeded);
  const auto e_with = run_program_at(testing::binary_path(), {"run.out", "1001"}, exact_with.path);
  const auto e_without = run_program_at(testing::binary_path(), {"run.out", "1001"}, exact_without.path);
  EXPECT_EQ(e_with.status, 0);
  EXPECT_EQ(e_with.out, e_without.out);
  EXPECT_EQ(read_file(exact_with / "run.out"), read_file(exact_without / "run.out"));
  const std::string kept = read_file(exact_with / "run.out.params.new");
  EXPECT_EQ(kept.substr(kept.rfind("seed = ")), params.substr(params.rfind("seed = ")));
  EXPECT_EQ(read_file(exact_without / "run.out.params.new").find("seed"), std::string::npos);
}

}  // namespace
}  // namespace twolocus
