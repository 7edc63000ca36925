// The parameter file: 88 lines holding a run's whole parameter set, written
// beside the trajectory file and read back on resume.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>

#include "model/model.hpp"

namespace twolocus {

// Takes an open file and the parameters; writes line 1 (s, k, n and the
// generation size) and the six rate lines a0, b0, a1, b1, a2, b2.
void write_params_head(std::FILE* file, const run_params& params);

// Takes an open file and the fitness table; writes the 81 fitness lines.
void write_params_fitness(std::FILE* file, const fitness_table& fitness);

// Takes an open file and the parameters; writes all 88 lines.
void write_params(std::FILE* file, const run_params& params);

// Takes a parameter file open at its start; reads line 1 into s, k, n and
// the generation size of `params`. Returns false unless all four values
// were converted.
bool read_params_head(std::FILE* file, run_params& params);

// Line 1 as written: s and k in double precision (the programs keep them
// as floats), n and the generation size as read_params_head keeps them.
struct params_head {
  double s = 0.0;
  double k = 0.0;
  int32_t n = 0;
  int32_t generation_size = 0;
};

// Takes a parameter file open at its start; reads line 1 by the same format
// as read_params_head, into `head`, for the tools that show the values as
// written. Returns false unless all four values were converted.
bool read_params_head(std::FILE* file, params_head& head);

// Takes an open file and a seed; writes the line "seed = %d" that may end
// the parameter file of a program whose resume continues its random stream.
void write_params_seed(std::FILE* file, int32_t seed);

// How reading the lines after line 1 went: read, a line that is not of the
// right format (`line`: its physical number, counted from 1), or a rate or
// a fitness that no line gave (rates are checked first).
struct params_body_reading {
  enum class outcome { read, line_format, rates_incomplete, fitness_incomplete };
  outcome result = outcome::read;
  long long line = 0;
};

// Takes the parameter file positioned after line 1; reads the remaining
// lines into the rates and the fitness table, in any order, the later line
// winning. A line is blank (spaces and tabs) or whole triples: a key (a0..a2,
// b0..b2, a genotype index 0..80 in digits, or "seed"), any second token,
// and a value that strtod reads whole as a finite decimal number ("seed": a
// 32-bit integer, stored in `seed`). A line end of "\r\n" counts as a
// newline. Returns how it went; reading stops at the first line that is not
// of the right format.
params_body_reading read_params_body(std::FILE* file, run_params& params,
                                     std::optional<int32_t>& seed);

// Takes a parameter file open at its start; returns whether it begins as a
// twolocus-sim parameter file ("twolocus-sim parameters"), which the classic
// programs refuse, and leaves the file at its start.
bool is_sim_params_file(std::FILE* file);

}  // namespace twolocus
