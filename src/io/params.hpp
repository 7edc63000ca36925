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

// Takes a parameter file open at its start and its name; reads line 1 into
// s, k, n and the generation size of `params`. Returns false after printing
// "You have to reenter the parameters.  Line 1 of [%s] is not of the right
// format.\n" unless all four values were converted.
bool read_params_head(std::FILE* file, const char* name, run_params& params);

// Takes an open file and a seed; writes the line "seed = %d" that may end
// the parameter file of a program whose resume continues its random stream.
void write_params_seed(std::FILE* file, int32_t seed);

// Takes the parameter file positioned after line 1 and its name; reads the
// remaining lines into the rates and the fitness table, in any order, the
// later line winning. A line is blank (spaces and tabs) or whole triples:
// a key (a0..a2, b0..b2, a genotype index 0..80 in digits, or "seed"), any
// second token, and a value that strtod reads whole as a finite decimal
// number ("seed": a 32-bit integer, stored in `seed`). A line end of "\r\n"
// counts as a newline. Returns false after printing "You have to reenter
// the parameters.  Line %d of [%s] is not of the right format.\n" with the
// first other line's physical number, else after printing the "Mutation
// rates ... are incomplete" or "Fitnesses ... are incomplete" message when
// no line gave some entry (rates checked first).
bool read_params_body(std::FILE* file, const char* name, run_params& params,
                      std::optional<int32_t>& seed);

}  // namespace twolocus
