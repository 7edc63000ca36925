// A killed run can always be resumed: real runs of the program are killed
// with SIGKILL at random moments, their files are checked, resumed (some
// resumes are killed too and resumed again), and the resumed files are
// checked against what was on disk before each kill. Every assertion holds
// whatever moment a kill lands at; the moments only change which cases are
// met, and the figures printed at the end say how often each was.
#include <gtest/gtest.h>
#include <unistd.h>
#include <signal.h>
#include <sys/types.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/process.hpp"

namespace twolocus {
namespace {

namespace fs = std::filesystem;
using testing::read_file;
using testing::run_result;
using testing::temp_dir;
using testing::write_file;

using testing::banner;
const std::string progress_banner = "Doing the evolution (each dot = [200] generations)...\n";
constexpr int64_t interval = 200;

// Fitness codes 1 to 6 only: every fitness is at least 1 (k above s), so a
// population never loses all its weight and every record sums to the
// generation size.
std::string varied_fitness_table() {
  std::string table;
  for (int index = 0; index < 81; ++index) {
    table += std::to_string(index % 3 + 1) + '\t';
    table += std::to_string(index / 3 % 3 + 1) + '\t';
    table += std::to_string(index / 9 % 3 + 1) + '\t';
    table += std::to_string(index / 27 + 1) + '\t';
    table += std::to_string(index % 6 + 1) + '\n';
  }
  return table;
}

struct workload {
  const char* name;
  int generation_size;
  int64_t n;
  const char* rate;  // each of the six mutation rates, in units of 1e-10
  int chains;        // fresh runs started and killed
  uint32_t seed;     // of the kill moments
};

std::vector<std::string> fresh_args(const workload& w) {
  return {"fit.txt", "1", "5", "10", std::to_string(w.n), std::to_string(w.generation_size),
          w.rate, w.rate, w.rate, w.rate, w.rate, w.rate, "traj", "4242"};
}

// Lines as the reader's line reads see them, each with its newline (the
// last one possibly without).
std::vector<std::string> raw_lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, end + 1 - start));
    start = end + 1;
  }
  return lines;
}

// Tab-separated tokens; runs of tabs count as one and a newline stays on
// the token it ends.
std::vector<std::string> tokens_of(const std::string& line) {
  std::vector<std::string> tokens;
  size_t start = 0;
  while (start < line.size()) {
    size_t end = line.find('\t', start);
    if (end == std::string::npos) end = line.size();
    if (end > start) tokens.push_back(line.substr(start, end - start));
    start = end + 1;
  }
  return tokens;
}

int32_t c_style_atoi(const std::string& token) {
  return static_cast<int32_t>(std::strtoll(token.c_str(), nullptr, 10));
}

// The labels of the records a loop from generation `first` to `n` writes.
std::vector<int64_t> loop_labels(int64_t first, int64_t n) {
  std::vector<int64_t> labels;
  for (int64_t g = first + (interval - first % interval) % interval; g < n; g += interval) {
    labels.push_back(g);
  }
  const int64_t end = std::max(first, n);
  if (end % interval != 0) {
    labels.push_back(std::min<int64_t>(end, std::numeric_limits<int32_t>::max()));
  }
  return labels;
}

// What the checkpoint reader makes of a trajectory: its messages and, when
// it finds a record, the label and the record as a resume repeats it.
struct checkpoint_model {
  bool found = false;
  std::string messages;
  int64_t m = 0;
  std::string record;  // without newline
};

checkpoint_model model_reader(const std::string& text) {
  checkpoint_model model;
  const auto lines = raw_lines(text);
  const std::string neither =
      "You have to reenter the parameters.  We can't checkpoint because neither of the last two "
      "lines of [traj] are complete.\n";
  if (lines.empty()) {
    model.messages =
        "You have to reenter the parameters.  We can't checkpoint because we've failed to read "
        "even one line of [traj].\n";
    return model;
  }
  if (lines.size() == 1) {
    model.messages = neither;
    return model;
  }
  auto take = [&](const std::string& line, int& entries) {
    const auto tokens = tokens_of(line);
    model.m = tokens.empty() ? 0 : c_style_atoi(tokens[0]);
    model.record = std::to_string(model.m);
    entries = 0;
    for (size_t i = 1; i < tokens.size() && i <= 81; ++i, ++entries) {
      model.record += '\t';
      model.record += std::to_string(c_style_atoi(tokens[i]));
    }
  };
  int entries = 0;
  take(lines.back(), entries);
  model.messages = "m (where we left off) is [" + std::to_string(model.m) + "].\n";
  if (entries < 81) {
    model.messages += "The last line of [traj] is not complete (only " + std::to_string(entries) +
                      " entries).  Going to the second to last line.\n";
    if (lines.size() == 2) {
      model.messages += neither;
      return model;
    }
    take(lines[lines.size() - 2], entries);
    if (entries < 81) {
      model.messages += neither;
      return model;
    }
  }
  model.messages += "m (where we left off) is [" + std::to_string(model.m) + "].\n";
  model.found = true;
  return model;
}

