// The table of parameters is where twolocus-sim's options and its
// parameter file's keys come from: every option of --help is an entry,
// every entry's range is what the command line accepts (its bounds taken,
// a step beyond them refused with the table's words), and every key of a
// parameter file is an entry, refused beyond the same range on a resume.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "io/parameters.hpp"
#include "support/process.hpp"

namespace twolocus {
namespace {

using testing::read_file;
using testing::temp_dir;
using testing::write_file;
using args_list = std::vector<std::string>;

constexpr auto sim = testing::run_sim;

std::string number(double value, parameter_kind kind) {
  char text[64];
  if (kind == parameter_kind::integer) {
    std::snprintf(text, sizeof text, "%lld", static_cast<long long>(value));
  } else {
    std::snprintf(text, sizeof text, "%.17g", value);
  }
  return text;
}

bool numeric(const parameter_entry& entry) {
  return entry.kind == parameter_kind::integer || entry.kind == parameter_kind::real ||
         entry.kind == parameter_kind::probability;
}

TEST(ParameterTable, EveryOptionOfTheHelpIsAnEntryAndEveryEntryIsInTheHelp) {
  temp_dir dir;
  const std::string help = sim({"--help"}, dir).out;
  std::set<std::string> in_help;
  for (size_t at = help.find('-'); at != std::string::npos; at = help.find('-', at + 1)) {
    if ((at > 0 && help[at - 1] != ' ' && help[at - 1] != ',') || at + 1 >= help.size() ||
        !(std::isalpha(static_cast<unsigned char>(help[at + 1])) || help[at + 1] == '-')) {
      continue;
    }
    size_t end = at + 1;
    while (end < help.size() && (std::isalnum(static_cast<unsigned char>(help[end])) || help[end] == '-')) ++end;
    const std::string name = help.substr(at, end - at);
    // The help mentions twolocus-stats' --first too.
    if (name.size() > 1 && name != "--first" && std::isalnum(static_cast<unsigned char>(name.back()))) {
      in_help.insert(name);
    }
  }
  // "--mu-a12 P ... --mu-b31 P" names the first and the last of twelve.
  for (const std::string change : {"a23", "a13", "a21", "a32", "a31", "b12", "b23", "b13", "b21", "b32"}) {
    in_help.insert("--mu-" + change);
  }
  for (const std::string& name : in_help) {
    EXPECT_NE(parameter_by_option(name), nullptr) << name << " is in --help but not in the table";
  }
  for (const parameter_entry& entry : parameter_table) {
    for (const std::string_view name : {short_option(entry), long_option(entry)}) {
      if (!name.empty()) {
        EXPECT_EQ(in_help.count(std::string(name)), 1u) << name;
      }
    }
  }
}

TEST(ParameterTable, TheCommandLineTakesEachRangeFromTheTable) {
  temp_dir dir;
  int checked = 0;
  for (const parameter_entry& entry : parameter_table) {
    const std::string option(long_option(entry));
    if (option.empty() || !numeric(entry)) continue;
    SCOPED_TRACE(option);
    // A bound is taken: the reader goes on to the unknown option after it.
    for (const double bound : {entry.low, entry.high}) {
      const auto taken = sim({option, number(bound, entry.kind), "--no-such-option"}, dir);
      EXPECT_NE(taken.err.find("unknown option [--no-such-option]"), std::string::npos) << taken.err;
    }
    // A step beyond either bound is refused in the table's words.
    const double step = entry.kind == parameter_kind::integer ? 1.0 : 1e-9;
    for (const double beyond : {entry.low - step, entry.high + step}) {
      if (!std::isfinite(beyond) || beyond == entry.high || beyond == entry.low) continue;
      const std::string value = number(beyond, entry.kind);
      const auto refused = sim({option, value}, dir);
      EXPECT_EQ(refused.err, "twolocus-sim: option [" + option + "] takes " +
                                 parameter_wants(entry) + ", not [" + value + "].\n");
    }
    ++checked;
  }
  EXPECT_GE(checked, 20);
}

TEST(ParameterTable, EveryKeyOfAParameterFileIsAnEntryReadInItsRange) {
  temp_dir dir;
  write_file(dir / "fit.tsv", read_file(testing::source_path("examples/valley.tsv")));
  ASSERT_EQ(sim({"--fitness", "fit.tsv", "-N", "20", "--generations", "4", "--record-every", "2",
                 "--stop", "a2 > 0.9", "-o", "r.out"},
                dir)
                .status,
            0);
  const std::string params = read_file(dir / "r.out.params");
  std::vector<std::string> lines;
  for (size_t at = params.find('\n') + 1; at < params.size();) {
    const size_t end = params.find('\n', at);
    lines.push_back(params.substr(at, end - at));
    at = end + 1;
  }
  int checked = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string key = lines[i].substr(0, lines[i].find(" = "));
    int index = -1;
    const parameter_entry* entry = parameter_by_key(key, index);
    ASSERT_NE(entry, nullptr) << key;
    if (!numeric(*entry) || key.rfind("initial_", 0) == 0 || key.rfind("fitness_", 0) == 0) continue;
    SCOPED_TRACE(key);
    // Beyond the range the resume refuses the line; at a bound it reads it
    // (and then finds nothing to do or runs on).
    const double step = entry->kind == parameter_kind::integer ? 1.0 : 1e-9;
    for (const double beyond : {entry->low - step, entry->high + step}) {
      std::string edited;
      for (size_t j = 0; j < lines.size(); ++j) {
        edited += j == i ? key + " = " + number(beyond, entry->kind) : lines[j];
        edited += "\n";
      }
      write_file(dir / "r.out.params", "twolocus-sim parameters 1\n" + edited);
      const auto resumed = sim({"--resume", "r.out"}, dir);
      EXPECT_EQ(resumed.status, 1);
      EXPECT_NE(resumed.err.find("line " + std::to_string(i + 2) + " of parameter file [r.out.params] "
                                 "is not of the right format (key [" + key + "])"),
                std::string::npos)
          << resumed.err;
    }
    ++checked;
  }
  write_file(dir / "r.out.params", params);
  EXPECT_GE(checked, 16);
}

}  // namespace
}  // namespace twolocus
