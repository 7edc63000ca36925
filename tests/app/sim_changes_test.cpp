// twolocus-sim --change: a change at generation G is the run to G
// continued with the new parameters (its parameter file edited, then
// resumed), on both engines; changes after a run's end are kept and act
// when it is extended, exactly; with a history TIME is the model's time
// before the present; the parameter file keeps the resolved changes and
// refuses bad ones; a change that does not fit the run is one line.
#include <gtest/gtest.h>

#include <algorithm>
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

args_list joined(args_list first, const args_list& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

// A trajectory's records by label, but `skip` (a run's final record).
std::map<long, std::string> records(const std::string& text, long skip = -1) {
  std::map<long, std::string> found;
  for (size_t start = text.find('\n') + 1; start < text.size();) {
    const size_t end = text.find('\n', start);
    const std::string line = text.substr(start, end - start);
    if (!line.empty() && std::stol(line) != skip) found[std::stol(line)] = line;
    start = end + 1;
  }
  return found;
}

// The lines of a text that start with `prefix`.
std::string lines_with(const std::string& text, const std::string& prefix) {
  std::string found;
  for (size_t start = 0; start < text.size();) {
    const size_t end = text.find('\n', start);
    const std::string line = text.substr(start, end - start + 1);
    if (line.rfind(prefix, 0) == 0) found += line;
    start = end + 1;
  }
  return found;
}

// A values table (--print-fitness) as the parameter file's fitness lines.
std::string fitness_lines(const std::string& table) {
  std::string lines;
  for (size_t start = table.find('\n') + 1; start < table.size();) {
    const size_t end = table.find('\n', start);
    std::string line = table.substr(start, end - start);
    std::string label;
    for (int slot = 0; slot < 4; ++slot) label += line[static_cast<size_t>(2 * slot)];
    lines += "fitness_" + label + " = " + line.substr(8) + "\n";
    start = end + 1;
  }
  return lines;
}

TEST(SimChanges, AChangeAtGIsTheRunToGResumedWithTheNewParameters) {
  temp_dir dir;
  write_file(dir / "valley.tsv", read_file(testing::source_path("examples/valley.tsv")));
  const std::string changed = sim({"--fitness", "valley.tsv", "-s", "0.01", "-k", "0.1", "--print-fitness"}, dir).out;
  for (const std::string engine : {"exact", "multinomial"}) {
    SCOPED_TRACE(engine);
    const args_list run = {"--fitness", "valley.tsv", "-s", "0.05", "-k", "0.1", "-N", "100", "--mu", "0.001",
                           "--record-every", "10", "--seed", "3", "--engine", engine};
    ASSERT_EQ(sim(joined(run, {"--change", "155:s=0.01", "--generations", "300", "-o", "full.out"}), dir).status, 0);
    ASSERT_EQ(sim(joined(run, {"--generations", "155", "-o", "part.out"}), dir).status, 0);
    // The parameter file of the part, its table replaced by the changed one.
    std::string params = read_file(dir / "part.out.params");
    const size_t from = params.find("fitness_1111");
    const size_t to = params.find("initial_1111");
    params.replace(from, to - from, fitness_lines(changed));
    write_file(dir / "part.out.params", params);
    ASSERT_EQ(sim({"--resume", "part.out", "--generations", "300"}, dir).status, 0);
    EXPECT_EQ(records(read_file(dir / "part.out"), 155), records(read_file(dir / "full.out")));
    EXPECT_EQ(read_file(dir / "part.out.summary.tsv"), read_file(dir / "full.out.summary.tsv"));
    // The change acted: the same run without it differs.
    ASSERT_EQ(sim(joined(run, {"--generations", "300", "-o", "none.out"}), dir).status, 0);
    EXPECT_NE(read_file(dir / "none.out"), read_file(dir / "full.out"));
  }
}

TEST(SimChanges, ChangesAfterTheEndAreKeptAndActWhenTheRunIsExtended) {
  temp_dir dir;
  const args_list run = {"--s2-a", "0.02", "--s2-b", "-0.01", "-N", "80", "--mu", "0.002", "--record-every", "20",
                         "--seed", "9", "--change", "120:mu=0.004", "--change", "60:epistasis=0.3",
                         "--change", "60:recombination=0.05", "--change", "250:mu-b21=0.01",
                         "--change", "90:h2-a=1"};
  for (const std::string engine : {"exact", "multinomial"}) {
    SCOPED_TRACE(engine);
    ASSERT_EQ(sim(joined(run, {"--engine", engine, "--generations", "300", "-o", "whole.out"}), dir).status, 0);
    ASSERT_EQ(sim(joined(run, {"--engine", engine, "--generations", "100", "-o", "part.out"}), dir).status, 0);
    const std::string params = read_file(dir / "part.out.params");
    // Every change is kept, in the order it acts: the coefficients' table at
    // 60 and at 90, then the rates (--mu: the six one-way changes).
    EXPECT_EQ(lines_with(params, "change = ").size(), lines_with(read_file(dir / "whole.out.params"), "change = ").size());
    EXPECT_NE(params.find("change = 60 -1 recombination 0.050000000000000003\n"), std::string::npos) << params;
    EXPECT_NE(params.find("change = 120 -1 mu_b13 0.0040000000000000001\n"), std::string::npos);
    EXPECT_NE(params.find("change = 250 -1 mu_b21 0.01\n"), std::string::npos);
    EXPECT_LT(params.find("change = 60 -1 fitness"), params.find("change = 90 -1 fitness"));
    ASSERT_EQ(sim({"--resume", "part.out", "--generations", "200"}, dir).status, 0);
    ASSERT_EQ(sim({"--resume", "part.out", "--generations", "300"}, dir).status, 0);
    EXPECT_EQ(records(read_file(dir / "part.out")), records(read_file(dir / "whole.out")));
    EXPECT_EQ(read_file(dir / "part.out.summary.tsv"), read_file(dir / "whole.out.summary.tsv"));
  }
}

TEST(SimChanges, WithAHistoryTimeIsBeforeThePresentInTheModelsUnits) {
  temp_dir dir;
  write_file(dir / "one.yaml", "time_units: generations\ndemes:\n  - name: A\n    epochs:\n      - start_size: 100\n");
  write_file(dir / "two.yaml",
             "time_units: years\ngeneration_time: 2\ndemes:\n  - name: A\n    epochs:\n      - start_size: 100\n"
             "  - name: B\n    ancestors: [A]\n    start_time: 100\n    epochs:\n      - start_size: 50\n"
             "migrations:\n  - demes: [A, B]\n    rate: 0.01\n");
  const args_list run = {"--s2-a", "-0.02", "--mu", "0.001", "--record-every", "10", "--seed", "3",
                         "--generations", "300"};
  // One deme of constant size: time 100 before the present is generation 200 of 300.
  ASSERT_EQ(sim(joined(run, {"--demography", "one.yaml", "--change", "100:s2-a=0.05", "-o", "d.out"}), dir).status, 0);
  ASSERT_EQ(sim(joined(run, {"-N", "100", "--change", "200:s2-a=0.05", "-o", "n.out"}), dir).status, 0);
  EXPECT_EQ(read_file(dir / "d.out"), read_file(dir / "n.out"));
  EXPECT_EQ(read_file(dir / "d.out.summary.tsv"), read_file(dir / "n.out.summary.tsv"));
  // A time between two generations: the first generation born after it.
  ASSERT_EQ(sim(joined(run, {"--demography", "one.yaml", "--change", "100.5:s2-a=0.05", "-o", "h.out"}), dir).status, 0);
  // Generation 199's offspring are born at 100 (300 - 199 - 1), after 100.5.
  EXPECT_NE(read_file(dir / "h.out.params").find("change = 199 -1 fitness"), std::string::npos);
  // Years of 2 per generation, one deme named: 100 years is generation 250.
  const auto two = sim(joined(run, {"--demography", "two.yaml", "--change", "100:s2-a=B=0.05", "--change",
                                    "50:mu-a21=0.001", "--change", "1000:recombination=0.1", "-o", "t.out"}),
                       dir);
  ASSERT_EQ(two.status, 0) << two.err;
  const std::string params = read_file(dir / "t.out.params");
  EXPECT_NE(params.find("\nchange = 0 -1 recombination 0.10000000000000001\nchange = 250 1 fitness 1 1.0249999999999999 1 1.0249999999999999 1.05 "),
            std::string::npos)
      << lines_with(params, "change");
  EXPECT_NE(params.find("\nchange = 275 -1 mu_a21 0.001\n"), std::string::npos);
  const auto resumed = sim({"--resume", "t.out", "--generations", "300"}, dir);
  EXPECT_EQ(resumed.status, 0) << resumed.err;
}

TEST(SimChanges, ConditionsAndTheSummaryReadTheFitnessInForce) {
  temp_dir dir;
  // Every genotype at fitness 1, then at 2 from generation 30 (locus a's six
  // fitnesses all 2, locus b neutral): the mean fitness is 2 from there on.
  for (const std::string engine : {"exact", "multinomial"}) {
    SCOPED_TRACE(engine);
    const auto run = sim({"--s2-a", "0", "-N", "40", "--generations", "60", "--record-every", "0", "--engine", engine,
                          "--change", "30:fitness-a=2,2,2,2,2,2", "--watch", "mean_fitness > 1.5", "-o", "w.out"},
                         dir);
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string summary = read_file(dir / "w.out.summary.tsv");
    const std::string row = summary.substr(summary.find('\n') + 1);
    // The watch is first met after generation 30; the last generation's mean fitness is 2.
    EXPECT_EQ(row.rfind("0\t2222\tlast\t59\t60\t30\t40\t", 0), 0u) << summary;
    EXPECT_EQ(row.substr(row.size() - 5), "\t2\t0\n") << summary;
  }
}

TEST(SimChanges, ChangesThatDoNotFitTheRunAreOneLineEach) {
  temp_dir dir;
  write_file(dir / "valley.tsv", read_file(testing::source_path("examples/valley.tsv")));
  write_file(dir / "values.tsv", sim({"--s2-a", "0.1", "--print-fitness"}, dir).out);
  const args_list run = {"-N", "20", "--generations", "10", "-o", "r.out"};
  const std::vector<std::pair<args_list, std::string>> refused = {
      {{"--fitness", "valley.tsv", "--change", "5"}, "option [--change] takes TIME:PARAMETER=VALUE, not [5]."},
      {{"--fitness", "valley.tsv", "--change", "5:weights=floor"},
       "option [--change] takes TIME:PARAMETER=VALUE, not [5:weights=floor]."},
      {{"--fitness", "valley.tsv", "--change", "-1:s=0.1"}, "option [--change] takes TIME:PARAMETER=VALUE, not [-1:s=0.1]."},
      {{"--fitness", "valley.tsv", "--change", "2.5:s=0.1"},
       "option [--change] cannot take [2.5:s=0.1]: time [2.5] is not a whole generation."},
      {{"--fitness", "valley.tsv", "--change", "5:s=2"},
       "option [--change] cannot take [5:s=2]: [-s] takes a number from 0 to 1, not [2]."},
      {{"--fitness", "valley.tsv", "--change", "5:s=A=0.1"},
       "option [--change] cannot take [5:s=A=0.1]: [-s] takes a number from 0 to 1, not [A=0.1]."},
      {{"--fitness-values", "values.tsv", "--change", "5:k=0.1"},
       "option [--change] cannot take [5:k=0.1]: [-k] is a coefficient of a table of codes (--fitness), and the table "
       "is of values then."},
      {{"--s2-a", "0.1", "--change", "5:column=2"},
       "option [--change] cannot take [5:column=2]: [--column] changes a table, and the fitness is given by "
       "coefficients then."},
      {{"--fitness", "valley.tsv", "--mu-a21", "0.8", "--change", "5:mu=0.3"},
       "option [--change] cannot take [5:mu=0.3]: the mutation rates out of allele 2 at locus a would sum to 1.1000000000000001, more than 1."},
      {{"--fitness", "valley.tsv", "--change", "5:fitness-values=missing.tsv"},
       "could not open fitness file [missing.tsv] to read."},
  };
  for (const auto& [args, said] : refused) {
    const auto result = sim(joined(args, run), dir);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "twolocus-sim: " + said + "\n");
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "r.out"));
  // A table or coefficients by a change after a column, s or k is fine.
  const auto fine = sim(joined({"--fitness", "valley.tsv", "--change", "3:column=2", "--change", "4:s2-b=0.1",
                                "--change", "6:fitness=valley.tsv", "--change", "7:k=0.5"},
                               run),
                        dir);
  EXPECT_EQ(fine.status, 0) << fine.err;
}

