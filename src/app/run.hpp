// Run control: the fresh run, the resumed run and the generation loop they
// share. Each returns the process's exit status.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "io/trajectory.hpp"
#include "model/model.hpp"

namespace twolocus {

// Takes the whole command line of a fresh run (13 or 14 arguments after the
// program name); opens the three files, writes the parameter file, reads the
// fitness table and runs generations 0 to n - 1. Returns 1 after printing
// the message of the first failure, else the status of the generation loop.
int fresh_run(int argc, char** argv);

// Takes the whole command line of a resume (1 or 2 arguments after the
// program name); restores the checkpoint and runs on to n. Returns 1 after
// printing the message of the first failure, else the loop's status.
int resume_run(int argc, char** argv);

// Takes the first generation to compute, the parameters, the two population
// arrays (current holding the population) and the trajectory output with its
// file's name. Runs the generations below n, printing a dot and writing a
// record every 200th, then the final record unless the stop is a multiple of
// 200, and closes the file. Returns 0, or 1 after cutting the file back to its
// last whole record and printing "Could not write output file [%s].\n" when
// writing, flushing or closing the file failed. Labels beyond the 32-bit
// range are written as 2147483647.
int run_generations(int64_t first_generation, const run_params& params,
                    population_counts& current, population_counts& next,
                    trajectory_output& trajectory, const std::string& trajectory_name);

}  // namespace twolocus
