// twolocus-sim with values of one deme (NAME=VALUE): a deme's own fitness
// table acts on that deme alone from the run's first generation, as a
// change of that deme there would; a deme's own start; both kept in the
// parameter file, so that a resume writes the uninterrupted run; the
// conditions and the summary read each deme's mean fitness by its own
// table; NAME= is a deme's only when NAME is one of the model's demes; and
// every value that does not fit the model is refused before anything is
// written.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "support/process.hpp"

namespace twolocus {
namespace {

using testing::read_file;
using testing::temp_dir;
using testing::write_file;
using args_list = std::vector<std::string>;

constexpr auto sim = testing::run_sim;

// Two demes of 200 exchanging migrants, and the same two isolated.
const char* const linked_yaml = R"(time_units: generations
demes:
  - name: A
    epochs: [{start_size: 200}]
  - name: B
    epochs: [{start_size: 200}]
migrations:
  - demes: [A, B]
    rate: 0.01
)";
const char* const isolated_yaml = R"(time_units: generations
demes:
  - name: A
    epochs: [{start_size: 200}]
  - name: B
    epochs: [{start_size: 200}]
)";
// B begins 30 generations ago, from A.
const char* const later_yaml = R"(time_units: generations
demes:
  - name: A
    epochs: [{start_size: 200}]
  - name: B
    ancestors: [A]
    start_time: 30
    epochs: [{start_size: 100}]
)";

struct SimDemeValues : ::testing::Test {
  temp_dir dir;
  void SetUp() override {
    write_file(dir / "fit.tsv", read_file(testing::source_path("examples/valley.tsv")));
    write_file(dir / "linked.yaml", linked_yaml);
    write_file(dir / "isolated.yaml", isolated_yaml);
    write_file(dir / "later.yaml", later_yaml);
    // Allele 2 at locus a strongly favoured, as a table of values.
    const auto printed = sim({"--print-fitness", "--s2-a", "0.5"}, dir);
    ASSERT_EQ(printed.status, 0) << printed.err;
    write_file(dir / "favoured.tsv", printed.out);
    write_file(dir / "start.tsv", "2211\t150\n1111\t50\n");
  }
  static args_list run(const std::string& yaml, const std::string& engine, const std::string& out,
                       const args_list& more) {
    args_list args = {"--fitness", "fit.tsv", "--mu", "0.002", "--recombination", "0.2", "--demography", yaml,
                      "--generations", "300", "--record-every", "10", "--engine", engine, "--seed", "41",
                      "-o", out};
    args.insert(args.end(), more.begin(), more.end());
    return args;
  }
  // The same without the run's table (--fitness fit.tsv).
  static args_list run_without_table(const std::string& yaml, const std::string& engine, const std::string& out,
                                     const args_list& more) {
    args_list args = run(yaml, engine, out, more);
    args.erase(args.begin(), args.begin() + 2);
    return args;
  }
  std::string file(const std::string& name) const { return read_file(dir / name); }
  bool exists(const std::string& name) const { return std::filesystem::exists(dir / name); }
};

// The last record's frequency of allele 2 at locus a in a trajectory.
double last_a2(const std::string& text) {
  const size_t start = text.rfind('\n', text.size() - 2) + 1;
  std::vector<long> counts;
  for (size_t at = text.find('\t', start); at != std::string::npos && at < text.size(); at = text.find('\t', at + 1)) {
    counts.push_back(std::stol(text.substr(at + 1)));
  }
  long copies = 0, total = 0;
  for (size_t g = 0; g < counts.size(); ++g) {
    // Genotype index g: slot 1 varies fastest, then slot 2 (both locus a).
    copies += counts[g] * ((g % 3 == 1 ? 1 : 0) + ((g / 3) % 3 == 1 ? 1 : 0));
    total += 2 * counts[g];
  }
  return static_cast<double>(copies) / static_cast<double>(total);
}

