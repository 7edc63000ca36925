// End-to-end tests of a fresh run: the built program in a temporary folder,
// checked by its exact console output, exit status and the files it leaves.
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "support/process.hpp"

namespace twolocus {
namespace {

namespace fs = std::filesystem;
using testing::read_file;
using testing::run_program;
using testing::run_result;
using testing::temp_dir;
using testing::uniform_fitness_table;
using testing::write_file;

std::string banner(const std::string& program = "twolocus") {
  return "Called [" + program + "] version 110303\nrand_max=[2147483647].\n";
}

const std::string progress_banner = "Doing the evolution (each dot = [200] generations)...\n";

std::string usage(const std::string& program) {
  return "Usage:" + program +
         " <fitness fname> <fitness fname column> <s(percent)> <k(percent)> <n> <generation size> "
         "<p(a1->2)(x10^10)> <p(a2->3)(x10^10)> <p(a1->3)(x10^10)> <p(b1->2)(x10^10)> "
         "<p(b2->3)(x10^10)> <p(b1->3)(x10^10)> <output fname> [random seed]\n or   " +
         program + " <output fname> [new n]\n";
}

// The fresh-run command line; `rates` are the six rate arguments a0, a1, a2,
// b0, b1, b2 in command-line order.
struct fresh_args {
  std::string fitness = "fit.tsv";
  std::string column = "1";
  std::string s = "5";
  std::string k = "10";
  std::string n = "1";
  std::string generation_size = "50";
  std::vector<std::string> rates = {"0", "0", "0", "0", "0", "0"};
  std::string out = "out";
  std::string seed;  // empty: 13 arguments

  std::vector<std::string> list() const {
    std::vector<std::string> args = {fitness, column, s, k, n, generation_size};
    args.insert(args.end(), rates.begin(), rates.end());
    args.push_back(out);
    if (!seed.empty()) args.push_back(seed);
    return args;
  }
};

run_result run_in(const temp_dir& dir, const fresh_args& args) {
  run_result result = run_program(args.list(), dir.path);
  EXPECT_EQ(result.err, "") << "nothing goes to standard error";
  return result;
}

struct record {
  long long label = 0;
  std::vector<long long> counts;
};

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::string part;
  std::istringstream in(text);
  while (std::getline(in, part, separator)) parts.push_back(part);
  return parts;
}

bool is_integer(const std::string& field) {
  if (field.empty()) return false;
  size_t start = field[0] == '-' ? 1 : 0;
  if (start == field.size()) return false;
  for (size_t i = start; i < field.size(); ++i) {
    if (field[i] < '0' || field[i] > '9') return false;
  }
  return true;
}

// Checks the trajectory's exact layout (header, then lines of a label and 81
// counts, each field after the first behind one tab, newline-ended) and
// returns its records.
std::vector<record> parse_trajectory(const std::string& text) {
  std::vector<record> records;
  const std::string header = testing::trajectory_header();
  EXPECT_EQ(text.substr(0, header.size()), header);
  if (text.size() < header.size()) return records;
  const std::string body = text.substr(header.size());
  EXPECT_TRUE(body.empty() || body.back() == '\n') << "the last record ends with a newline";
  for (const std::string& line : split(body, '\n')) {
    const std::vector<std::string> fields = split(line, '\t');
    EXPECT_EQ(fields.size(), 82u) << line;
    record r;
    for (size_t i = 0; i < fields.size(); ++i) {
      EXPECT_TRUE(is_integer(fields[i])) << "field " << i << " of " << line;
      const long long value = std::atoll(fields[i].c_str());
      if (i == 0) {
        r.label = value;
      } else {
        r.counts.push_back(value);
      }
    }
    records.push_back(r);
  }
  return records;
}

std::vector<record> read_trajectory(const fs::path& file) {
  return parse_trajectory(read_file(file));
}

std::vector<long long> labels_of(const std::vector<record>& records) {
  std::vector<long long> labels;
  for (const record& r : records) labels.push_back(r.label);
  return labels;
}

long long sum_of(const std::vector<long long>& counts) {
  long long sum = 0;
  for (const long long c : counts) sum += c;
  return sum;
}

std::vector<std::string> lines_of(const std::string& text) { return split(text, '\n'); }

bool is_plain_file(const fs::path& path) {
  return fs::is_regular_file(fs::symlink_status(path));
}

// ---------------------------------------------------------------- usage

TEST(FreshRunCommandLine, WrongArgumentCountsPrintTheUsageWithTheProgramNameTwice) {
  temp_dir dir;
  const std::string program = "./tl-sim";
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"fit.tsv", "1", "5"},
      std::vector<std::string>(12, "1"),
      std::vector<std::string>(15, "1"),
  };
  for (const auto& args : cases) {
    const run_result result = run_program(args, dir.path, program);
    EXPECT_EQ(result.out, banner(program) + usage(program)) << args.size() << " arguments";
    EXPECT_EQ(result.status, 1) << args.size() << " arguments";
    EXPECT_EQ(result.err, "");
  }
  EXPECT_TRUE(fs::is_empty(dir.path)) << "a usage error creates no file";
}

