// Resuming a run from its trajectory file and parameter file, end to end:
// the built program in temporary folders, with exact console output, exit
// status and file bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "support/process.hpp"

namespace twolocus {
namespace {

namespace fs = std::filesystem;
using testing::read_file;
using testing::run_program;
using testing::run_result;
using testing::temp_dir;
using testing::write_file;

using testing::banner;
constexpr int small_generation = 20;

// Makes a fresh run writing "traj" and "traj.params" in `dir`.
bool fresh_run_in(const temp_dir& dir, int n, int seed = 2222,
                  int generation_size = small_generation) {
  write_file(dir / "fit.txt", testing::uniform_fitness_table(4, 1));
  const run_result result = run_program(
      {"fit.txt", "1", "5", "10", std::to_string(n), std::to_string(generation_size), "10000000",
       "5000000", "2000000", "2000000", "5000000", "10000000", "traj", std::to_string(seed)},
      dir.path);
  EXPECT_EQ(result.status, 0) << result.out;
  return result.status == 0;
}

run_result resume(const temp_dir& dir, const std::vector<std::string>& extra = {}) {
  std::vector<std::string> args = {"traj"};
  args.insert(args.end(), extra.begin(), extra.end());
  return run_program(args, dir.path);
}

void copy_checkpoint(const temp_dir& from, const temp_dir& to) {
  fs::copy_file(from / "traj", to / "traj");
  fs::copy_file(from / "traj.params", to / "traj.params");
}

// The lines of a text without their newlines; a last line without newline
// is included as it stands.
std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::vector<std::string> fields_of(const std::string& line) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (;;) {
    const size_t end = line.find('\t', start);
    fields.push_back(line.substr(start, end == std::string::npos ? end : end - start));
    if (end == std::string::npos) return fields;
    start = end + 1;
  }
}

std::string last_line(const std::string& text) { return lines_of(text).back(); }

// The record line of `line` relabelled.
std::string relabelled(const std::string& line, int64_t label) {
  std::string text = std::to_string(label);
  text += line.substr(line.find('\t'));
  return text;
}

// Checks that `lines` are records with the given labels, each of 81
// non-negative counts summing to `total`.
void expect_records(const std::vector<std::string>& lines, const std::vector<int64_t>& labels,
                    long long total = small_generation) {
  ASSERT_EQ(lines.size(), labels.size());
  for (size_t i = 0; i < lines.size(); ++i) {
    const auto fields = fields_of(lines[i]);
    ASSERT_EQ(fields.size(), 82u) << lines[i];
    EXPECT_EQ(fields[0], std::to_string(labels[i]));
    long long sum = 0;
    for (size_t f = 1; f < fields.size(); ++f) {
      const long long count = std::atoll(fields[f].c_str());
      EXPECT_EQ(fields[f], std::to_string(count));
      EXPECT_GE(count, 0);
      sum += count;
    }
    EXPECT_EQ(sum, total) << lines[i];
  }
}

// The lines after the first `skip` lines of a text.
std::vector<std::string> lines_after(const std::string& text, size_t skip) {
  auto lines = lines_of(text);
  lines.erase(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(std::min(skip, lines.size())));
  return lines;
}

std::string m_message(int64_t m) {
  return "m (where we left off) is [" + std::to_string(m) + "].\n";
}

std::string working(int64_t m, int64_t n) {
  return "Working on generations [" + std::to_string(m) + "] through [" + std::to_string(n) +
         "].\n";
}

std::string nothing_to_do(int64_t n, int64_t m) {
  return std::to_string(n) + " (n, according to the param file [traj.params]) <= " +
         std::to_string(m) + " (where we left off according to the output file [traj]). Nothing to do.\n";
}

std::string switching(int64_t from, int64_t to) {
  return "Switching n from [" + std::to_string(from) + "] (param file version) to [" +
         std::to_string(to) +
         "] (command line version). (Upon completion, look in \"traj.params.new\" for a parameter "
         "set reflecting this change)\n";
}

std::string new_n(int64_t n) { return "New n is [" + std::to_string(n) + "].\n"; }

std::string incomplete(int entries) {
  return "The last line of [traj] is not complete (only " + std::to_string(entries) +
         " entries).  Going to the second to last line.\n";
}

const std::string neither =
    "You have to reenter the parameters.  We can't checkpoint because neither of the last two "
    "lines of [traj] are complete.\n";

// The parameter file with its first line's n replaced.
std::string with_n(const std::string& params, int64_t n) {
  const size_t open = params.find("n = [") + 5;
  const size_t close = params.find(']', open);
  std::string text = params.substr(0, open);
  text += std::to_string(n);
  text += params.substr(close);
  return text;
}

std::string without_line(const std::string& text, const std::string& start) {
  std::string kept;
  bool found = false;
  for (const auto& line : lines_of(text)) {
    if (!found && line.compare(0, start.size(), start) == 0) {
      found = true;
      continue;
    }
    kept += line;
    kept += '\n';
  }
  EXPECT_TRUE(found) << start;
  return kept;
}

TEST(ResumeOpen, MissingTrajectoryIsReportedBeforeTheParameterFileIsTried) {
  temp_dir dir;
  // Neither file exists: the trajectory is named.
  auto result = resume(dir, {"5000"});
  EXPECT_EQ(result.out, banner + "Could not open output file [traj] to read and modify.\n");
  EXPECT_EQ(result.status, 1);
  // Only the parameter file exists: it is left alone and nothing is created.
  ASSERT_TRUE(fresh_run_in(dir, 1000));
  fs::remove(dir / "traj");
  const std::string params = read_file(dir / "traj.params");
  result = resume(dir);
  EXPECT_EQ(result.out, banner + "Could not open output file [traj] to read and modify.\n");
  EXPECT_EQ(result.status, 1);
  EXPECT_FALSE(fs::exists(dir / "traj"));
  EXPECT_FALSE(fs::exists(dir / "traj.params.new"));
  EXPECT_EQ(read_file(dir / "traj.params"), params);
}

TEST(ResumeOpen, TrajectoryThatIsADirectory) {
  temp_dir dir;
  ASSERT_TRUE(fresh_run_in(dir, 1000));
  fs::remove(dir / "traj");
  fs::create_directory(dir / "traj");
  const auto result = resume(dir);
  EXPECT_EQ(result.out, banner + "Could not open output file [traj] to read and modify.\n");
  EXPECT_EQ(result.status, 1);
  EXPECT_TRUE(fs::is_directory(dir / "traj"));
  EXPECT_FALSE(fs::exists(dir / "traj.params.new"));
}

TEST(ResumeOpen, MissingParameterFileLeavesTheTrajectoryUnchanged) {
  temp_dir dir;
  ASSERT_TRUE(fresh_run_in(dir, 1000));
  fs::remove(dir / "traj.params");
  const std::string trajectory = read_file(dir / "traj");
  for (const std::vector<std::string>& extra : {std::vector<std::string>{}, {"5000"}}) {
    const auto result = resume(dir, extra);
    EXPECT_EQ(result.out, banner + "Could not open param file [traj.params] to read.\n");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(read_file(dir / "traj"), trajectory);
    EXPECT_FALSE(fs::exists(dir / "traj.params.new"));
  }
}

TEST(Resume, RunEndedOnARecordRecomputesTheLastStretch) {
  temp_dir dir;
  ASSERT_TRUE(fresh_run_in(dir, 1000));
  const std::string trajectory = read_file(dir / "traj");
  const std::string params = read_file(dir / "traj.params");
  const std::string record800 = last_line(trajectory);
  ASSERT_EQ(record800.substr(0, 4), "800\t");

  const auto result = resume(dir);
  EXPECT_EQ(result.out, banner + m_message(800) + m_message(800) + working(800, 1000));
  EXPECT_EQ(result.status, 0);
  // Generations 801 to 999 leave no record: only the repeated checkpoint.
  EXPECT_EQ(read_file(dir / "traj"), trajectory + "\n" + record800 + "\n");
  EXPECT_EQ(read_file(dir / "traj.params"), params);
  EXPECT_EQ(read_file(dir / "traj.params.new"), params);
}

TEST(Resume, NothingToDoStillRepeatsTheRecordAndAppliesTheFinalRecordRule) {
  temp_dir dir;
  ASSERT_TRUE(fresh_run_in(dir, 1001));
  const std::string trajectory = read_file(dir / "traj");
  const std::string record1001 = last_line(trajectory);
  ASSERT_EQ(record1001.substr(0, 5), "1001\t");

  const auto result = resume(dir);
  EXPECT_EQ(result.out, banner + m_message(1001) + m_message(1001) + nothing_to_do(1001, 1001) + ".");
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(read_file(dir / "traj"),
            trajectory + "\n" + record1001 + "\n" + relabelled(record1001, 1002) + "\n");
  // The refreshed copy belongs to the working path only.
  EXPECT_FALSE(fs::exists(dir / "traj.params.new"));

  // When m + 1 is a multiple of 200 no final record follows.
  temp_dir other;
  ASSERT_TRUE(fresh_run_in(other, 1199));
  const std::string trajectory1199 = read_file(other / "traj");
  const std::string record1199 = last_line(trajectory1199);
  ASSERT_EQ(record1199.substr(0, 5), "1199\t");
  const auto quiet = resume(other);
  EXPECT_EQ(quiet.out, banner + m_message(1199) + m_message(1199) + nothing_to_do(1199, 1199));
  EXPECT_EQ(quiet.status, 0);
  EXPECT_EQ(read_file(other / "traj"), trajectory1199 + "\n" + record1199 + "\n");
}

TEST(Resume, NewNSwitchesAndGoesIntoTheRefreshedCopyOnly) {
  temp_dir dir;
  ASSERT_TRUE(fresh_run_in(dir, 1000));
  const std::string trajectory = read_file(dir / "traj");
  const std::string params = read_file(dir / "traj.params");
  const std::string record800 = last_line(trajectory);

  const auto result = resume(dir, {"5000"});
  EXPECT_EQ(result.out, banner + new_n(5000) + m_message(800) + m_message(800) +
                            switching(1000, 5000) + working(800, 5000) + std::string(20, '.'));
  EXPECT_EQ(result.status, 0);
  const std::string resumed = read_file(dir / "traj");
  ASSERT_EQ(resumed.substr(0, trajectory.size() + 1), trajectory + "\n");
  const auto added = lines_of(resumed.substr(trajectory.size() + 1));
  ASSERT_FALSE(added.empty());
  EXPECT_EQ(added[0], record800);
  std::vector<int64_t> labels;
  for (int64_t g = 1000; g < 5000; g += 200) labels.push_back(g);
  expect_records({added.begin() + 1, added.end()}, labels);
  EXPECT_EQ(resumed.back(), '\n');
  EXPECT_EQ(read_file(dir / "traj.params"), params);
  const std::string refreshed = read_file(dir / "traj.params.new");
  EXPECT_EQ(lines_of(refreshed)[0],
            "s = [0.050000], k = [0.100000], n = [5000] gerneration_size=[20].");
  EXPECT_EQ(refreshed, with_n(params, 5000));
}

TEST(Resume, NewNIsAnnouncedWheneverGiven) {
  temp_dir base;
  ASSERT_TRUE(fresh_run_in(base, 1000));
  const std::string trajectory = read_file(base / "traj");
  const std::string params = read_file(base / "traj.params");
  const std::string record800 = last_line(trajectory);
  const std::string plain = trajectory + "\n" + record800 + "\n";

  // The n of the parameter file, and -1, which stands for none: no switch.
  for (const char* given : {"1000", "-1"}) {
    temp_dir dir;
    copy_checkpoint(base, dir);
    const auto result = resume(dir, {given});
    EXPECT_EQ(result.out, banner + new_n(std::atoi(given)) + m_message(800) +
                              m_message(800) + working(800, 1000))
        << given;
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(read_file(dir / "traj"), plain) << given;
    EXPECT_EQ(read_file(dir / "traj.params.new"), params) << given;
  }

  // A new n below the checkpoint: switched, then nothing to do, and no
  // refreshed copy although the message points to it.
  temp_dir dir;
  copy_checkpoint(base, dir);
  const auto result = resume(dir, {"500"});
  EXPECT_EQ(result.out, banner + new_n(500) + m_message(800) + m_message(800) +
                            switching(1000, 500) + nothing_to_do(500, 800) + ".");
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(read_file(dir / "traj"), plain + relabelled(record800, 801) + "\n");
  EXPECT_FALSE(fs::exists(dir / "traj.params.new"));
  EXPECT_EQ(read_file(dir / "traj.params"), params);
}

TEST(Resume, RefreshedCopyThatCannotBeCreatedIsReportedAndTheRunGoesOn) {
  temp_dir dir;
  ASSERT_TRUE(fresh_run_in(dir, 1000));
  const std::string trajectory = read_file(dir / "traj");
  fs::create_directory(dir / "traj.params.new");
  const auto result = resume(dir, {"1200"});
  EXPECT_EQ(result.out, banner + new_n(1200) + m_message(800) + m_message(800) +
                            switching(1000, 1200) + working(800, 1200) +
                            "Could not open [traj.params.new] to write.\n" + ".");
  EXPECT_EQ(result.status, 0);
  const std::string resumed = read_file(dir / "traj");
  ASSERT_EQ(resumed.substr(0, trajectory.size() + 1), trajectory + "\n");
  const auto added = lines_after(resumed.substr(trajectory.size() + 1), 0);
  ASSERT_EQ(added.size(), 2u);
  EXPECT_EQ(added[0], last_line(trajectory));
  expect_records({added[1]}, {1000});
  EXPECT_TRUE(fs::is_directory(dir / "traj.params.new"));
}

TEST(Resume, RefreshedCopyThatCannotBeWrittenIsReportedAndTheRunGoesOn) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  temp_dir dir;
  ASSERT_TRUE(fresh_run_in(dir, 1000));
  const std::string trajectory = read_file(dir / "traj");
  fs::create_symlink("/dev/full", dir / "traj.params.new");
  const auto result = resume(dir);
  EXPECT_EQ(result.out, banner + m_message(800) + m_message(800) + working(800, 1000) +
                            "Could not write [traj.params.new].\n");
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(read_file(dir / "traj"), trajectory + "\n" + last_line(trajectory) + "\n");
}

