// Nothing recorded is lost: a write that fails part-way (a file-size limit
// standing in for a full disk) leaves a trajectory that ends in a whole
// record, two runs never write one file, a fitness table is never written
// over, and parameter files that the program wrote, or that were edited
// with care, read back.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "support/process.hpp"

namespace twolocus {
namespace {

namespace fs = std::filesystem;
using testing::read_file;
using testing::run_program;
using testing::run_program_limited;
using testing::run_result;
using testing::temp_dir;
using testing::write_file;

const std::string write_failure = "Could not write output file [traj].\n";

std::vector<std::string> fresh_args(int n, int generation_size, const std::string& out = "traj") {
  return {"fit.txt", "1", "5", "10", std::to_string(n), std::to_string(generation_size),
          "20000000", "5000000", "2000000", "2000000", "5000000", "20000000", out, "31"};
}

bool ends_with(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// Takes a trajectory written without failure and the size at which the disk
// was full; returns the file that the failed run must leave: cut to the end
// of its last whole record (with that record's newline when it fitted), or
// to the header, or to nothing. `start` is where the run began writing, and
// what a failure before its first record leaves (a fresh run keeps a whole
// header).
std::string expected_cut(const std::string& whole, size_t limit, size_t start) {
  size_t cut = start;
  const size_t header = testing::trajectory_header().size();
  if (start == 0 && limit >= header) cut = header;
  for (size_t end = whole.find('\n', start); end != std::string::npos;
       end = whole.find('\n', end + 1)) {
    // `end` is a record's newline; its counts end just before it.
    if (end > limit) break;
    if (end >= header) cut = end + (limit > end ? 1 : 0);
  }
  return whole.substr(0, cut);
}

TEST(NothingLost, DiskFullAtEveryOffsetOfAFreshRunLeavesAResumablePrefix) {
  temp_dir dir;
  write_file(dir / "fit.txt", testing::uniform_fitness_table(4, 1));
  ASSERT_EQ(run_program(fresh_args(401, 30, "ref"), dir.path).status, 0);
  const std::string whole = read_file(dir / "ref");
  const std::string params = read_file(dir / "ref.params");
  int resumed = 0;
  for (size_t limit = 0; limit <= whole.size(); ++limit) {
    // The parameter file goes where no limit applies, so that only the
    // trajectory meets the full disk.
    fs::remove(dir / "traj.params");
    fs::create_symlink("/dev/null", dir / "traj.params");
    const run_result failed = run_program_limited(fresh_args(401, 30), dir.path,
                                                  static_cast<long long>(limit));
    const std::string left = read_file(dir / "traj");
    if (limit == whole.size()) {
      EXPECT_EQ(failed.status, 0);
      EXPECT_EQ(left, whole);
      break;
    }
    ASSERT_EQ(failed.status, 1) << limit;
    EXPECT_TRUE(ends_with(failed.out, write_failure)) << limit;
    ASSERT_EQ(left, expected_cut(whole, limit, 0)) << limit;
    // Whatever is left either holds a record to resume from or is refused.
    fs::remove(dir / "traj.params");
    write_file(dir / "traj.params", params);
    const run_result resume = run_program({"traj"}, dir.path);
    const bool has_record = left.size() > testing::trajectory_header().size();
    EXPECT_EQ(resume.status, has_record ? 0 : 1) << limit << resume.out;
    EXPECT_EQ(resume.out.find("not complete"), std::string::npos) << limit;
    if (has_record) ++resumed;
  }
  EXPECT_GT(resumed, 500);
}

TEST(NothingLost, DiskFullDuringAResumeLeavesTheFileOrAResumablePrefix) {
  temp_dir dir;
  write_file(dir / "fit.txt", testing::uniform_fitness_table(4, 1));
  ASSERT_EQ(run_program(fresh_args(201, 30, "ref"), dir.path).status, 0);
  const std::string checkpoint = read_file(dir / "ref");
  const std::string params = read_file(dir / "ref.params");
  fs::copy_file(dir / "ref.params", dir / "traj.params");
  write_file(dir / "traj", checkpoint);
  ASSERT_EQ(run_program({"traj", "801"}, dir.path).status, 0);
  const std::string whole = read_file(dir / "traj");
  for (size_t limit = checkpoint.size(); limit <= whole.size(); ++limit) {
    write_file(dir / "traj", checkpoint);
    const run_result failed =
        run_program_limited({"traj", "801"}, dir.path, static_cast<long long>(limit));
    const std::string left = read_file(dir / "traj");
    if (limit == whole.size()) {
      EXPECT_EQ(failed.status, 0);
      EXPECT_EQ(left, whole);
      break;
    }
    ASSERT_EQ(failed.status, 1) << limit;
    EXPECT_TRUE(ends_with(failed.out, write_failure)) << limit;
    // The resume's own append (newline, repeated record, its newline) goes
    // whole or not at all.
    const size_t append_end = whole.find('\n', checkpoint.size() + 1) + 1;
    const std::string expected =
        limit < append_end ? checkpoint : expected_cut(whole, limit, append_end);
    ASSERT_EQ(left, expected) << limit;
    const run_result resume = run_program({"traj", "801"}, dir.path);
    EXPECT_EQ(resume.status, 0) << limit;
    EXPECT_EQ(resume.out.find("not complete"), std::string::npos) << limit;
    EXPECT_EQ(read_file(dir / "traj").compare(0, left.size(), left), 0) << limit;
  }
}

// Waits until a started run has flushed its first record, so that it holds
// its lock for the rest of its (long) run.
void wait_for_first_record(const fs::path& file) {
  for (int i = 0; i < 2000 && (!fs::exists(file) || fs::file_size(file) == 0); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

TEST(NothingLost, ASecondRunOnTheSameTrajectoryIsTurnedAwayAndChangesNothing) {
  temp_dir dir;
  write_file(dir / "fit.txt", testing::uniform_fitness_table(4, 1));
  const auto long_run = fresh_args(201, 1000000);
  const testing::started_run first = testing::start_program(long_run, dir.path);
  wait_for_first_record(dir / "traj");
  const std::string params = read_file(dir / "traj.params");
  const std::string in_use = "Output file [traj] is in use by another run.\n";
  const run_result fresh = run_program(fresh_args(5, 10), dir.path);
  const run_result resume = run_program({"traj", "1000"}, dir.path);
  const bool still_running = ::kill(first.pid, 0) == 0;
  EXPECT_EQ(testing::finish_program(first).status, 0);
  if (!still_running) GTEST_SKIP() << "the first run ended before the others started";
  EXPECT_EQ(fresh.status, 1);
  EXPECT_TRUE(ends_with(fresh.out, in_use)) << fresh.out;
  EXPECT_EQ(resume.status, 1);
  EXPECT_TRUE(ends_with(resume.out, in_use)) << resume.out;
  EXPECT_EQ(read_file(dir / "traj.params"), params);
  EXPECT_FALSE(fs::exists(dir / "traj.params.new"));
  ASSERT_EQ(run_program(fresh_args(201, 1000000, "ref"), dir.path).status, 0);
  EXPECT_EQ(read_file(dir / "traj"), read_file(dir / "ref"));
}

TEST(NothingLost, AnOutputNameThatIsTheFitnessFileIsRefusedBeforeAnythingIsWritten) {
  temp_dir dir;
  const std::string table = testing::uniform_fitness_table(4, 1);
  write_file(dir / "fit.txt", table);
  fs::create_symlink("fit.txt", dir / "link");
  run_result result = run_program(fresh_args(5, 10, "link"), dir.path);
  EXPECT_EQ(result.status, 1);
  EXPECT_TRUE(ends_with(result.out, "Output file [link] is the fitness file.\n")) << result.out;
  fs::create_symlink("fit.txt", dir / "traj.params");
  result = run_program(fresh_args(5, 10), dir.path);
  EXPECT_EQ(result.status, 1);
  EXPECT_TRUE(ends_with(result.out, "Param file [traj.params] is the fitness file.\n"))
      << result.out;
  EXPECT_FALSE(fs::exists(dir / "traj"));
  EXPECT_EQ(read_file(dir / "fit.txt"), table);
}

TEST(NothingLost, AFitnessOfMinusOneResumesAndAHandEditNamesItsLine) {
  temp_dir dir;
  // Code 7 with s = 200 % is a fitness of exactly -1.
  write_file(dir / "fit.txt", testing::uniform_fitness_table(7, 1));
  std::vector<std::string> args = fresh_args(3, 10);
  args[2] = "200";
  ASSERT_EQ(run_program(args, dir.path).status, 0);
  const std::string params = read_file(dir / "traj.params");
  ASSERT_NE(params.find("0 ->\t-1.000000\n"), std::string::npos);
  const std::string before = read_file(dir / "traj");
  write_file(dir / "traj.params", params + "# edited by hand\n");
  run_result result = run_program({"traj", "10"}, dir.path);
  EXPECT_EQ(result.status, 1);
  EXPECT_TRUE(ends_with(result.out, "You have to reenter the parameters.  Line 89 of "
                                    "[traj.params] is not of the right format.\n"))
      << result.out;
  EXPECT_EQ(read_file(dir / "traj"), before);
  write_file(dir / "traj.params", params + "seed = 31\n");
  result = run_program({"traj", "10"}, dir.path);
  EXPECT_EQ(result.status, 0) << result.out;
  EXPECT_NE(read_file(dir / "traj.params.new").find("80 ->\t-1.000000\n"), std::string::npos);
}

}  // namespace
}  // namespace twolocus
