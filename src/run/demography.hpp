// A twolocus-sim run with a demography: the Demes file read and resolved,
// checked for what a run can simulate, and the run's time axis set from it
// (its start before time 0, its generations, its first size); and the
// history read back from a run's parameter file.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/demography.hpp"
#include "model/history.hpp"
#include "run/inputs.hpp"
#include "run/messages.hpp"
#include "run/request.hpp"

namespace twolocus {

// The default burn-in: this many times the largest size of a deme's first
// epoch.
inline constexpr int64_t default_burn_in_sizes = 10;

// Takes a request with a --demography file; reads and resolves it (a
// regular file, never waited on), adding it to `inputs`. Returns the
// failure, or nothing.
std::optional<input_failure> read_demography_input(const run_request& request, demography& model,
                                                   std::vector<input_file>& inputs);

// Takes a request with a --demography file; returns the fully resolved model
// as indented JSON in `json`, or the failure. Only the format's rules apply.
std::optional<message> resolve_demography(const run_request& request, std::string& json);

// Takes the request and its resolved model; checks that a run can simulate
// it and sets the parameters' time axis: the start (--generations, or the
// oldest finite time and the burn-in), the generations, the size of the
// population before generation 0, and the model as one line of JSON.
// Returns the failure, or nothing.
std::optional<message> set_up_history(const run_request& request, const demography& model,
                                      sim_params& params);

// Takes a request and its parameters; with a --demography file, reads and
// resolves it (adding it to `inputs`), sets the parameters' time axis
// (set_up_history) and fills `structure` with its demes' histories, and
// `generation_time` (when given) with the model's; without one, does
// nothing. Returns the failure, or nothing.
std::optional<input_failure> read_history_input(const run_request& request, sim_params& params,
                                                std::vector<input_file>& inputs,
                                                structure_history& structure,
                                                double* generation_time = nullptr);

// The same for a demography given as its text (the Python module's YAML or
// JSON text), which the messages name as the request's demography_file:
// reads and resolves the text, sets up the history and fills `structure`.
// Returns the failure, or nothing.
std::optional<message> read_history_text(const run_request& request, std::string_view text,
                                         sim_params& params, structure_history& structure,
                                         double* generation_time = nullptr);

}  // namespace twolocus