TEST(Resume, CheckpointIsRepeatedInTheProgramsOwnFormat) {
  temp_dir dir;
  ASSERT_TRUE(fresh_run_in(dir, 1000));
  const std::string trajectory = read_file(dir / "traj");
  // Extra tabs, a count with a sign and leading zeros, and tokens after
  // the 81st count.
  std::string loose = "\t\t900";
  std::string tidy = "900";
  for (int i = 0; i < 81; ++i) {
    loose += i == 0 ? "\t\t+0019" : "\t0";
    tidy += i == 0 ? "\t19" : "\t0";
  }
  loose += "\t\t7\t8\t\n";
  write_file(dir / "traj", trajectory + loose);
  const auto result = resume(dir, {"1001"});
  EXPECT_EQ(result.out, banner + new_n(1001) + m_message(900) + m_message(900) +
                            switching(1000, 1001) + working(900, 1001) + "..");
  EXPECT_EQ(result.status, 0);
  const std::string before = trajectory + loose;
  const std::string resumed = read_file(dir / "traj");
  ASSERT_EQ(resumed.substr(0, before.size() + 1), before + "\n");
  const auto added = lines_of(resumed.substr(before.size() + 1));
  ASSERT_EQ(added.size(), 3u);
  EXPECT_EQ(added[0], tidy);
  // Mating makes a generation of the parameter file's size again.
  expect_records({added.begin() + 1, added.end()}, {1000, 1001});
}

