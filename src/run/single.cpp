#include "run/single.hpp"

#include <string>
#include <vector>

#include "run/batch.hpp"
#include "run/demography.hpp"
#include "run/engines.hpp"
#include "run/files.hpp"
#include "run/inputs.hpp"

namespace twolocus {

std::optional<message> run_single(const sim_params& params, run_files& files, int64_t first,
                                  uint64_t draws, population_counts& current, run_conditions& watched,
                                  const run_observer& observer) {
  deme_history history;
  if (!params.demography.empty()) {
    if (auto problem = history_of_params(params, files.trajectory_name + ".params", history)) {
      release_run_files(files);
      return problem;
    }
  }
  const deme_history* schedule = params.demography.empty() ? nullptr : &history;
  run_end end = with_engine(params.engine, [&](auto& engine) {
    continue_engine(engine, params.seed, draws);
    return run_on_files(engine, params, first, current, &files, watched, observer, true, schedule);
  });
  if (!end.finished()) return std::move(end.failure);
  const int stop = stop_condition(watched);
  if (stop >= 0) {
    const auto label = static_cast<long long>(watched.first[static_cast<size_t>(stop)]);
    tell_note(observer, tell::sim_stopped(files.trajectory_name.c_str(), label, label + 1,
                                          watched.given[static_cast<size_t>(stop)].text.c_str()));
  }
  return write_single_summary(params, watched, current, files.trajectory_name + ".summary.tsv");
}

std::optional<message> start_run(const run_request& request, const run_observer& observer) {
  sim_params params = request.params;
  const std::string& output = request.output;
  // Every input is read, and every file name of the output checked against
  // it, before anything is written.
  std::vector<input_file> inputs;
  if (auto failed = read_fitness_input(request, params, inputs)) return std::move(failed->said);
  if (!request.demography_file.empty()) {
    demography model;
    if (auto failed = read_demography_input(request, model, inputs)) return std::move(failed->said);
    if (auto problem = set_up_history(request, model, params)) return problem;
  }
  if (auto failed = read_initial_input(request, params, inputs)) return std::move(failed->said);
  std::vector<std::string> outputs = {output};
  for (const char* suffix : run_file_suffixes) outputs.push_back(output + suffix);
  for (const std::string& name : outputs) {
    if (const input_file* input = input_named_by(name, inputs)) {
      return tell::sim_output_is_input(name.c_str(), input->name.c_str());
    }
  }
  if (auto refusal = refuse_irregular_run_files(output)) return refusal;
  if (request.replicates) return start_batch(request, params, inputs, observer);

  run_files files;
  if (auto failure = open_run_files(params, output, files, true)) return failure;
  population_counts current = params.initial;
  run_conditions watched = sim_conditions(params);
  return run_single(params, files, 0, 0, current, watched, observer);
}

}  // namespace twolocus
