#include "run/structure.hpp"

#include <fcntl.h>
#include <unistd.h>

#include "io/demes_json.hpp"
#include "io/initial.hpp"
#include "io/trajectory.hpp"
#include "model/random.hpp"
#include "run/engines.hpp"
#include "run/files.hpp"
#include "run/inputs.hpp"

namespace twolocus {

std::optional<message> structure_of_params(const sim_params& params, const std::string& params_name,
                                           structure_history& structure) {
  demography model;
  std::string error;
  if (!read_demography_json(params.demography, model, error)) {
    return tell::sim_params_demography(params_name.c_str(), error.c_str());
  }
  if (const auto problem = structure_of(model, structure)) {
    return tell::sim_demography_not_run(params_name.c_str(), problem->deme.c_str(), problem->epoch,
                                        problem->what.c_str());
  }
  if (const auto problem = check_structure_sizes(structure, params.history_start, params.generations)) {
    return tell::sim_demography_not_run(params_name.c_str(), problem->deme.c_str(), problem->epoch,
                                        problem->what.c_str());
  }
  return std::nullopt;
}

std::string deme_file_name(const std::string& output, const std::string& deme) {
  return output + "@" + deme;
}

deme_population starting_demes(const structure_history& structure, int64_t start,
                               const population_counts* initial) {
  deme_population population;
  population.demes.assign(structure.demes.size(), population_counts{});
  const auto at = static_cast<double>(start);
  for (size_t d = 0; d < structure.demes.size(); ++d) {
    if (!deme_exists(structure, d, at)) continue;
    if (initial != nullptr) {
      population.demes[d] = *initial;
    } else {
      population.demes[d][0] = size_of(structure.demes[d], at);
    }
  }
  sum_demes(population);
  return population;
}

const population_counts* initial_of_demes(const sim_params& params) {
  for (const int32_t count : params.initial) {
    if (count != 0) return &params.initial;
  }
  return nullptr;
}

namespace {

// Takes a stream; gives the output a guard descriptor of its file, so that
// it can be cut back once the stream is closed.
void guard(trajectory_output& output) {
  output.guard = fcntl(fileno(output.file), F_DUPFD_CLOEXEC, 0);
}

}  // namespace

std::optional<message> open_deme_files(const structure_history& structure, const std::string& output,
                                       run_files& files) {
  for (const std::string& deme : structure.names) {
    const std::string name = deme_file_name(output, deme);
    const regular_opening opening = open_regular(name, "w");
    if (opening.not_regular) return tell::sim_not_regular("output file", name.c_str());
    if (opening.file == nullptr) return tell::sim_output_unwritable(name.c_str());
    trajectory_output deme_output;
    deme_output.file = opening.file;
    guard(deme_output);
    start_trajectory(deme_output);
    files.demes.push_back(deme_output);
    files.deme_names.push_back(name);
    if (std::fflush(deme_output.file) != 0 || std::ferror(deme_output.file) != 0) {
      files.failed_deme = files.demes.size() - 1;
      return write_failure(files);
    }
  }
  return std::nullopt;
}

std::optional<message> reopen_deme_files(const structure_history& structure, const std::string& output,
                                         int32_t label, run_files& files, deme_population& population) {
  population.demes.assign(structure.demes.size(), population_counts{});
  for (size_t d = 0; d < structure.names.size(); ++d) {
    const std::string name = deme_file_name(output, structure.names[d]);
    const regular_opening opening = open_regular(name, "r+");
    if (opening.not_regular) return tell::sim_not_regular("output file", name.c_str());
    if (opening.file == nullptr) return tell::sim_output_unmodifiable(name.c_str());
    trajectory_output deme_output;
    deme_output.file = opening.file;
    guard(deme_output);
    files.demes.push_back(deme_output);
    files.deme_names.push_back(name);
    population_counts counts{};
    const initial_reading reading = read_initial(opening.file, label, counts);
    const bool has = reading.result == initial_reading::outcome::read;
    if (std::fseek(opening.file, 0, SEEK_END) != 0) return tell::sim_output_unmodifiable(name.c_str());
    if (!has) continue;  // the deme did not exist at that label
    population.demes[d] = counts;
    if (!add_resume_record(files.demes.back(), label, counts)) {
      files.failed_deme = d;
      return write_failure(files);
    }
  }
  sum_demes(population);
  return std::nullopt;
}

run_end run_structure(const sim_params& params, const structure_history& structure, run_files* files,
                      int64_t first, const checkpoint_line* line, deme_population& current,
                      run_conditions& watched, const run_observer& observer, bool show_progress) {
  const size_t count = structure.demes.size();
  return with_deme_engines(params.engine, count, [&](auto& engines) {
    structure_schedule schedule{&structure, params.history_start, {}, {}, {&params.changes, 0}};
    // The plan of the generation before `first`, for a final record made
    // with no generation left to run.
    plan_generation(structure, static_cast<double>(params.history_start - first), engines.plan);
    for (size_t d = 0; d < count; ++d) {
      const uint64_t draws =
          line == nullptr ? 0 : d == 0 ? line->draws : d - 1 < line->more_draws.size() ? line->more_draws[d - 1] : 0;
      continue_engine(*engines.engines[d], deme_seed(params.seed, d), draws);
      set_model(*engines.engines[d], sim_model(params));
      schedule.base.push_back(sim_model(params));
    }
    return run_on_files(engines, params, first, current, files, watched, observer, show_progress, schedule);
  });
}

}  // namespace twolocus
