// The checkpoint reader of the trajectory file and the parameter file reader,
// on temporary files, with the messages that the programs print of what they
// found captured.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "run/classic.hpp"
#include "io/params.hpp"
#include "io/trajectory.hpp"
#include "support/process.hpp"

namespace twolocus {
namespace {

// The checkpoint's reading as the classic resume reports it, printed.
std::optional<int32_t> restore_checkpoint(std::FILE* file, const char* name, population_counts& current,
                                          population_counts& next) {
  run_observer printed;
  printed.note = [](const message& note) { std::fputs(note.text.c_str(), stdout); };
  std::optional<message> failure;
  const auto label = restore_classic_checkpoint(file, name, current, next, printed, failure);
  if (failure) std::fputs(failure->text.c_str(), stdout);
  return label;
}

// The parameter file's reading as the classic resume reports it, printed.
bool read_params_head_reported(std::FILE* file, const char* name, run_params& params) {
  const auto failure = read_classic_params_head(file, name, params);
  if (failure) std::fputs(failure->text.c_str(), stdout);
  return !failure;
}
bool read_params_body_reported(std::FILE* file, const char* name, run_params& params,
                               std::optional<int32_t>& seed) {
  const auto failure = read_classic_params_body(file, name, params, seed);
  if (failure) std::fputs(failure->text.c_str(), stdout);
  return !failure;
}


const char* const trajectory_name = "runs/traj.txt";
const char* const params_name = "runs/traj.txt.params";

// The header line, built from the genotype digits (first digit fastest).
// Counts that differ from class to class and from one `salt` to another.
population_counts sample_counts(int salt) {
  population_counts counts{};
  for (size_t i = 0; i < counts.size(); ++i) {
    counts[i] = static_cast<int32_t>((static_cast<int>(i) * 37 + salt * 101) % 997);
  }
  return counts;
}

// A record line of `label` and the first `entries` counts, without newline.
std::string record_text(int label, const population_counts& counts, size_t entries = 81) {
  std::string text = std::to_string(label);
  for (size_t i = 0; i < entries; ++i) {
    text += '\t';
    text += std::to_string(counts[i]);
  }
  return text;
}

std::string m_message(int label) {
  return "m (where we left off) is [" + std::to_string(label) + "].\n";
}

std::string incomplete_message(int entries) {
  return std::string("The last line of [") + trajectory_name + "] is not complete (only " +
         std::to_string(entries) + " entries).  Going to the second to last line.\n";
}

std::string neither_message() {
  return std::string(
             "You have to reenter the parameters.  We can't checkpoint because neither of the "
             "last two lines of [") +
         trajectory_name + "] are complete.\n";
}

std::FILE* file_holding(const std::string& text) {
  std::FILE* file = std::tmpfile();
  if (file == nullptr) return nullptr;
  std::fwrite(text.data(), 1, text.size(), file);
  std::rewind(file);
  return file;
}

std::string whole_file(std::FILE* file) {
  std::rewind(file);
  std::string text;
  char buffer[4096];
  size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, got);
  return text;
}

struct checkpoint_reading {
  std::optional<int32_t> label;
  std::string out;
  population_counts current{};
  population_counts next{};
  bool at_end = false;  // a write right after the read lands at the end
};

checkpoint_reading read_text(const std::string& text) {
  checkpoint_reading result;
  result.current.fill(-12345);
  result.next.fill(-54321);
  std::FILE* file = file_holding(text);
  if (file == nullptr) {
    ADD_FAILURE() << "no temporary file";
    return result;
  }
  ::testing::internal::CaptureStdout();
  result.label = restore_checkpoint(file, trajectory_name, result.current, result.next);
  result.out = ::testing::internal::GetCapturedStdout();
  if (result.label) {
    const long position = std::ftell(file);
    std::fputs("appended", file);
    result.at_end = position == static_cast<long>(text.size()) &&
                    whole_file(file) == text + "appended";
  }
  std::fclose(file);
  return result;
}

TEST(CheckpointReader, LastCompleteRecordIsRestoredIntoBothArrays) {
  const auto r0 = sample_counts(1), r200 = sample_counts(2);
  const std::string text =
      testing::trajectory_header() + record_text(0, r0) + "\n" + record_text(200, r200) + "\n";
  const auto reading = read_text(text);
  ASSERT_EQ(reading.label, 200);
  EXPECT_EQ(reading.out, m_message(200) + m_message(200));
  EXPECT_EQ(reading.current, r200);
  EXPECT_EQ(reading.next, r200);
  EXPECT_TRUE(reading.at_end);
}

TEST(CheckpointReader, RecordWhoseNewlineWasNeverWrittenIsComplete) {
  const auto r0 = sample_counts(1), r200 = sample_counts(2);
  const auto reading =
      read_text(testing::trajectory_header() + record_text(0, r0) + "\n" + record_text(200, r200));
  ASSERT_EQ(reading.label, 200);
  EXPECT_EQ(reading.out, m_message(200) + m_message(200));
  EXPECT_EQ(reading.current, r200);
  EXPECT_EQ(reading.next, r200);
  EXPECT_TRUE(reading.at_end);
}

TEST(CheckpointReader, PartialLastLineFallsBackToTheLineBefore) {
  const auto r0 = sample_counts(1), r200 = sample_counts(2), r400 = sample_counts(3);
  const std::string before = testing::trajectory_header() + record_text(0, r0) + "\n" + record_text(200, r200) + "\n";
  // Killed after 17 counts: no newline. And the same line with a newline.
  for (const std::string& tail : {record_text(400, r400, 17), record_text(400, r400, 17) + "\n"}) {
    const auto reading = read_text(before + tail);
    ASSERT_EQ(reading.label, 200);
    EXPECT_EQ(reading.out, m_message(400) + incomplete_message(17) + m_message(200));
    EXPECT_EQ(reading.current, r200);
    EXPECT_EQ(reading.next, r200);
    EXPECT_TRUE(reading.at_end);
  }
  // Killed right after the label, and one count short of a record.
  auto reading = read_text(before + "400");
  ASSERT_EQ(reading.label, 200);
  EXPECT_EQ(reading.out, m_message(400) + incomplete_message(0) + m_message(200));
  EXPECT_EQ(reading.current, r200);
  reading = read_text(before + record_text(400, r400, 80));
  ASSERT_EQ(reading.label, 200);
  EXPECT_EQ(reading.out, m_message(400) + incomplete_message(80) + m_message(200));
  EXPECT_EQ(reading.current, r200);
  EXPECT_EQ(reading.next, r200);
}

TEST(CheckpointReader, EmptyLastLineFallsBack) {
  const auto r0 = sample_counts(1), r200 = sample_counts(2);
  const auto reading =
      read_text(testing::trajectory_header() + record_text(0, r0) + "\n" + record_text(200, r200) + "\n\n");
  ASSERT_EQ(reading.label, 200);
  EXPECT_EQ(reading.out, m_message(0) + incomplete_message(0) + m_message(200));
  EXPECT_EQ(reading.current, r200);
  EXPECT_EQ(reading.next, r200);
  EXPECT_TRUE(reading.at_end);
}

TEST(CheckpointReader, TwoPartialLastLinesAreRejected) {
  const auto r0 = sample_counts(1), r200 = sample_counts(2), r400 = sample_counts(3);
  const auto reading = read_text(testing::trajectory_header() + record_text(0, r0) + "\n" +
                                 record_text(200, r200, 40) + "\n" + record_text(400, r400, 17));
  EXPECT_FALSE(reading.label);
  EXPECT_EQ(reading.out, m_message(400) + incomplete_message(17) + neither_message());
  // An empty line before a partial one is no record either.
  const auto after_empty = read_text(testing::trajectory_header() + record_text(0, r0) + "\n\n" +
                                     record_text(400, r400, 17));
  EXPECT_FALSE(after_empty.label);
  EXPECT_EQ(after_empty.out, m_message(400) + incomplete_message(17) + neither_message());
}

TEST(CheckpointReader, EmptyFileIsRejected) {
  const auto reading = read_text("");
  EXPECT_FALSE(reading.label);
  EXPECT_EQ(reading.out,
            std::string("You have to reenter the parameters.  We can't checkpoint because we've "
                        "failed to read even one line of [") +
                trajectory_name + "].\n");
}

TEST(CheckpointReader, OneLineFileIsRejected) {
  // The header alone, with or without its newline.
  auto reading = read_text(testing::trajectory_header());
  EXPECT_FALSE(reading.label);
  EXPECT_EQ(reading.out, neither_message());
  std::string header = testing::trajectory_header();
  header.pop_back();
  reading = read_text(header);
  EXPECT_FALSE(reading.label);
  EXPECT_EQ(reading.out, neither_message());
  // A single line is not taken as a record even when it looks like one.
  reading = read_text(record_text(200, sample_counts(2)) + "\n");
  EXPECT_FALSE(reading.label);
  EXPECT_EQ(reading.out, neither_message());
}

TEST(CheckpointReader, FallBackOntoTheHeaderIsRejected) {
  auto reading = read_text(testing::trajectory_header() + record_text(0, sample_counts(1), 17));
  EXPECT_FALSE(reading.label);
  EXPECT_EQ(reading.out, m_message(0) + incomplete_message(17) + neither_message());
  reading = read_text(testing::trajectory_header() + "\n");
  EXPECT_FALSE(reading.label);
  EXPECT_EQ(reading.out, m_message(0) + incomplete_message(0) + neither_message());
}

TEST(CheckpointReader, ExtraTabsAreTolerated) {
  const auto r0 = sample_counts(1), r200 = sample_counts(2);
  std::string spread = "\t\t200";
  for (const int32_t count : r200) {
    spread += "\t\t\t";
    spread += std::to_string(count);
  }
  spread += "\t\t\n";
  const auto reading = read_text(testing::trajectory_header() + record_text(0, r0) + "\n" + spread);
  ASSERT_EQ(reading.label, 200);
  EXPECT_EQ(reading.out, m_message(200) + m_message(200));
  EXPECT_EQ(reading.current, r200);
  EXPECT_EQ(reading.next, r200);
  EXPECT_TRUE(reading.at_end);
}

TEST(CheckpointReader, LineOfOnlyTabsFallsBack) {
  const auto r0 = sample_counts(1), r200 = sample_counts(2);
  const std::string before = testing::trajectory_header() + record_text(0, r0) + "\n" + record_text(200, r200) + "\n";
  for (const char* tail : {"\t\t\t\t", "\t\t\t\n"}) {
    const auto reading = read_text(before + tail);
    ASSERT_EQ(reading.label, 200);
    EXPECT_EQ(reading.out, m_message(0) + incomplete_message(0) + m_message(200));
    EXPECT_EQ(reading.current, r200);
    EXPECT_TRUE(reading.at_end);
  }
}

TEST(CheckpointReader, TokensAfterTheLastCountAreIgnored) {
  const auto r0 = sample_counts(1), r200 = sample_counts(2);
  const auto reading = read_text(testing::trajectory_header() + record_text(0, r0) + "\n" +
                                 record_text(200, r200) + "\t99\t98\tword\t97\n");
  ASSERT_EQ(reading.label, 200);
  EXPECT_EQ(reading.out, m_message(200) + m_message(200));
  EXPECT_EQ(reading.current, r200);
  EXPECT_EQ(reading.next, r200);
  EXPECT_TRUE(reading.at_end);
}

TEST(CheckpointReader, LabelsAndCountsAreTakenAsAtoiGivesThem) {
  population_counts odd = sample_counts(4);
  odd[0] = -7;
  odd[80] = -2147483647 - 1;
  std::string line = "-1";
  for (size_t i = 0; i < odd.size(); ++i) {
    line += '\t';
    line += std::to_string(odd[i]);
  }
  auto reading = read_text(testing::trajectory_header() + line + "\n");
  ASSERT_EQ(reading.label, -1);
  EXPECT_EQ(reading.out, m_message(-1) + m_message(-1));
  EXPECT_EQ(reading.current, odd);
  // Beyond 32 bits only the low 32 bits count; a trailing word is dropped.
  reading = read_text(testing::trajectory_header() + "4294967497" + line.substr(2) + "\n");
  ASSERT_EQ(reading.label, 201);
  EXPECT_EQ(reading.out, m_message(201) + m_message(201));
  reading = read_text(testing::trajectory_header() + "2147483647" + line.substr(2) + "\n");
  ASSERT_EQ(reading.label, 2147483647);
}

TEST(CheckpointReader, LongLinesAreReadInPiecesOf4095Characters) {
  const auto r0 = sample_counts(1), r200 = sample_counts(2);
  const std::string before = testing::trajectory_header() + record_text(0, r0) + "\n";
  // The first piece holds only tabs; the second is the whole record.
  auto reading = read_text(before + std::string(4095, '\t') + record_text(200, r200) + "\n");
  ASSERT_EQ(reading.label, 200);
  EXPECT_EQ(reading.out, m_message(200) + m_message(200));
  EXPECT_EQ(reading.current, r200);
  EXPECT_TRUE(reading.at_end);
  // A piece ends inside the first count (123): the last piece starts with
  // its rest and holds 80 counts, the piece before holds one.
  population_counts split = r200;
  split[0] = 123;
  reading = read_text(before + std::string(4090, '\t') + record_text(200, split) + "\n");
  EXPECT_FALSE(reading.label);
  EXPECT_EQ(reading.out, m_message(23) + incomplete_message(80) + neither_message());
}

// ---- parameter file ----

run_params sample_params() {
  run_params params;
  params.s = static_cast<float>(5 / 100.0);
  params.k = static_cast<float>(10 / 100.0);
  params.n = 1000;
  params.generation_size = 500;
  params.rates_a = {10 / 1e10, 1234 / 1e10, 2147483647 / 1e10};
  params.rates_b = {0 / 1e10, 1 / 1e10, 999999 / 1e10};
  for (size_t i = 0; i < params.fitness.size(); ++i) {
    // Values with more than six decimals, as the fitness codes give.
    params.fitness[i] = 1.0 + (static_cast<double>(i) - 40.0) * 0.0123456789;
  }
  params.fitness[3] = 0.0;
  params.fitness[4] = 1.0 + static_cast<double>(params.k);
  return params;
}

std::string params_text(const run_params& params) {
  std::FILE* file = std::tmpfile();
  if (file == nullptr) return {};
  write_params(file, params);
  std::string text = whole_file(file);
  std::fclose(file);
  return text;
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line + "\n");
  return lines;
}

