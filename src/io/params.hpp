// The parameter file: 88 lines holding a run's whole parameter set, written
// beside the trajectory file and read back on resume.
#pragma once

#include <cstdio>

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

// Takes the parameter file positioned after line 1 and its name; reads the
// rate and fitness triples of the remaining lines, in any order (a triple
// with an index out of range, or lacking a token, is ignored; a value that is
// not a finite number, or is -1, counts as missing). Returns false after
// printing the "Mutation rates ... are incomplete" or "Fitnesses ... are
// incomplete" message, checked in that order.
bool read_params_body(std::FILE* file, const char* name, run_params& params);

}  // namespace twolocus
