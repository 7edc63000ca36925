#include "run/structure.hpp"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

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
  return check_deme_lines(params, params_name, &structure);
}

std::optional<message> check_deme_lines(const sim_params& params, const std::string& params_name,
                                        const structure_history* structure) {
  const size_t count = structure == nullptr ? 1 : structure->demes.size();
  for (const model_change& change : params.changes) {
    if (change.deme >= 0 && static_cast<size_t>(change.deme) >= count) {
      return tell::sim_params_deme(params_name.c_str(), "change", change.deme, "");
    }
  }
  for (const deme_start& start : params.starts) {
    const auto d = static_cast<size_t>(start.deme);
    if (structure == nullptr || count < 2 || d >= count ||
        !deme_exists(*structure, d, static_cast<double>(params.history_start))) {
      return tell::sim_params_deme(params_name.c_str(), "start", start.deme, " at the run's start");
    }
  }
  return std::nullopt;
}

summary_columns sim_summary_columns(const sim_params& params) {
  summary_columns columns;
  for (const condition_text& condition : params.conditions) columns.conditions.push_back(condition.text);
  if (params.demography.empty()) return columns;
  demography model;
  std::string error;
  // A parameter file whose model does not read was refused before any
  // summary is written.
  if (!read_demography_json(params.demography, model, error) || model.demes.size() < 2) return columns;
  for (const deme& one : model.demes) columns.demes.push_back(one.name);
  return columns;
}

std::optional<message> read_deme_records(const structure_history& structure, const std::string& output,
                                         int32_t label, deme_population& population) {
  population.demes.assign(structure.demes.size(), population_counts{});
  for (size_t d = 0; d < structure.names.size(); ++d) {
    const std::string name = deme_file_name(output, structure.names[d]);
    const regular_opening opening = open_regular(name, "r");
    if (opening.not_regular) return tell::sim_not_regular("output file", name.c_str());
    if (opening.file == nullptr) return tell::sim_output_unmodifiable(name.c_str());
    population_counts counts{};
    const initial_reading reading = read_initial(opening.file, label, counts);
    std::fclose(opening.file);
    if (reading.result == initial_reading::outcome::read) population.demes[d] = counts;
  }
  sum_demes(population);
  return std::nullopt;
}

std::string deme_file_name(const std::string& output, const std::string& deme) {
  return output + "@" + deme;
}

deme_population starting_demes(const structure_history& structure, int64_t start,
                               const population_counts* initial, std::span<const deme_start> starts) {
  deme_population population;
  population.demes.assign(structure.demes.size(), population_counts{});
  const auto at = static_cast<double>(start);
  for (size_t d = 0; d < structure.demes.size(); ++d) {
    if (!deme_exists(structure, d, at)) continue;
    const auto own = std::find_if(starts.begin(), starts.end(),
                                  [&](const deme_start& s) { return static_cast<size_t>(s.deme) == d; });
    if (own != starts.end()) {
      population.demes[d] = own->counts;
    } else if (initial != nullptr) {
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

// Takes a deme's trajectory open to read and write and a record's label;
// cuts the file after its last whole line whose label is at most `label`
// (the header when there is none). A kill can leave a deme's records
// beyond the record the run resumes from, the last of them cut short: the
// resumed run writes them again. Returns whether the file was cut.
bool cut_after_label(std::FILE* file, int32_t label) {
  if (std::fseek(file, 0, SEEK_SET) != 0) return false;
  char* buffer = nullptr;
  size_t capacity = 0;
  ssize_t length = 0;
  long long keep = 0;
  long long at = 0;
  bool header = true;
  while ((length = ::getline(&buffer, &capacity, file)) > 0) {
    if (buffer[length - 1] != '\n') break;  // cut short by a kill
    at += length;
    if (header) {
      header = false;
      keep = at;
      continue;
    }
    if (length == 1) continue;  // the empty line a resume record may leave
    char* end = nullptr;
    const long value = std::strtol(buffer, &end, 10);
    if (end == buffer || *end != '\t' || value > label) break;
    keep = at;
  }
  std::free(buffer);
  return std::ferror(file) == 0 && ftruncate(fileno(file), static_cast<off_t>(keep)) == 0 &&
         std::fseek(file, 0, SEEK_END) == 0;
}

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
    if (!cut_after_label(opening.file, label)) return tell::sim_output_unmodifiable(name.c_str());
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
  return with_structure_engines(params, structure, first, line, [&](auto& engines, auto& schedule) {
    return run_on_files(engines, params, first, current, files, watched, observer, show_progress, schedule);
  });
}

}  // namespace twolocus
