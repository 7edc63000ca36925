// The summary table's sorted rewrite: rows in any order, more than the
// memory it may hold, come out sorted by replicate through stretches merged
// from disk (several passes when there are more than it merges at once),
// byte for byte what sorting them in memory gives; nothing is left beside
// the table.
#include "io/sim_summary.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "support/process.hpp"

namespace twolocus {
namespace {

using testing::read_file;
using testing::temp_dir;
using testing::write_file;

TEST(SimSummarySort, RowsInAnyOrderComeOutSortedWhateverTheMemory) {
  temp_dir dir;
  const std::string header = summary_header({{"h22 >= 0.5"}, {}}) + "\n";
  std::vector<std::pair<long long, std::string>> rows;
  std::mt19937 order(3);
  for (long long replicate = 0; replicate < 3000; ++replicate) {
    // Rows of different lengths, some numbers given twice (kept in file order).
    const std::string row = std::to_string(replicate) + "\t" + std::to_string(order()) + "\t" +
                            std::string(order() % 40, 'x') + "\n";
    rows.emplace_back(replicate, row);
    if (replicate % 97 == 0) rows.emplace_back(replicate, std::to_string(replicate) + "\tagain\n");
  }
  std::shuffle(rows.begin(), rows.end(), order);
  std::string table = header;
  for (const auto& row : rows) table += row.second;
  // Sorted by number, rows of one number in their order in the table (no
  // std::stable_sort: its buffer is freed past this test binary's counting
  // operator delete).
  std::vector<std::pair<long long, size_t>> order_kept;
  for (size_t i = 0; i < rows.size(); ++i) order_kept.emplace_back(rows[i].first, i);
  std::sort(order_kept.begin(), order_kept.end());
  std::string sorted = header;
  for (const auto& kept : order_kept) sorted += rows[kept.second].second;

  // In memory; in stretches merged at once; in stretches merged in passes.
  for (const auto& [memory, fan_in] : {std::pair<size_t, size_t>{size_t{1} << 20, 64}, {4000, 64},
                                       {700, 3}}) {
    SCOPED_TRACE(memory);
    write_file(dir / "t.summary.tsv", table + "17\tan incomplete last line");
    ASSERT_TRUE(sort_summary_file((dir / "t.summary.tsv").string(), {{"h22 >= 0.5"}, {}}, memory, fan_in));
    EXPECT_EQ(read_file(dir / "t.summary.tsv"), sorted);
    EXPECT_EQ(std::vector<std::filesystem::path>(std::filesystem::directory_iterator(dir.path), {}).size(), 1u);
  }
}

}  // namespace
}  // namespace twolocus