TEST(Resume, RunKilledInTheMiddleOfARecord) {
  temp_dir dir;
  ASSERT_TRUE(fresh_run_in(dir, 1000));
  const std::string finished = read_file(dir / "traj");
  const auto lines = lines_of(finished);
  const std::string record600 = lines[lines.size() - 2];
  ASSERT_EQ(record600.substr(0, 4), "600\t");
  // Cut the record of 800 after its 17th count, as a kill there leaves it.
  const std::string& record800 = lines.back();
  size_t cut = 0;
  for (int tab = 0; tab < 18; ++tab) cut = record800.find('\t', cut) + 1;
  const std::string killed =
      finished.substr(0, finished.size() - record800.size() - 1) + record800.substr(0, cut - 1);
  write_file(dir / "traj", killed);

  const auto result = resume(dir);
  EXPECT_EQ(result.out, banner + m_message(800) + incomplete(17) + m_message(600) +
                            working(600, 1000) + ".");
  EXPECT_EQ(result.status, 0);
  const std::string resumed = read_file(dir / "traj");
  ASSERT_EQ(resumed.substr(0, killed.size() + 1), killed + "\n");
  const auto added = lines_of(resumed.substr(killed.size() + 1));
  ASSERT_EQ(added.size(), 2u);
  EXPECT_EQ(added[0], record600);
  expect_records({added[1]}, {800});
  EXPECT_EQ(resumed.back(), '\n');
  // The partial line is now ended, so the reader takes the last record again.
  const auto again = resume(dir);
  EXPECT_EQ(again.out, banner + m_message(800) + m_message(800) + working(800, 1000));
  EXPECT_EQ(again.status, 0);
}

