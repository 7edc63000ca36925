// The trajectory file: a header line naming the 81 genotypes, then records of
// a generation label and the 81 counts, tab-separated. Writing flushes every
// output stream after each field, so a killed run leaves at most one partial
// line; the checkpoint reader falls back past such a line.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>

#include "model/model.hpp"

namespace twolocus {

// Takes an open file; writes "generation" and a tab and label per genotype
// index, then a newline. Nothing is flushed.
void write_header(std::FILE* file);

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

// Takes a trajectory file open for reading, its name and the two population
// arrays. Reads to the end of the file and restores the last complete record
// (or, when the last line has fewer than 81 counts, the line before it) into
// both arrays, printing "m (where we left off) is [%d].\n" and the fall-back
// message. Returns the record's label, or nothing after printing why there
// is no usable record (an empty file, or neither of the last two lines
// complete, or only the header). The header is never taken as a record.
std::optional<int32_t> read_checkpoint(std::FILE* file, const char* name,
                                       population_counts& current, population_counts& next);

}  // namespace twolocus
