// The pieces of a twolocus-sim run that the program and the Python module
// share, so that both read the same inputs with the same messages and
// write the same summary rows: the fitness table and the starting
// population read from their files, the model of the parameters, the
// stop and watch conditions, and a replicate's summary row.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "app/sim_options.hpp"
#include "model/model.hpp"
#include "model/watch.hpp"

namespace twolocus {

// Takes the read command line and the open fitness file; reads the table
// into `params.fitness`. Returns the exit status after a message, or nothing.
std::optional<int> read_sim_fitness(const sim_options& options, std::FILE* file, sim_params& params);

// Takes the read command line and the open --initial file; reads the
// starting counts into `params.initial`. Returns the exit status after a
// message, or nothing.
std::optional<int> read_sim_initial(const sim_options& options, std::FILE* file, sim_params& params);

// Takes a run's parameters; returns the model its generations run.
model_params sim_model(const sim_params& params);

// The conditions of a run, set up from its parameters (read and checked
// before), none reached.
run_conditions sim_conditions(const sim_params& params);

// The summary's condition columns: the texts.
std::vector<std::string> sim_condition_columns(const sim_params& params);

// The summary row of replicate `replicate`, run with `params.seed`, that
// ended with `counts`: by a stop condition at its first label, or at its
// last generation; with the first label of each condition.
std::string sim_end_line(const sim_params& params, int64_t replicate, const run_conditions& watched,
                         const population_counts& counts);

}  // namespace twolocus
