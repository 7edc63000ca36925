// twolocus-sim's files under stress: a summary that never describes another
// state than the records (extensions that fail before it, runs recorded
// every generation, runs of no generation), one lock for every file of an
// output name whichever kind of run holds it, --trajectories that never
// writes over an input or the batch's files, FIFOs and devices refused
// without waiting, runs that never started, one message for a failing
// batch, a batch's progress on a terminal, and a batch's memory that does
// not grow with its replicates.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/process.hpp"

namespace twolocus {
namespace {

namespace fs = std::filesystem;
using testing::read_file;
using testing::temp_dir;
using testing::with;
using testing::write_file;
using args_list = std::vector<std::string>;

#if defined(__SANITIZE_ADDRESS__)
// The sanitizers reserve terabytes of address space: no limit on it fits.
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif

testing::run_result sim(const args_list& args, const temp_dir& dir) {
  return testing::run_sim(args, dir);
}

// A run that may block or grow without end: killed after 30 s (a fault, not
// a measure of speed), its address space limited unless sanitized.
testing::run_result guarded(const args_list& args, const temp_dir& dir) {
  testing::run_limits limits;
  limits.seconds = 30;
  if (!sanitized) limits.address_space = 2LL << 30;
  return testing::run_program_with(testing::sim_binary_path(), args, dir.path, "twolocus-sim",
                                   limits);
}

size_t line_count(const std::string& text) {
  return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

bool ends_with(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// The names in a folder that begin with `prefix`.
std::set<std::string> files_of(const temp_dir& dir, const std::string& prefix) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir.path)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(prefix, 0) == 0) names.insert(name);
  }
  return names;
}

struct SimFiles : ::testing::Test {
  temp_dir dir;
  void SetUp() override {
    write_file(dir / "fit.tsv", read_file(testing::source_path("examples/valley.tsv")));
  }
  static args_list model(const args_list& more, const std::string& fitness = "fit.tsv") {
    return with({"--fitness", fitness, "-s", "0.05", "-k", "0.1", "-N", "300", "--mu", "0.001",
                 "--engine", "exact", "--seed", "31"},
                more);
  }
  std::string summary(const std::string& out) const { return read_file(dir / (out + ".summary.tsv")); }
};

TEST_F(SimFiles, ASummaryNeverDescribesAnotherStateThanTheRecords) {
  // An extension whose summary cannot be written (a folder in the way of
  // its temporary file, as a full disk or a kill would leave it): the old
  // summary is gone, and the next resume writes the one the records give.
  for (const std::string every : {"10", "0"}) {
    SCOPED_TRACE(every);
    const args_list run = model({"--record-every", every});
    const std::string out = "r" + every;
    ASSERT_EQ(sim(with(run, {"--generations", "100", "-o", out}), dir).status, 0);
    ASSERT_EQ(sim(with(run, {"--generations", "155", "-o", "f" + every}), dir).status, 0);
    fs::create_directories(dir / (out + ".summary.tsv.tmp") / "in-the-way");
    const auto extended = sim({"--resume", out, "--generations", "155"}, dir);
    EXPECT_EQ(extended.status, 1);
    EXPECT_TRUE(ends_with(extended.err, "could not write summary file [" + out + ".summary.tsv].\n"))
        << extended.err;
    EXPECT_FALSE(fs::exists(dir / (out + ".summary.tsv")));
    fs::remove_all(dir / (out + ".summary.tsv.tmp"));
    const auto completed = sim({"--resume", out}, dir);
    EXPECT_EQ(completed.status, 0);
    EXPECT_EQ(summary(out), summary("f" + every));
    if (every != "0") {
      EXPECT_EQ(completed.err, "twolocus-sim: [" + out +
                                   "] already holds 155 generations; n = 155 asks for no more. "
                                   "Nothing to do.\n");
    }
    const auto again = sim({"--resume", out}, dir);
    EXPECT_EQ(again.status, 0);
    EXPECT_NE(again.err.find("Nothing to do"), std::string::npos);
    EXPECT_EQ(summary(out), summary("f" + every));
  }
}

