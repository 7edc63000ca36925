// The changes of a run's environment (--change TIME:PARAMETER=VALUE),
// resolved once at the start into the parameters' changes: each with its
// first generation on the run's axis and the whole new value (a fitness
// table read or made then, a rate, r), so that a resume reads no file again.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "io/sim_params.hpp"
#include "run/files.hpp"
#include "run/inputs.hpp"
#include "run/request.hpp"

namespace twolocus {

// How resolving went wrong: the change's text and why, in words a message
// completes ("time [2.5] is not a whole generation"); or the failure of a
// fitness table it names.
struct change_failure {
  std::string text;
  std::string reason;
  std::optional<input_failure> input;
  // A deme's own value (NAME=VALUE) rather than a change: its entry.
  parameter_id deme_entry = parameter_id::count;
};

// The run's time axis: without a history, TIME is the first generation a
// change acts in; with one (start S generations before time 0, generation
// time G), TIME is a time before the present in the model's units, and the
// change acts in the first generation whose offspring are born after it:
// the first g with S - g - 1 < TIME / G (at least 0).
struct change_axis {
  bool history = false;
  int64_t start = 0;
  double generation_time = 1.0;
  std::vector<std::string> demes;  // the deme names of a run of several demes
};

// Takes a time and the axis; returns the first generation a change at that
// time acts in, or nothing when the time is not one of the axis (a time
// that is not whole without a history).
std::optional<int64_t> change_generation(double time, const change_axis& axis);

// Takes the request (its change texts, each read by read_change, its
// fitness as given and its demes' own fitness values, resolved, which
// become changes of their demes in generation 0), the parameters with the run's fitness read, and the
// axis; sets `params.changes` in the order they act (by first generation,
// in the order given within one), adding the tables read to `inputs`.
// Returns the failure of the first change that cannot be made: a value not
// of its parameter, a deme not of the run, a column, s or k when the fitness
// is not a table (or s and k of a table of values), a mutation row summing
// above 1, or a table that cannot be read.
std::optional<change_failure> resolve_changes(const run_request& request, sim_params& params,
                                              const change_axis& axis, std::vector<input_file>& inputs);

// Takes a run's parameters, a generation and a deme (0: the first, or the
// whole population of a run of one); returns that deme's fitness table in
// that generation, its changes (its own fitness among them) applied.
fitness_table fitness_in_generation(const sim_params& params, int64_t generation, int deme = 0);

// Takes a run's parameters; returns whether a deme's fitness differs from
// the others' at some time (a deme's own table, or a change of one deme's).
bool demes_differ_in_fitness(const sim_params& params);

}  // namespace twolocus