std::string join(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) text += line;
  return text;
}

// Removes the line that begins with `start`; fails when there is none.
std::string without_line(const std::string& text, const std::string& start) {
  auto lines = split_lines(text);
  const auto found = std::find_if(lines.begin(), lines.end(), [&](const std::string& line) {
    return line.compare(0, start.size(), start) == 0;
  });
  EXPECT_NE(found, lines.end()) << start;
  if (found != lines.end()) lines.erase(found);
  return join(lines);
}

// Replaces the line that begins with `start` by `replacement`.
std::string with_line(const std::string& text, const std::string& start,
                      const std::string& replacement) {
  auto lines = split_lines(text);
  const auto found = std::find_if(lines.begin(), lines.end(), [&](const std::string& line) {
    return line.compare(0, start.size(), start) == 0;
  });
  EXPECT_NE(found, lines.end()) << start;
  if (found != lines.end()) *found = replacement;
  return join(lines);
}

struct params_reading {
  bool head = false;
  bool body = false;
  run_params params;
  std::optional<int32_t> seed;
  std::string out;
};

params_reading read_params_text(const std::string& text) {
  params_reading result;
  result.params.seed = 777;
  std::FILE* file = file_holding(text);
  if (file == nullptr) {
    ADD_FAILURE() << "no temporary file";
    return result;
  }
  ::testing::internal::CaptureStdout();
  result.head = read_params_head_reported(file, params_name, result.params);
  if (result.head) {
    result.body = read_params_body_reported(file, params_name, result.params, result.seed);
  }
  result.out = ::testing::internal::GetCapturedStdout();
  std::fclose(file);
  return result;
}

