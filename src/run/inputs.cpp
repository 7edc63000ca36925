#include "run/inputs.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <algorithm>
#include <cstdio>

#include "io/fitness_values.hpp"
#include "io/initial.hpp"
#include "io/sim_summary.hpp"
#include "run/changes.hpp"
#include "model/coefficients.hpp"
#include "model/genotype.hpp"

namespace twolocus {

namespace {

std::optional<message> read_fitness_values_of(const run_request& options, std::FILE* file, sim_params& params) {
  using outcome = fitness_reading::outcome;
  const fitness_source source{options.fitness_values, options.column, options.s, options.k,
                              params.weights};
  const fitness_reading reading = read_fitness_values(file, source, params.fitness);
  const char* name = options.fitness_file.c_str();
  switch (reading.result) {
    case outcome::read: return std::nullopt;
    case outcome::bad_line: return tell::sim_fitness_line(reading.line, name, options.column);
    case outcome::bad_entry:
      return tell::sim_fitness_entry(
          reading.line, name, reading.label.c_str(),
          options.fitness_values ? "a value that is not a number of at least 0"
                                 : "an unknown code (not 0 to 8)",
          reading.token.c_str());
    case outcome::too_large:
      return tell::sim_fitness_entry(reading.line, name, reading.label.c_str(),
                                        "a fitness above 33554432, the largest under --weights floor,",
                                        reading.token.c_str());
    case outcome::repeated:
      return tell::sim_fitness_repeated(reading.line, name, reading.label.c_str());
    case outcome::missing:
      return tell::sim_fitness_missing(name, reading.label.c_str(), reading.token.c_str());
  }
  return tell::sim_fitness_unreadable(name);  // not reached: every outcome is above
}

std::optional<message> read_initial_counts(const run_request& options, std::FILE* file, sim_params& params) {
  using outcome = initial_reading::outcome;
  const initial_reading reading = read_initial(file, options.initial_label, params.initial);
  const char* name = options.initial_file.c_str();
  switch (reading.result) {
    case outcome::read: return std::nullopt;
    case outcome::bad_line: return tell::sim_initial_line(reading.line, name);
    case outcome::repeated:
      return tell::sim_initial_repeated(reading.line, name, reading.label.c_str());
    case outcome::no_record: return tell::sim_initial_no_record(name);
    case outcome::no_label: return tell::sim_initial_no_label(name, *options.initial_label);
    case outcome::label_for_counts:
      return tell::sim_initial_label_for_counts(name, *options.initial_label);
    case outcome::too_many: return tell::sim_initial_too_many(name);
    case outcome::no_counts: return tell::sim_initial_no_counts(name);
  }
  return tell::sim_initial_unreadable(name);  // not reached: every outcome is above
}

struct closer {
  std::FILE* file;
  ~closer() {
    if (file != nullptr) std::fclose(file);
  }
};

// Takes an input's name; opens it, a regular file, without waiting.
// Returns the failure (`unreadable` when it cannot be opened), or nothing.
template <typename unreadable_type>
std::optional<input_failure> open_input(const std::string& name, const char* kind, std::FILE*& file,
                                        unreadable_type unreadable) {
  errno = 0;
  const regular_opening opening = open_regular(name, "r");
  file = opening.file;
  if (opening.not_regular) {
    struct stat status {};
    const bool folder = stat(name.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
    return input_failure{tell::sim_not_regular(kind, name.c_str()), folder ? EISDIR : EINVAL};
  }
  if (file == nullptr) return input_failure{unreadable(name.c_str()), errno == 0 ? EIO : errno};
  return std::nullopt;
}

void add_input(const std::string& name, std::FILE* file, std::vector<input_file>& inputs) {
  if (const auto identity = identity_of(file)) inputs.push_back({name, *identity});
}

}  // namespace

std::optional<input_failure> read_fitness_input(const run_request& request, sim_params& params,
                                                std::vector<input_file>& inputs) {
  if (request.fitness_file.empty() && params.coefficients) {
    const fitness_table exact = coefficient_fitness(*params.coefficients);
    if (params.weights == weight_rule::floor) {
      for (int index = 0; index < genotype_count; ++index) {
        const double w = exact[static_cast<size_t>(index)];
        if (w > floor_fitness_max) {
          return input_failure{tell::sim_coefficients_too_large(genotype_label(index).data(), w), 0};
        }
      }
    }
    params.fitness = coefficient_fitness(*params.coefficients, params.weights);
    return std::nullopt;
  }
  std::FILE* file = nullptr;
  if (auto failed = open_input(request.fitness_file, "fitness file", file,
                               [](const char* name) { return tell::sim_fitness_unreadable(name); })) {
    return failed;
  }
  const closer close{file};
  add_input(request.fitness_file, file, inputs);
  if (auto said = read_fitness_values_of(request, file, params)) return input_failure{std::move(*said), 0};
  return std::nullopt;
}

std::optional<input_failure> read_deme_starts(const run_request& request, sim_params& params,
                                              std::vector<input_file>& inputs) {
  params.starts.clear();
  for (const deme_value& value : request.deme_values) {
    if (value.deme < 0 || value.id != parameter_id::initial) continue;
    run_request one;
    one.initial_file = value.value.text;
    one.initial_label = value.value.label;
    sim_params read = params;
    if (auto failed = read_initial_input(one, read, inputs)) return failed;
    params.starts.push_back({value.deme, read.initial});
  }
  std::sort(params.starts.begin(), params.starts.end(),
            [](const deme_start& x, const deme_start& y) { return x.deme < y.deme; });
  return std::nullopt;
}

std::optional<message> take_deme_values(run_request& request, const structure_history& structure,
                                        int64_t start) {
  const auto problem = resolve_deme_values(request, structure, start);
  if (!problem) return std::nullopt;
  const auto option = [](parameter_id id) { return std::string(long_option(parameter(id))); };
  if (problem->what == deme_value_problem::kind::required) {
    if (problem->deme.empty()) return tell::sim_required(option(problem->entry).c_str());
    return tell::sim_deme_table_required(problem->deme.c_str());
  }
  if (problem->text.empty()) {
    return tell::sim_conflict(option(problem->entry).c_str(), option(problem->other).c_str());
  }
  return tell::sim_deme_value_bad(option(problem->entry).c_str(), shown_value(problem->text).c_str(),
                                  deme_value_reason(*problem, option).c_str());
}

std::optional<message> fitness_table_text(const run_request& request, std::string& text) {
  // The run's table: a NAME=FILE is the file's whole name without a model.
  run_request run = request;
  if (auto said = take_deme_values(run, structure_history{}, 0)) return said;
  sim_params params = run.params;
  std::vector<input_file> inputs;
  if (auto failed = read_fitness_input(run, params, inputs)) return std::move(failed->said);
  text = fitness_values_text(params.fitness);
  return std::nullopt;
}

std::optional<input_failure> read_initial_input(const run_request& request, sim_params& params,
                                                std::vector<input_file>& inputs) {
  if (request.initial_file.empty()) {
    params.initial = {};
    params.initial[0] = params.population_size;
    return std::nullopt;
  }
  std::FILE* file = nullptr;
  if (auto failed = open_input(request.initial_file, "initial file", file,
                               [](const char* name) { return tell::sim_initial_unreadable(name); })) {
    return failed;
  }
  const closer close{file};
  add_input(request.initial_file, file, inputs);
  if (auto said = read_initial_counts(request, file, params)) return input_failure{std::move(*said), 0};
  return std::nullopt;
}

model_params sim_model(const sim_params& params) {
  model_params model;
  model.fitness = params.fitness;
  model.generation_size = params.population_size;
  model.mutation_a = params.mutation_a;
  model.mutation_b = params.mutation_b;
  model.recombination = params.recombination;
  model.weights = params.weights;
  return model;
}

run_conditions sim_conditions(const sim_params& params) {
  run_conditions watched;
  set_up_conditions(params.conditions, watched);
  return watched;
}

std::optional<message> bind_demes_of(run_conditions& watched, const std::vector<std::string>& names) {
  if (const auto unknown = bind_condition_demes(watched, names)) {
    return tell::sim_condition_deme(watched.given[unknown->which].text.c_str(), unknown->name.c_str());
  }
  return std::nullopt;
}

std::string sim_end_line(const sim_params& params, int64_t replicate, const run_conditions& watched,
                         const population_counts& counts, std::span<const population_counts> demes) {
  const int stop = stop_condition(watched);
  summary_row row{replicate, params.seed, "last", int64_t{params.generations} - 1, 0, {}};
  if (stop >= 0) {
    row.end = watched.given[static_cast<size_t>(stop)].text;
    row.label = watched.first[static_cast<size_t>(stop)];
  }
  row.generations = row.label + 1;
  for (const int64_t first : watched.first) {
    row.conditions.push_back(first == not_reached ? "" : std::to_string(first));
  }
  // The start (label -1) is judged in the model of generation 0.
  const int64_t generation = std::max<int64_t>(row.label, 0);
  std::vector<fitness_table> deme_fitness;
  if (!demes.empty() && demes_differ_in_fitness(params)) {
    for (size_t d = 0; d < demes.size(); ++d) {
      deme_fitness.push_back(fitness_in_generation(params, generation, static_cast<int>(d)));
    }
  }
  return summary_line(row, counts, params.changes.empty() ? params.fitness : fitness_in_generation(params, generation),
                      demes, deme_fitness);
}

}  // namespace twolocus