TEST_F(SimFiles, TheRecordRuleSaysWhenARunIsCompleteAndItsSummaryIsWritten) {
  // Recorded every generation: the last record, labelled n - 1, holds the
  // last population; killed before the summary, a resume writes it.
  ASSERT_EQ(sim(model({"--generations", "40", "--record-every", "1", "-o", "every"}), dir).status, 0);
  const std::string whole = summary("every");
  const std::string trajectory = read_file(dir / "every");
  fs::remove(dir / "every.summary.tsv");
  const auto completed = sim({"--resume", "every"}, dir);
  EXPECT_EQ(completed.status, 0);
  EXPECT_EQ(completed.err,
            "twolocus-sim: [every] already holds 40 generations; n = 40 asks for no more. Nothing "
            "to do.\n");
  EXPECT_EQ(summary("every"), whole);
  EXPECT_EQ(read_file(dir / "every"), trajectory);

  // n a multiple of K > 1: the last record is n - K, and the generations
  // after it are not recorded. A finished run is left alone; killed before
  // its summary, the resume runs those generations again for it.
  ASSERT_EQ(sim(model({"--generations", "100", "--record-every", "10", "-o", "tail"}), dir).status, 0);
  const std::string tail_summary = summary("tail");
  const std::string tail = read_file(dir / "tail");
  const auto nothing = sim({"--resume", "tail"}, dir);
  EXPECT_EQ(nothing.status, 0);
  EXPECT_EQ(nothing.err,
            "twolocus-sim: [tail] already holds 100 generations; n = 100 asks for no more. "
            "Nothing to do.\n");
  EXPECT_EQ(read_file(dir / "tail"), tail);
  fs::remove(dir / "tail.summary.tsv");
  const auto rerun = sim({"--resume", "tail"}, dir);
  EXPECT_EQ(rerun.status, 0);
  EXPECT_EQ(rerun.err, "twolocus-sim: resuming [tail] from record [90]: generations [91] to [100].\n");
  EXPECT_EQ(summary("tail"), tail_summary);

  // Records beyond the n asked: the message reads right.
  const auto shorter = sim({"--resume", "every", "--generations", "10"}, dir);
  EXPECT_EQ(shorter.status, 0);
  EXPECT_EQ(shorter.err,
            "twolocus-sim: [every] already holds 40 generations; n = 10 asks for no more. Nothing "
            "to do.\n");
}

TEST_F(SimFiles, RunsOfNoGenerationCanBeExtendedWhateverK) {
  for (const std::string every : {"5", "0"}) {
    SCOPED_TRACE(every);
    const std::string out = "zero" + every;
    ASSERT_EQ(sim(model({"--generations", "0", "--record-every", every, "-o", out}), dir).status, 0);
    EXPECT_EQ(read_file(dir / out), testing::trajectory_header());
    const auto nothing = sim({"--resume", out}, dir);
    EXPECT_EQ(nothing.status, 0);
    EXPECT_NE(nothing.err.find("Nothing to do"), std::string::npos) << nothing.err;
    const auto extended = sim({"--resume", out, "--generations", "52"}, dir);
    EXPECT_EQ(extended.status, 0) << extended.err;
    ASSERT_EQ(sim(model({"--generations", "52", "--record-every", every, "-o", "fresh" + every}), dir).status, 0);
    EXPECT_EQ(read_file(dir / out), read_file(dir / ("fresh" + every)));
    EXPECT_EQ(read_file(dir / (out + ".params")), read_file(dir / ("fresh" + every + ".params")));
    EXPECT_EQ(summary(out), summary("fresh" + every));
  }
}

