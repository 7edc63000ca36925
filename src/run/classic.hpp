// The classic programs' runs (twolocus, twolocus-multinomial) as views of
// the general model: their files read and written exactly as twolocus
// does, their parameters turned into the general model (general_params),
// and their generations run by the one loop, a record (and a progress dot)
// every 200.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "io/sim_params.hpp"
#include "model/model.hpp"
#include "run/messages.hpp"
#include "run/observer.hpp"

namespace twolocus {

// A fresh classic run's command line, read as twolocus reads it.
struct classic_request {
  std::string fitness_name;
  int8_t column = 1;
  std::string output;
  run_params params;  // its fitness is read from the table
};

// Takes the engine (of the program's entry point), a fresh run's request and
// the observer (its notes are the program's messages that go on, its
// `generations` the progress dots, heard before each record); opens the
// fitness table, the trajectory and the parameter file, writes the
// parameter file, reads the table, and runs generations 0 to n - 1.
// Returns the failure, or nothing.
std::optional<message> classic_fresh_run(engine_kind engine, const classic_request& request,
                                         const run_observer& observer);

// Takes the engine, the trajectory's name, the new n if one was given, and
// the observer; restores the checkpoint, writes the refreshed parameter
// file OUT.params.new, seeds the engine (with the recorded seed when it
// keeps its seed, else with 1) and runs on to n. Returns the failure, or
// nothing.
std::optional<message> classic_resume(engine_kind engine, const std::string& output,
                                      std::optional<int32_t> new_n, const run_observer& observer);

// Takes a trajectory file open for reading, its name, the two population
// arrays and the observer; restores the last complete record as
// read_checkpoint does, noting "m (where we left off) is [%d].\n" (twice,
// or around the fall-back message when the last line is incomplete).
// Returns the record's label, or nothing with `failure` set.
std::optional<int32_t> restore_classic_checkpoint(std::FILE* file, const char* name,
                                                  population_counts& current, population_counts& next,
                                                  const run_observer& observer,
                                                  std::optional<message>& failure);

// Takes a parameter file open at its start and its name; reads line 1 into
// `params`. Returns the failure when line 1 is not of the right format.
std::optional<message> read_classic_params_head(std::FILE* file, const char* name, run_params& params);

// Takes the parameter file after line 1 and its name; reads the rest into
// `params` and `seed`. Returns the failure: the line that is not of the
// right format, or the rates or fitness values that are incomplete.
std::optional<message> read_classic_params_body(std::FILE* file, const char* name, run_params& params,
                                                std::optional<int32_t>& seed);

}  // namespace twolocus
