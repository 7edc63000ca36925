// twolocus-sim's checkpoint side file, OUT.checkpoint: what a resume needs
// beyond the trajectory. Before each record is written, one line
// "LABEL<TAB>GENERATIONS_DONE<TAB>DRAWS_CONSUMED\n" is appended and flushed
// in one write: the record's label, the generations run when it was taken
// (g + 1 for a record g, n for a final record n) and the draws the exact
// engine's stream had consumed by then (0 for the multinomial engine). A
// run of several demes, which has an engine for each, writes the draws of
// each deme's engine after the first's, one field each. A kill leaves at
// most a partial last line, which is ignored; since each line precedes its
// record, every complete record has its line.
//
// A run with stop or watch conditions also appends, when conditions are
// first reached, one line "reached<TAB>CONDITION<TAB>LABEL\n" each (the
// condition's column from 0, in the order of OUT.params' stop and watch
// lines, and the label at which it first held), flushed at once, before the
// record of that label. Readers of record lines skip them.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <vector>

namespace twolocus {

// One line of the side file.
struct checkpoint_line {
  int32_t label = 0;
  int64_t generations_done = 0;
  uint64_t draws = 0;
  std::vector<uint64_t> more_draws;  // of the demes after the first (read back)
};

// Takes the side file open for appending, a line and the draws of the demes
// after the first (none for a run of one deme); appends the line and flushes
// it. Returns false when the write or the flush failed.
bool append_checkpoint_line(std::FILE* file, const checkpoint_line& line,
                            const std::vector<uint64_t>& more_draws = {});

// Takes the side file open for reading and a record label; returns the last
// complete, well-formed line with that label, or nothing. `complete_size`
// is set to the size of the file up to its last line end (what is left when
// a partial last line is cut off).
std::optional<checkpoint_line> find_checkpoint_line(std::FILE* file, int32_t label,
                                                    long long& complete_size);

// Takes the side file open for appending, a label and the first labels of a
// run's conditions; appends a reached line for each condition first reached
// at that label and flushes them. Returns false when a write or the flush
// failed.
bool append_reached_lines(std::FILE* file, int64_t label, const std::vector<int64_t>& first);

// One reached line.
struct reached_line {
  size_t condition = 0;
  int64_t label = 0;
};

// Takes the side file open for reading at its start; returns its complete,
// well-formed reached lines in file order.
std::vector<reached_line> read_reached_lines(std::FILE* file);

}  // namespace twolocus