TEST(Resume, DamagedParameterFilesFailWithoutTouchingTheTrajectory) {
  temp_dir base;
  ASSERT_TRUE(fresh_run_in(base, 1000));
  const std::string trajectory = read_file(base / "traj");
  const std::string params = read_file(base / "traj.params");
  const std::string rates = "You have to reenter the parameters.  Mutation rates of [traj.params] are incomplete.\n";
  const std::string fitness = "You have to reenter the parameters.  Fitnesses of [traj.params] are incomplete.\n";
  const std::string format = "You have to reenter the parameters.  Line 1 of [traj.params] is not of the right format.\n";
  std::string misspelt = params;
  misspelt.replace(misspelt.find("gerneration_size"), 16, "generation_size");
  struct damage {
    std::string params;
    std::string message;
  };
  const std::vector<damage> damages = {
      {without_line(params, "b1 = "), working(800, 1000) + rates},
      {without_line(params, "42 ->"), working(800, 1000) + fitness},
      {without_line(without_line(params, "42 ->"), "a2 = "), working(800, 1000) + rates},
      {misspelt, format},
      {"", format},
  };
  for (const auto& d : damages) {
    temp_dir dir;
    write_file(dir / "traj", trajectory);
    write_file(dir / "traj.params", d.params);
    const auto result = resume(dir);
    EXPECT_EQ(result.out, banner + m_message(800) + m_message(800) + d.message);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(read_file(dir / "traj"), trajectory);
    EXPECT_EQ(read_file(dir / "traj.params"), d.params);
    EXPECT_FALSE(fs::exists(dir / "traj.params.new"));
  }
  // With nothing to do the rates and fitness values are never read.
  temp_dir dir;
  copy_checkpoint(base, dir);
  write_file(dir / "traj.params", without_line(params, "b1 = "));
  const auto result = resume(dir, {"700"});
  EXPECT_EQ(result.out, banner + new_n(700) + m_message(800) + m_message(800) +
                            switching(1000, 700) + nothing_to_do(700, 800) + ".");
  EXPECT_EQ(result.status, 0);
}