std::string six_decimals(double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%f", value);
  return buffer;
}

// Checks that `got` holds what a file written from `written` reads back as.
void expect_read_back(const run_params& got, const run_params& written) {
  EXPECT_EQ(got.s, written.s);
  EXPECT_EQ(got.k, written.k);
  EXPECT_EQ(got.n, written.n);
  EXPECT_EQ(got.generation_size, written.generation_size);
  EXPECT_EQ(got.rates_a, written.rates_a);
  EXPECT_EQ(got.rates_b, written.rates_b);
  for (size_t i = 0; i < got.fitness.size(); ++i) {
    EXPECT_EQ(got.fitness[i], std::strtod(six_decimals(written.fitness[i]).c_str(), nullptr))
        << "fitness " << i;
    EXPECT_NEAR(got.fitness[i], written.fitness[i], 5e-7) << "fitness " << i;
  }
  EXPECT_EQ(got.seed, 777);  // the reader never touches the seed
}

const std::string rates_message = std::string(
                                      "You have to reenter the parameters.  Mutation rates of [") +
                                  params_name + "] are incomplete.\n";
const std::string fitness_message =
    std::string("You have to reenter the parameters.  Fitnesses of [") + params_name +
    "] are incomplete.\n";
const std::string format_message = std::string("You have to reenter the parameters.  Line 1 of [") +
                                   params_name + "] is not of the right format.\n";