// ---------------------------------------------------------------- open failures

TEST(FreshRunOpenFailures, MissingFitnessFileCreatesNoOutputFiles) {
  temp_dir dir;
  fresh_args args;
  args.fitness = "absent.tsv";
  const run_result result = run_in(dir, args);
  EXPECT_EQ(result.out, banner() + "Could not open fitness file [absent.tsv] to read.\n");
  EXPECT_EQ(result.status, 1);
  EXPECT_FALSE(fs::exists(dir / "out"));
  EXPECT_FALSE(fs::exists(dir / "out.params"));
  EXPECT_TRUE(fs::is_empty(dir.path));
}

TEST(FreshRunOpenFailures, FitnessFileNameThatIsADirectoryCannotBeRead) {
  temp_dir dir;
  fs::create_directory(dir / "tables");
  fresh_args args;
  args.fitness = "tables";
  const run_result result = run_in(dir, args);
  EXPECT_EQ(result.out, banner() + "Could not open fitness file [tables] to read.\n");
  EXPECT_EQ(result.status, 1);
  EXPECT_FALSE(fs::exists(dir / "out"));
  EXPECT_FALSE(fs::exists(dir / "out.params"));
}

TEST(FreshRunOpenFailures, FitnessFileIsOpenedBeforeTheOutputFile) {
  temp_dir dir;
  fresh_args args;
  args.fitness = "absent.tsv";
  args.out = "no-such-folder/out";
  const run_result result = run_in(dir, args);
  EXPECT_EQ(result.out, banner() + "Could not open fitness file [absent.tsv] to read.\n");
  EXPECT_EQ(result.status, 1);
}

TEST(FreshRunOpenFailures, OutputInAMissingFolderFailsAfterTheFitnessFileOpened) {
  temp_dir dir;
  write_file(dir / "fit.tsv", uniform_fitness_table(1, 1));
  fresh_args args;
  args.out = "no-such-folder/out";
  const run_result result = run_in(dir, args);
  EXPECT_EQ(result.out, banner() + "Could not open output file [no-such-folder/out] to write.\n");
  EXPECT_EQ(result.status, 1);
  EXPECT_FALSE(fs::exists(dir / "no-such-folder"));
  EXPECT_FALSE(fs::exists(dir / "out.params"));
}

TEST(FreshRunOpenFailures, OutputNameThatIsADirectoryCannotBeWritten) {
  temp_dir dir;
  write_file(dir / "fit.tsv", uniform_fitness_table(1, 1));
  fs::create_directory(dir / "out");
  const run_result result = run_in(dir, fresh_args{});
  EXPECT_EQ(result.out, banner() + "Could not open output file [out] to write.\n");
  EXPECT_EQ(result.status, 1);
  EXPECT_FALSE(fs::exists(dir / "out.params"));
  EXPECT_TRUE(fs::is_empty(dir / "out"));
}

