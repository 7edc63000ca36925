// The trajectory file: a header line naming the 81 genotypes, then records of
// a generation label and the 81 counts, tab-separated. Writing flushes every
// output stream after each field, so a killed run leaves at most one partial
// line; the checkpoint reader falls back past such a line.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "model/model.hpp"

namespace twolocus {

// Takes an open file; writes "generation" and a tab and label per genotype
// index, then a newline. Nothing is flushed.
void write_header(std::FILE* file);

// The header line that write_header writes, its newline included.
std::string header_line();

// Takes a file open for reading; returns whether it begins with the whole
// header line, and leaves it at its start.
bool begins_with_header(std::FILE* file);

// Takes an open file, a label and counts; writes "%d" with the label and
// "\t%d" with each count, flushing all output streams after each of these
// 82 fields, then a newline, which is not flushed. Returns false when a
// write or a flush of `file` failed.
bool write_record(std::FILE* file, int32_t label, const population_counts& counts);

// Takes an open file, a label and counts; appends a newline and then the
// record line of write_record, and flushes all output streams once, at the
// end: what a kill leaves is then the file before or after the whole
// append. (Written field by field, a kill inside it would leave the line
// it ends and the record both incomplete, and no checkpoint to resume
// from.) Returns false when a write or the flush of `file` failed.
bool append_resume_record(std::FILE* file, int32_t label, const population_counts& counts);

// The trajectory file as a run writes it: the stream, a second descriptor
// of the same open file that the run keeps until it exits (it holds the
// run's lock, and can still cut the file back once the stream is closed),
// and where a failed write cuts the file back to: `keep` bytes, plus the
// `tail` bytes after them when the file holds all of them.
struct trajectory_output {
  std::FILE* file = nullptr;
  int guard = -1;
  long long keep = 0;
  long long tail = 0;
};

// Takes a fresh run's empty output; writes the header. Until a record is
// written, a failure cuts the file back to the whole header, or to nothing.
void start_trajectory(trajectory_output& output);

// Takes an output, a label and counts; writes the record as write_record
// does. Once all its fields are out, a later failure cuts back to the end
// of its counts (and its newline, when the file holds it). Returns false
// when a write or a flush failed.
bool add_record(trajectory_output& output, int32_t label, const population_counts& counts);

// Takes an output positioned at the end of the file, a label and counts;
// appends as append_resume_record does. A failure of this append cuts back
// to the size before it; once it is out, to its end. Returns false when a
// write or the flush failed.
bool add_resume_record(trajectory_output& output, int32_t label, const population_counts& counts);

// Takes an output; flushes the last record's newline and closes the stream.
// Returns false when the flush or the close failed (the file can still be
// cut back through the guard descriptor).
bool finish_trajectory(trajectory_output& output);

// Takes an output after a failed write; discards what the stream still
// buffers (nothing is written after the cut), truncates a regular file to
// its cut and closes the stream.
void cut_back_trajectory(trajectory_output& output);

// How reading a checkpoint went. `result`: a record was restored, the file
// is empty, it holds only its header, or neither of its last two lines is a
// complete record. Unless the file is empty or only a header, `last_label`
// is the last line's label and `last_entries`, when that line is incomplete,
// the number of counts it holds; `label` is the restored record's label.
struct checkpoint_reading {
  enum class outcome { restored, empty, only_header, neither_complete };
  outcome result = outcome::empty;
  int32_t last_label = 0;
  std::optional<int> last_entries;
  int32_t label = 0;
};

// Takes a trajectory file open for reading and the two population arrays.
// Reads to the end of the file and restores the last complete record (or,
// when the last line has fewer than 81 counts, the line before it) into both
// arrays; the file is left at its end. The header is never taken as a
// record. Returns how it went.
checkpoint_reading read_checkpoint(std::FILE* file, population_counts& current,
                                   population_counts& next);

}  // namespace twolocus