TEST(ParamsReader, FileWrittenByTheWriterReadsBack) {
  const run_params written = sample_params();
  const std::string text = params_text(written);
  const auto lines = split_lines(text);
  ASSERT_EQ(lines.size(), 88u);
  EXPECT_EQ(lines[0], "s = [0.050000], k = [0.100000], n = [1000] gerneration_size=[500].\n");
  EXPECT_EQ(lines[1], "a0 = 0.0000000010\n");
  const auto reading = read_params_text(text);
  ASSERT_TRUE(reading.head);
  ASSERT_TRUE(reading.body);
  EXPECT_EQ(reading.out, "");
  expect_read_back(reading.params, written);
}

TEST(ParamsReader, MissingRateOrFitnessLines) {
  const std::string text = params_text(sample_params());
  auto reading = read_params_text(without_line(text, "b1 = "));
  EXPECT_TRUE(reading.head);
  EXPECT_FALSE(reading.body);
  EXPECT_EQ(reading.out, rates_message);

  reading = read_params_text(without_line(text, "42 ->"));
  EXPECT_TRUE(reading.head);
  EXPECT_FALSE(reading.body);
  EXPECT_EQ(reading.out, fitness_message);

  // Rates are checked first.
  reading = read_params_text(without_line(without_line(text, "42 ->"), "b1 = "));
  EXPECT_FALSE(reading.body);
  EXPECT_EQ(reading.out, rates_message);

  reading = read_params_text(without_line(text, "80 ->"));
  EXPECT_EQ(reading.out, fitness_message);
}