TEST(FreshRunOpenFailures, OutputInAReadOnlyFolderCannotBeCreated) {
  if (::geteuid() == 0) GTEST_SKIP() << "the superuser can write into a read-only folder";
  temp_dir dir;
  write_file(dir / "fit.tsv", uniform_fitness_table(1, 1));
  fs::create_directory(dir / "locked");
  fs::permissions(dir / "locked", fs::perms::owner_read | fs::perms::owner_exec);
  fresh_args args;
  args.out = "locked/out";
  const run_result result = run_in(dir, args);
  fs::permissions(dir / "locked", fs::perms::owner_all);
  EXPECT_EQ(result.out, banner() + "Could not open output file [locked/out] to write.\n");
  EXPECT_EQ(result.status, 1);
  EXPECT_TRUE(fs::is_empty(dir / "locked"));
}

TEST(FreshRunOpenFailures, ParamFileThatCannotBeOpenedLeavesTheEmptyTrajectory) {
  temp_dir dir;
  write_file(dir / "fit.tsv", uniform_fitness_table(1, 1));
  fs::create_directory(dir / "out.params");
  const run_result result = run_in(dir, fresh_args{});
  EXPECT_EQ(result.out, banner() + "Could not open param file [out.params] to write.\n");
  EXPECT_EQ(result.status, 1);
  ASSERT_TRUE(is_plain_file(dir / "out")) << "the trajectory was opened (created) first";
  EXPECT_EQ(fs::file_size(dir / "out"), 0u);
  EXPECT_TRUE(fs::is_directory(dir / "out.params"));
  EXPECT_TRUE(fs::is_empty(dir / "out.params"));
}

TEST(FreshRunOpenFailures, AnExistingTrajectoryIsTruncatedWhenOpened) {
  temp_dir dir;
  write_file(dir / "fit.tsv", uniform_fitness_table(1, 1));
  write_file(dir / "out", std::string(5000, 'x'));
  fresh_args args;
  args.n = "0";
  const run_result result = run_in(dir, args);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(read_file(dir / "out"), testing::trajectory_header());
}

// ---------------------------------------------------------------- records and progress

TEST(FreshRunRecords, HeaderIsExactly416Bytes) {
  temp_dir dir;
  write_file(dir / "fit.tsv", uniform_fitness_table(1, 1));
  fresh_args args;
  args.n = "0";
  const run_result result = run_in(dir, args);
  EXPECT_EQ(result.status, 0);
  const std::string text = read_file(dir / "out");
  EXPECT_EQ(text.size(), 416u);
  EXPECT_EQ(text, testing::trajectory_header());
  EXPECT_EQ(text.substr(0, 30), "generation\t1111\t2111\t3111\t1211");
  EXPECT_EQ(text.substr(text.size() - 6), "\t3333\n");
}

TEST(FreshRunRecords, ZeroGenerationsWriteOnlyTheHeaderAndNoDot) {
  temp_dir dir;
  write_file(dir / "fit.tsv", uniform_fitness_table(1, 1));
  fresh_args args;
  args.n = "0";
  const run_result result = run_in(dir, args);
  EXPECT_EQ(result.out, banner() + progress_banner);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(read_file(dir / "out"), testing::trajectory_header());
  EXPECT_TRUE(read_trajectory(dir / "out").empty());
}

TEST(FreshRunRecords, OneGenerationRecordsGeneration0AndTheFinalRecord1) {
  temp_dir dir;
  write_file(dir / "fit.tsv", uniform_fitness_table(1, 1));
  fresh_args args;
  args.n = "1";
  args.generation_size = "1000";
  args.rates[0] = "2147483647";  // about a fifth of the allele-1 slots at locus a mutate
  const run_result result = run_in(dir, args);
  EXPECT_EQ(result.out, banner() + progress_banner + "..");
  EXPECT_EQ(result.status, 0);
  const std::vector<record> records = read_trajectory(dir / "out");
  ASSERT_EQ(labels_of(records), (std::vector<long long>{0, 1}));
  EXPECT_EQ(records[0].counts, records[1].counts);
  EXPECT_EQ(sum_of(records[0].counts), 1000);
  // The record of generation 0 holds the population after that generation:
  // with a 21% mutation rate, far from all of it is still genotype 1111.
  EXPECT_LT(records[0].counts[0], 800);
  EXPECT_GT(records[0].counts[0], 450);
}

