// The program built with the fast engine and the one built with the literal
// steps and the C library's rand() write the same files, fresh and resumed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/process.hpp"

namespace twolocus {
namespace {

using testing::literal_binary_path;
using testing::read_file;
using testing::run_program_at;
using testing::source_path;
using testing::temp_dir;

struct scenario {
  std::string table;
  std::string column, s, k, n, size, rate12, rate23, rate13, seed;
};

std::vector<std::string> fresh_args(const scenario& c, const std::string& out) {
  return {source_path(c.table).string(), c.column, c.s, c.k, c.n, c.size,
          c.rate12, c.rate23, c.rate13, c.rate12, c.rate23, c.rate13, out, c.seed};
}

TEST(EnginesAgree, FreshRunsAndResumesWriteIdenticalFiles) {
  const std::vector<scenario> scenarios = {
      {"examples/valley.tsv", "1", "5", "10", "1001", "3000", "1000000", "1000000", "1000000", "2222"},
      {"examples/valley.tsv", "1", "0", "40", "600", "500", "100000000", "10000000", "50000000", "7"},
      {"examples/valley.tsv", "2", "5", "10", "2401", "60", "100000", "100000", "100000", "-3"},
      {"examples/additive.tsv", "1", "20", "30", "401", "20000", "10000", "10000", "10000", "0"},
      {"examples/lethal.tsv", "1", "5", "10", "801", "1000", "2147483647", "2147483647", "2147483647", "12"},
      {"examples/valley.tsv", "1", "150", "10", "300", "800", "10000000", "0", "10000000", "99"},
  };
  for (const auto& c : scenarios) {
    temp_dir fast, literal;
    const auto fast_run = run_program_at(testing::binary_path(), fresh_args(c, "out"), fast.path);
    const auto literal_run = run_program_at(literal_binary_path(), fresh_args(c, "out"), literal.path);
    ASSERT_EQ(fast_run.status, 0) << fast_run.out;
    ASSERT_EQ(literal_run.status, 0);
    EXPECT_EQ(fast_run.out, literal_run.out);
    ASSERT_EQ(read_file(fast / "out"), read_file(literal / "out")) << c.table << " seed " << c.seed;
    EXPECT_EQ(read_file(fast / "out.params"), read_file(literal / "out.params"));

    // A resume draws from the generator's unseeded start.
    const std::string new_n = std::to_string(std::stoi(c.n) + 700);
    const auto fast_resume = run_program_at(testing::binary_path(), {"out", new_n}, fast.path);
    const auto literal_resume = run_program_at(literal_binary_path(), {"out", new_n}, literal.path);
    ASSERT_EQ(fast_resume.status, 0) << fast_resume.out;
    EXPECT_EQ(fast_resume.out, literal_resume.out);
    EXPECT_EQ(read_file(fast / "out"), read_file(literal / "out")) << c.table << " resumed";
    EXPECT_EQ(read_file(fast / "out.params.new"), read_file(literal / "out.params.new"));
  }
}

}  // namespace
}  // namespace twolocus
