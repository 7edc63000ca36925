// Tests of number and token reading: c_atoi must give what the C library's
// atoi gives on 64-bit Linux, with no undefined behaviour; next_token splits
// like strtok; read_line reads like fgets.
#include "io/numbers.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace twolocus {
namespace {

TEST(NumberReading, IntegersReadAsAtoiReadsThem) {
  EXPECT_EQ(c_atoi("0"), 0);
  EXPECT_EQ(c_atoi("42"), 42);
  EXPECT_EQ(c_atoi("-17"), -17);
  EXPECT_EQ(c_atoi("+8"), 8);
  EXPECT_EQ(c_atoi("7.5"), 7);
  EXPECT_EQ(c_atoi("-7.9"), -7);
  EXPECT_EQ(c_atoi("abc"), 0);
  EXPECT_EQ(c_atoi(""), 0);
  EXPECT_EQ(c_atoi(" 12"), 12);
  EXPECT_EQ(c_atoi("\t\n\v\f\r 12"), 12);
  EXPECT_EQ(c_atoi("12 "), 12);
  EXPECT_EQ(c_atoi("12abc"), 12);
  EXPECT_EQ(c_atoi("1e5"), 1);
  EXPECT_EQ(c_atoi("0x10"), 0);
  EXPECT_EQ(c_atoi("010"), 10) << "decimal, not octal";
  EXPECT_EQ(c_atoi("- 5"), 0);
  EXPECT_EQ(c_atoi("--5"), 0);
  EXPECT_EQ(c_atoi("4\n"), 4);
}

TEST(NumberReading, IntegersBeyond32BitsKeepTheirLow32Bits) {
  EXPECT_EQ(c_atoi("2147483647"), 2147483647);
  EXPECT_EQ(c_atoi("-2147483648"), -2147483647 - 1);
  EXPECT_EQ(c_atoi("2147483648"), -2147483647 - 1);
  EXPECT_EQ(c_atoi("3000000000"), -1294967296);
  EXPECT_EQ(c_atoi("4294967295"), -1);
  EXPECT_EQ(c_atoi("4294967296"), 0);
  EXPECT_EQ(c_atoi("4294967297"), 1);
  EXPECT_EQ(c_atoi("-4294967297"), -1);
  EXPECT_EQ(c_atoi("9223372036854775807"), -1);
  // Beyond 64 bits the value saturates first: INT64_MAX, then INT64_MIN.
  EXPECT_EQ(c_atoi("99999999999999999999"), -1);
  EXPECT_EQ(c_atoi("-99999999999999999999"), 0);
  EXPECT_EQ(c_atoi("9223372036854775808"), -1);
  EXPECT_EQ(c_atoi("-9223372036854775809"), 0);
  EXPECT_EQ(c_atoi("-9223372036854775807"), 1);
}

TEST(NumberReading, FloatingPointReadsTheLeadingNumber) {
  EXPECT_EQ(c_atof("0.950000"), 0.95);
  EXPECT_EQ(c_atof("0.0000000010\n"), 1e-9);
  EXPECT_EQ(c_atof("-1.000000"), -1.0);
  EXPECT_EQ(c_atof(" 2.5x"), 2.5);
  EXPECT_EQ(c_atof("x"), 0.0);
  EXPECT_EQ(c_atof(""), 0.0);
}

// All tokens of `text`, split at `delimiters`.
std::vector<std::string> tokens_of(std::string text, const char* delimiters) {
  std::vector<std::string> tokens;
  char* cursor = text.data();
  for (const char* token = next_token(cursor, delimiters); token != nullptr;
       token = next_token(cursor, delimiters)) {
    tokens.emplace_back(token);
  }
  // Once exhausted, the cursor stays exhausted.
  EXPECT_EQ(next_token(cursor, delimiters), nullptr);
  return tokens;
}

TEST(TokenSplitting, RunsOfDelimitersSeparateLikeOne) {
  using list = std::vector<std::string>;
  EXPECT_EQ(tokens_of("1\t2\t3\n", "\t"), (list{"1", "2", "3\n"}));
  EXPECT_EQ(tokens_of("\t\t1\t\t\t2\t", "\t"), (list{"1", "2"}));
  EXPECT_EQ(tokens_of("1 \t 2", "\t"), (list{"1 ", " 2"})) << "spaces are ordinary characters";
  EXPECT_EQ(tokens_of("a0 = 0.0000000010\n", " \t"), (list{"a0", "=", "0.0000000010\n"}));
  EXPECT_EQ(tokens_of("7 ->\t0.950000\n", " \t"), (list{"7", "->", "0.950000\n"}));
  EXPECT_EQ(tokens_of("", "\t"), list{});
  EXPECT_EQ(tokens_of("\t\t\t", "\t"), list{});
  EXPECT_EQ(tokens_of("\n", "\t"), (list{"\n"}));
  EXPECT_EQ(tokens_of("single", "\t"), (list{"single"}));
}

TEST(TokenSplitting, TokensAreEndedInPlace) {
  std::string text = "ab\tcd\tef";
  char* cursor = text.data();
  char* first = next_token(cursor, "\t");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first, text.data());
  EXPECT_EQ(text[2], '\0');
  char* second = next_token(cursor, "\t");
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second, text.data() + 3);
  EXPECT_EQ(std::string(first), "ab");
  EXPECT_EQ(std::string(second), "cd");
}

TEST(LineReading, LongLinesArriveInPiecesOf4095Characters) {
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  const std::string long_line = std::string(5000, 'x') + "\n";
  const std::string exact = std::string(4094, 'y') + "\n";
  std::fputs((long_line + exact + "last").c_str(), file);
  std::rewind(file);
  line_buffer line;
  std::vector<std::string> pieces;
  while (read_line(file, line)) pieces.emplace_back(line.data());
  std::fclose(file);
  ASSERT_EQ(pieces.size(), 4u);
  EXPECT_EQ(pieces[0], std::string(4095, 'x'));
  EXPECT_EQ(pieces[1], std::string(905, 'x') + "\n");
  EXPECT_EQ(pieces[2], exact);
  EXPECT_EQ(pieces[3], "last");
}

}  // namespace
}  // namespace twolocus
