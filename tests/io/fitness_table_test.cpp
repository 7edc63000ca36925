// Tests of the fitness codes and of the fitness table reader.
#include "io/fitness_table.hpp"
#include "run/classic.hpp"
#include "model/steps.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <sys/types.h>

namespace twolocus {
namespace {

// An unknown code reported as the classic programs print it.
void report_unknown_code(int code) { std::fputs(tell::unknown_code(code).text.c_str(), stdout); }


constexpr float s5 = 0.05f;   // s = 5 percent
constexpr float k10 = 0.1f;   // k = 10 percent

// A read-only stream over `text` that records when it is closed.
struct text_source {
  std::string text;
  size_t position = 0;
  bool closed = false;
};

ssize_t read_source(void* cookie, char* buffer, size_t size) {
  auto* source = static_cast<text_source*>(cookie);
  const size_t left = source->text.size() - source->position;
  const size_t count = size < left ? size : left;
  std::memcpy(buffer, source->text.data() + source->position, count);
  source->position += count;
  return static_cast<ssize_t>(count);
}

int close_source(void* cookie) {
  static_cast<text_source*>(cookie)->closed = true;
  return 0;
}

std::FILE* open_source(text_source& source) {
  cookie_io_functions_t functions{};
  functions.read = read_source;
  functions.close = close_source;
  return fopencookie(&source, "r", functions);
}

// The genotype line "a1 a2 b1 b2" of an index, followed by `rest` and a newline.
std::string genotype_line(int index, const std::string& rest) {
  return std::to_string(index % 3 + 1) + "\t" + std::to_string(index / 3 % 3 + 1) + "\t" +
         std::to_string(index / 9 % 3 + 1) + "\t" + std::to_string(index / 27 + 1) + rest + "\n";
}

struct table_reading {
  int unassigned = -1;
  fitness_table fitness{};
  std::string printed;
  bool closed = false;
};

// Reads `text` as a fitness table file with the given column, s and k,
// starting from a table full of a marker value.
table_reading read_table(const std::string& text, int8_t column, float s = s5, float k = k10) {
  text_source source{text};
  std::FILE* file = open_source(source);
  table_reading reading;
  reading.fitness.fill(-7.0);
  ::testing::internal::CaptureStdout();
  reading.unassigned = read_fitness_table(file, column, s, k, reading.fitness, report_unknown_code);
  reading.printed = ::testing::internal::GetCapturedStdout();
  reading.closed = source.closed;
  return reading;
}

// ---------------------------------------------------------------- fitness_codes

TEST(FitnessCodes, KnownCodesResolveFromSinglePrecisionSAndK) {
  const double s = static_cast<double>(s5);
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(static_cast<double>(fitness_codes(0, s, k10)), 0.0);
  EXPECT_EQ(static_cast<double>(fitness_codes(1, s, k10)), 1.0);
  EXPECT_NEAR(static_cast<double>(fitness_codes(2, s, k10)), 1.025, 1e-7);
  EXPECT_NEAR(static_cast<double>(fitness_codes(3, s, k10)), 1.075, 1e-7);
  EXPECT_NEAR(static_cast<double>(fitness_codes(4, s, k10)), 1.1, 1e-7);
  EXPECT_NEAR(static_cast<double>(fitness_codes(5, s, k10)), 1.05, 1e-7);
  EXPECT_NEAR(static_cast<double>(fitness_codes(6, s, k10)), 1.025, 1e-7);
  // s enters in its single-precision value: 1 - 0.0500000007450580596923828125.
  EXPECT_EQ(static_cast<double>(fitness_codes(7, s, k10)), 1.0 - static_cast<double>(0.05f));
  EXPECT_NE(static_cast<double>(fitness_codes(7, s, k10)), 0.95);
  EXPECT_EQ(static_cast<double>(fitness_codes(8, s, k10)),
            1.0 - static_cast<double>(0.05f) * 0.5);
  // Only the low 8 bits of a code count: 264 is code 8.
  EXPECT_EQ(static_cast<double>(fitness_codes(static_cast<int8_t>(264), s, k10)),
            1.0 - static_cast<double>(0.05f) * 0.5);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "") << "known codes print nothing";
}

// The single-precision coefficients are widened before the arithmetic:
// k * 3 and 1 + k are not rounded to single precision on the way.
TEST(FitnessCodes, ArithmeticIsOnTheWidenedCoefficients) {
  const float k33 = static_cast<float>(33 / 100.0);
  const double s5 = static_cast<double>(static_cast<float>(5 / 100.0));
  EXPECT_EQ(static_cast<double>(fitness_codes(3, s5, k33)), 1 + 0.75 * static_cast<double>(k33));
  EXPECT_EQ(static_cast<float>(fitness_codes(3, s5, k33)), 1.24750006f);
  EXPECT_EQ(selection_weight(100000, static_cast<double>(fitness_codes(3, s5, k33))), 124750);
  const float k703 = static_cast<float>(703 / 100.0);
  EXPECT_EQ(static_cast<double>(fitness_codes(4, s5, k703)), 1 + static_cast<double>(k703));
  char printed[32];
  std::snprintf(printed, sizeof printed, "%f", static_cast<double>(fitness_codes(4, s5, k703)));
  EXPECT_STREQ(printed, "8.030000");
  for (int code = 2; code <= 8; ++code) {
    const double widened = static_cast<double>(fitness_codes(static_cast<int8_t>(code), s5, k33));
    const double k = static_cast<double>(k33);
    const double expected[] = {0, 0, 1 + (k - s5) * 0.5, 1 + k * 0.75, 1 + k, 1 + k * 0.5,
                               1 + k * 0.25, 1 - s5, 1 - s5 * 0.5};
    EXPECT_EQ(widened, expected[code]) << "code " << code;
  }
}

TEST(FitnessCodes, CodeTwoWithEqualSAndKIsExactlyOne) {
  for (const float value : {0.0f, 0.05f, 0.07f, 0.33f, 1.0f, 2.5f}) {
    EXPECT_EQ(static_cast<double>(fitness_codes(2, static_cast<double>(value), value)), 1.0)
        << value;
  }
}

TEST(FitnessCodes, UnknownCodesAreReportedAsSignedAndGiveOne) {
  const double s = static_cast<double>(s5);
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(static_cast<double>(fitness_codes(static_cast<int8_t>(255), s, k10, report_unknown_code)), 1.0);
  EXPECT_EQ(static_cast<double>(fitness_codes(9, s, k10, report_unknown_code)), 1.0);
  EXPECT_EQ(static_cast<double>(fitness_codes(127, s, k10, report_unknown_code)), 1.0);
  EXPECT_EQ(static_cast<double>(fitness_codes(-128, s, k10, report_unknown_code)), 1.0);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "Unknown code [-1].\nUnknown code [9].\nUnknown code [127].\nUnknown code [-128].\n");
}