TEST(Resume, ReorderedParameterLinesResumeAsTheOriginal) {
  temp_dir first, second;
  ASSERT_TRUE(fresh_run_in(first, 1000));
  copy_checkpoint(first, second);
  const std::string params = read_file(first / "traj.params");
  auto lines = lines_of(params);
  std::mt19937 shuffler(7);
  std::shuffle(lines.begin() + 1, lines.end(), shuffler);
  std::string shuffled;
  for (const auto& line : lines) {
    shuffled += line;
    shuffled += '\n';
  }
  ASSERT_NE(shuffled, params);
  write_file(second / "traj.params", shuffled);
  const auto in_order = resume(first, {"1600"});
  const auto reordered = resume(second, {"1600"});
  EXPECT_EQ(in_order.status, 0);
  EXPECT_EQ(reordered.status, 0);
  EXPECT_EQ(reordered.out, in_order.out);
  EXPECT_EQ(read_file(second / "traj"), read_file(first / "traj"));
  EXPECT_EQ(read_file(second / "traj.params.new"), with_n(params, 1600));
}

TEST(Resume, TwiceInARow) {
  temp_dir dir;
  ASSERT_TRUE(fresh_run_in(dir, 1000));
  const std::string trajectory = read_file(dir / "traj");
  const std::string record800 = last_line(trajectory);
  const std::string expected_out = banner + m_message(800) + m_message(800) + working(800, 1000);
  auto result = resume(dir);
  EXPECT_EQ(result.out, expected_out);
  EXPECT_EQ(result.status, 0);
  result = resume(dir);
  EXPECT_EQ(result.out, expected_out);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(read_file(dir / "traj"),
            trajectory + "\n" + record800 + "\n" + "\n" + record800 + "\n");
}