TEST_F(SimFiles, OneOutputNameOneRunWhicheverKind) {
  const args_list batch = model({"--generations", "200", "--record-every", "0", "--replicates", "6"});
  const args_list single = model({"--generations", "50", "--record-every", "10"});
  // A single run replaces a batch: nothing of the batch is left beside it.
  ASSERT_EQ(sim(with(batch, {"-o", "x"}), dir).status, 0);
  ASSERT_EQ(sim(with(single, {"-o", "x"}), dir).status, 0);
  ASSERT_EQ(sim(with(single, {"-o", "y"}), dir).status, 0);
  EXPECT_EQ(files_of(dir, "x"), (std::set<std::string>{"x", "x.checkpoint", "x.params", "x.summary.tsv"}));
  EXPECT_EQ(read_file(dir / "x.params"), read_file(dir / "y.params"));
  EXPECT_EQ(summary("x"), summary("y"));
  EXPECT_NE(sim({"--resume", "x"}, dir).err.find("[x] already holds 50 generations"), std::string::npos);
  // A batch replaces a single run: OUT is left empty (it holds the lock).
  ASSERT_EQ(sim(with(batch, {"-o", "x"}), dir).status, 0);
  EXPECT_EQ(files_of(dir, "x"), (std::set<std::string>{"x", "x.batch", "x.params", "x.summary.tsv"}));
  EXPECT_EQ(read_file(dir / "x"), "");
  EXPECT_EQ(line_count(summary("x")), 7u);
  EXPECT_NE(sim({"--resume", "x"}, dir).err.find("already holds all its 6 replicates"), std::string::npos);

  // A single run that fails (a full disk at its parameter file) on a killed
  // batch's name: the batch's files are gone, and a resume says to run
  // again rather than finish the batch with the single run's parameters.
  const std::string rows = summary("x");
  write_file(dir / "x.summary.tsv", rows.substr(0, rows.find('\n', rows.find('\n') + 1) + 1));
  const auto failed = testing::run_program_limited_at(testing::sim_binary_path(), with(single, {"-o", "x"}), dir.path, 1000);
  EXPECT_EQ(failed.status, 1);
  EXPECT_EQ(failed.err, "twolocus-sim: could not write parameter file [x.params].\n");
  EXPECT_FALSE(fs::exists(dir / "x.batch"));
  EXPECT_FALSE(fs::exists(dir / "x.summary.tsv"));
  const auto resumed = sim({"--resume", "x"}, dir);
  EXPECT_EQ(resumed.status, 1);
  EXPECT_EQ(resumed.err, "twolocus-sim: [x] never started: it was stopped while writing its first "
                         "files. Run it again fresh (without --resume).\n");

  // While one kind runs on a name, the other is refused and changes nothing.
  const std::string in_use = "twolocus-sim: output file [busy] is in use by another run.\n";
  const args_list long_batch = model({"--generations", "2000000000", "--record-every", "0", "--replicates", "2"});
  const args_list long_single = model({"--generations", "2000000000", "--record-every", "1000"});
  for (const bool batch_first : {true, false}) {
    SCOPED_TRACE(batch_first ? "batch running" : "single run running");
    const auto running = testing::start_program_at(testing::sim_binary_path(), with(batch_first ? long_batch : long_single, {"-o", "busy"}), dir.path, "twolocus-sim");
    const fs::path sign = dir / (batch_first ? "busy.summary.tsv" : "busy.checkpoint");
    for (int i = 0; i < 6000 && !fs::exists(sign); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const auto files = files_of(dir, "busy");
    const std::string params = read_file(dir / "busy.params");
    for (const args_list& other : {with(batch, {"-o", "busy"}), with(single, {"-o", "busy"}), args_list{"--resume", "busy"}}) {
      const auto refused = sim(other, dir);
      EXPECT_EQ(refused.status, 1);
      EXPECT_EQ(refused.err, in_use);
    }
    EXPECT_EQ(files_of(dir, "busy"), files);
    EXPECT_EQ(read_file(dir / "busy.params"), params);
    ::kill(running.pid, SIGKILL);
    testing::finish_program(running);
  }
}

TEST_F(SimFiles, ReplicateTrajectoriesNeverWriteOverInputsOrTheBatchsFiles) {
  const args_list batch = model({"--generations", "20", "--record-every", "5"});
  fs::create_directory(dir / "t");
  write_file(dir / "t/replicate-1", "1111\t300\n");
  write_file(dir / "t/replicate-0", read_file(dir / "fit.tsv"));
  fs::create_hard_link(dir / "fit.tsv", dir / "t/replicate-2.params");
  // Each case's replicates take in one file of the folder only.
  const std::vector<std::pair<args_list, std::string>> cases = {
      {with(batch, {"--initial", "t/replicate-1", "--trajectories", "t", "--replicates", "2", "-o", "a"}),
       "output file [t/replicate-1] is the input file [t/replicate-1]"},
      {model({"--generations", "20", "--trajectories", "t", "--replicates", "1", "-o", "a"}, "t/replicate-0"),
       "output file [t/replicate-0] is the input file [t/replicate-0]"},
      {with(batch, {"--trajectories", "t", "--replicates", "1", "--first-replicate", "2", "-o", "a"}),
       "output file [t/replicate-2.params] is the input file [fit.tsv]"},
      {with(batch, {"--trajectories", "t", "--replicates", "5", "--first-replicate", "3", "-o", "t/replicate-3"}),
       "replicate file [t/replicate-3] of --trajectories is the batch's own file [t/replicate-3]"},
  };
  const auto before = files_of(dir, "");
  for (const auto& [args, message] : cases) {
    SCOPED_TRACE(message);
    const auto refused = sim(args, dir);
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(line_count(refused.err), 1u) << refused.err;
    EXPECT_NE(refused.err.find(message), std::string::npos) << refused.err;
  }
  EXPECT_EQ(files_of(dir, ""), before);
  EXPECT_EQ(read_file(dir / "t/replicate-1"), "1111\t300\n");
  EXPECT_EQ(read_file(dir / "t/replicate-0"), read_file(dir / "fit.tsv"));
  EXPECT_EQ(read_file(dir / "fit.tsv"), read_file(testing::source_path("examples/valley.tsv")));
  EXPECT_EQ(std::vector<fs::path>(fs::directory_iterator(dir / "t"), {}).size(), 3u);
  // Each replicate's files are closed once it is done: a batch of more
  // replicates than it may open files runs.
  testing::run_limits few_files;
  few_files.open_files = 64;
  const auto many = testing::run_program_with(testing::sim_binary_path(), with(batch, {"--trajectories", "many", "--replicates", "200", "--threads", "2", "-o", "m"}), dir.path, "twolocus-sim", few_files);
  EXPECT_EQ(many.status, 0) << many.err;
  EXPECT_TRUE(fs::exists(dir / "many/replicate-199.checkpoint"));
  // Replicates outside the batch's numbers are other files.
  const auto beside = sim(with(batch, {"--initial", "t/replicate-1", "--trajectories", "t", "--replicates", "2", "--first-replicate", "10", "-o", "b"}), dir);
  EXPECT_EQ(beside.status, 0) << beside.err;
  EXPECT_TRUE(fs::exists(dir / "t/replicate-11"));
}

TEST_F(SimFiles, FifosAndDevicesAreRefusedWithoutWaiting) {
  const args_list run = model({"--generations", "30", "--record-every", "10"});
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  for (const std::string name : {"p.params", "c.checkpoint", "s.summary.tsv", "b.batch"}) {
    ASSERT_EQ(::mkfifo((dir / name).c_str(), 0600), 0);
  }
  std::vector<std::pair<args_list, std::string>> cases = {
      {model({"--generations", "3", "-o", "x"}, "fifo"), "fitness file [fifo]"},
      {with(run, {"--initial", "fifo", "-o", "x"}), "initial file [fifo]"},
      {with(run, {"--initial", "/dev/null", "-o", "x"}), "initial file [/dev/null]"},
      {with(run, {"-o", "fifo"}), "output file [fifo]"},
      {with(run, {"-o", "p"}), "parameter file [p.params]"},
      {with(run, {"-o", "c"}), "checkpoint file [c.checkpoint]"},
      {with(run, {"-o", "s", "--replicates", "2"}), "summary file [s.summary.tsv]"},
      {with(run, {"-o", "b"}), "batch file [b.batch]"},
      {{"--resume", "fifo"}, "output file [fifo]"},
  };
  if (!sanitized) {
    // Without the fix these grow without end; the limit on the address space ends them.
    cases.push_back({model({"--generations", "3", "-o", "x"}, "/dev/zero"), "fitness file [/dev/zero]"});
    cases.push_back({with(run, {"--initial", "/dev/zero", "-o", "x"}), "initial file [/dev/zero]"});
  }
  // A finished run whose parameter or checkpoint file was replaced by a FIFO.
  ASSERT_EQ(sim(with(run, {"-o", "r"}), dir).status, 0);
  for (const std::string suffix : {".params", ".checkpoint"}) {
    fs::rename(dir / ("r" + suffix), dir / "kept");
    ASSERT_EQ(::mkfifo((dir / ("r" + suffix)).c_str(), 0600), 0);
    const auto refused = guarded({"--resume", "r", "--generations", "40"}, dir);
    EXPECT_FALSE(refused.timed_out);
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, "twolocus-sim: " + std::string(suffix == ".params" ? "parameter" : "checkpoint") +
                               " file [r" + suffix + "] is not a regular file.\n");
    fs::remove(dir / ("r" + suffix));
    fs::rename(dir / "kept", dir / ("r" + suffix));
  }
  EXPECT_EQ(sim({"--resume", "r", "--generations", "40"}, dir).status, 0);
  for (const auto& [args, what] : cases) {
    SCOPED_TRACE(what);
    const auto refused = guarded(args, dir);
    EXPECT_FALSE(refused.timed_out);
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, "twolocus-sim: " + what + " is not a regular file.\n");
    EXPECT_FALSE(fs::exists(dir / "x"));
  }
  EXPECT_FALSE(fs::exists(dir / "p"));
  EXPECT_FALSE(fs::exists(dir / "s"));
}

