#include "run/single.hpp"

#include <string>
#include <vector>

#include "run/batch.hpp"
#include "run/demography.hpp"
#include "run/engines.hpp"
#include "run/files.hpp"
#include "run/changes.hpp"
#include "run/inputs.hpp"
#include "run/structure.hpp"

namespace twolocus {

namespace {

// Takes the run's parameters, its files and the conditions, once the run
// ended; notes a stop condition's end and writes the summary of `last`
// (and of each deme's last counts, with several).
std::optional<message> end_single(const sim_params& params, run_files& files, const run_conditions& watched,
                                  const population_counts& last, const run_observer& observer,
                                  std::span<const population_counts> demes = {}) {
  const int stop = stop_condition(watched);
  if (stop >= 0) {
    const auto label = static_cast<long long>(watched.first[static_cast<size_t>(stop)]);
    tell_note(observer, tell::sim_stopped(files.trajectory_name.c_str(), label, label + 1,
                                          watched.given[static_cast<size_t>(stop)].text.c_str()));
  }
  return write_single_summary(params, watched, last, files.trajectory_name + ".summary.tsv", demes);
}

}  // namespace

std::optional<message> run_single(const sim_params& params, run_files& files, int64_t first,
                                  uint64_t draws, population_counts& current, run_conditions& watched,
                                  const run_observer& observer) {
  structure_history structure;
  if (!params.demography.empty()) {
    if (auto problem = structure_of_params(params, files.trajectory_name + ".params", structure)) {
      release_run_files(files);
      return problem;
    }
  } else if (auto problem = check_deme_lines(params, files.trajectory_name + ".params", nullptr)) {
    release_run_files(files);
    return problem;
  }
  if (auto problem = bind_demes_of(watched, structure.names)) {
    release_run_files(files);
    return problem;
  }
  const deme_history* history = params.demography.empty() ? nullptr : &structure.demes[0];
  run_end end = with_engine(params.engine, [&](auto& engine) {
    continue_engine(engine, params.seed, draws);
    return run_on_files(engine, params, first, current, &files, watched, observer, true, history);
  });
  if (!end.finished()) return std::move(end.failure);
  return end_single(params, files, watched, current, observer);
}

std::optional<message> run_single_demes(const sim_params& params, const structure_history& structure,
                                        run_files& files, int64_t first, const checkpoint_line* line,
                                        deme_population& current, run_conditions& watched,
                                        const run_observer& observer) {
  if (auto problem = bind_demes_of(watched, structure.names)) {
    release_run_files(files);
    return problem;
  }
  run_end end = run_structure(params, structure, &files, first, line, current, watched, observer, true);
  if (!end.finished()) return std::move(end.failure);
  return end_single(params, files, watched, current.total, observer, current.demes);
}

std::optional<message> start_run(const run_request& asked, const run_observer& observer) {
  run_request request = asked;
  sim_params params = request.params;
  const std::string& output = request.output;
  // Every input is read, and every file name of the output checked against
  // it, before anything is written. The model's demes come first: a value
  // NAME=VALUE is a deme's only when NAME is one of them.
  std::vector<input_file> inputs;
  structure_history structure;
  double generation_time = 1.0;
  if (auto failed = read_history_input(request, params, inputs, structure, &generation_time)) {
    return std::move(failed->said);
  }
  if (auto said = take_deme_values(request, structure, params.history_start)) return said;
  if (auto failed = read_fitness_input(request, params, inputs)) return std::move(failed->said);
  change_axis axis;
  if (!request.demography_file.empty()) axis = {true, params.history_start, generation_time, structure.names};
  if (auto failed = resolve_changes(request, params, axis, inputs)) {
    if (failed->input) return std::move(failed->input->said);
    if (failed->deme_entry != parameter_id::count) {
      return tell::sim_deme_value_bad(std::string(long_option(parameter(failed->deme_entry))).c_str(),
                                      shown_value(failed->text).c_str(), failed->reason.c_str());
    }
    return tell::sim_change_bad(shown_value(failed->text).c_str(), failed->reason.c_str());
  }
  if (auto failed = read_initial_input(request, params, inputs)) return std::move(failed->said);
  // Several demes start each with its size in 1111 unless --initial gives the
  // counts they all start from: the parameter file's initial counts are 0.
  if (structure.demes.size() > 1 && request.initial_file.empty()) params.initial = {};
  if (auto failed = read_deme_starts(request, params, inputs)) return std::move(failed->said);
  std::vector<std::string> outputs = {output};
  for (const char* suffix : run_file_suffixes) outputs.push_back(output + suffix);
  for (const std::string& deme : structure.names) outputs.push_back(deme_file_name(output, deme));
  for (const std::string& name : outputs) {
    if (const input_file* input = input_named_by(name, inputs)) {
      return tell::sim_output_is_input(name.c_str(), input->name.c_str());
    }
  }
  if (auto refusal = refuse_irregular_run_files(output)) return refusal;
  {
    run_conditions named = sim_conditions(params);
    if (auto problem = bind_demes_of(named, structure.names)) return problem;
  }
  if (request.replicates) return start_batch(request, params, inputs, observer);

  run_files files;
  if (auto failure = open_run_files(params, output, files, true)) return failure;
  run_conditions watched = sim_conditions(params);
  if (structure.demes.size() > 1) {
    if (auto failure = open_deme_files(structure, output, files)) return failure;
    deme_population current = starting_demes(structure, params.history_start, initial_of_demes(params), params.starts);
    return run_single_demes(params, structure, files, 0, nullptr, current, watched, observer);
  }
  population_counts current = params.initial;
  return run_single(params, files, 0, 0, current, watched, observer);
}

}  // namespace twolocus
