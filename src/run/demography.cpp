#include "run/demography.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "io/demes.hpp"
#include "io/demes_json.hpp"
#include "run/files.hpp"

namespace twolocus {

std::optional<input_failure> read_demography_input(const run_request& request, demography& model,
                                                   std::vector<input_file>& inputs) {
  const std::string& name = request.demography_file;
  errno = 0;
  const regular_opening opening = open_regular(name, "r");
  if (opening.not_regular) return input_failure{tell::sim_not_regular("demography file", name.c_str()), EINVAL};
  if (opening.file == nullptr) {
    return input_failure{tell::sim_demography_unreadable(name.c_str()), errno == 0 ? EIO : errno};
  }
  if (const auto identity = identity_of(opening.file)) inputs.push_back({name, *identity});
  // At most one byte past the limit, which the reader then refuses.
  std::string text;
  char buffer[65536];
  size_t got = 0;
  while (text.size() <= demes_max_text_bytes && (got = std::fread(buffer, 1, sizeof buffer, opening.file)) > 0) {
    text.append(buffer, got);
  }
  const bool failed = std::ferror(opening.file) != 0;
  std::fclose(opening.file);
  if (failed) return input_failure{tell::sim_demography_unreadable(name.c_str()), EIO};
  std::string error;
  if (!read_demes(text, model, error)) return input_failure{tell::sim_demography_bad(name.c_str(), error.c_str()), 0};
  return std::nullopt;
}

std::optional<message> resolve_demography(const run_request& request, std::string& json) {
  demography model;
  std::vector<input_file> inputs;
  if (auto failure = read_demography_input(request, model, inputs)) return std::move(failure->said);
  json = demography_json(model, json_layout::indented);
  return std::nullopt;
}

std::optional<message> set_up_history(const run_request& request, const demography& model,
                                      sim_params& params) {
  const std::string& name = request.demography_file;
  structure_history structure;
  if (const auto problem = structure_of(model, structure)) {
    return tell::sim_demography_not_run(name.c_str(), problem->deme.c_str(), problem->epoch,
                                        problem->what.c_str());
  }
  int64_t start = 0;
  if (request.generations) {
    start = *request.generations;
  } else {
    // The default burn-in: ten times the largest size of a deme's first epoch.
    double first_size = 0;
    for (const deme_history& deme : structure.demes) first_size = std::max(first_size, deme.epochs.front().start_size);
    const int64_t burn_in = request.burn_in.value_or(default_burn_in_sizes * rounded_size(first_size));
    start = start_after_burn_in(oldest_finite_time(model), burn_in);
  }
  start = std::min<int64_t>(start, 2147483647);
  if (const auto problem = check_structure_sizes(structure, start, start)) {
    return tell::sim_demography_not_run(name.c_str(), problem->deme.c_str(), problem->epoch,
                                        problem->what.c_str());
  }
  params.history_start = static_cast<int32_t>(start);
  params.generations = static_cast<int32_t>(start);
  int64_t total = 0;
  for (size_t d = 0; d < structure.demes.size(); ++d) {
    if (deme_exists(structure, d, static_cast<double>(start))) {
      total += size_of(structure.demes[d], static_cast<double>(start));
    }
  }
  params.population_size = static_cast<int32_t>(std::min<int64_t>(total, 2147483647));
  params.demography = demography_json(model, json_layout::one_line);
  return std::nullopt;
}

std::optional<input_failure> read_history_input(const run_request& request, sim_params& params,
                                                std::vector<input_file>& inputs,
                                                structure_history& structure, double* generation_time) {
  if (request.demography_file.empty()) return std::nullopt;
  demography model;
  if (auto failed = read_demography_input(request, model, inputs)) return failed;
  if (auto problem = set_up_history(request, model, params)) return input_failure{std::move(*problem), 0};
  structure_of(model, structure);
  if (generation_time != nullptr) *generation_time = model.generation_time;
  return std::nullopt;
}

std::optional<message> read_history_text(const run_request& request, std::string_view text,
                                         sim_params& params, structure_history& structure,
                                         double* generation_time) {
  demography model;
  std::string error;
  if (!read_demes(text, model, error)) {
    return tell::sim_demography_bad(request.demography_file.c_str(), error.c_str());
  }
  if (auto problem = set_up_history(request, model, params)) return problem;
  structure_of(model, structure);
  if (generation_time != nullptr) *generation_time = model.generation_time;
  return std::nullopt;
}

}  // namespace twolocus