TEST(FreshRunRecords, LabelsFollowTheRecordIntervalAndTheFinalRecordRule) {
  struct label_case {
    std::string n;
    std::vector<long long> labels;
    std::string dots;
  };
  const std::vector<label_case> cases = {
      {"200", {0}, "."},
      {"201", {0, 200, 201}, "..."},
      {"400", {0, 200}, ".."},
      {"401", {0, 200, 400, 401}, "...."},
  };
  for (const label_case& c : cases) {
    SCOPED_TRACE("n = " + c.n);
    temp_dir dir;
    write_file(dir / "fit.tsv", uniform_fitness_table(1, 1));
    fresh_args args;
    args.n = c.n;
    args.generation_size = "40";
    args.rates = {"100000000", "100000000", "100000000", "100000000", "100000000", "100000000"};
    const run_result result = run_in(dir, args);
    EXPECT_EQ(result.out, banner() + progress_banner + c.dots);
    EXPECT_EQ(result.status, 0);
    const std::vector<record> records = read_trajectory(dir / "out");
    ASSERT_EQ(labels_of(records), c.labels);
    for (const record& r : records) EXPECT_EQ(sum_of(r.counts), 40);
    const long long n = std::atoll(c.n.c_str());
    if (n % 200 != 0) {
      // The final record repeats the counts of the record before it.
      EXPECT_EQ(records[records.size() - 1].counts, records[records.size() - 2].counts);
    }
  }
}

TEST(FreshRunRecords, GenerationSizeZeroRecordsOnlyZeros) {
  temp_dir dir;
  write_file(dir / "fit.tsv", uniform_fitness_table(1, 1));
  fresh_args args;
  args.n = "401";
  args.generation_size = "0";
  args.rates = {"2147483647", "2147483647", "0", "2147483647", "2147483647", "0"};
  const run_result result = run_in(dir, args);
  EXPECT_EQ(result.out, banner() + progress_banner + "....");
  EXPECT_EQ(result.status, 0);
  const std::vector<record> records = read_trajectory(dir / "out");
  ASSERT_EQ(labels_of(records), (std::vector<long long>{0, 200, 400, 401}));
  for (const record& r : records) EXPECT_EQ(r.counts, std::vector<long long>(81, 0));
  EXPECT_NE(read_file(dir / "out.params").find("gerneration_size=[0]."), std::string::npos);
}

TEST(FreshRunRecords, AllFitnessZeroMakesThePopulationExtinct) {
  temp_dir dir;
  write_file(dir / "fit.tsv", uniform_fitness_table(0, 0));
  fresh_args args;
  args.n = "201";
  args.generation_size = "30";
  const run_result result = run_in(dir, args);
  EXPECT_EQ(result.out, banner() + progress_banner + "...");
  EXPECT_EQ(result.status, 0);
  const std::vector<record> records = read_trajectory(dir / "out");
  ASSERT_EQ(labels_of(records), (std::vector<long long>{0, 200, 201}));
  for (const record& r : records) EXPECT_EQ(r.counts, std::vector<long long>(81, 0));
}

// ---------------------------------------------------------------- seeds

// A run whose trajectory depends on nearly every draw.
fresh_args random_run(const std::string& seed) {
  fresh_args args;
  args.n = "401";
  args.generation_size = "300";
  args.rates = {"500000000", "300000000", "200000000", "400000000", "300000000", "100000000"};
  args.seed = seed;
  return args;
}

struct run_files {
  std::string out;
  std::string trajectory;
  std::string params;
};