TEST_F(SimFiles, AnInitialFileThatListsNoGenotypeIsRefused) {
  for (const std::string text : {"", "# nothing yet\n", "\n\n", "# a\n\n# b\n"}) {
    write_file(dir / "empty.tsv", text);
    const auto refused = sim(model({"--generations", "5", "--initial", "empty.tsv", "-o", "x"}), dir);
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, "twolocus-sim: initial file [empty.tsv] lists no genotype.\n");
    EXPECT_FALSE(fs::exists(dir / "x"));
  }
  // A listed count of 0 is a choice, and is run.
  write_file(dir / "zero.tsv", "1111\t0\n");
  EXPECT_EQ(sim(model({"--generations", "5", "--initial", "zero.tsv", "-o", "x"}), dir).status, 0);
}

TEST_F(SimFiles, MessagesOfRunsThatNeverStartedFailingThreadsAndOddValues) {
  const std::string never = " never started: it was stopped while writing its first files. Run it again fresh (without --resume).\n";
  // A single run killed while it wrote its parameter file, or its header.
  ASSERT_EQ(sim(model({"--generations", "20", "-o", "whole"}), dir).status, 0);
  const std::string params = read_file(dir / "whole.params");
  for (const std::string& trajectory : {std::string(), testing::trajectory_header().substr(0, 100)}) {
    write_file(dir / "n", trajectory);
    write_file(dir / "n.params", params.substr(0, 100));
    const auto refused = sim({"--resume", "n"}, dir);
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, "twolocus-sim: [n]" + never);
    EXPECT_EQ(read_file(dir / "n"), trajectory);
    EXPECT_EQ(read_file(dir / "n.params"), params.substr(0, 100));
  }
  // A batch killed while it wrote its description, before its summary; the
  // same description beside a summary is a damaged file.
  ASSERT_EQ(sim(model({"--generations", "20", "--replicates", "2", "-o", "b"}), dir).status, 0);
  const std::string table = summary("b");
  write_file(dir / "b.batch", "twolocus-sim batch 1\nfirst_rep");
  fs::remove(dir / "b.summary.tsv");
  EXPECT_EQ(sim({"--resume", "b"}, dir).err, "twolocus-sim: [b]" + never);
  write_file(dir / "b.summary.tsv", table);
  EXPECT_EQ(sim({"--resume", "b"}, dir).err, "twolocus-sim: batch file [b.batch] is not of the right format.\n");

  // Four threads whose replicates all fail: one line.
  for (int i = 0; i < 8; ++i) fs::create_directories(dir / ("t/replicate-" + std::to_string(i)));
  const auto failed = sim(model({"--generations", "20", "--replicates", "8", "--threads", "4",
                                 "--trajectories", "t", "-o", "four"}), dir);
  EXPECT_EQ(failed.status, 1);
  EXPECT_EQ(line_count(failed.err), 1u) << failed.err;
  EXPECT_NE(failed.err.find("] is not a regular file.\n"), std::string::npos) << failed.err;

  // A line end in a value is shown as \n, and the message stays one line.
  const auto odd = sim(model({"--generations", "5", "-o", "odd", "--stop", "a1 < 1\nor b1 < 2"}), dir);
  EXPECT_EQ(odd.status, 1);
  EXPECT_EQ(odd.err, "twolocus-sim: option [--stop] takes a condition without tabs or line ends, "
                     "not [a1 < 1\\nor b1 < 2].\n");
  EXPECT_EQ(sim(model({"--generations", "5", "-o", "odd", "--bogus\t"}), dir).err,
            "twolocus-sim: unknown option [--bogus\\t] (see twolocus-sim --help).\n");
}

