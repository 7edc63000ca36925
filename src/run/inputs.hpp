// The inputs of a twolocus-sim run and what follows from its parameters,
// shared by the program and the Python module so that both read the same
// inputs with the same messages and write the same summary rows: the
// fitness table and the starting population read from their files, the
// model of the parameters, the stop and watch conditions, and a
// replicate's summary row.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "model/model.hpp"
#include "model/history.hpp"
#include "model/watch.hpp"
#include "run/files.hpp"
#include "run/messages.hpp"
#include "run/request.hpp"

namespace twolocus {

// How an input failed: the message, and the errno of an input that could
// not be opened (EISDIR for a folder, EINVAL for another file that is not a
// regular file; 0 when it was read and found wrong), by which the Python
// module chooses its exception.
struct input_failure {
  message said;
  int open_error = 0;
};

// Takes the request and the parameters; opens the fitness table (a regular
// file, never waited on) and reads it into `params.fitness`, adding it to
// `inputs`; or, for a fitness by coefficients (no table), makes the table
// of `params.coefficients` (too large for floor weights: a failure).
// Returns the failure, or nothing.
std::optional<input_failure> read_fitness_input(const run_request& request, sim_params& params,
                                                std::vector<input_file>& inputs);

// Takes a request with a fitness (a table or coefficients); returns in
// `text` the table of values that the run's fitness is (the layout of
// --fitness-values, read back exactly), or the failure.
std::optional<message> fitness_table_text(const run_request& request, std::string& text);

// Takes the request and the parameters; reads the --initial file into
// `params.initial` (adding it to `inputs`), or without one sets all N
// individuals in genotype 1111. Returns the failure, or nothing.
std::optional<input_failure> read_initial_input(const run_request& request, sim_params& params,
                                                std::vector<input_file>& inputs);

// Takes the request, its demes' own values resolved, and the parameters;
// reads each deme's own --initial NAME=FILE[:LABEL] into `params.starts`
// (adding the files to `inputs`). Returns the failure, or nothing.
std::optional<input_failure> read_deme_starts(const run_request& request, sim_params& params,
                                              std::vector<input_file>& inputs);

// Takes the request and the names of its model's demes; gives the demes'
// own values to their demes (resolve_deme_values). Returns the problem in
// the words of twolocus-sim's options, or nothing.
std::optional<message> take_deme_values(run_request& request, const structure_history& structure,
                                        int64_t start);

// Takes a run's parameters; returns the model its generations run.
model_params sim_model(const sim_params& params);

// The conditions of a run, set up from its parameters (read and checked
// before), none reached.
run_conditions sim_conditions(const sim_params& params);

// Takes a run's conditions and the names of its model's demes (none
// without a demography); binds the demes the conditions name. Returns the
// refusal of a name that is no deme of the model, or nothing.
std::optional<message> bind_demes_of(run_conditions& watched, const std::vector<std::string>& names);

// The summary's condition columns: the texts.

// The summary row of replicate `replicate`, run with `params.seed`, that
// ended with `counts`: by a stop condition at its first label, or at its
// last generation; with the first label of each condition.
// With several demes, each deme's counts follow in `demes` (the model's
// order), as the summary's columns do.
std::string sim_end_line(const sim_params& params, int64_t replicate, const run_conditions& watched,
                         const population_counts& counts, std::span<const population_counts> demes = {});

}  // namespace twolocus