run_files run_fresh(const fresh_args& args) {
  temp_dir dir;
  write_file(dir / "fit.tsv", uniform_fitness_table(1, 1));
  const run_result result = run_in(dir, args);
  EXPECT_EQ(result.status, 0);
  return {result.out, read_file(dir / "out"), read_file(dir / "out.params")};
}

TEST(FreshRunSeeds, SameSeedGivesIdenticalFilesAndAnotherSeedDifferentOnes) {
  const run_files first = run_fresh(random_run("12345"));
  const run_files again = run_fresh(random_run("12345"));
  const run_files other = run_fresh(random_run("12346"));
  EXPECT_EQ(first.out, banner() + progress_banner + "....");
  EXPECT_EQ(first.trajectory, again.trajectory);
  EXPECT_EQ(first.params, again.params);
  EXPECT_NE(first.trajectory, other.trajectory);
  EXPECT_EQ(first.params, other.params) << "the seed is not part of the parameter file";
  EXPECT_EQ(labels_of(parse_trajectory(first.trajectory)),
            (std::vector<long long>{0, 200, 400, 401}));
}

TEST(FreshRunSeeds, ThirteenArgumentsSeedWith2222) {
  const run_files default_seed = run_fresh(random_run(""));
  const run_files explicit_seed = run_fresh(random_run("2222"));
  const run_files other_seed = run_fresh(random_run("2223"));
  EXPECT_EQ(default_seed.out, explicit_seed.out);
  EXPECT_EQ(default_seed.trajectory, explicit_seed.trajectory);
  EXPECT_EQ(default_seed.params, explicit_seed.params);
  EXPECT_NE(default_seed.trajectory, other_seed.trajectory);
}

TEST(FreshRunSeeds, SeedArgumentGoesThroughAtoiAndSeedZeroActsAsOne) {
  const run_files one = run_fresh(random_run("1"));
  // srand(0) restarts the generator as srand(1) does.
  EXPECT_EQ(run_fresh(random_run("0")).trajectory, one.trajectory);
  EXPECT_EQ(run_fresh(random_run("no-seed")).trajectory, one.trajectory);
  EXPECT_EQ(run_fresh(random_run("4294967297")).trajectory, one.trajectory)
      << "only the low 32 bits of the number count";
  EXPECT_EQ(run_fresh(random_run("1.9")).trajectory, one.trajectory);
  EXPECT_NE(run_fresh(random_run("2")).trajectory, one.trajectory);
}

// ---------------------------------------------------------------- parameter file

// The fitness table line of a genotype index with its code.
std::string table_line(int index, const std::string& code) {
  return std::to_string(index % 3 + 1) + "\t" + std::to_string(index / 3 % 3 + 1) + "\t" +
         std::to_string(index / 9 % 3 + 1) + "\t" + std::to_string(index / 27 + 1) + "\t" + code +
         "\n";
}

TEST(FreshRunParamFile, KnownCaseGivesTheExact88Lines) {
  temp_dir dir;
  // Genotype j gets code j mod 9, so every code appears.
  std::string table;
  for (int j = 0; j < 81; ++j) table += table_line(j, std::to_string(j % 9));
  write_file(dir / "fit.tsv", table);
  fresh_args args;
  args.s = "5";
  args.k = "10";
  args.n = "1000";
  args.generation_size = "500";
  args.rates = {"10", "20", "30", "40", "50", "2147483647"};
  args.out = "run.tsv";
  const run_result result = run_in(dir, args);
  EXPECT_EQ(result.out, banner() + progress_banner + ".....");
  EXPECT_EQ(result.status, 0);

  // Codes 0..8 with s = 5% and k = 10%, at six decimals.
  const std::vector<std::string> code_fitness = {"0.000000", "1.000000", "1.025000",
                                                 "1.075000", "1.100000", "1.050000",
                                                 "1.025000", "0.950000", "0.975000"};
  std::string expected =
      "s = [0.050000], k = [0.100000], n = [1000] gerneration_size=[500].\n"
      "a0 = 0.0000000010\n"
      "b0 = 0.0000000040\n"
      "a1 = 0.0000000020\n"
      "b1 = 0.0000000050\n"
      "a2 = 0.0000000030\n"
      "b2 = 0.2147483647\n";
  for (int j = 0; j < 81; ++j) {
    expected += std::to_string(j) + " ->\t" + code_fitness[static_cast<size_t>(j % 9)] + "\n";
  }
  const std::string params = read_file(dir / "run.tsv.params");
  EXPECT_EQ(params, expected);
  EXPECT_EQ(lines_of(params).size(), 88u);
  EXPECT_NE(params.find("\n7 ->\t0.950000\n"), std::string::npos);
  EXPECT_NE(params.find("\n0 ->\t0.000000\n"), std::string::npos);
  EXPECT_EQ(labels_of(read_trajectory(dir / "run.tsv")),
            (std::vector<long long>{0, 200, 400, 600, 800}));
}