TEST(Resume, AResumedFileResumesAgain) {
  temp_dir dir;
  ASSERT_TRUE(fresh_run_in(dir, 1000));
  const std::string trajectory = read_file(dir / "traj");
  const std::string record800 = last_line(trajectory);

  auto result = resume(dir, {"1401"});
  EXPECT_EQ(result.out, banner + new_n(1401) + m_message(800) + m_message(800) +
                            switching(1000, 1401) + working(800, 1401) + "....");
  EXPECT_EQ(result.status, 0);
  const std::string once = read_file(dir / "traj");
  ASSERT_EQ(once.substr(0, trajectory.size() + 1), trajectory + "\n");
  auto added = lines_of(once.substr(trajectory.size() + 1));
  ASSERT_EQ(added.size(), 5u);
  EXPECT_EQ(added[0], record800);
  expect_records({added.begin() + 1, added.end()}, {1000, 1200, 1400, 1401});
  EXPECT_EQ(relabelled(added[3], 1401), added[4]);

  // The parameter file still says 1000, so the new n is given again.
  result = resume(dir, {"2000"});
  EXPECT_EQ(result.out, banner + new_n(2000) + m_message(1401) + m_message(1401) +
                            switching(1000, 2000) + working(1401, 2000) + "..");
  EXPECT_EQ(result.status, 0);
  const std::string twice = read_file(dir / "traj");
  ASSERT_EQ(twice.substr(0, once.size() + 1), once + "\n");
  added = lines_of(twice.substr(once.size() + 1));
  ASSERT_EQ(added.size(), 3u);
  EXPECT_EQ(added[0], last_line(once));
  expect_records({added.begin() + 1, added.end()}, {1600, 1800});

  // The refreshed copy in place of the parameter file carries the new n.
  fs::rename(dir / "traj.params.new", dir / "traj.params");
  result = resume(dir);
  EXPECT_EQ(result.out, banner + m_message(1800) + m_message(1800) + working(1800, 2000));
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(read_file(dir / "traj"), twice + "\n" + last_line(twice) + "\n");
}

