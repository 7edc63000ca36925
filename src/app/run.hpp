// Run control of the classic programs: the command line, the fresh run, the
// resumed run and the generation loop they share, over any engine of
// model/engines.hpp (a template parameter, so that the loop calls the
// engine's steps directly). Each returns the process's exit status. The app
// library holds them for the exact, literal and multinomial engines.
#pragma once

#include <cstdint>
#include <string>

#include "io/trajectory.hpp"
#include "model/engines.hpp"
#include "model/model.hpp"

namespace twolocus {

// Takes the whole command line; prints the banner and runs a fresh run or a
// resume with a fresh engine, or prints the usage. Returns the exit status.
template <typename engine_type>
int classic_main(int argc, char** argv);

// Takes an engine and the whole command line of a fresh run (13 or 14
// arguments after the program name); opens the three files, writes the
// parameter file, reads the fitness table, seeds the engine and runs
// generations 0 to n - 1. Returns 1 after printing the message of the first
// failure, else the status of the generation loop.
template <typename engine_type>
int fresh_run(engine_type& engine, int argc, char** argv);

// Takes an engine and the whole command line of a resume (1 or 2 arguments
// after the program name); restores the checkpoint, seeds the engine (with
// the recorded seed when it keeps its seed, else with 1) and runs on to n.
// Returns 1 after printing the message of the first failure, else the
// loop's status.
template <typename engine_type>
int resume_run(engine_type& engine, int argc, char** argv);

// Takes the engine, the first generation to compute, the parameters, the
// two population arrays (current holding the population) and the trajectory
// output with its file's name. Runs the generations below n, printing a dot
// and writing a record every 200th, then the final record unless the stop is
// a multiple of 200, and closes the file. Returns 0, or 1 after cutting the
// file back to its last whole record and printing "Could not write output
// file [%s].\n" when writing, flushing or closing the file failed. Labels
// beyond the 32-bit range are written as 2147483647.
template <typename engine_type>
int run_generations(engine_type& engine, int64_t first_generation, const run_params& params,
                    population_counts& current, population_counts& next,
                    trajectory_output& trajectory, const std::string& trajectory_name);

// Instantiated in the app library, one unit each, for the three engines.
#define TWOLOCUS_FOR_EACH_ENGINE(instantiate) \
  instantiate(exact_engine)                   \
  instantiate(literal_engine)                 \
  instantiate(multinomial_engine)
#define TWOLOCUS_CLASSIC_MAIN(engine_type) \
  template int classic_main<engine_type>(int, char**);
#define TWOLOCUS_FRESH_RUN(engine_type) \
  template int fresh_run<engine_type>(engine_type&, int, char**);
#define TWOLOCUS_RESUME_RUN(engine_type) \
  template int resume_run<engine_type>(engine_type&, int, char**);
#define TWOLOCUS_RUN_GENERATIONS(engine_type)                                               \
  template int run_generations<engine_type>(engine_type&, int64_t, const run_params&,      \
                                            population_counts&, population_counts&,        \
                                            trajectory_output&, const std::string&);
#define TWOLOCUS_EXTERN(engine_type)             \
  extern TWOLOCUS_CLASSIC_MAIN(engine_type)      \
  extern TWOLOCUS_FRESH_RUN(engine_type)         \
  extern TWOLOCUS_RESUME_RUN(engine_type)        \
  extern TWOLOCUS_RUN_GENERATIONS(engine_type)
TWOLOCUS_FOR_EACH_ENGINE(TWOLOCUS_EXTERN)
#undef TWOLOCUS_EXTERN

}  // namespace twolocus