// ---------------------------------------------------------------- read_fitness_table

TEST(FitnessTableReader, ResolvesTheChosenColumnForAll81GenotypesAndClosesTheFile) {
  std::string text = "# allele a1, a2, b1, b2, then two code columns\n";
  for (int j = 0; j < 81; ++j) {
    text += genotype_line(j, std::string("\t") + std::to_string(j % 9) + "\t" + std::to_string(8 - j % 9));
  }
  const table_reading first = read_table(text, 1);
  EXPECT_EQ(first.unassigned, 0);
  EXPECT_TRUE(first.closed);
  EXPECT_EQ(first.printed, "");
  const table_reading second = read_table(text, 2);
  EXPECT_EQ(second.unassigned, 0);
  EXPECT_TRUE(second.closed);
  for (int j = 0; j < 81; ++j) {
    const auto at = static_cast<size_t>(j);
    const double s = static_cast<double>(s5);
    EXPECT_EQ(first.fitness[at],
              static_cast<double>(fitness_codes(static_cast<int8_t>(j % 9), s, k10)))
        << j;
    EXPECT_EQ(second.fitness[at],
              static_cast<double>(fitness_codes(static_cast<int8_t>(8 - j % 9), s, k10)))
        << j;
  }
  EXPECT_EQ(first.fitness[7], 1.0 - static_cast<double>(0.05f));  // 2311, code 7
  EXPECT_EQ(second.fitness[8], 0.0);                                 // 3311, code 0
}

TEST(FitnessTableReader, CodesKeepOnlyTheirLowEightBits) {
  const table_reading reading = read_table(genotype_line(0, "\t264") +  // 8
                                               genotype_line(1, "\t255") +  // -1: unknown
                                               genotype_line(2, "\t-249") +  // 7
                                               genotype_line(3, "\t3000000001"),  // low byte 1
                                           1);
  EXPECT_EQ(reading.fitness[0], 1.0 - static_cast<double>(0.05f) * 0.5);
  EXPECT_EQ(reading.fitness[1], 1.0);
  EXPECT_EQ(reading.fitness[2], 1.0 - static_cast<double>(0.05f));
  EXPECT_EQ(reading.fitness[3], 1.0);
  EXPECT_EQ(reading.printed, "Unknown code [-1].\n");
  EXPECT_EQ(reading.unassigned, 77);
}

TEST(FitnessTableReader, UnassignedGenotypesGetZeroAndAreCounted) {
  const table_reading empty = read_table("", 1);
  EXPECT_EQ(empty.unassigned, 81);
  EXPECT_TRUE(empty.closed);
  for (const double f : empty.fitness) EXPECT_EQ(f, 0.0);

  const table_reading some = read_table(genotype_line(40, "\t4") + genotype_line(80, "\t1"), 1);
  EXPECT_EQ(some.unassigned, 79);
  for (int j = 0; j < 81; ++j) {
    const double expected = j == 40 ? 1.1 : (j == 80 ? 1.0 : 0.0);
    EXPECT_NEAR(some.fitness[static_cast<size_t>(j)], expected, 1e-7) << j;
  }
}