TEST_F(SimFiles, ABatchShowsItsProgressOnATerminalOnly) {
  const args_list batch = model({"--generations", "50", "--replicates", "8", "--threads", "2"});
  testing::run_limits terminal;
  terminal.terminal = true;
  const auto shown = testing::run_program_with(testing::sim_binary_path(), with(batch, {"-o", "t"}), dir.path, "twolocus-sim", terminal);
  EXPECT_EQ(shown.status, 0);
  ASSERT_EQ(shown.err.rfind("\r[", 0), 0u) << shown.err;
  const std::string last = shown.err.substr(shown.err.rfind('\r', shown.err.size() - 3));
  EXPECT_EQ(last.substr(0, 48), "\r[########################################] 100%");
  EXPECT_NE(last.find(" 8 of 8 replicates, 0:00:"), std::string::npos) << last;
  EXPECT_NE(last.find(" elapsed, 0:00:00 left "), std::string::npos) << last;
  EXPECT_TRUE(ends_with(shown.err, "\r\n")) << shown.err;
  const auto quiet = sim(with(batch, {"-o", "q"}), dir);
  EXPECT_EQ(quiet.status, 0);
  EXPECT_EQ(quiet.err, "");
  EXPECT_EQ(summary("t"), summary("q"));
  // A resume draws the rows kept as done.
  write_file(dir / "q.summary.tsv", summary("q").substr(0, summary("q").find('\n', summary("q").find('\n') + 1) + 1));
  const auto resumed = testing::run_program_with(testing::sim_binary_path(), {"--resume", "q"}, dir.path, "twolocus-sim", terminal);
  EXPECT_EQ(resumed.status, 0);
  EXPECT_NE(resumed.err.find(" 12% 1 of 8 replicates"), std::string::npos) << resumed.err;
  EXPECT_EQ(summary("q"), summary("t"));
}