TEST(ParamsReader, LinesInAnyOrder) {
  const run_params written = sample_params();
  auto lines = split_lines(params_text(written));
  std::mt19937 shuffler(20110303);
  std::shuffle(lines.begin() + 1, lines.end(), shuffler);
  const auto reading = read_params_text(join(lines));
  ASSERT_TRUE(reading.body);
  EXPECT_EQ(reading.out, "");
  expect_read_back(reading.params, written);
}

TEST(ParamsReader, SeveralTriplesOnOneLine) {
  const run_params written = sample_params();
  const auto lines = split_lines(params_text(written));
  std::string text = lines[0];
  // All six rates on one line, the fitness lines three by three.
  for (size_t i = 1; i <= 6; ++i) {
    std::string line = lines[i];
    line.pop_back();
    text += line + (i == 6 ? "\n" : " ");
  }
  for (size_t i = 7; i < lines.size(); ++i) {
    std::string line = lines[i];
    line.pop_back();
    text += line + ((i - 7) % 3 == 2 ? "\n" : "\t");
  }
  const auto reading = read_params_text(text);
  ASSERT_TRUE(reading.body);
  EXPECT_EQ(reading.out, "");
  expect_read_back(reading.params, written);
}

TEST(ParamsReader, KeySpelledGenerationSizeFailsTheFormat) {
  const std::string text = params_text(sample_params());
  const auto reading = read_params_text(
      with_line(text, "s = ", "s = [0.050000], k = [0.100000], n = [1000] generation_size=[500].\n"));
  EXPECT_FALSE(reading.head);
  EXPECT_EQ(reading.out, format_message);
  EXPECT_EQ(read_params_text("").out, format_message);
}