TEST(Resume, IsReproducible) {
  temp_dir base, first, second;
  ASSERT_TRUE(fresh_run_in(base, 1000));
  // Cut inside the last record so that the fall-back is part of it.
  std::string trajectory = read_file(base / "traj");
  trajectory.resize(trajectory.size() - last_line(trajectory).size() / 2);
  write_file(base / "traj", trajectory);
  copy_checkpoint(base, first);
  copy_checkpoint(base, second);
  const auto one = resume(first, {"3001"});
  const auto other = resume(second, {"3001"});
  EXPECT_EQ(one.status, 0);
  EXPECT_EQ(other.status, 0);
  EXPECT_EQ(one.out, other.out);
  EXPECT_EQ(read_file(first / "traj"), read_file(second / "traj"));
  EXPECT_EQ(read_file(first / "traj.params.new"), read_file(second / "traj.params.new"));
  EXPECT_GT(read_file(first / "traj").size(), trajectory.size() + 10 * 81);
}

TEST(Resume, DrawsAsIfSeededWithOne) {
  // A checkpoint labelled -1 holding the initial population makes the
  // resumed loop start at generation 0, as a fresh run does.
  temp_dir seeded, resumed, other_seed;
  ASSERT_TRUE(fresh_run_in(seeded, 401, 1));
  ASSERT_TRUE(fresh_run_in(resumed, 401, 2222));
  ASSERT_TRUE(fresh_run_in(other_seed, 401, 2222));
  std::string initial = "-1\t" + std::to_string(small_generation);
  for (int i = 1; i < 81; ++i) initial += "\t0";
  const std::string checkpoint = testing::trajectory_header() + initial + "\n";
  write_file(resumed / "traj", checkpoint);

  const auto result = resume(resumed);
  EXPECT_EQ(result.out, banner + m_message(-1) + m_message(-1) + working(-1, 401) + "....");
  EXPECT_EQ(result.status, 0);
  const std::string fresh = read_file(seeded / "traj");
  const std::string header = testing::trajectory_header();
  ASSERT_EQ(fresh.substr(0, header.size()), header);
  const std::string records = fresh.substr(header.size());
  EXPECT_EQ(read_file(resumed / "traj"), checkpoint + "\n" + initial + "\n" + records);
  // The comparison can tell streams apart: another seed gives other records.
  EXPECT_NE(read_file(other_seed / "traj").substr(header.size()), records);
}

TEST(Resume, LabelsAtTheTopOfTheRangeSaturate) {
  temp_dir base;
  ASSERT_TRUE(fresh_run_in(base, 1000));
  const std::string trajectory = read_file(base / "traj");
  const std::string params = read_file(base / "traj.params");
  const std::string top = relabelled(last_line(trajectory), 2147483647);

  for (const bool give_n : {false, true}) {
    temp_dir dir;
    write_file(dir / "traj", trajectory + top + "\n");
    write_file(dir / "traj.params", params);
    const auto result = give_n ? resume(dir, {"2147483647"}) : resume(dir);
    const std::string announced =
        give_n ? new_n(2147483647) + m_message(2147483647) + m_message(2147483647) +
                     switching(1000, 2147483647) + nothing_to_do(2147483647, 2147483647)
               : m_message(2147483647) + m_message(2147483647) + nothing_to_do(1000, 2147483647);
    EXPECT_EQ(result.out, banner + announced + ".");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(read_file(dir / "traj"), trajectory + top + "\n" + "\n" + top + "\n" + top + "\n");
  }

  // The last generations below the top still run, and the final record is
  // labelled with the stop value.
  temp_dir dir;
  const std::string near_top = relabelled(last_line(trajectory), 2147483599);
  write_file(dir / "traj", trajectory + near_top + "\n");
  write_file(dir / "traj.params", params);
  const auto result = resume(dir, {"2147483647"});
  EXPECT_EQ(result.out, banner + new_n(2147483647) + m_message(2147483599) +
                            m_message(2147483599) + switching(1000, 2147483647) +
                            working(2147483599, 2147483647) + "..");
  EXPECT_EQ(result.status, 0);
  const std::string before = trajectory + near_top + "\n";
  const std::string resumed = read_file(dir / "traj");
  ASSERT_EQ(resumed.substr(0, before.size() + 1), before + "\n");
  const auto added = lines_of(resumed.substr(before.size() + 1));
  ASSERT_EQ(added.size(), 3u);
  EXPECT_EQ(added[0], near_top);
  expect_records({added.begin() + 1, added.end()}, {2147483600, 2147483647});
  EXPECT_EQ(lines_of(read_file(dir / "traj.params.new"))[0],
            "s = [0.050000], k = [0.100000], n = [2147483647] gerneration_size=[20].");
}