// Checks one record line (without newline) as the loop writes it.
void expect_full_record(const std::string& line, int64_t label, int generation_size) {
  const auto tokens = tokens_of(line);
  ASSERT_EQ(tokens.size(), 82u) << line;
  EXPECT_EQ(tokens[0], std::to_string(label)) << line;
  long long sum = 0;
  for (size_t i = 1; i < tokens.size(); ++i) {
    const long long count = std::atoll(tokens[i].c_str());
    EXPECT_EQ(tokens[i], std::to_string(count)) << line;
    EXPECT_GE(count, 0) << line;
    sum += count;
  }
  EXPECT_EQ(sum, generation_size) << line;
}

// How a series of written records ends.
enum class ending { complete, between_records, inside_record };

// Checks records as the loop writes them, in order with `labels`: every
// line but the last is a full record with its newline; the last may stop
// after any field (it always does, unless `finished`). `offset` is where
// `text` starts in the file: a kill can cut a write short where it crosses
// a page boundary, so a last line that ends on one may end inside a field.
ending expect_records(const std::string& text, const std::vector<int64_t>& labels,
                      int generation_size, bool finished, size_t offset) {
  const auto lines = raw_lines(text);
  EXPECT_LE(lines.size(), labels.size()) << text.substr(0, 200);
  if (finished) {
    EXPECT_EQ(lines.size(), labels.size());
  }
  if (lines.size() > labels.size()) return ending::complete;
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    const bool ended = line.back() == '\n';
    if (ended || finished) {
      EXPECT_TRUE(ended) << "unended record at the end of a finished file";
      expect_full_record(ended ? line.substr(0, line.size() - 1) : line, labels[i],
                         generation_size);
      continue;
    }
    // The last line of a killed run: whole fields, the label first.
    const auto tokens = tokens_of(line);
    EXPECT_EQ(line.find("\t\t"), std::string::npos) << line;
    EXPECT_FALSE(tokens.empty());
    if (tokens.empty()) return ending::inside_record;
    const bool cut_at_page = (offset + text.size()) % static_cast<size_t>(sysconf(_SC_PAGESIZE)) == 0;
    if (cut_at_page && tokens.size() == 1) {
      EXPECT_EQ(std::to_string(labels[i]).find(tokens[0]), 0u) << line;
    } else {
      EXPECT_EQ(tokens[0], std::to_string(labels[i])) << line;
    }
    EXPECT_LE(tokens.size(), 82u) << line;
    for (const auto& token : tokens) {
      EXPECT_EQ(token, std::to_string(std::atoll(token.c_str()))) << line;
    }
    if (tokens.size() == 82) {
      expect_full_record(line, labels[i], generation_size);
      return ending::between_records;
    }
    return ending::inside_record;
  }
  if (!finished && !text.empty()) return ending::between_records;  // a newline went out last
  return ending::complete;
}

struct figures {
  int kills = 0;
  int kills_inside_record = 0;
  int kills_between_records = 0;
  int kills_before_any_record = 0;
  int resume_kills = 0;
  int resumes = 0;
  int resumes_completed = 0;
  int failures = 0;
  int failures_no_trajectory = 0;
  int failures_no_params = 0;
  int failures_empty = 0;
  int failures_neither = 0;
  int fall_backs = 0;
};