TEST_F(SimDemeValues, ADemesOwnTableIsItsChangeInTheFirstGenerationAndActsOnItAlone) {
  for (const std::string engine : {"exact", "multinomial"}) {
    SCOPED_TRACE(engine);
    ASSERT_EQ(sim(run("linked.yaml", engine, "own", {"--fitness-values", "B=favoured.tsv"}), dir).status, 0);
    // The run starts 300 generations before time 0: a change at time 300 acts
    // in generation 0.
    ASSERT_EQ(sim(run("linked.yaml", engine, "changed", {"--change", "300:fitness-values=B=favoured.tsv"}), dir).status,
              0);
    for (const std::string suffix : {"", "@A", "@B", ".summary.tsv", ".params", ".checkpoint"}) {
      EXPECT_EQ(file("own" + suffix), file("changed" + suffix)) << suffix;
    }
    EXPECT_NE(file("own.params").find("\nchange = 0 1 fitness "), std::string::npos);

    // Isolated demes: A's records do not depend on B's table at all (each
    // deme draws from its own stream), B's do.
    ASSERT_EQ(sim(run("isolated.yaml", engine, "plain", {}), dir).status, 0);
    ASSERT_EQ(sim(run("isolated.yaml", engine, "local", {"--fitness-values", "B=favoured.tsv"}), dir).status, 0);
    EXPECT_EQ(file("plain@A"), file("local@A"));
    EXPECT_NE(file("plain@B"), file("local@B"));
    // Selection for allele 2 in B only: B takes it up, the neutral A does not.
    EXPECT_GT(last_a2(file("local@B")), 0.8) << last_a2(file("local@A"));
    EXPECT_LT(last_a2(file("local@A")), last_a2(file("local@B")) - 0.3);
  }
}

TEST_F(SimDemeValues, EveryDemeMayHaveItsOwnTableAndCoefficients) {
  // No table of the run: the first deme's table is the run's, its k its own,
  // and B's s is B's own (B does not take A's k).
  ASSERT_EQ(sim(run_without_table("isolated.yaml", "multinomial", "both",
                                  {"--fitness", "A=fit.tsv", "--fitness", "B=fit.tsv", "-s", "B=0.2", "-k", "A=0.1"}),
                dir)
                .status,
            0);
  ASSERT_EQ(sim(run("isolated.yaml", "multinomial", "same", {"-s", "B=0.2", "-k", "A=0.1"}), dir).status, 0);
  ASSERT_EQ(sim(run("isolated.yaml", "multinomial", "plain", {"-k", "0.1"}), dir).status, 0);
  EXPECT_EQ(file("both@A"), file("same@A"));
  EXPECT_EQ(file("both@B"), file("same@B"));
  EXPECT_EQ(file("both@A"), file("plain@A"));
  EXPECT_NE(file("both@B"), file("plain@B"));
  EXPECT_EQ(file("both.params"), file("same.params"));
}

TEST_F(SimDemeValues, ADemesOwnStartIsKeptAndAResumeFromAnyRecordWritesTheUninterruptedRun) {
  for (const std::string engine : {"exact", "multinomial"}) {
    SCOPED_TRACE(engine);
    const args_list more = {"--fitness-values", "B=favoured.tsv", "--initial", "B=start.tsv", "--stop",
                            "a2@B > 0.95"};
    ASSERT_EQ(sim(run("linked.yaml", engine, "whole", more), dir).status, 0);
    const std::string params = file("whole.params");
    std::string start = "\nstart = 1";
    for (int g = 0; g < 81; ++g) start += g == 0 ? " 50" : g == 4 ? " 150" : " 0";
    EXPECT_NE(params.find(start + "\n"), std::string::npos);
    // A starts all in 1111 (its first record at most a few mutants off it),
    // B from its file: mostly 2211.
    EXPECT_LT(last_a2(file("whole@A").substr(0, file("whole@A").find('\n', file("whole@A").find('\n') + 1) + 1)), 0.05);
    const std::string b = file("whole@B");
    EXPECT_GT(last_a2(b.substr(0, b.find('\n', b.find('\n') + 1) + 1)), 0.6);

    const std::string text = file("whole");
    const std::string lines = file("whole.checkpoint");
    for (size_t at = text.find('\n') + 1; at < text.size(); at = text.find('\n', at) + 1) {
      const std::string label = text.substr(at, text.find('\t', at) - at);
      write_file(dir / "cut", text.substr(0, text.find('\n', at) + 1));
      const size_t line_start = lines.find("\n" + label + "\t");
      write_file(dir / "cut.checkpoint", lines.substr(0, lines.find('\n', line_start + 1) + 1));
      write_file(dir / "cut.params", params);
      for (const std::string deme : {"@A", "@B"}) write_file(dir / ("cut" + deme), file("whole" + deme));
      std::filesystem::remove(dir / "cut.summary.tsv");
      const auto resumed = sim({"--resume", "cut"}, dir);
      ASSERT_EQ(resumed.status, 0) << label << ": " << resumed.err;
      EXPECT_EQ(file("cut.summary.tsv"), file("whole.summary.tsv")) << label;
      EXPECT_EQ(file("cut@B").substr(file("cut@B").size() - 200), b.substr(b.size() - 200)) << label;
    }
  }
}

