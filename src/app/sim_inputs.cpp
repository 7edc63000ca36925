#include "app/sim_inputs.hpp"

#include "app/messages.hpp"
#include "io/fitness_values.hpp"
#include "io/initial.hpp"
#include "io/sim_summary.hpp"

namespace twolocus {

std::optional<int> read_sim_fitness(const sim_options& options, std::FILE* file, sim_params& params) {
  using outcome = fitness_reading::outcome;
  const fitness_source source{options.fitness_values, options.column, options.s, options.k,
                              params.weights};
  const fitness_reading reading = read_fitness_values(file, source, params.fitness);
  const char* name = options.fitness_file.c_str();
  switch (reading.result) {
    case outcome::read: return std::nullopt;
    case outcome::bad_line: return say_err::sim_fitness_line(reading.line, name, options.column);
    case outcome::bad_entry:
      return say_err::sim_fitness_entry(
          reading.line, name, reading.label.c_str(),
          options.fitness_values ? "a value that is not a number of at least 0"
                                 : "an unknown code (not 0 to 8)",
          reading.token.c_str());
    case outcome::too_large:
      return say_err::sim_fitness_entry(reading.line, name, reading.label.c_str(),
                                        "a fitness above 33554432, the largest under --weights floor,",
                                        reading.token.c_str());
    case outcome::repeated:
      return say_err::sim_fitness_repeated(reading.line, name, reading.label.c_str());
    case outcome::missing:
      return say_err::sim_fitness_missing(name, reading.label.c_str(), reading.token.c_str());
  }
  return 1;
}

std::optional<int> read_sim_initial(const sim_options& options, std::FILE* file, sim_params& params) {
  using outcome = initial_reading::outcome;
  const initial_reading reading = read_initial(file, options.initial_label, params.initial);
  const char* name = options.initial_file.c_str();
  switch (reading.result) {
    case outcome::read: return std::nullopt;
    case outcome::bad_line: return say_err::sim_initial_line(reading.line, name);
    case outcome::repeated:
      return say_err::sim_initial_repeated(reading.line, name, reading.label.c_str());
    case outcome::no_record: return say_err::sim_initial_no_record(name);
    case outcome::no_label: return say_err::sim_initial_no_label(name, *options.initial_label);
    case outcome::label_for_counts:
      return say_err::sim_initial_label_for_counts(name, *options.initial_label);
    case outcome::too_many: return say_err::sim_initial_too_many(name);
    case outcome::no_counts: return say_err::sim_initial_no_counts(name);
  }
  return 1;
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

std::vector<std::string> sim_condition_columns(const sim_params& params) {
  std::vector<std::string> texts;
  for (const condition_text& condition : params.conditions) texts.push_back(condition.text);
  return texts;
}

std::string sim_end_line(const sim_params& params, int64_t replicate, const run_conditions& watched,
                         const population_counts& counts) {
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
  return summary_line(row, counts, params.fitness);
}

}  // namespace twolocus