TEST(FreshRunParamFile, NumbersAreReadAsAtoiReadsThem) {
  temp_dir dir;
  std::string table;
  for (int j = 0; j < 81; ++j) table += table_line(j, j == 0 ? "7" : (j == 1 ? "4" : "1"));
  write_file(dir / "fit.tsv", table);
  fresh_args args;
  args.s = "7.5";  // read as 7
  args.k = "ten";  // read as 0
  args.n = "12abc";
  args.generation_size = " 60";
  args.rates = {"3000000000", "+25", "-0", "1e5", "0x10", "99999999999999999999"};
  const run_result result = run_in(dir, args);
  EXPECT_EQ(result.out, banner() + progress_banner + "..");
  EXPECT_EQ(result.status, 0);
  const std::vector<std::string> lines = lines_of(read_file(dir / "out.params"));
  ASSERT_EQ(lines.size(), 88u);
  EXPECT_EQ(lines[0], "s = [0.070000], k = [0.000000], n = [12] gerneration_size=[60].");
  EXPECT_EQ(lines[1], "a0 = -0.1294967296");
  EXPECT_EQ(lines[2], "b0 = 0.0000000001");
  EXPECT_EQ(lines[3], "a1 = 0.0000000025");
  EXPECT_EQ(lines[4], "b1 = 0.0000000000");
  EXPECT_EQ(lines[5], "a2 = 0.0000000000");
  EXPECT_EQ(lines[6], "b2 = -0.0000000001");
  EXPECT_EQ(lines[7], "0 ->\t0.930000") << "code 7 with s = 7%";
  EXPECT_EQ(lines[8], "1 ->\t1.000000") << "code 4 with k = 0";
  EXPECT_EQ(labels_of(read_trajectory(dir / "out")), (std::vector<long long>{0, 12}));
}

TEST(FreshRunParamFile, HugeGenerationCountReadsNegativeAndRunsNothing) {
  temp_dir dir;
  write_file(dir / "fit.tsv", uniform_fitness_table(1, 1));
  fresh_args args;
  args.n = "3000000000";  // atoi gives -1294967296
  const run_result result = run_in(dir, args);
  // No generation runs, and the stop value 0 reached by the counter is a
  // multiple of 200: no final record, no dot.
  EXPECT_EQ(result.out, banner() + progress_banner);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(read_file(dir / "out"), testing::trajectory_header());
  EXPECT_EQ(lines_of(read_file(dir / "out.params"))[0],
            "s = [0.050000], k = [0.100000], n = [-1294967296] gerneration_size=[50].");
}

TEST(FreshRunParamFile, HugeGenerationSizeReadsNegativeAndGivesNoIndividuals) {
  temp_dir dir;
  write_file(dir / "fit.tsv", uniform_fitness_table(1, 1));
  fresh_args args;
  args.n = "201";
  args.generation_size = "3000000000";
  const run_result result = run_in(dir, args);
  EXPECT_EQ(result.out, banner() + progress_banner + "...");
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(lines_of(read_file(dir / "out.params"))[0],
            "s = [0.050000], k = [0.100000], n = [201] gerneration_size=[-1294967296].");
  const std::vector<record> records = read_trajectory(dir / "out");
  ASSERT_EQ(labels_of(records), (std::vector<long long>{0, 200, 201}));
  for (const record& r : records) EXPECT_EQ(r.counts, std::vector<long long>(81, 0));
}