TEST(ParamsReader, FirstLineNumbersBeyondThirtyTwoBitsKeepTheirLowBits) {
  const std::string text = params_text(sample_params());
  auto reading = read_params_text(with_line(
      text, "s = ",
      "s = [0.050000], k = [0.100000], n = [4294967297] gerneration_size=[4294967298].\n"));
  ASSERT_TRUE(reading.head);
  EXPECT_EQ(reading.params.n, 1);
  EXPECT_EQ(reading.params.generation_size, 2);
  EXPECT_TRUE(reading.body);
  reading = read_params_text(with_line(
      text, "s = ", "s = [0.050000], k = [0.100000], n = [-1] gerneration_size=[6442450944].\n"));
  ASSERT_TRUE(reading.head);
  EXPECT_EQ(reading.params.n, -1);
  EXPECT_EQ(reading.params.generation_size, -2147483647 - 1);
}

std::string line_message(int line) {
  return "You have to reenter the parameters.  Line " + std::to_string(line) + " of [" +
         params_name + "] is not of the right format.\n";
}

TEST(ParamsReader, EveryLineThatIsNotBlankOrWholeTriplesIsRejectedWithItsNumber) {
  const run_params written = sample_params();
  const std::string text = params_text(written);
  // Appended as line 89, after the real lines, so that a stray write would
  // also show as a changed value.
  for (const char* extra :
       {"# edited by hand\n", "a3 = 0.5\n", "b-1 = 0.5\n", "a = 0.5\n", "a00 = 0.5\n",
        "c0 = 0.5\n", "81 ->\t2.5\n", "-1 ->\t2.5\n", "+5 ->\t2.5\n", "1000000000000000000000 ->\t2\n",
        "a0 =\n", "b2\n", "7 ->\n", "12\n", "5 ->", "0 ->\tabc\n", "a0 = abc\n", "0 ->\t1.0 2\n",
        "0 ->\t1.0x\n", "0 ->\t0x1p3\n", "0 ->\tnan\n", "0 ->\tinf\n", "b2 = -inf\n", "0 ->\t1e400\n",
        "0 ->\t\r1\n", "seed = 1.5\n", "seed = 3000000000\n", "seed = \n", "0 -> 1\0 junk\n"}) {
    // Each line is taken whole: the one with a NUL inside holds it too.
    const std::string line =
        std::strcmp(extra, "0 -> 1") == 0 ? std::string(extra, 13) : std::string(extra);
    const auto reading = read_params_text(text + line);
    EXPECT_FALSE(reading.body) << extra;
    EXPECT_EQ(reading.out, line_message(89)) << extra;
  }
  // The first bad line is named, even before a missing entry is noticed.
  const auto reading = read_params_text(with_line(without_line(text, "b1 = "), "42 ->", "42 -> x\n"));
  EXPECT_EQ(reading.out, line_message(49));
  // Physical lines are counted, including blank lines that line 1's reading skips.
  EXPECT_EQ(read_params_text(with_line(text, "s = ", split_lines(text)[0] + "\n\n") + "#\n").out,
            line_message(91));
}

TEST(ParamsReader, MinusOneExponentsBlankLinesCarriageReturnsAndSeedsAreValues) {
  const run_params written = sample_params();
  std::string text = params_text(written);
  for (const char* value : {"-1", "-1.0000000000"}) {
    auto reading = read_params_text(with_line(text, "b2 = ", std::string("b2 = ") + value + "\n"));
    ASSERT_TRUE(reading.body) << value << reading.out;
    EXPECT_EQ(reading.params.rates_b[2], -1.0);
    reading = read_params_text(with_line(text, "5 ->", std::string("5 ->\t") + value + "\n"));
    ASSERT_TRUE(reading.body) << value << reading.out;
    EXPECT_EQ(reading.params.fitness[5], -1.0);
  }
  auto reading = read_params_text(with_line(text, "5 ->", "5 ->\t2.5e-1\r\n") + " \t\n\n" +
                                  "seed = -17\r\n");
  ASSERT_TRUE(reading.body) << reading.out;
  EXPECT_EQ(reading.params.fitness[5], 0.25);
  EXPECT_EQ(reading.seed, -17);
  EXPECT_EQ(reading.out, "");
  // A later line for the same entry wins.
  reading = read_params_text(text + "5 ->\t0.125\n");
  ASSERT_TRUE(reading.body);
  EXPECT_EQ(reading.params.fitness[5], 0.125);
  EXPECT_FALSE(reading.seed.has_value());
}

}  // namespace
}  // namespace twolocus