TEST(Resume, NegativeCountsHaveNoIndividuals) {
  temp_dir base;
  ASSERT_TRUE(fresh_run_in(base, 1000));
  const std::string trajectory = read_file(base / "traj");
  const std::string params = read_file(base / "traj.params");

  std::vector<long long> counts(81, 0);
  counts[0] = -5;
  counts[1] = 25;
  counts[13] = 3;
  counts[40] = -2147483647LL - 1;
  counts[80] = -1;
  std::string mixed = "900";
  for (const long long count : counts) {
    mixed += '\t';
    mixed += std::to_string(count);
  }
  std::string negative = "900";
  for (int i = 0; i < 81; ++i) negative += "\t-3";

  for (const bool all_negative : {false, true}) {
    const std::string& record = all_negative ? negative : mixed;
    temp_dir dir;
    write_file(dir / "traj", trajectory + record + "\n");
    write_file(dir / "traj.params", params);
    const auto result = resume(dir, {"1300"});
    EXPECT_EQ(result.out, banner + new_n(1300) + m_message(900) + m_message(900) +
                              switching(1000, 1300) + working(900, 1300) + "...");
    EXPECT_EQ(result.status, 0);
    const std::string before = trajectory + record + "\n";
    const std::string resumed = read_file(dir / "traj");
    ASSERT_EQ(resumed.substr(0, before.size() + 1), before + "\n");
    const auto added = lines_of(resumed.substr(before.size() + 1));
    ASSERT_EQ(added.size(), 4u);
    EXPECT_EQ(added[0], record);
    // Without any individual of positive weight the population dies out.
    expect_records({added.begin() + 1, added.end()}, {1000, 1200, 1300},
                   all_negative ? 0 : small_generation);
  }
}

TEST(Resume, CheckpointFailuresLeaveTheTrajectoryUnchanged) {
  temp_dir base;
  ASSERT_TRUE(fresh_run_in(base, 1000));
  const std::string params = read_file(base / "traj.params");
  const std::string record0 = lines_of(read_file(base / "traj"))[1];
  const std::string record200 = lines_of(read_file(base / "traj"))[2];
  const std::string partial0 = record0.substr(0, record0.size() / 2);
  const auto partial0_fields = fields_of(partial0);
  const int partial0_entries =
      static_cast<int>(std::count_if(partial0_fields.begin(), partial0_fields.end(),
                                     [](const std::string& field) { return !field.empty(); })) -
      1;
  const std::string read_none =
      "You have to reenter the parameters.  We can't checkpoint because we've failed to read even "
      "one line of [traj].\n";
  struct damaged {
    std::string trajectory;
    std::string out;
  };
  const std::vector<damaged> cases = {
      {"", read_none},
      {testing::trajectory_header(), neither},
      {testing::trajectory_header() + partial0, m_message(0) + incomplete(partial0_entries) + neither},
      {testing::trajectory_header() + record0 + "\n" + record200.substr(0, 40) + "\n" + partial0,
       m_message(0) + incomplete(partial0_entries) + neither},
  };
  for (const auto& c : cases) {
    for (const bool give_n : {false, true}) {
      temp_dir dir;
      write_file(dir / "traj", c.trajectory);
      write_file(dir / "traj.params", params);
      const auto result = give_n ? resume(dir, {"5000"}) : resume(dir);
      EXPECT_EQ(result.out, banner + (give_n ? new_n(5000) : "") + c.out);
      EXPECT_EQ(result.status, 1);
      EXPECT_EQ(read_file(dir / "traj"), c.trajectory);
      EXPECT_EQ(read_file(dir / "traj.params"), params);
      EXPECT_FALSE(fs::exists(dir / "traj.params.new"));
    }
  }
}

}  // namespace
}  // namespace twolocus
