// What a twolocus-sim run is asked to do, read from the command line (or
// from the Python module's keywords): the parameters, the inputs to read,
// the output's name and, for a batch, its replicates. The run library
// starts, resumes or batches runs from it.
//
// Both front ends read a value by its entry of the table of parameters
// (read_parameter), store it (set_parameter) and check the whole request
// (check_request); each says a problem in its own words, naming the option
// or the keyword.
#pragma once

#include <array>
#include <bitset>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "io/parameters.hpp"
#include "io/sim_params.hpp"
#include "model/conditions.hpp"
#include "model/history.hpp"
#include "model/watch.hpp"

namespace twolocus {

// Which parameters a request was given, by entry.
using given_parameters = std::bitset<static_cast<size_t>(parameter_id::count)>;

// A value of one entry, read and within its range: `whole` (integer), `real`
// (real, probability), `word` (the place of one of its words) or `text`
// (file, folder, start, condition), with a start's LABEL in `label`.
struct parameter_value {
  std::string deme;  // NAME of NAME=VALUE, for an entry a deme may have its own of
  std::string given;  // NAME=VALUE as given, for a value of one deme
  int64_t whole = 0;
  double real = 0.0;
  int word = 0;
  std::string text;
  std::optional<int32_t> label;
  std::array<double, 6> six{};
};

// A value given to one deme (NAME=VALUE) and its entry; `deme` is its
// place among the model's demes once resolved.
struct deme_value {
  parameter_id id = parameter_id::count;
  parameter_value value;
  int deme = -1;
  bool strict = false;  // NAME must be a deme (a Python dict's key): never a file's name
};

struct run_request {
  std::string output;         // -o, or the run that --resume continues
  std::optional<int32_t> generations;
  std::string fitness_file;   // --fitness or --fitness-values
  bool fitness_values = false;
  int column = 1;
  double s = 0.0;
  double k = 0.0;
  std::string initial_file;   // --initial FILE[:LABEL]
  std::optional<int32_t> initial_label;
  // A batch: replicates F to F + R - 1, each with its seed derived from
  // --seed and its number (see replicate_seed), on T threads.
  std::optional<int64_t> replicates;
  int64_t first_replicate = 0;
  int threads = 1;
  std::string trajectories;   // --trajectories DIR: each replicate's files there
  // --stop and --watch in the order given; params.conditions holds the
  // distinct ones.
  std::vector<condition_text> condition_texts;
  // --change texts in the order given; resolve_changes makes them the
  // parameters' changes once the inputs are read.
  std::vector<std::string> change_texts;
  // The mutation rates as given: --mu, and each change by its place among
  // the entries mu_a12 ... mu_b31; check_request makes the matrices.
  std::optional<double> mu;
  std::array<std::optional<double>, 12> changes;
  given_parameters given;     // the entries given, each once
  sim_params params;          // everything else of the model and the run
  // --demography FILE: the population's history (replaces -N); the run
  // starts --generations N generations before time 0, or --burn-in G
  // generations before the model's oldest finite time.
  std::string demography_file;
  std::optional<int64_t> burn_in;
  // Values given to one deme as NAME=VALUE (--fitness, --fitness-values,
  // --column, -s, -k, --initial), in the order given; resolve_deme_values
  // gives each to its deme once the model's demes are known, or to the run
  // when NAME is not a deme and the whole text is a file name.
  std::vector<deme_value> deme_values;
};

// Takes an entry; returns whether a deme may have its own value of it
// (NAME=VALUE): fitness, fitness_values, column, s, k and initial.
bool per_deme_entry(parameter_id id);

// How reading a value went: the value, or nothing with `condition` set
// when a condition's text does not parse (its error kind and position),
// or left at kind none for any other value that is not one of the entry's.
struct parameter_reading {
  std::optional<parameter_value> value;
  condition_error condition;
};

// Takes an entry and a value's text; returns the value: a whole number or a
// real number within the entry's range (read_integer, read_real), one of its
// words, a file or folder name that is not empty, FILE or FILE:LABEL (LABEL
// when what follows the last colon is a record label), or a condition
// without a tab or a line end that parses.
parameter_reading read_parameter(const parameter_entry& entry, std::string_view text);

// The same, the whole text the entry's value (a deme's NAME= is not read).
parameter_reading read_plain(const parameter_entry& entry, std::string_view text);

// Takes a request, an entry and its value; stores the value in its field
// and marks the entry given; a value of one deme (NAME=VALUE) is kept in
// `deme_values` instead, the entry not marked.
void set_parameter(run_request& request, const parameter_entry& entry, const parameter_value& value);

// A problem of a request as a whole, each value being one of its entry's:
// an entry given with another it cannot be used with (`other`), an entry
// given without one it needs (`other`: --burn-in without --demography), an
// entry of a batch given to a single run, a required entry missing, or a row of a
// mutation matrix summing above 1 (the row of `allele` at `locus`, whose
// first change is `entry`).
struct request_problem {
  enum class kind { conflict, needs, single_run, required, row_sum };
  kind what = kind::conflict;
  parameter_id entry = parameter_id::count;
  parameter_id other = parameter_id::count;
  int allele = 0;
  char locus = 'a';
  double sum = 0.0;
};

// Takes a fresh run's request as read and the entries its front end
// requires, in the order to report them (a fitness is given by fitness,
// fitness_values or coefficients); checks the request as a whole and completes
// its parameters: the generations, the distinct conditions and both
// mutation matrices (a change given, else --mu for a one-way change, else
// 0). Returns every problem, in the order: the entries of a batch given to
// a single run, conflicts (fitness_values with fitness, then s and k with
// fitness_values, then the first coefficient given (a fitness by
// coefficients: fitness_a ... epistasis) with each of fitness, fitness_values,
// column, s and k, then each of s2_a ... h3_a with fitness_a and of s2_b ...
// h3_b with fitness_b, then population_size with demography, burn_in without
// demography, burn_in with generations), required entries missing (a
// demography stands for population_size and generations), rows of the matrices summing
// above 1 (locus a, then b; alleles 1 to 3).
std::vector<request_problem> request_problems(run_request& request,
                                              std::span<const parameter_id> required);

// The same; returns the first problem, or nothing.
std::optional<request_problem> check_request(run_request& request,
                                             std::span<const parameter_id> required);

// Why a value given to one deme cannot be taken: NAME is no deme of the
// model (and the value is not a file name as a whole), the same entry is
// given twice to one deme or, as a whole file name, to the run, a fitness
// conflicts with another, a start is given to a deme that does not exist
// at the run's start, or no fitness is given to the run while a deme has
// none of its own.
struct deme_value_problem {
  enum class kind { no_deme, repeated, conflict, not_at_start, required };
  kind what = kind::no_deme;
  parameter_id entry = parameter_id::count;
  parameter_id other = parameter_id::count;
  std::string text;  // the value as given
  std::string deme;
  // A NAME that is no deme of the model, so that the value is the run's
  // (a file's whole name): the repetition or conflict is the run's.
  std::string not_deme;
};

// Takes a request as read and its model's structure; gives each value of one deme to its deme (its place in
// `deme`) when NAME is one of the model's demes, else to the run as a whole
// file name (NAME=FILE), as when given without NAME. A model of one deme
// takes its deme's values as the run's. When the run has no fitness and
// every deme has its own table, the first deme's is the run's too. Returns
// the first problem, or nothing. The demes are those of `structure` (none
// without a demography); one given a start must exist at the run's start,
// `start` generations before time 0.
std::optional<deme_value_problem> resolve_deme_values(run_request& request, const structure_history& structure,
                                                      int64_t start);

// Takes a problem of a value of one deme (not `required`, nor a conflict
// without a value) and how an entry is named (its option, its keyword);
// returns the reason a message gives.
std::string deme_value_reason(const deme_value_problem& problem, const std::function<std::string(parameter_id)>& name);

// A change's text read: TIME:PARAMETER=REST, TIME a finite number of at
// least 0, PARAMETER an entry that may change (by its long option without
// its dashes: mu, mu-a12, recombination, fitness, fitness-values, column,
// s, k, s2-a ... epistasis), REST its value (NAME=VALUE for one deme).
struct change_reading {
  double time = 0.0;
  const parameter_entry* entry = nullptr;
  std::string rest;
};

// Takes a change's text; returns it read, or nothing (the value is read
// when the change is resolved).
std::optional<change_reading> read_change(std::string_view text);

// Takes a text from the command line or a keyword; returns it as a message
// shows it: each control character (a line end, a tab) as its C escape, so
// that the message stays one line.
std::string shown_value(std::string_view text);

}  // namespace twolocus
