// The condition language against the shared cases, which the Python module
// passes too, and evaluation without allocation.
#include "model/conditions.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <new>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "model/genotype.hpp"

// Every allocation of the test program is counted, to see that evaluating
// a condition makes none.
std::atomic<long> allocations{0};

// The replacements pair malloc with free themselves; g++ cannot see that.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(size_t size) {
  ++allocations;
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}
// The nothrow form too (std::stable_sort's buffer takes it), so that every
// block of this program comes from malloc and goes back to free.
void* operator new(size_t size, const std::nothrow_t&) noexcept {
  ++allocations;
  return std::malloc(size == 0 ? 1 : size);
}
void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
#pragma GCC diagnostic pop

namespace twolocus {
namespace {

int label_index(const std::string& label) {
  for (int g = 0; g < genotype_count; ++g) {
    if (std::string(genotype_label(g).data()) == label) return g;
  }
  ADD_FAILURE() << "no genotype " << label;
  return 0;
}

// A case's population: the demes together, and each deme named NAME:.
struct case_population {
  population_counts counts{};
  std::map<std::string, population_counts> demes;
};

case_population population(const std::string& text) {
  case_population read;
  if (text == "-") return read;
  std::istringstream pairs(text);
  std::string pair;
  while (pairs >> pair) {
    population_counts* counts = &read.counts;
    const size_t colon = pair.find(':');
    if (colon != std::string::npos) {
      counts = &read.demes[pair.substr(0, colon)];
      pair = pair.substr(colon + 1);
      if (pair == "-") continue;
    }
    const size_t equals = pair.find('=');
    (*counts)[static_cast<size_t>(label_index(pair.substr(0, equals)))] = std::stoi(pair.substr(equals + 1));
  }
  return read;
}

// The presets described at the top of the cases file.
fitness_table fitness_preset(const std::string& name) {
  fitness_table fitness;
  fitness.fill(1.0);
  auto set = [&](const char* label, double value) { fitness[static_cast<size_t>(label_index(label))] = value; };
  if (name == "mixed") {
    for (size_t g = 0; g < fitness.size(); ++g) fitness[g] = static_cast<double>(g + 1) / 10;
  } else if (name == "wide") {
    set("1111", std::ldexp(1.0, 100));
    set("2222", std::ldexp(1.0, -100));
  } else if (name == "cancel") {
    set("1111", 1e300);
    set("2222", -1e300);
    set("2111", 1e-300);
  } else if (name == "inf1111") {
    set("1111", INFINITY);
  } else {
    EXPECT_EQ(name, "ones");
  }
  return fitness;
}

TEST(Conditions, SharedCases) {
  std::ifstream file(TWOLOCUS_SOURCE_DIR "/tests/cases/conditions/cases.tsv");
  ASSERT_TRUE(file) << "cases.tsv missing";
  std::string line;
  int cases = 0;
  bool header = true;
  while (std::getline(file, line)) {
    if (line.empty() || line[0] == '#') continue;
    if (header) {
      header = false;
      continue;
    }
    std::vector<std::string> fields;
    std::istringstream columns(line);
    for (std::string field; std::getline(columns, field, '\t');) fields.push_back(field);
    ASSERT_EQ(fields.size(), 4u) << line;
    const std::string& text = fields[0];
    const std::string& expected = fields[3];
    const parsed_condition parsed = parse_condition(text);
    if (expected.starts_with("error:")) {
      EXPECT_EQ(std::string(condition_error_name(parsed.error.kind)) + "@" + std::to_string(parsed.error.position),
                expected.substr(6))
          << text;
    } else {
      ASSERT_EQ(parsed.error.kind, condition_error_kind::none)
          << text << ": " << condition_error_name(parsed.error.kind) << "@" << parsed.error.position;
      const fitness_table fitness = fields[2] == "-" ? fitness_table{} : fitness_preset(fields[2]);
      const case_population read = population(fields[1]);
      std::vector<const population_counts*> demes;
      for (const std::string& name : parsed.value.demes) {
        ASSERT_TRUE(read.demes.count(name)) << text << ": deme " << name << " not in the case";
        demes.push_back(&read.demes.at(name));
      }
      EXPECT_EQ(evaluate_condition(parsed.value, read.counts, fields[2] == "-" ? nullptr : &fitness, demes),
                expected == "true")
          << text << " on " << fields[1] << " with " << fields[2];
    }
    ++cases;
  }
  EXPECT_GT(cases, 100);
}

TEST(Conditions, EvaluationAllocatesNothing) {
  const parsed_condition parsed = parse_condition(
      "(h22 >= 0.5 or Dprime < -0.5 or r2 < 0.25) and mean_fitness > 1e-300 and freq(2122) != 0.125");
  ASSERT_EQ(parsed.error.kind, condition_error_kind::none);
  population_counts counts{};
  for (size_t g = 0; g < counts.size(); ++g) counts[g] = static_cast<int32_t>(g * 977 % 1000);
  fitness_table fitness;
  fitness.fill(1e-300);
  fitness[5] = 1e300;
  const long before = allocations;
  const bool holds = evaluate_condition(parsed.value, counts, &fitness);
  const long made = allocations - before;
  EXPECT_TRUE(holds);
  EXPECT_EQ(made, 0);
}

}  // namespace
}  // namespace twolocus
