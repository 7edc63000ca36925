// twolocus-sim's summary table, OUT.summary.tsv: a header and one row per
// replicate with the replicate's number, its seed, how it ended, the label
// of its last population, the generations run, and that population's
// statistics under twolocus-stats' column names, worked out and written as
// twolocus-stats does (exact integer ratios, correctly rounded; %.10g;
// empty where undefined).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "model/model.hpp"

namespace twolocus {

// The header line of the table, without its line end. `conditions`: the
// texts of the run's watch and stop conditions, one column each between
// `generations` and `N` (none today).
std::string summary_header(const std::vector<std::string>& conditions = {});

// The statistics columns of one population, tab-separated, as twolocus-stats
// writes them for the same counts and fitness values.
std::string population_statistics(const population_counts& counts, const fitness_table& fitness);

// One finished replicate.
struct summary_row {
  int64_t replicate = 0;
  int32_t seed = 0;
  std::string end = "last";
  int64_t label = 0;
  int64_t generations = 0;
  // One field per condition column, in the header's order: the first label
  // at which it held, or empty.
  std::vector<std::string> conditions;
};

// The whole line of a replicate (without its line end).
std::string summary_line(const summary_row& row, const population_counts& counts,
                         const fitness_table& fitness);

// Takes a file name and lines (without line ends); writes the header and the
// lines to NAME.tmp and renames it to NAME, so that a kill leaves the old
// file or the new one whole. Returns whether it was written.
bool write_summary_atomically(const std::string& name, const std::vector<std::string>& lines,
                              const std::vector<std::string>& conditions = {});

// The number of tab-separated columns of a summary line with that many
// condition columns.
int summary_column_count(int conditions = 0);

}  // namespace twolocus
