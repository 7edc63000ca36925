#include "run/demography.hpp"

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

namespace {

// Takes the model and its file's name; returns its one deme's history, or
// why a run cannot simulate the model.
std::optional<message> one_deme_history(const demography& model, const std::string& name,
                                        deme_history& history) {
  if (model.demes.size() != 1) {
    return tell::sim_demography_demes(name.c_str(), static_cast<long long>(model.demes.size()));
  }
  if (const auto problem = history_of(model, 0, history)) {
    return tell::sim_demography_not_run(name.c_str(), problem->deme.c_str(), problem->epoch,
                                        problem->what.c_str());
  }
  return std::nullopt;
}

}  // namespace

std::optional<message> set_up_history(const run_request& request, const demography& model,
                                      sim_params& params) {
  const std::string& name = request.demography_file;
  deme_history history;
  if (auto problem = one_deme_history(model, name, history)) return problem;
  int64_t start = 0;
  if (request.generations) {
    start = *request.generations;
  } else {
    const double first_size = history.epochs.front().start_size;
    const int64_t burn_in =
        request.burn_in.value_or(default_burn_in_sizes * rounded_size(first_size));
    start = start_after_burn_in(oldest_finite_time(model), burn_in);
  }
  if (start > 2147483647) start = 2147483647;
  if (const auto problem = check_sizes(history, start, start)) {
    return tell::sim_demography_not_run(name.c_str(), model.demes[0].name.c_str(), problem->epoch,
                                        problem->what.c_str());
  }
  params.history_start = static_cast<int32_t>(start);
  params.generations = static_cast<int32_t>(start);
  params.population_size = size_of(history, static_cast<double>(start));
  params.demography = demography_json(model, json_layout::one_line);
  return std::nullopt;
}

std::optional<message> history_of_params(const sim_params& params, const std::string& params_name,
                                         deme_history& history) {
  demography model;
  std::string error;
  if (!read_demography_json(params.demography, model, error)) {
    return tell::sim_params_demography(params_name.c_str(), error.c_str());
  }
  if (auto problem = one_deme_history(model, params_name, history)) return problem;
  if (const auto problem = check_sizes(history, params.history_start, params.generations)) {
    return tell::sim_demography_not_run(params_name.c_str(), model.demes[0].name.c_str(), problem->epoch,
                                        problem->what.c_str());
  }
  return std::nullopt;
}

}  // namespace twolocus
