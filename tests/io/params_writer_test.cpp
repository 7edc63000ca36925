// Tests of the parameter file writer: the exact text of its 88 lines.
#include "io/params.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace twolocus {
namespace {

// Runs `write` on a temporary file and returns what it wrote.
template <typename writer>
std::string written_by(writer write) {
  std::FILE* file = std::tmpfile();
  EXPECT_NE(file, nullptr);
  if (file == nullptr) return {};
  write(file);
  std::fflush(file);
  std::rewind(file);
  std::string text;
  for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) text += static_cast<char>(c);
  std::fclose(file);
  return text;
}

// The parameters of a run with s = 5, k = 10, n = 1000, a generation size of
// 500 and rates given as 10, 20, 30 (locus a) and 40, 50, 2147483647
// (locus b) units of 10^-10.
run_params known_params() {
  run_params params;
  params.s = static_cast<float>(5 / 100.0);
  params.k = static_cast<float>(10 / 100.0);
  params.n = 1000;
  params.generation_size = 500;
  params.rates_a = {10 / 1e10, 20 / 1e10, 30 / 1e10};
  params.rates_b = {40 / 1e10, 50 / 1e10, 2147483647 / 1e10};
  for (size_t j = 0; j < params.fitness.size(); ++j) params.fitness[j] = 1.0;
  params.fitness[1] = 1.0 - static_cast<double>(params.s);  // code 7
  params.fitness[2] = 0.0;
  params.fitness[3] = 1.25;
  params.fitness[4] = 123.4567891;
  params.fitness[5] = -1.0;
  params.fitness[6] = 0.0000004;  // rounds to 0.000000
  params.fitness[7] = 0.9999996;  // rounds to 1.000000
  params.fitness[80] = 2.5;
  return params;
}

const std::string known_head =
    "s = [0.050000], k = [0.100000], n = [1000] gerneration_size=[500].\n"
    "a0 = 0.0000000010\n"
    "b0 = 0.0000000040\n"
    "a1 = 0.0000000020\n"
    "b1 = 0.0000000050\n"
    "a2 = 0.0000000030\n"
    "b2 = 0.2147483647\n";

std::string known_fitness_lines() {
  std::string text =
      "0 ->\t1.000000\n"
      "1 ->\t0.950000\n"
      "2 ->\t0.000000\n"
      "3 ->\t1.250000\n"
      "4 ->\t123.456789\n"
      "5 ->\t-1.000000\n"
      "6 ->\t0.000000\n"
      "7 ->\t1.000000\n";
  for (int j = 8; j < 80; ++j) text += std::to_string(j) + " ->\t1.000000\n";
  return text + "80 ->\t2.500000\n";
}

TEST(ParamsWriter, HeadIsTheFirstLineAndTheSixRatesAlternatingByLocus) {
  const run_params params = known_params();
  EXPECT_EQ(written_by([&](std::FILE* f) { write_params_head(f, params); }), known_head);
}

TEST(ParamsWriter, FitnessLinesGiveEveryIndexWithSixDecimals) {
  const run_params params = known_params();
  EXPECT_EQ(written_by([&](std::FILE* f) { write_params_fitness(f, params.fitness); }),
            known_fitness_lines());
}

TEST(ParamsWriter, WholeFileIsTheHeadThenThe81FitnessLines) {
  const run_params params = known_params();
  const std::string text = written_by([&](std::FILE* f) { write_params(f, params); });
  EXPECT_EQ(text, known_head + known_fitness_lines());
  size_t lines = 0;
  for (const char c : text) lines += c == '\n' ? 1 : 0;
  EXPECT_EQ(lines, 88u);
}

TEST(ParamsWriter, ExtremeValuesPrintAsTheyAre) {
  run_params params;
  params.s = static_cast<float>(7 / 100.0);
  params.k = static_cast<float>(-2147483647 / 100.0);
  params.n = -1294967296;
  params.generation_size = 2147483647;
  params.rates_a = {-1294967296 / 1e10, 0.0, 1 / 1e10};
  params.rates_b = {2147483647 / 1e10, -2147483647 / 1e10, 0.0};
  const std::string text = written_by([&](std::FILE* f) { write_params_head(f, params); });
  EXPECT_EQ(text,
            "s = [0.070000], k = [-21474836.000000], n = [-1294967296] "
            "gerneration_size=[2147483647].\n"
            "a0 = -0.1294967296\n"
            "b0 = 0.2147483647\n"
            "a1 = 0.0000000000\n"
            "b1 = -0.2147483647\n"
            "a2 = 0.0000000001\n"
            "b2 = 0.0000000000\n");
}

}  // namespace
}  // namespace twolocus