TEST(SimChanges, TheParameterFileRefusesChangesOutOfOrderOrOutOfRange) {
  temp_dir dir;
  ASSERT_EQ(sim({"--s2-a", "0.1", "-N", "20", "--generations", "10", "--record-every", "5", "--change", "3:mu=0.01",
                 "--change", "6:recombination=0.2", "-o", "r.out"},
                dir)
                .status,
            0);
  const std::string params = read_file(dir / "r.out.params");
  const auto refused_with = [&](const std::string& from, const std::string& to) {
    std::string edited = params;
    edited.replace(edited.find(from), from.size(), to);
    write_file(dir / "r.out.params", edited);
    const auto resumed = sim({"--resume", "r.out", "--generations", "20"}, dir);
    EXPECT_EQ(resumed.status, 1) << to;
    return resumed.err;
  };
  EXPECT_NE(refused_with("change = 6 -1 recombination", "change = 2 -1 recombination").find("(key [change])"),
            std::string::npos);
  EXPECT_NE(refused_with("recombination 0.2", "recombination 0.7").find("(key [change])"), std::string::npos);
  EXPECT_NE(refused_with("change = 3 -1 mu_a12 0.01", "change = 3 -1 mu_a12 1.5").find("(key [change])"),
            std::string::npos);
  EXPECT_NE(refused_with("change = 3 -1 mu_a12 0.01", "change = 3 -1 mu_a12 0.999").find("not consistent at [change]"),
            std::string::npos);
  EXPECT_NE(refused_with("change = 3 -1 mu_a12 0.01", "change = 3 -1 mu_x12 0.01").find("(key [change])"),
            std::string::npos);
  write_file(dir / "r.out.params", params);
  EXPECT_EQ(sim({"--resume", "r.out", "--generations", "20"}, dir).status, 0);
}

}  // namespace
}  // namespace twolocus