TEST_F(SimDemeValues, ConditionsAndTheSummaryReadEachDemesMeanFitnessByItsOwnTable) {
  // B's own table gives 1111 the fitness 1; the valley's 1111 has 1 too, and
  // its 2211 0.5 under s 0.5: a stop on B's mean fitness above 1 can only
  // hold by B's own table (allele 2 favoured).
  ASSERT_EQ(sim(run("isolated.yaml", "multinomial", "r",
                    {"-s", "0.5", "--fitness-values", "B=favoured.tsv", "--initial", "B=start.tsv", "--stop",
                     "mean_fitness@B > 1.2", "--watch", "mean_fitness < 2"}),
                dir)
                .status,
            0);
  const std::string summary = file("r.summary.tsv");
  const std::string header = summary.substr(0, summary.find('\n'));
  const std::string row = summary.substr(summary.find('\n') + 1);
  std::vector<std::string> names, values;
  for (size_t at = 0; at <= header.size(); at = header.find('\t', at) + 1) {
    names.push_back(header.substr(at, header.find('\t', at) - at));
    if (header.find('\t', at) == std::string::npos) break;
  }
  for (size_t at = 0; at <= row.size(); at = row.find('\t', at) + 1) {
    values.push_back(row.substr(at, row.find_first_of("\t\n", at) - at));
    if (row.find('\t', at) == std::string::npos) break;
  }
  ASSERT_EQ(names.size(), values.size());
  std::map<std::string, std::string> by_name;
  for (size_t i = 0; i < names.size(); ++i) by_name[names[i]] = values[i];
  EXPECT_EQ(by_name["end"], "mean_fitness@B > 1.2");
  EXPECT_GT(std::stod(by_name["mean_fitness@B"]), 1.2);
  EXPECT_LE(std::stod(by_name["mean_fitness@A"]), 1.0);
  // The demes together have no one table: no mean fitness, and a condition
  // on it never holds.
  EXPECT_EQ(by_name["mean_fitness"], "");
  EXPECT_EQ(by_name["mean_fitness < 2"], "");
}

TEST_F(SimDemeValues, NameIsADemesOnlyWhenTheModelHasThatDeme) {
  // x=fit.tsv is a file's name: the model has no deme x.
  std::filesystem::copy_file(dir / "fit.tsv", dir / "x=fit.tsv");
  ASSERT_EQ(sim(run("linked.yaml", "multinomial", "a", {"--initial", "start.tsv"}), dir).status, 0);
  args_list named = run("linked.yaml", "multinomial", "b", {"--initial", "start.tsv"});
  named[1] = "x=fit.tsv";
  ASSERT_EQ(sim(named, dir).status, 0);
  EXPECT_EQ(file("a"), file("b"));
  EXPECT_EQ(file("a@B"), file("b@B"));
  // Without a demography too.
  const auto plain = sim({"--fitness", "x=fit.tsv", "-N", "20", "--generations", "5", "-o", "c"}, dir);
  EXPECT_EQ(plain.status, 0) << plain.err;
}