TEST(FitnessTableReader, CommentsAndTokenSeparation) {
  std::string text;
  text += "#\t1\t1\t1\t1\t4\n";       // comment
  text += "#1\t2\t1\t1\t255\n";       // comment: no unknown-code report
  text += " #\t1\t1\t1\t255\n";       // not a comment; " #" is no allele value
  text += "1 \t1\t1\t1\t 4\n";        // spaces around numbers: 1111, code 4
  text += "\t\t2\t\t1\t1\t\t\t1\t7\n";  // leading and repeated tabs: 2111, code 7
  text += "3\t1\t1\t1\t8 trailing words\n";  // 3111, code 8
  text += "1 2\t2\t1\t1\t5\n";        // "1 2" reads as 1: 1211, code 5
  text += "\n";
  text += "\t\t\t\n";
  const table_reading reading = read_table(text, 1);
  EXPECT_EQ(reading.printed, "");
  EXPECT_EQ(reading.unassigned, 77);
  EXPECT_NEAR(reading.fitness[0], 1.1, 1e-7);
  EXPECT_EQ(reading.fitness[1], 1.0 - static_cast<double>(0.05f));
  EXPECT_EQ(reading.fitness[2], 1.0 - static_cast<double>(0.05f) * 0.5);
  EXPECT_NEAR(reading.fitness[3], 1.05, 1e-7);
}

TEST(FitnessTableReader, LinesWithoutAValidGenotypeOrCodeAssignNothing) {
  std::string text;
  text += "4\t1\t1\t1\t255\n";   // allele 4
  text += "1\t0\t1\t1\t255\n";   // allele 0
  text += "1\t1\t-1\t1\t255\n";  // allele -1
  text += "1\t1\t1\tx\t255\n";   // a word reads as 0
  text += "2\t2\t2\t2\n";        // no code column
  text += "2\t2\t2\n";           // three alleles only
  const table_reading reading = read_table(text, 1);
  EXPECT_EQ(reading.printed, "") << "a line without a genotype never reaches the codes";
  EXPECT_EQ(reading.unassigned, 81);
  for (const double f : reading.fitness) EXPECT_EQ(f, 0.0);
}

TEST(FitnessTableReader, LaterLineWinsForADuplicatedGenotype) {
  const table_reading reading = read_table(
      genotype_line(13, "\t7") + genotype_line(0, "\t1") + genotype_line(13, "\t0"), 1);
  EXPECT_EQ(reading.fitness[13], 0.0);
  EXPECT_EQ(reading.unassigned, 79);
  // A later line without a code column does not undo the earlier one.
  const table_reading kept = read_table(genotype_line(13, "\t7") + genotype_line(13, ""), 1);
  EXPECT_EQ(kept.fitness[13], 1.0 - static_cast<double>(0.05f));
  EXPECT_EQ(kept.unassigned, 80);
}

TEST(FitnessTableReader, ColumnsOutsideOneTo124AssignNothing) {
  std::string row;
  for (int c = 1; c <= 130; ++c) row += std::string("\t") + std::to_string(c == 124 ? 4 : 200 + c % 50);
  std::string text;
  for (int j = 0; j < 81; ++j) text += genotype_line(j, row);
  for (const int8_t column : {int8_t{0}, int8_t{-1}, int8_t{-128}, int8_t{125}, int8_t{127}}) {
    const table_reading reading = read_table(text, column);
    EXPECT_EQ(reading.unassigned, 81) << int{column};
    EXPECT_EQ(reading.printed, "") << int{column};
    EXPECT_TRUE(reading.closed);
  }
  const table_reading last = read_table(text, 124);
  EXPECT_EQ(last.unassigned, 0);
  EXPECT_EQ(last.printed, "") << "tokens after the chosen column are ignored";
  for (const double f : last.fitness) EXPECT_NEAR(f, 1.1, 1e-7);
  // Column 123 holds unknown code 200 + 123 % 50 = 223, that is -33.
  const table_reading before = read_table(genotype_line(0, row), 123);
  EXPECT_EQ(before.printed, "Unknown code [-33].\n");
  EXPECT_EQ(before.fitness[0], 1.0);
}

TEST(FitnessTableReader, LinesLongerThan4095CharactersArriveInPieces) {
  // The first 4095 characters of a long comment are one piece; what follows
  // is a line of its own.
  std::string text = std::string("#") + std::string(4094, 'x') + genotype_line(6, "\t4");
  // A genotype line padded to 4095 characters, then a second genotype.
  std::string padded = genotype_line(7, "\t7");
  padded.pop_back();
  padded += std::string(4095 - padded.size(), ' ');
  text += padded + genotype_line(8, "\t8");
  // A comment of exactly 4094 characters plus its newline is one piece.
  text += std::string("#") + std::string(4093, 'y') + "\n" + genotype_line(9, "\t1");
  const table_reading reading = read_table(text, 1);
  EXPECT_EQ(reading.printed, "");
  EXPECT_EQ(reading.unassigned, 77);
  EXPECT_NEAR(reading.fitness[6], 1.1, 1e-7);
  EXPECT_EQ(reading.fitness[7], 1.0 - static_cast<double>(0.05f));
  EXPECT_EQ(reading.fitness[8], 1.0 - static_cast<double>(0.05f) * 0.5);
  EXPECT_EQ(reading.fitness[9], 1.0);
}

}  // namespace
}  // namespace twolocus
