// The conditions a run watches after every generation: its stop conditions
// (the run ends at the first label where one holds) and its watch conditions
// (only their first label is kept). Set up once from the texts as given;
// checking a population allocates nothing and evaluates only the conditions
// not reached yet, so a run whose conditions have all been reached pays
// nothing more.
//
// Labels are those of a run recorded every generation: -1 for the starting
// population, g for the population after generation g. A condition's first
// label is the first label at which it holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "model/conditions.hpp"
#include "model/model.hpp"

namespace twolocus {

// A condition as given: its text and whether it stops the run.
struct condition_text {
  std::string text;
  bool stops = false;
};

// The first label of a condition not reached (yet).
inline constexpr int64_t not_reached = INT64_MIN;

// A run's conditions: one per distinct text, in the order first given (a
// text given both to stop and to watch stops), with their first labels.
struct run_conditions {
  std::vector<condition_text> given;
  std::vector<condition> compiled;
  std::vector<int64_t> first;  // the first label, or not_reached
  size_t pending = 0;          // how many are not reached
  int stopped_by = -1;         // the stop condition that ended the run, or -1
  // For each condition, the place among the model's demes of each deme it
  // names (bind_condition_demes), and room for their counts while checking.
  std::vector<std::vector<uint32_t>> deme_places;
  std::vector<const population_counts*> deme_counts;
  std::vector<const fitness_table*> deme_tables;  // their fitness tables, when each deme has its own
};

// A text that could not be read: its place in the list given and the error.
struct conditions_error {
  size_t which = 0;
  condition_error error;
};

// Takes an error kind; returns its words, as errors print them ("an unknown
// name"...), the same as the Python module's ConditionError.
const char* condition_error_words(condition_error_kind kind);

// Takes the texts in the order given (stop and watch texts interleaved as
// on the command line); fills `run` with the distinct ones, none reached.
// Returns the first text that is not a condition, or nothing.
std::optional<conditions_error> set_up_conditions(const std::vector<condition_text>& texts,
                                                  run_conditions& run);

// A deme a condition names that the run's model does not have.
struct unknown_deme {
  size_t which = 0;  // the condition's index
  std::string name;
};

// Takes set-up conditions and the names of the model's demes in its order
// (none for a run without a demography, whose conditions name no deme);
// binds each deme a condition names to its place. Returns the first name
// that is no deme of the model, or nothing.
std::optional<unknown_deme> bind_condition_demes(run_conditions& run, const std::vector<std::string>& names);

// Takes set-up conditions; marks every one as not reached, for a fresh run
// (or the next replicate).
void reset_conditions(run_conditions& run);

// What a check found.
struct condition_check {
  int reached = 0;     // conditions reached at this label for the first time
  bool stop = false;   // a stop condition holds: the run ends here
};

// Takes the conditions, a population (the demes together), each deme's
// counts in the model's order (a run of one deme: that population again;
// none without a demography), its fitness table (nullptr: none), its label
// and, when the demes' fitness differs, each deme's table in the model's
// order (the demes together then have no mean_fitness); evaluates the conditions not reached yet and sets the first label
// of those that hold. When stop conditions hold, the first of them in the
// order given becomes `stopped_by`. Allocates nothing.
condition_check check_conditions(run_conditions& run, const population_counts& counts,
                                 std::span<const population_counts> demes, const fitness_table* fitness,
                                 int64_t label, std::span<const fitness_table* const> deme_fitness = {});

// The same for a run of one population (bound to no deme or to one).
inline condition_check check_conditions(run_conditions& run, const population_counts& counts,
                                        const fitness_table* fitness, int64_t label) {
  return check_conditions(run, counts, std::span<const population_counts>(&counts, 1), fitness, label);
}

// The same for the starting population (label -1).
inline condition_check check_start(run_conditions& run, const population_counts& counts,
                                   const fitness_table* fitness) {
  return check_conditions(run, counts, fitness, -1);
}

// Takes the conditions, a condition's index and a label; records that it
// was first reached there (as read back from a checkpoint) unless it was
// reached earlier. A stop condition sets `stopped_by` as a check does.
void restore_reached(run_conditions& run, size_t index, int64_t label);

// Takes the conditions; returns the index of the stop condition that ended
// the run, or -1 when none did.
inline int stop_condition(const run_conditions& run) { return run.stopped_by; }

}  // namespace twolocus
