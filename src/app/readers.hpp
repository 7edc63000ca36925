// The readers of the run's files, with what they found reported as the
// programs' messages.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>

#include "model/model.hpp"

namespace twolocus {

// Takes a fitness code; prints "Unknown code [%d].\n" with it.
void report_unknown_code(int code);

// Takes a trajectory file open for reading, its name and the two population
// arrays; restores the last complete record as read_checkpoint does,
// printing "m (where we left off) is [%d].\n" (twice, or around the
// fall-back message when the last line is incomplete). Returns the
// record's label, or nothing after printing why there is no usable record.
std::optional<int32_t> restore_checkpoint(std::FILE* file, const char* name,
                                          population_counts& current, population_counts& next);

// Takes a parameter file open at its start and its name; reads line 1 into
// `params`. Returns false after printing that line 1 is not of the right
// format.
bool read_params_head_reported(std::FILE* file, const char* name, run_params& params);

// Takes the parameter file after line 1 and its name; reads the rest into
// `params` and `seed`. Returns false after printing the line that is not of
// the right format, or the rates or fitness values that are incomplete.
bool read_params_body_reported(std::FILE* file, const char* name, run_params& params,
                               std::optional<int32_t>& seed);

}  // namespace twolocus