// ---------------------------------------------------------------- fitness table

// The 81 fitness values of a parameter file, as printed.
std::vector<std::string> fitness_lines(const fs::path& params) {
  std::vector<std::string> lines = lines_of(read_file(params));
  EXPECT_EQ(lines.size(), 88u);
  std::vector<std::string> values;
  for (size_t i = 7; i < lines.size(); ++i) {
    const std::string prefix = std::to_string(i - 7) + " ->\t";
    EXPECT_EQ(lines[i].substr(0, prefix.size()), prefix);
    values.push_back(lines[i].substr(std::min(prefix.size(), lines[i].size())));
  }
  return values;
}

TEST(FreshRunFitnessTable, CommentsSpacesPiecesDuplicatesAndBadLines) {
  temp_dir dir;
  std::string table;
  table += "# a comment: allele1\tallele2\tallele3\tallele4\tcode\n";
  table += "#1\t1\t1\t1\t7\n";        // a comment, whatever follows
  table += " #\t3\t3\t3\t255\n";      // not a comment, but " #" is no allele
  table += "1 \t1\t1\t1\t 4\n";       // 1111 gets code 4
  table += "2\t1\t1\t1\t7\n";         // 2111 code 7 ...
  table += "\t\t2\t1\t1\t\t1\t8\n";   // ... then code 8: leading and doubled tabs separate once
  table += "3\t1\t1\t1\t255\n";       // 3111: unknown code -1, fitness 1
  table += "1\t2\t1\t1\t264\n";       // 1211: code 8 (low 8 bits)
  table += "4\t1\t1\t1\t255\n";       // allele 4: ignored, no message
  table += "0\t2\t1\t1\t255\n";       // allele 0: ignored
  table += "1\t1\t2\t-1\t255\n";      // allele -1: ignored
  table += "3\t3\t3\t3\n";            // no code column: 3333 stays unassigned
  table += "\n";
  // A comment longer than 4095 characters: the part after the first 4095
  // characters arrives as a line of its own and assigns 1311 code 5.
  table += std::string("#") + std::string(4094, 'x') + "1\t3\t1\t1\t5\n";
  // A long non-comment line: its first piece assigns 2311 code 6, the second
  // piece assigns 3311 code 2; read as one line the second genotype would be
  // ignored tokens.
  std::string first_piece = "2\t3\t1\t1\t6\t";
  first_piece += std::string(4095 - first_piece.size(), ' ');
  table += first_piece + "3\t3\t1\t1\t2\n";
  write_file(dir / "fit.tsv", table);

  fresh_args args;
  args.n = "1";
  args.generation_size = "20";
  const run_result result = run_in(dir, args);
  EXPECT_EQ(result.out,
            banner() + "Unknown code [-1].\n" +
                "Fitness file [fit.tsv] gives no fitness for [74] genotypes; they get fitness 0.\n" +
                progress_banner + "..");
  EXPECT_EQ(result.status, 0);

  const std::vector<std::string> fitness = fitness_lines(dir / "out.params");
  ASSERT_EQ(fitness.size(), 81u);
  std::vector<std::string> expected(81, "0.000000");
  expected[0] = "1.100000";  // 1111, code 4
  expected[1] = "0.975000";  // 2111, code 8 wins over 7
  expected[2] = "1.000000";  // 3111, unknown code
  expected[3] = "0.975000";  // 1211, code 264 = 8
  expected[6] = "1.050000";  // 1311, code 5 from the second piece of the comment
  expected[7] = "1.025000";  // 2311, code 6
  expected[8] = "1.025000";  // 3311, code 2
  EXPECT_EQ(fitness, expected);
}