void print_figures(const std::string& name, const figures& f) {
  std::cout << "[crash safety] " << name << ": kills " << f.kills + f.resume_kills << " ("
            << f.kills << " of fresh runs: " << f.kills_inside_record << " inside a record, "
            << f.kills_between_records << " between records, " << f.kills_before_any_record
            << " before any record; " << f.resume_kills << " of resumes), resumes " << f.resumes
            << " (" << f.resumes_completed << " completed, " << f.fall_backs
            << " fell back past a partial line, " << f.failures << " failed with a message: "
            << f.failures_no_trajectory << " no trajectory file, " << f.failures_no_params
            << " no parameter file, " << f.failures_empty << " empty trajectory, "
            << f.failures_neither << " neither of the last two lines complete)\n";
}

enum class resume_end { completed, killed, failed };

// One resume of the trajectory in `dir`, killed after `kill_after` when it
// is given. Checks everything about it against the files it started from.
resume_end resume_and_check(const temp_dir& dir, const workload& w, bool give_n,
                            std::optional<std::chrono::microseconds> kill_after,
                            const std::string& params, figures& f) {
  const bool trajectory_exists = fs::exists(dir / "traj");
  const bool params_exist = fs::exists(dir / "traj.params");
  const std::string before = trajectory_exists ? read_file(dir / "traj") : "";
  const std::string params_before = params_exist ? read_file(dir / "traj.params") : "";
  fs::remove(dir / "traj.params.new");

  std::vector<std::string> args = {"traj"};
  if (give_n) args.push_back(std::to_string(w.n));
  ++f.resumes;
  run_result result;
  if (kill_after) {
    const auto run = testing::start_program(args, dir.path);
    std::this_thread::sleep_for(*kill_after);
    ::kill(run.pid, SIGKILL);
    result = testing::finish_program(run);
  } else {
    result = testing::run_program(args, dir.path);
  }
  const bool killed = result.status == -1;
  if (killed) ++f.resume_kills;

  // The expected console output up to the first dot.
  std::string expected = banner;
  const checkpoint_model model = model_reader(before);
  bool can_resume = false;
  if (!trajectory_exists) {
    expected += "Could not open output file [traj] to read and modify.\n";
  } else if (!params_exist) {
    expected += "Could not open param file [traj.params] to read.\n";
  } else {
    if (give_n) expected += "New n is [" + std::to_string(w.n) + "].\n";
    expected += model.messages;
    if (model.found) {
      can_resume = true;
      if (w.n <= model.m) {
        expected += std::to_string(w.n) + " (n, according to the param file [traj.params]) <= " +
                    std::to_string(model.m) +
                    " (where we left off according to the output file [traj]). Nothing to do.\n";
      } else {
        expected += "Working on generations [" + std::to_string(model.m) + "] through [" +
                    std::to_string(w.n) + "].\n";
      }
    }
  }
  if (!killed && model.found && model.messages.find("not complete") != std::string::npos) {
    ++f.fall_backs;
  }
  const std::vector<int64_t> labels =
      can_resume ? loop_labels(model.m + 1, w.n) : std::vector<int64_t>{};

  if (!killed && !can_resume) {
    ++f.failures;
    if (!trajectory_exists) {
      ++f.failures_no_trajectory;
    } else if (!params_exist) {
      ++f.failures_no_params;
    } else if (before.empty()) {
      ++f.failures_empty;
    } else {
      ++f.failures_neither;
    }
  }
  if (!killed) {
    EXPECT_EQ(result.out, expected + std::string(labels.size(), '.'));
    EXPECT_EQ(result.status, can_resume ? 0 : 1);
  } else {
    // Killed: some prefix of the output, dots only after the messages.
    const size_t shared = std::min(result.out.size(), expected.size());
    EXPECT_EQ(result.out.substr(0, shared), expected.substr(0, shared));
    if (result.out.size() > expected.size()) {
      EXPECT_EQ(result.out.find_first_not_of('.', expected.size()), std::string::npos);
      EXPECT_LE(result.out.size() - expected.size(), labels.size());
    }
  }
  // The parameter file is only read (a kill in a fresh run's first moments
  // can leave it short; the trajectory is empty then).
  EXPECT_EQ(fs::exists(dir / "traj.params"), params_exist);
  if (params_exist) {
    EXPECT_EQ(read_file(dir / "traj.params"), params_before);
    if (!before.empty()) {
      EXPECT_EQ(params_before, params);
    }
  }

  const std::string after = trajectory_exists ? read_file(dir / "traj") : "";
  EXPECT_EQ(fs::exists(dir / "traj"), trajectory_exists);
  // Nothing that was on disk is lost or changed.
  EXPECT_EQ(after.substr(0, before.size()), before);
  if (!can_resume) {
    EXPECT_EQ(after, before) << "a failed resume changed the trajectory";
    return killed ? resume_end::killed : resume_end::failed;
  }
  if (after.size() == before.size()) {
    EXPECT_TRUE(killed) << "a resume appended nothing";
    return resume_end::killed;
  }
  // The newline that ends the last line, then the repeated checkpoint
  // record, then the records of the loop.
  const std::string added = after.substr(before.size());
  EXPECT_EQ(added[0], '\n');
  const std::string repeated = model.record + "\n";
  const std::string rest = added.substr(1);
  if (rest.size() < repeated.size()) {
    EXPECT_TRUE(killed);
    EXPECT_EQ(rest, repeated.substr(0, rest.size()));
    return resume_end::killed;
  }
  EXPECT_EQ(rest.substr(0, repeated.size()), repeated);
  expect_records(rest.substr(repeated.size()), labels, w.generation_size, !killed,
                 before.size() + 1 + repeated.size());
  if (!killed) {
    ++f.resumes_completed;
    if (w.n > model.m) {
      EXPECT_EQ(read_file(dir / "traj.params.new"), params);
    }
  }
  return killed ? resume_end::killed : resume_end::completed;
}

