// twolocus-sim with a fitness by coefficients: --print-fitness writes the
// table a run uses, and a run given that table is byte for byte the run
// given the coefficients, on both engines and under both weight rules;
// the coefficients are kept in the parameter file, resume exactly and are
// checked against its table; conflicting options are one line each.
#include <gtest/gtest.h>

#include <algorithm>
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

args_list joined(args_list first, const args_list& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

// A trajectory's records by label.
std::map<long, std::string> records(const std::string& text) {
  std::map<long, std::string> found;
  for (size_t start = text.find('\n') + 1; start < text.size();) {
    const size_t end = text.find('\n', start);
    const std::string line = text.substr(start, end - start);
    if (!line.empty()) found[std::stol(line)] = line;
    start = end + 1;
  }
  return found;
}

const args_list coefficients = {"--s2-a", "-0.01", "--h2-a", "0.3", "--s3-a", "0.02", "--s2-b", "-0.02",
                                "--h3-b", "0", "--s3-b", "-0.5", "--epistasis", "0.09"};
// Locus b by its six fitnesses, locus a by s and h.
const args_list six = {"--s2-a", "0.05", "--fitness-b", "1,0.5,1.25,0.75,0.125,2", "--epistasis", "-0.3"};

TEST(SimCoefficients, ARunWithCoefficientsIsTheRunWithThePrintedTable) {
  temp_dir dir;
  for (const std::string weights : {"exact", "floor"}) {
    for (const std::string how : {"multiplicative", "additive", "six"}) {
      const args_list given = how == "six" ? six : joined(coefficients, {"--combine", how});
      const args_list model = joined(given, {"--weights", weights});
      const auto printed = sim(joined(model, {"--print-fitness"}), dir);
      ASSERT_EQ(printed.status, 0) << printed.err;
      EXPECT_EQ(printed.err, "");
      write_file(dir / "values.tsv", printed.out);
      // The rest of a run's command line may stand beside --print-fitness.
      EXPECT_EQ(sim(joined(model, {"-N", "50", "--generations", "9", "-o", "x.out", "--print-fitness"}), dir).out,
                printed.out);
      for (const std::string engine : {"exact", "multinomial"}) {
        SCOPED_TRACE(weights + " " + how + " " + engine);
        const args_list run = {"-N", "300", "--generations", "400", "--mu", "0.002", "--recombination", "0.1",
                               "--record-every", "37", "--engine", engine, "--seed", "11", "--weights", weights};
        ASSERT_EQ(sim(joined(given, joined(run, {"-o", "c.out"})), dir).status, 0);
        ASSERT_EQ(sim(joined({"--fitness-values", "values.tsv"}, joined(run, {"-o", "t.out"})), dir).status, 0);
        EXPECT_EQ(read_file(dir / "c.out"), read_file(dir / "t.out"));
        EXPECT_EQ(read_file(dir / "c.out.summary.tsv"), read_file(dir / "t.out.summary.tsv"));
        // The parameter files differ only by the coefficients' lines.
        const std::string with = read_file(dir / "c.out.params");
        EXPECT_EQ(with.substr(0, with.find('\n', with.find("initial_3333 = ")) + 1), read_file(dir / "t.out.params"));
        EXPECT_NE(with.find(how == "six" ? "locus_b = 1,0.5,1.25,0.75,0.125,2\n" : "combine = " + how + "\n"),
                  std::string::npos);
        EXPECT_EQ(with.find(how == "six" ? "locus_a = " : "locus_b = "), std::string::npos);
      }
    }
  }
}

TEST(SimCoefficients, PrintFitnessOfATableOfCodesAndItsRefusals) {
  temp_dir dir;
  write_file(dir / "valley.tsv", read_file(testing::source_path("examples/valley.tsv")));
  const auto printed = sim({"--fitness", "valley.tsv", "-s", "0.05", "-k", "0.1", "--print-fitness"}, dir);
  ASSERT_EQ(printed.status, 0) << printed.err;
  // 2111 has code 8 (1 - s/2), 2222 code 4 (1 + k).
  EXPECT_NE(printed.out.find("\n2\t1\t1\t1\t0.97499999999999998\n"), std::string::npos) << printed.out;
  EXPECT_NE(printed.out.find("\n2\t2\t2\t2\t1.1000000000000001\n"), std::string::npos);
  EXPECT_EQ(std::count(printed.out.begin(), printed.out.end(), '\n'), 82);

  const std::vector<std::pair<args_list, std::string>> refused = {
      {{"--print-fitness"}, "option [--fitness] is required."},
      {{"--s2-a", "0.1", "--print-fitness", "--print-fitness"}, "option [--print-fitness] is given twice."},
      {{"--s2-a", "0.1", "--resume", "r.out", "--print-fitness"}, "option [--print-fitness] cannot be used with [--resume]."},
      {{"--h2-b", "0.1", "--fitness", "valley.tsv", "--print-fitness"}, "option [--h2-b] cannot be used with [--fitness]."},
      {{"--epistasis", "1", "--fitness-values", "valley.tsv", "-N", "5", "--generations", "5", "-o", "r"},
       "option [--epistasis] cannot be used with [--fitness-values]."},
      {{"--combine", "additive", "--column", "2", "-N", "5", "--generations", "5", "-o", "r"},
       "option [--combine] cannot be used with [--column]."},
      {{"-k", "0.1", "--s3-a", "0.2", "-N", "5", "--generations", "5", "-o", "r"},
       "option [--s3-a] cannot be used with [-k]."},
      {{"--combine", "both"}, "option [--combine] takes multiplicative or additive, not [both]."},
      {{"--s2-a", "-1.5"}, "option [--s2-a] takes a number from -1 to 1000, not [-1.5]."},
      {{"--fitness-a", "1,1,1,1,1"},
       "option [--fitness-a] takes six numbers W11,W12,W13,W22,W23,W33 from 0 to 1e+06, not [1,1,1,1,1]."},
      {{"--fitness-a", "1,1,1,1,1,-1"},
       "option [--fitness-a] takes six numbers W11,W12,W13,W22,W23,W33 from 0 to 1e+06, not [1,1,1,1,1,-1]."},
      {{"--fitness-b", "1,1,1,1,1,1", "--h3-b", "0", "--print-fitness"},
       "option [--h3-b] cannot be used with [--fitness-b]."},
      {{"--s2-a", "1000", "--s2-b", "1000", "--epistasis", "1000", "--weights", "floor", "--print-fitness"},
       "the fitness coefficients give genotype [2121] the fitness [63001251], above 33554432, the largest under "
       "--weights floor."},
  };
  for (const auto& [args, said] : refused) {
    const auto run = sim(args, dir);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err.find("twolocus-sim: " + said + "\n"), 0u) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1);
  }
}

