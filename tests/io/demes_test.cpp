// The Demes reader and its JSON: the Demes 1.0 cases (tests/cases/demes:
// every valid model accepted, every invalid one refused in one line, every
// example resolved to its NAME.resolved.json as parsed JSON), the JSON read
// back to the same model, and hostile or odd texts refused with their reason.
#include "io/demes.hpp"

#include <gtest/gtest.h>
#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "io/demes_json.hpp"
#include "support/process.hpp"

namespace twolocus {
namespace {

namespace fs = std::filesystem;

std::vector<fs::path> files_in(const std::string& folder, const std::string& ending) {
  std::vector<fs::path> found;
  for (const auto& entry : fs::directory_iterator(testing::source_path(folder))) {
    const std::string name = entry.path().filename().string();
    if (name.size() > ending.size() && name.compare(name.size() - ending.size(), ending.size(), ending) == 0)
      found.push_back(entry.path());
  }
  std::sort(found.begin(), found.end());
  return found;
}

std::string text_of(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// Takes two JSON values as yaml-cpp parses them; returns "" when they are
// equal as JSON (mappings by key, numbers as reals), else where they differ.
std::string json_difference(const YAML::Node& a, const YAML::Node& b, const std::string& path) {
  if (a.Type() != b.Type()) return path + ": different kinds";
  switch (a.Type()) {
    case YAML::NodeType::Map: {
      if (a.size() != b.size()) return path + ": " + std::to_string(a.size()) + " keys, not " + std::to_string(b.size());
      for (const auto& item : a) {
        const std::string key = item.first.as<std::string>();
        if (!b[key]) return path + ": no key " + key;
        const std::string found = json_difference(item.second, b[key], path + "." + key);
        if (!found.empty()) return found;
      }
      return "";
    }
    case YAML::NodeType::Sequence: {
      if (a.size() != b.size()) return path + ": " + std::to_string(a.size()) + " items, not " + std::to_string(b.size());
      for (std::size_t i = 0; i < a.size(); ++i) {
        const std::string found = json_difference(a[i], b[i], path + "[" + std::to_string(i) + "]");
        if (!found.empty()) return found;
      }
      return "";
    }
    case YAML::NodeType::Scalar: {
      const bool a_quoted = a.Tag() == "!";
      if (a_quoted != (b.Tag() == "!")) return path + ": a string and a number";
      const std::string x = a.Scalar(), y = b.Scalar();
      if (a_quoted || x == "true" || x == "false") return x == y ? "" : path + ": " + x + " and " + y;
      return a.as<double>() == b.as<double>() ? "" : path + ": " + x + " and " + y;
    }
    default: return "";
  }
}

// Takes a resolved model; checks that both JSON layouts read back to it and
// that writing what was read gives the same bytes.
void expect_json_round_trip(const demography& model) {
  for (const json_layout layout : {json_layout::one_line, json_layout::indented}) {
    const std::string json = demography_json(model, layout);
    demography again;
    std::string error;
    ASSERT_TRUE(read_demography_json(json, again, error)) << error << "\n" << json;
    EXPECT_TRUE(again == model) << json;
    EXPECT_EQ(demography_json(again, layout), json);
  }
  EXPECT_EQ(demography_json(model, json_layout::one_line).find('\n'), std::string::npos);
}

TEST(Demes, EveryValidCaseAndExampleIsAcceptedAndItsJsonReadsBack) {
  int accepted = 0;
  for (const std::string folder : {"tests/cases/demes/valid", "tests/cases/demes/examples",
                                   "tests/cases/demes/examples/tutorial"})
    for (const fs::path& path : files_in(folder, ".yaml")) {
      SCOPED_TRACE(path.filename().string());
      demography model;
      std::string error = "not set";
      ASSERT_TRUE(read_demes_file(path.string(), model, error)) << error;
      EXPECT_EQ(error, "");
      expect_json_round_trip(model);
      ++accepted;
    }
  EXPECT_EQ(accepted, 152 + 18 + 21);
}

TEST(Demes, EveryInvalidCaseIsRefusedInOneLine) {
  int refused = 0;
  for (const fs::path& path : files_in("tests/cases/demes/invalid", ".yaml")) {
    SCOPED_TRACE(path.filename().string());
    demography model;
    std::string error;
    EXPECT_FALSE(read_demes(text_of(path), model, error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(error.find_first_of("\n\r"), std::string::npos) << error;
    ++refused;
  }
  EXPECT_EQ(refused, 313);
}

TEST(Demes, EveryExampleResolvesToItsResolvedJson) {
  int compared = 0;
  for (const fs::path& expected : files_in("tests/cases/demes/examples", ".resolved.json")) {
    std::string name = expected.filename().string();
    name.resize(name.size() - std::string(".resolved.json").size());
    SCOPED_TRACE(name);
    demography model;
    std::string error;
    ASSERT_TRUE(read_demes_file((expected.parent_path() / (name + ".yaml")).string(), model, error)) << error;
    const std::string json = demography_json(model, json_layout::indented);
    EXPECT_EQ(json_difference(YAML::Load(json), YAML::LoadFile(expected.string()), name), "") << json;
    // The resolved model is a Demes model too, and resolves to itself, read
    // as YAML or as JSON.
    demography again;
    ASSERT_TRUE(read_demes_file(expected.string(), again, error)) << error;
    EXPECT_TRUE(again == model);
    demography from_json;
    ASSERT_TRUE(read_demography_json(text_of(expected), from_json, error)) << error;
    EXPECT_TRUE(from_json == model);
    ++compared;
  }
  EXPECT_EQ(compared, 18);
}

// Takes a model's text; returns the reader's reason for refusing it, or
// "accepted".
std::string verdict(const std::string& text) {
  demography model;
  std::string error;
  if (read_demes(text, model, error)) return "accepted";
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(error.find_first_of("\n\r"), std::string::npos) << error;
  return error;
}

const std::string head = "time_units: generations\n";

TEST(Demes, ReasonsNameTheDemeTheEpochAndTheValues) {
  EXPECT_EQ(verdict(head + "demes:\n- name: A\n  epochs:\n  - {end_time: 50, start_size: 1}\n"
                           "  - {end_time: 100}\n"),
            "deme [A] epoch 2: end_time 100 is not below the previous epoch's end_time 50");
  EXPECT_EQ(verdict(head + "demes:\n- name: A\n  epochs: [{start_size: -1}]\n"),
            "deme [A] epoch 1: start_size must be a finite number above 0, not -1");
  EXPECT_EQ(verdict(head + "demes:\n- name: A\n  epochs: [{start_size: \"100\"}]\n"),
            "deme [A] epoch 1: start_size must be a finite number above 0, not the string [100]");
  EXPECT_EQ(verdict(head + "demes:\n- name: A\n  epochs: [{start_size: 1, colour: red}]\n"),
            "deme [A] epoch 1: unknown field [colour] (line 4)");
  EXPECT_EQ(verdict(head + "demes:\n- {name: A, epochs: [{start_size: 1}]}\n- {name: B, ancestors: [C], "
                           "epochs: [{start_size: 1}]}\n- {name: C, epochs: [{start_size: 1}]}\n"),
            "deme [B]: ancestor [C] is listed after it (ancestors must come first)");
  EXPECT_EQ(verdict(head + "demes:\n- {name: A, epochs: [{start_size: 1}]}\n- {name: B, epochs: [{start_size: 1}]}\n"
                           "migrations:\n- {demes: [A, B], rate: 0.6}\n- {source: A, dest: B, rate: 0.5, "
                           "start_time: 10, end_time: 5}\n"),
            "migrations 1 and 2 from [A] to [B] overlap in time (from Infinity down to 0, and from 10 down "
            "to 5)");
  EXPECT_EQ(verdict(head + "demes:\n- {name: A, epochs: [{start_size: 1}]}\n- {name: B, epochs: [{start_size: 1}]}\n"
                           "- {name: C, epochs: [{start_size: 1}]}\nmigrations:\n- {source: A, dest: C, rate: 0.6}\n"
                           "- {source: B, dest: C, rate: 0.5, start_time: 10, end_time: 5}\n"),
            "the migration rates into deme [C] sum to 1.1, above 1, from time 10 down to 5");
  EXPECT_EQ(verdict(head + "demes:\n- name: \"a\\nb\"\n"), "deme 1: name [a\\u000ab] is not a valid name (it "
                                                          "must be a Python identifier)");
}

TEST(Demes, ResolutionFillsInDefaultsSymmetricMigrationsAndPulseOrder) {
  demography model;
  std::string error;
  ASSERT_TRUE(read_demes("time_units: years\ngeneration_time: 25\n"
                         "defaults:\n  epoch: {start_size: 100}\n  migration: {rate: 0.01}\n"
                         "demes:\n- {name: a}\n- {name: b}\n"
                         "- {name: c, defaults: {epoch: {selfing_rate: 0.5}},\n"
                         "   epochs: [&first {end_time: 500, cloning_rate: 0.25}, {<<: *first, end_time: 0, end_size: 200}]}\n"
                         "migrations:\n- {demes: [a, b, c], end_time: 100}\n"
                         "pulses:\n- {sources: [a], dest: b, time: 200, proportions: [0.1]}\n"
                         "- {sources: [b], dest: c, time: 300, proportions: [0.1]}\n"
                         "- {sources: [c], dest: a, time: 200, proportions: [0.2]}\n",
                         model, error))
      << error;
  const double inf = std::numeric_limits<double>::infinity();
  ASSERT_EQ(model.demes.size(), 3u);
  EXPECT_EQ(model.demes[0], (deme{"a", "", inf, {}, {}, {{0, 100, 100, "constant", 0, 0}}}));
  EXPECT_EQ(model.demes[2], (deme{"c", "", inf, {}, {}, {{500, 100, 100, "constant", 0.5, 0.25},
                                                         {0, 100, 200, "exponential", 0.5, 0.25}}}));
  std::vector<std::string> pairs;
  for (const deme_migration& m : model.migrations) {
    pairs.push_back(m.source + m.dest);
    EXPECT_EQ(m.start_time, inf);
    EXPECT_EQ(m.end_time, 100);
    EXPECT_EQ(m.rate, 0.01);
  }
  EXPECT_EQ(pairs, (std::vector<std::string>{"ab", "ba", "ac", "ca", "bc", "cb"}));
  ASSERT_EQ(model.pulses.size(), 3u);
  EXPECT_EQ(model.pulses[0], (deme_pulse{{"b"}, "c", 300, {0.1}}));
  EXPECT_EQ(model.pulses[1], (deme_pulse{{"a"}, "b", 200, {0.1}}));
  EXPECT_EQ(model.pulses[2], (deme_pulse{{"c"}, "a", 200, {0.2}}));
}

TEST(Demes, YamlIsTypedByTheCoreSchemaAndInfinityIsReadBothWays) {
  const std::string a = "time_units: years\ngeneration_time: 0x19\ndemes:\n"
                        "- {name: A, start_time: .inf, epochs: [{start_size: 1e4, end_time: 0o10}]}\n";
  EXPECT_EQ(verdict(a + "- {name: B, ancestors: [A], start_time: 1_0, epochs: [{start_size: 1}]}\n"),
            "deme [B]: start_time must be a number above 0, or Infinity, not the string [1_0]");
  EXPECT_EQ(verdict(a + "- {name: B, ancestors: [A], start_time: \"Infinity\", epochs: [{start_size: 1}]}\n"),
            "deme [B]: start_time is Infinity, but the deme has ancestors");
  EXPECT_EQ(verdict(a + "- {name: B, ancestors: [A], start_time: 5, epochs: [{start_size: 1}]}\n"),
            "deme [B]: start_time 5 must be below ancestor [A]'s start_time Infinity and at or above its "
            "end_time 8");
  demography model;
  std::string error;
  ASSERT_TRUE(read_demes(a + "- {name: B, ancestors: [A], start_time: 12.5, epochs: [{start_size: !!float 1}]}\n"
                         "metadata: {when: 2024-01-01, n: 3, ok: True, none: ~, \"quoted\": \"3\", 7: x,\n"
                         "  list: [.inf, -.5, 1e400], nested: {a: [b, {c: d}]}, text: \"tab\\there\"}\n",
                         model, error))
      << error;
  EXPECT_EQ(model.generation_time, 25.0);
  EXPECT_EQ(model.demes[0].epochs[0].end_time, 8.0);
  EXPECT_EQ(model.demes[0].epochs[0].start_size, 10000.0);
  EXPECT_TRUE(std::isinf(model.demes[0].start_time));
  EXPECT_EQ(model.demes[1].start_time, 12.5);
  EXPECT_EQ(model.metadata_json,
            "{\"when\": \"2024-01-01\", \"n\": 3, \"ok\": true, \"none\": null, \"quoted\": \"3\", \"7\": \"x\", "
            "\"list\": [\"Infinity\", -0.5, \"Infinity\"], \"nested\": {\"a\": [\"b\", {\"c\": \"d\"}]}, "
            "\"text\": \"tab\\there\"}");
  expect_json_round_trip(model);
  const std::string indented = demography_json(model, json_layout::indented);
  EXPECT_NE(indented.find("\n  \"metadata\": {\n    \"when\": \"2024-01-01\",\n"), std::string::npos) << indented;
  EXPECT_NE(indented.find("\"start_time\": \"Infinity\""), std::string::npos);
}

TEST(Demes, JsonIsReadStrictlyAndALargeModelReadsBack) {
  const auto json_verdict = [](const std::string& json) {
    demography model;
    std::string error;
    return read_demography_json(json, model, error) ? std::string("accepted") : error;
  };
  demography minimal;
  std::string error;
  ASSERT_TRUE(read_demes(head + "demes: [{name: a, epochs: [{start_size: 100}]}]\n", minimal, error));
  const std::string json = demography_json(minimal, json_layout::one_line);
  EXPECT_EQ(json_verdict(json), "accepted");
  EXPECT_EQ(json_verdict(json + " x"), "not valid JSON at line 1: more text after the value");
  EXPECT_EQ(json_verdict(json.substr(0, json.size() - 1)), "not valid JSON at line 1: a missing comma or }");
  EXPECT_EQ(json_verdict("{\"time_units\": 'generations'}"), "not valid JSON at line 1: an unexpected character");
  EXPECT_EQ(json_verdict("{\"time_units\": \"gen\\ud800\"}"), "not valid JSON at line 1: a lone surrogate escape");
  EXPECT_EQ(json_verdict("{\"time_units\": 01}"), "not valid JSON at line 1: [01] is not a JSON value");
  EXPECT_EQ(json_verdict("{\"time_units\": \"a\", \"time_units\": \"b\"}"),
            "field [time_units] is given twice (line 1)");
  EXPECT_EQ(json_verdict("{\"time_units\": \"generations\", \"demes\": []}"),
            "demes is empty; a model needs at least one deme");
  EXPECT_EQ(json_verdict(std::string(100, '[')), "not valid JSON at line 1: values nested more than 64 levels deep");

  // 150 demes migrating between every pair: 22350 migrations, 2.5 MB of JSON.
  std::string many = head + "defaults: {epoch: {start_size: 1}}\ndemes:\n";
  std::string names;
  for (int i = 0; i < 150; ++i) {
    many += "- {name: d" + std::to_string(i) + "}\n";
    names += (i ? ", d" : "d") + std::to_string(i);
  }
  demography model;
  ASSERT_TRUE(read_demes(many + "migrations: [{demes: [" + names + "], rate: 0.001}]\n", model, error)) << error;
  EXPECT_EQ(model.migrations.size(), 150u * 149u);
  demography again;
  ASSERT_TRUE(read_demography_json(demography_json(model, json_layout::one_line), again, error)) << error;
  EXPECT_TRUE(again == model);
}

TEST(Demes, HostileTextsAreRefusedWithTheirReason) {
  EXPECT_EQ(verdict(""), "the text holds no YAML document");
  EXPECT_EQ(verdict("# only a comment\n"), "the text holds no YAML document");
  EXPECT_EQ(verdict(head + "demes: []\n---\n" + head), "the text holds more than one YAML document");
  EXPECT_EQ(verdict(head + "demes: [\n"), "not valid YAML at line 3, column 1: end of sequence flow not found");
  EXPECT_EQ(verdict(std::string("time_units: gen\0erations\n", 25)),
            "line 1 holds the character U+0000, which YAML does not allow");
  EXPECT_EQ(verdict(head + "description: caf\xe9\n"), "line 2 is not UTF-8 text (byte 41)");
  EXPECT_EQ(verdict(head + "time_units: years\n"), "field [time_units] is given twice (line 2)");
  EXPECT_EQ(verdict(head + "demes: !!binary aGVsbG8=\n"),
            "line 2: the YAML tag [tag:yaml.org,2002:binary] is not one of the core schema's");
  EXPECT_EQ(verdict(head + "description: \"\\ud800\"\n").rfind("not valid YAML at line 2, column ", 0), 0u);
  EXPECT_EQ(verdict(head + "metadata: &m {a: [*m]}\n"), "line 2: an alias to a value that contains it");
  EXPECT_EQ(verdict(head + "metadata: " + std::string(100, '[') + std::string(100, ']') + "\n"),
            "line 2: values nested more than 64 levels deep");
  // A billion laughs: ten aliases of ten aliases of ... are refused by count.
  std::string laughs = head + "metadata:\n  l0: &l0 [lol, lol, lol, lol, lol, lol, lol, lol, lol, lol]\n";
  for (int i = 1; i < 10; ++i) {
    laughs += "  l" + std::to_string(i) + ": &l" + std::to_string(i) + " [";
    for (int j = 0; j < 10; ++j) laughs += (j ? ", *l" : "*l") + std::to_string(i - 1);
    laughs += "]\n";
  }
  EXPECT_EQ(verdict(laughs), "the text holds more than 1000000 values (counting what aliases repeat)");
  EXPECT_EQ(verdict(std::string(demes_max_text_bytes + 1, ' ')), "the text is longer than 1048576 bytes");
  // Numbers beyond the doubles' range are infinite or 0, as Python reads them.
  EXPECT_EQ(verdict(head + "demes: [{name: A, epochs: [{start_size: 1e999}]}]\n"),
            "deme [A] epoch 1: start_size must be a finite number above 0, not 1e999");
  EXPECT_EQ(verdict(head + "demes: [{name: A, epochs: [{start_size: 1e-999}]}]\n"),
            "deme [A] epoch 1: start_size must be a finite number above 0, not 1e-999");
  // A symmetric migration among many demes stays within the resolved limits.
  std::string many = head + "defaults: {epoch: {start_size: 1}}\ndemes:\n";
  std::string names;
  for (int i = 0; i < 300; ++i) {
    many += "- {name: d" + std::to_string(i) + "}\n";
    names += (i ? ", d" : "d") + std::to_string(i);
  }
  EXPECT_EQ(verdict(many + "migrations: [{demes: [" + names + "], rate: 0.001}]\n"),
            "migration 1: the model has more than 45454 migrations (one each way for every pair of a "
            "symmetric migration's demes)");
  demography model;
  std::string error;
  EXPECT_FALSE(read_demes_file("/nonexistent/model.yaml", model, error));
  EXPECT_EQ(error, "could not open it to read");
}

}  // namespace
}  // namespace twolocus
