// twolocus-sim's summary table, OUT.summary.tsv: a header and one row per
// replicate with the replicate's number, its seed, how it ended, the label
// of its last population, the generations run, and that population's
// statistics under twolocus-stats' column names, worked out and written as
// twolocus-stats does (exact integer ratios, correctly rounded; %.10g;
// empty where undefined).
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include "model/model.hpp"

namespace twolocus {

// The columns of a table that vary with the run: the texts of its watch and
// stop conditions, one column each between `generations` and `N`, and, for
// a model of several demes, the demes' names in the model's order: each
// deme's statistics follow the whole population's, as STAT@NAME.
struct summary_columns {
  std::vector<std::string> conditions;
  std::vector<std::string> demes;
};

// The header line of the table, without its line end.
std::string summary_header(const summary_columns& columns = {});

// The statistics columns of one population, tab-separated, as twolocus-stats
// writes them for the same counts and fitness values.
std::string population_statistics(const population_counts& counts, const fitness_table& fitness);

// The same with no fitness table (nullptr): mean_fitness empty.
std::string population_statistics(const population_counts& counts, const fitness_table* fitness);

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

// The whole line of a replicate (without its line end): the row, the
// statistics of `counts` (the demes together) and those of each deme's
// counts in `demes`, in the header's order; mean_fitness by `fitness`, or
// when the demes have tables of their own (`deme_fitness`, in their order),
// each deme's by its own and the demes together's empty.
std::string summary_line(const summary_row& row, const population_counts& counts,
                         const fitness_table& fitness, std::span<const population_counts> demes = {},
                         std::span<const fitness_table> deme_fitness = {});

// Takes a file name and lines (without line ends); writes the header and the
// lines to NAME.tmp and renames it to NAME, so that a kill leaves the old
// file or the new one whole. Returns whether it was written.
bool write_summary_atomically(const std::string& name, const std::vector<std::string>& lines,
                              const summary_columns& columns = {});

// Takes a file name and the varying columns; creates NAME.tmp afresh (an
// older one is removed first, so that nothing is written through a FIFO or
// a link left there) and writes the header into it. Returns the stream, or
// nullptr when it cannot be created.
std::FILE* begin_summary_file(const std::string& name, const summary_columns& columns);

// Takes the stream of begin_summary_file and the file name; flushes and
// closes the stream and renames NAME.tmp to NAME. Returns whether all of it
// was written; when not, NAME.tmp is removed and NAME left as it was.
bool end_summary_file(std::FILE* file, const std::string& name);

// Takes the name of a table written row by row in any order, its varying
// columns, and how much memory the sort may hold (bytes of rows) and how many
// sorted stretches it merges at once; rewrites the table, through NAME.tmp
// and a rename, with its complete rows sorted by replicate number (rows of
// one number in their order in the file). Rows beyond the memory go to
// sorted stretches in scratch files beside NAME (removed from the folder
// as soon as they are opened), merged from disk. Returns whether the table
// was read and written whole.
bool sort_summary_file(const std::string& name, const summary_columns& columns,
                       size_t memory = size_t{16} << 20, size_t fan_in = 64);

// The number of tab-separated columns of a summary line with those varying
// columns: 5, one per condition, and the 24 statistics once for the whole
// and once more for each deme.
int summary_column_count(const summary_columns& columns = {});

}  // namespace twolocus