TEST(SimCoefficients, ResumeReadsTheCoefficientsAndChecksTheTableAgainstThem) {
  temp_dir dir;
  const args_list run = joined(coefficients, {"-N", "200", "--mu", "0.001", "--record-every", "25", "--seed", "3"});
  ASSERT_EQ(sim(joined(run, {"--generations", "300", "-o", "whole.out"}), dir).status, 0);
  ASSERT_EQ(sim(joined(run, {"--generations", "125", "-o", "part.out"}), dir).status, 0);
  ASSERT_EQ(sim({"--resume", "part.out", "--generations", "300"}, dir).status, 0);
  // An extension repeats its start's record after a blank line; the records are the same.
  EXPECT_EQ(records(read_file(dir / "part.out")), records(read_file(dir / "whole.out")));
  EXPECT_EQ(read_file(dir / "part.out.summary.tsv"), read_file(dir / "whole.out.summary.tsv"));
  EXPECT_EQ(read_file(dir / "part.out.params"), read_file(dir / "whole.out.params"));

  const std::string params = read_file(dir / "part.out.params");
  // A coefficient that does not make the table: refused at the first genotype it changes.
  std::string edited = params;
  edited.replace(edited.find("epistasis = "), std::string::npos, "epistasis = 0.5\n");
  write_file(dir / "part.out.params", edited);
  auto resumed = sim({"--resume", "part.out", "--generations", "400"}, dir);
  EXPECT_EQ(resumed.status, 1);
  EXPECT_NE(resumed.err.find("is not consistent at [fitness_2121]"), std::string::npos) << resumed.err;
  // The coefficients' keys come all or none.
  edited = params;
  edited.erase(edited.find("combine = "), edited.find("epistasis = ") - edited.find("combine = "));
  write_file(dir / "part.out.params", edited);
  resumed = sim({"--resume", "part.out", "--generations", "400"}, dir);
  EXPECT_EQ(resumed.status, 1);
  EXPECT_NE(resumed.err.find("[combine]"), std::string::npos) << resumed.err;
  // A locus's six fitnesses need the other coefficients' keys.
  edited = params;
  edited.insert(edited.find("s2_a = "), "locus_a = 1,1,1,1,1,1\n");
  edited.erase(edited.find("s2_a = "), edited.find("change") == std::string::npos ? std::string::npos : 0);
  write_file(dir / "part.out.params", edited);
  resumed = sim({"--resume", "part.out", "--generations", "400"}, dir);
  EXPECT_EQ(resumed.status, 1);
  EXPECT_NE(resumed.err.find("[s2_a]"), std::string::npos) << resumed.err;
  // Without any of them the file is a run given its table.
  edited = params.substr(0, params.find("s2_a = "));
  write_file(dir / "part.out.params", edited);
  resumed = sim({"--resume", "part.out", "--generations", "400"}, dir);
  EXPECT_EQ(resumed.status, 0) << resumed.err;
}

TEST(SimCoefficients, ALocusBySixFitnessesResumesExactly) {
  temp_dir dir;
  const args_list run = joined(six, {"-N", "150", "--mu", "0.003", "--record-every", "25", "--seed", "8"});
  ASSERT_EQ(sim(joined(run, {"--generations", "250", "-o", "whole.out"}), dir).status, 0);
  ASSERT_EQ(sim(joined(run, {"--generations", "100", "-o", "part.out"}), dir).status, 0);
  ASSERT_EQ(sim({"--resume", "part.out", "--generations", "250"}, dir).status, 0);
  EXPECT_EQ(records(read_file(dir / "part.out")), records(read_file(dir / "whole.out")));
  EXPECT_EQ(read_file(dir / "part.out.summary.tsv"), read_file(dir / "whole.out.summary.tsv"));
  // Another six fitnesses than the table's: refused at the first genotype they change.
  std::string params = read_file(dir / "part.out.params");
  params.replace(params.find("locus_b = 1,0.5"), 15, "locus_b = 1,0.6");
  write_file(dir / "part.out.params", params);
  const auto resumed = sim({"--resume", "part.out", "--generations", "300"}, dir);
  EXPECT_EQ(resumed.status, 1);
  EXPECT_NE(resumed.err.find("is not consistent at [fitness_1121]"), std::string::npos) << resumed.err;
}

}  // namespace
}  // namespace twolocus