TEST(FreshRunFitnessTable, ChosenColumnResolvesEveryGenotype) {
  struct column_case {
    std::string column;
    std::string fitness;
    std::string message;
  };
  const std::string missing_all =
      "Fitness file [fit.tsv] gives no fitness for [81] genotypes; they get fitness 0.\n";
  const std::vector<column_case> cases = {
      {"1", "1.100000", ""},
      {"2", "0.950000", ""},
      {"257", "1.100000", ""},  // narrowed to 8 bits: column 1
      {"258", "0.950000", ""},  // column 2
      {"3", "0.000000", missing_all},
      {"0", "0.000000", missing_all},
      {"-1", "0.000000", missing_all},
  };
  for (const column_case& c : cases) {
    SCOPED_TRACE("column " + c.column);
    temp_dir dir;
    write_file(dir / "fit.tsv", uniform_fitness_table(4, 7));
    fresh_args args;
    args.column = c.column;
    args.n = std::string(1, '0');
    const run_result result = run_in(dir, args);
    EXPECT_EQ(result.out, banner() + c.message + progress_banner);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(fitness_lines(dir / "out.params"), std::vector<std::string>(81, c.fitness));
  }
}

TEST(FreshRunFitnessTable, MissingGenotypesGetFitnessZeroAndAreReportedOnce) {
  temp_dir dir;
  std::string table;
  for (int j = 0; j < 81; ++j) {
    if (j != 5 && j != 42 && j != 80) table += table_line(j, "1");
  }
  write_file(dir / "fit.tsv", table);
  fresh_args args;
  args.n = "201";
  args.generation_size = "25";
  const run_result result = run_in(dir, args);
  EXPECT_EQ(result.out,
            banner() +
                "Fitness file [fit.tsv] gives no fitness for [3] genotypes; they get fitness 0.\n" +
                progress_banner + "...");
  EXPECT_EQ(result.status, 0);
  std::vector<std::string> expected(81, "1.000000");
  expected[5] = expected[42] = expected[80] = "0.000000";
  EXPECT_EQ(fitness_lines(dir / "out.params"), expected);
}

// ---------------------------------------------------------------- write failures

TEST(FreshRunWriteFailures, TrajectoryOnAFullDeviceStopsAtTheFirstRecord) {
  temp_dir dir;
  write_file(dir / "fit.tsv", uniform_fitness_table(1, 1));
  fs::create_symlink("/dev/full", dir / "out");
  fresh_args args;
  args.n = "100000";
  args.generation_size = "10";
  const run_result result = run_in(dir, args);
  EXPECT_EQ(result.out, banner() + progress_banner + "." + "Could not write output file [out].\n");
  EXPECT_EQ(result.status, 1);
  // The parameter file was complete before the run began.
  ASSERT_TRUE(is_plain_file(dir / "out.params"));
  EXPECT_EQ(lines_of(read_file(dir / "out.params")).size(), 88u);
}

TEST(FreshRunWriteFailures, TrajectoryOnAFullDeviceFailsAtCloseWithoutRecords) {
  temp_dir dir;
  write_file(dir / "fit.tsv", uniform_fitness_table(1, 1));
  fs::create_symlink("/dev/full", dir / "out");
  fresh_args args;
  args.n = "0";
  const run_result result = run_in(dir, args);
  EXPECT_EQ(result.out, banner() + progress_banner + "Could not write output file [out].\n");
  EXPECT_EQ(result.status, 1);
}

TEST(FreshRunWriteFailures, ParamFileOnAFullDeviceFailsBeforeTheRun) {
  temp_dir dir;
  write_file(dir / "fit.tsv", uniform_fitness_table(1, 1));
  fs::create_symlink("/dev/full", dir / "out.params");
  const run_result result = run_in(dir, fresh_args{});
  EXPECT_EQ(result.out, banner() + "Could not write param file [out.params].\n");
  EXPECT_EQ(result.status, 1);
  ASSERT_TRUE(is_plain_file(dir / "out"));
  EXPECT_EQ(fs::file_size(dir / "out"), 0u) << "nothing reaches the trajectory";
}

}  // namespace
}  // namespace twolocus