TEST_F(SimDemeValues, ValuesThatDoNotFitTheModelAreRefusedBeforeAnythingIsWritten) {
  const std::vector<std::pair<args_list, std::string>> cases = {
      {{"-s", "C=0.1"}, "twolocus-sim: option [-s] cannot take [C=0.1]: the model has no deme [C].\n"},
      {{"--column", "B=2", "--column", "B=3"},
       "twolocus-sim: option [--column] cannot take [B=3]: deme [B] is given it twice.\n"},
      {{"--fitness-values", "B=favoured.tsv", "--fitness", "B=fit.tsv"},
       "twolocus-sim: option [--fitness] cannot take [B=fit.tsv]: deme [B]'s fitness is given by [--fitness-values] "
       "too.\n"},
      {{"--fitness-values", "B=favoured.tsv", "--fitness", "A=fit.tsv", "-k", "B=0.1"},
       "twolocus-sim: option [-k] cannot take [B=0.1]: [-k] is a coefficient of a table of codes (--fitness), and "
       "the table is of values.\n"},
      {{"--fitness", "C=fit.tsv"}, "twolocus-sim: could not open fitness file [C=fit.tsv] to read.\n"},
      {{"--fitness-values", "B=missing.tsv", "--fitness", "A=fit.tsv"},
       "twolocus-sim: could not open fitness file [missing.tsv] to read.\n"},
      {{"--fitness", "fit.tsv", "--fitness", "x=fit.tsv"},
       "twolocus-sim: option [--fitness] cannot take [x=fit.tsv]: the model has no deme [x], so it is a file's whole "
       "name, and the run is given it twice.\n"},
      {{"--fitness", "fit.tsv", "--fitness-values", "Z=fit.tsv"},
       "twolocus-sim: option [--fitness-values] cannot take [Z=fit.tsv]: the model has no deme [Z], so it is a "
       "file's whole name, and the run's fitness is given by [--fitness] too.\n"},
      {{"--fitness", "fit.tsv", "--fitness", "./b=fit.tsv"}, "twolocus-sim: option [--fitness] is given twice.\n"},
      {{"--initial", "B=missing.tsv"}, "twolocus-sim: could not open initial file [missing.tsv] to read.\n"},
  };
  for (const auto& [more, said] : cases) {
    SCOPED_TRACE(more.front() + " " + more[1]);
    const bool table = more.front() == "--fitness" || more.front() == "--fitness-values";
    const auto refused = sim(table ? run_without_table("linked.yaml", "multinomial", "no", more)
                                   : run("linked.yaml", "multinomial", "no", more),
                             dir);
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, said);
    EXPECT_FALSE(exists("no"));
    EXPECT_FALSE(exists("no.params"));
  }
  // A deme that begins after the run's start takes its first generation
  // from its ancestors.
  const auto later = sim(run("later.yaml", "multinomial", "no", {"--initial", "B=start.tsv"}), dir);
  EXPECT_EQ(later.status, 1);
  EXPECT_EQ(later.err,
            "twolocus-sim: option [--initial] cannot take [B=start.tsv]: deme [B] does not exist at the run's start: "
            "it takes its first generation from its ancestors.\n");
  // A deme without a table, and none for the run.
  args_list partial = run("linked.yaml", "multinomial", "no", {});
  partial[1] = "A=fit.tsv";
  const auto missing = sim(partial, dir);
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.err, "twolocus-sim: option [--fitness] is required: deme [B] has no table of its own.\n");
  EXPECT_FALSE(exists("no"));
}

TEST_F(SimDemeValues, AResumeRefusesAParameterFileWhoseDemeLinesTheModelLacks) {
  ASSERT_EQ(sim(run("linked.yaml", "multinomial", "r", {"--fitness-values", "B=favoured.tsv", "--initial",
                                                         "B=start.tsv"}),
                dir)
                .status,
            0);
  // B begins 30 generations ago: it does not exist at the run's start.
  ASSERT_EQ(sim(run("later.yaml", "multinomial", "l", {}), dir).status, 0);
  const std::string params = file("r.params");
  const std::string whole = file("r");
  const std::string later = file("l.params");
  const size_t start = params.find("\nstart = 1 ") + 1;
  const size_t change = params.find("\nchange = 0 1 ") + 1;
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"r", params.substr(0, start) + "start = 2" + params.substr(start + 9)},
      {"r", params.substr(0, change) + "change = 0 7" + params.substr(change + 12)},
      {"l", later + "start = 1" + [] {
         std::string counts;
         for (int g = 0; g < 81; ++g) counts += g == 0 ? " 100" : " 0";
         return counts;
       }() + "\n"},
  };
  const std::vector<std::string> said = {
      "twolocus-sim: parameter file [r.params] has a [start] line for deme 2, which is not a deme of its model at "
      "the run's start.\n",
      "twolocus-sim: parameter file [r.params] has a [change] line for deme 7, which is not a deme of its model.\n",
      "twolocus-sim: parameter file [l.params] has a [start] line for deme 1, which is not a deme of its model at "
      "the run's start.\n"};
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(i);
    const std::string& name = cases[i].first;
    const std::string before = file(name);
    write_file(dir / (name + ".params"), cases[i].second);
    const auto refused = sim({"--resume", name, "--generations", "400"}, dir);
    EXPECT_EQ(refused.status, 1);
    // After the line that names the record it would resume from.
    ASSERT_GE(refused.err.size(), said[i].size());
    EXPECT_EQ(refused.err.substr(refused.err.size() - said[i].size()), said[i]);
    EXPECT_EQ(file(name), before);  // nothing changed
    write_file(dir / (name + ".params"), name == "r" ? params : later);
  }
  EXPECT_EQ(file("r"), whole);
}

}  // namespace
}  // namespace twolocus