TEST_F(SimFiles, ABatchsMemoryDoesNotGrowWithItsReplicates) {
  if (sanitized) GTEST_SKIP() << "memory and address-space limits do not apply under the sanitizers";
  const args_list tiny = {"--fitness", "fit.tsv", "-N", "10", "--generations", "1"};
  // 300000 rows (some 22 MB, more than the sort holds in memory): kept as
  // rows in memory they would take some 80 MB.
  testing::run_limits measured;
  const auto many = testing::run_program_with(testing::sim_binary_path(), with(tiny, {"--replicates", "300000", "--threads", "2", "-o", "many"}), dir.path, "twolocus-sim", measured);
  ASSERT_EQ(many.status, 0) << many.err;
  EXPECT_LT(many.max_rss_kb, 60 * 1024);
  const std::string table = summary("many");
  EXPECT_EQ(line_count(table), 300001u);
  EXPECT_EQ(table.substr(table.rfind('\n', table.size() - 2) + 1, 7), "299999\t");

  // The largest batch starts at once within 1 GB of address space (it is
  // stopped after a few seconds); its resume, which keeps a bit per
  // replicate (256 MB), fails in one line under 200 MB.
  testing::run_limits limited;
  limited.address_space = 1LL << 30;
  limited.seconds = 5;
  const auto largest = testing::run_program_with(testing::sim_binary_path(), with(tiny, {"--replicates", "2147483647", "-o", "largest"}), dir.path, "twolocus-sim", limited);
  EXPECT_TRUE(largest.timed_out) << largest.status << largest.err;
  EXPECT_EQ(largest.err, "");
  EXPECT_GE(line_count(summary("largest")), 1u);
  limited.address_space = 200LL << 20;
  limited.seconds = 60;
  const auto resumed = testing::run_program_with(testing::sim_binary_path(), {"--resume", "largest"}, dir.path, "twolocus-sim", limited);
  EXPECT_FALSE(resumed.timed_out);
  EXPECT_EQ(resumed.status, 1);
  EXPECT_EQ(resumed.err, "twolocus-sim: out of memory.\n");
}

}  // namespace
}  // namespace twolocus