// Checks a whole trajectory after its last resume finished: the header, then
// full records; a line that is not a full record (a partial line ended by a
// resume's newline, or an empty line) comes only right after a full record
// and right before a copy of it, and the labels never go down.
void expect_well_formed(const std::string& text, const workload& w) {
  const std::string header = testing::trajectory_header();
  ASSERT_EQ(text.substr(0, header.size()), header);
  ASSERT_EQ(text.back(), '\n');
  const auto lines = raw_lines(text.substr(header.size()));
  int64_t last_label = std::numeric_limits<int64_t>::min();
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string line = lines[i].substr(0, lines[i].size() - 1);
    const auto tokens = tokens_of(line);
    if (tokens.size() == 82) {
      const int64_t label = std::atoll(tokens[0].c_str());
      EXPECT_GE(label, last_label) << line;
      last_label = label;
      expect_full_record(line, label, w.generation_size);
      continue;
    }
    ASSERT_GT(i, 0u) << "the first record is not complete";
    ASSERT_LT(i + 1, lines.size()) << "a partial line at the end";
    EXPECT_EQ(tokens_of(lines[i - 1]).size(), 82u);
    EXPECT_EQ(lines[i + 1], lines[i - 1]) << "no repeated record after a partial line";
  }
}

void kill_and_resume(const workload& w) {
  const std::string header = testing::trajectory_header();
  figures f;
  // An uninterrupted run: the bytes every killed run must be a prefix of,
  // and its duration, which scales the kill moments to this build.
  temp_dir reference;
  write_file(reference / "fit.txt", varied_fitness_table());
  const auto started = std::chrono::steady_clock::now();
  const run_result whole = testing::run_program(fresh_args(w), reference.path);
  const auto duration = std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::steady_clock::now() - started);
  ASSERT_EQ(whole.status, 0);
  const std::string full = read_file(reference / "traj");
  const std::string params = read_file(reference / "traj.params");
  ASSERT_EQ(full.substr(0, header.size()), header);
  const auto all_labels = loop_labels(0, w.n);
  EXPECT_EQ(expect_records(full.substr(header.size()), all_labels, w.generation_size, true,
                           header.size()),
            ending::complete);
  EXPECT_EQ(whole.out.substr(0, banner.size() + progress_banner.size()), banner + progress_banner);

  std::mt19937 rng(w.seed);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  auto moment = [&](double span_us, double early_share) {
    // Some kills land in the first milliseconds: before the files are
    // written, inside the header or the first record, inside a resume's
    // reading or its repeated record.
    const double us = unit(rng) < early_share ? unit(rng) * 3000.0 : unit(rng) * span_us;
    return std::chrono::microseconds(static_cast<long long>(us));
  };

  for (int chain = 0; chain < w.chains; ++chain) {
    SCOPED_TRACE(std::string(w.name) + " chain " + std::to_string(chain));
    temp_dir dir;
    write_file(dir / "fit.txt", varied_fitness_table());
    const auto run = testing::start_program(fresh_args(w), dir.path);
    std::this_thread::sleep_for(moment(0.9 * static_cast<double>(duration.count()), 0.12));
    ::kill(run.pid, SIGKILL);
    const run_result killed_run = testing::finish_program(run);
    const bool killed = killed_run.status == -1;
    if (!killed) {
      EXPECT_EQ(killed_run.status, 0);
    }
    EXPECT_EQ(killed_run.out, whole.out.substr(0, killed_run.out.size()));

    // The killed files: prefixes of the uninterrupted run's.
    const std::string trajectory = fs::exists(dir / "traj") ? read_file(dir / "traj") : "";
    EXPECT_EQ(trajectory, full.substr(0, trajectory.size()));
    if (fs::exists(dir / "traj.params")) {
      const std::string written = read_file(dir / "traj.params");
      EXPECT_EQ(written, params.substr(0, written.size()));
      if (!trajectory.empty()) {
        EXPECT_EQ(written, params);
      }
    }
    ending how = ending::complete;
    if (!trajectory.empty()) {
      ASSERT_GE(trajectory.size(), header.size()) << "header cut";
      ASSERT_EQ(trajectory.substr(0, header.size()), header);
      how = expect_records(trajectory.substr(header.size()), all_labels, w.generation_size,
                           !killed, header.size());
    }
    // A dot goes out before its record's label, each with a flush.
    const size_t dots_from = banner.size() + progress_banner.size();
    const size_t dots = killed_run.out.size() > dots_from ? killed_run.out.size() - dots_from : 0;
    const size_t started_records = raw_lines(trajectory).size() - (trajectory.empty() ? 0 : 1);
    EXPECT_TRUE(dots == started_records || dots == started_records + 1)
        << dots << " dots, " << started_records << " records";
    if (killed) {
      ++f.kills;
      if (trajectory.size() <= header.size()) {
        ++f.kills_before_any_record;
      } else if (how == ending::inside_record) {
        ++f.kills_inside_record;
      } else {
        ++f.kills_between_records;
      }
    }

    // Resume; every third chain kills its first resume and resumes again.
    const bool give_n = chain % 2 == 1;
    std::optional<std::chrono::microseconds> kill_resume;
    if (chain % 3 == 1) {
      const checkpoint_model model = model_reader(trajectory);
      const double left = model.found ? std::max<double>(0.0, static_cast<double>(w.n - model.m)) /
                                            static_cast<double>(w.n)
                                      : 0.0;
      kill_resume = moment(0.9 * left * static_cast<double>(duration.count()), 0.3);
    }
    resume_end end = resume_and_check(dir, w, give_n, kill_resume, params, f);
    // A killed resume is resumed again, whatever it left behind.
    if (end == resume_end::killed) end = resume_and_check(dir, w, give_n, std::nullopt, params, f);
    if (end == resume_end::completed) {
      const std::string final_text = read_file(dir / "traj");
      expect_well_formed(final_text, w);
      // The run ends with its final-record rule: a full record labelled n
      // or, past n, the label after the checkpoint.
      const auto last = raw_lines(final_text).back();
      const int64_t last_label = std::atoll(last.c_str());
      if (w.n % interval != 0) {
        EXPECT_GE(last_label, w.n);
      } else {
        EXPECT_LE(last_label, w.n - interval);
      }
    }
    if (::testing::Test::HasFatalFailure()) break;
  }
  print_figures(w.name, f);
  ::testing::Test::RecordProperty(std::string(w.name) + "_kills", f.kills + f.resume_kills);
  ::testing::Test::RecordProperty(std::string(w.name) + "_kills_inside_record",
                                  f.kills_inside_record);
  ::testing::Test::RecordProperty(std::string(w.name) + "_resumes", f.resumes);
  ::testing::Test::RecordProperty(std::string(w.name) + "_failures", f.failures);
}

// Large generations: most of the time goes into the steps, so kills land
// mostly between records. n is one past a record, so the run ends with a
// final record that repeats the last one.
TEST(CrashSafety, KilledLargeGenerationsResume) {
  kill_and_resume({"large generations", 2000, 2001, "1000000", 18, 20110303u});
}

// Tiny generations and many records: most of the time goes into writing
// records field by field, so kills land mostly inside a record.
TEST(CrashSafety, KilledTinyGenerationsResume) {
  kill_and_resume({"tiny generations", 5, 600000, "20000", 34, 1103u});
}

}  // namespace
}  // namespace twolocus
