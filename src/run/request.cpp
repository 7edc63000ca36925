#include "run/request.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <functional>
#include <cstdio>
#include <cstdlib>

namespace twolocus {
namespace {

// The six changes of a locus, in the order of their entries (mu_a12 ...).
constexpr int change_alleles[6][2] = {{0, 1}, {1, 2}, {0, 2}, {1, 0}, {2, 1}, {2, 0}};

bool given(const run_request& request, parameter_id id) {
  return request.given.test(static_cast<size_t>(id));
}

// Whether a required entry is there: a fitness table by either entry; a
// demography stands for the population size and the generations.
bool present(const run_request& request, parameter_id id) {
  if (id == parameter_id::fitness) {
    // A deme's table may be the run's: resolve_deme_values says when not.
    for (const deme_value& value : request.deme_values) {
      if (value.id == parameter_id::fitness || value.id == parameter_id::fitness_values) return true;
    }
    return !request.fitness_file.empty() || request.params.coefficients;
  }
  if ((id == parameter_id::population_size || id == parameter_id::generations) &&
      given(request, parameter_id::demography)) {
    return true;
  }
  if (id == parameter_id::generations) return request.generations.has_value();
  return given(request, id);
}

// Takes a request; returns the codes' coefficients (s, k) it gives with a
// table of fitness values given alone (with both tables, their conflict
// says it).
std::vector<parameter_id> coefficients_of_values(const run_request& request) {
  std::vector<parameter_id> found;
  if (request.fitness_values && !given(request, parameter_id::fitness)) {
    for (const parameter_id coefficient : {parameter_id::s, parameter_id::k}) {
      if (given(request, coefficient)) found.push_back(coefficient);
    }
  }
  return found;
}

request_problem conflict(parameter_id entry, parameter_id other) {
  request_problem problem;
  problem.entry = entry;
  problem.other = other;
  return problem;
}

}  // namespace

std::optional<change_reading> read_change(std::string_view text) {
  const size_t colon = text.find(':');
  if (colon == std::string_view::npos || colon == 0) return std::nullopt;
  const size_t equals = text.find('=', colon);
  if (equals == std::string_view::npos || equals + 1 >= text.size()) return std::nullopt;
  if (text.find_first_of(std::string_view("\t\r\n\0", 4)) != std::string_view::npos) return std::nullopt;
  const std::string time(text.substr(0, colon));
  if (time.find_first_of("xXnNiI \t") != std::string::npos) return std::nullopt;
  char* end = nullptr;
  const double value = std::strtod(time.c_str(), &end);
  if (end != time.c_str() + time.size() || !std::isfinite(value) || value < 0) return std::nullopt;
  const std::string name(text.substr(colon + 1, equals - colon - 1));
  const parameter_entry* entry = parameter_by_option((name.size() == 1 ? "-" : "--") + name);
  if (entry == nullptr || entry->scope != parameter_scope::model || entry->kind == parameter_kind::change ||
      entry->id == parameter_id::weights || entry->id == parameter_id::population_size ||
      entry->id == parameter_id::demography) {
    return std::nullopt;
  }
  return change_reading{value, entry, std::string(text.substr(equals + 1))};
}

parameter_reading read_plain(const parameter_entry& entry, std::string_view text) {
  parameter_reading reading;
  parameter_value value;
  switch (entry.kind) {
    case parameter_kind::integer: {
      const auto whole = read_integer(entry, text);
      if (!whole) return reading;
      value.whole = *whole;
      break;
    }
    case parameter_kind::real:
    case parameter_kind::probability: {
      const auto real = read_real(entry, text);
      if (!real) return reading;
      value.real = *real;
      break;
    }
    case parameter_kind::word: {
      const auto place = read_word(entry, text);
      if (!place) return reading;
      value.word = *place;
      break;
    }
    case parameter_kind::file:
    case parameter_kind::folder:
      if (text.empty()) return reading;
      value.text = text;
      break;
    case parameter_kind::start: {
      // FILE:LABEL when what follows the last colon is a record label.
      std::string file(text);
      const size_t colon = file.rfind(':');
      if (colon != std::string::npos && colon > 0) {
        const auto label = read_integer(parameter(parameter_id::initial_counts), file.substr(colon + 1));
        if (label) {
          value.label = static_cast<int32_t>(*label);
          file.resize(colon);
        }
      }
      if (file.empty()) return reading;
      value.text = file;
      break;
    }
    case parameter_kind::condition: {
      if (text.find_first_of("\t\r\n") != std::string_view::npos) return reading;
      const parsed_condition parsed = parse_condition(text);
      if (parsed.error.kind != condition_error_kind::none) {
        reading.condition = parsed.error;
        return reading;
      }
      value.text = text;
      break;
    }
    case parameter_kind::six: {
      const auto six = read_six(entry, text);
      if (!six) return reading;
      value.six = *six;
      break;
    }
    case parameter_kind::change:
      if (!read_change(text)) return reading;
      value.text = text;
      break;
    case parameter_kind::label:
    case parameter_kind::flag: break;
  }
  reading.value = std::move(value);
  return reading;
}

namespace {

// Whether a text is a deme's name as the Demes format has them: a letter or
// '_', then letters, digits and '_'.
bool deme_name(std::string_view text) {
  if (text.empty() || std::isdigit(static_cast<unsigned char>(text[0])) != 0) return false;
  for (const char c : text) {
    if (std::isalnum(static_cast<unsigned char>(c)) == 0 && c != '_') return false;
  }
  return true;
}

}  // namespace

bool per_deme_entry(parameter_id id) {
  return id == parameter_id::fitness || id == parameter_id::fitness_values || id == parameter_id::column ||
         id == parameter_id::s || id == parameter_id::k || id == parameter_id::initial;
}

parameter_reading read_parameter(const parameter_entry& entry, std::string_view text) {
  const size_t equals = text.find('=');
  if (!per_deme_entry(entry.id) || equals == std::string_view::npos || !deme_name(text.substr(0, equals))) {
    return read_plain(entry, text);
  }
  parameter_reading reading = read_plain(entry, text.substr(equals + 1));
  const bool file = entry.kind == parameter_kind::file || entry.kind == parameter_kind::start;
  if (!reading.value) return file ? read_plain(entry, text) : reading;
  reading.value->deme = text.substr(0, equals);
  reading.value->given = text;
  return reading;
}

void set_parameter(run_request& request, const parameter_entry& entry, const parameter_value& value) {
  sim_params& params = request.params;
  const parameter_id id = entry.id;
  if (!value.deme.empty()) {
    request.deme_values.push_back({id, value, -1});
    return;
  }
  request.given.set(static_cast<size_t>(id));
  switch (id) {
    case parameter_id::population_size: params.population_size = static_cast<int32_t>(value.whole); return;
    case parameter_id::generations: request.generations = static_cast<int32_t>(value.whole); return;
    case parameter_id::seed: params.seed = static_cast<int32_t>(value.whole); return;
    case parameter_id::column: request.column = static_cast<int>(value.whole); return;
    case parameter_id::record_every: params.record_every = static_cast<int32_t>(value.whole); return;
    case parameter_id::replicates: request.replicates = value.whole; return;
    case parameter_id::first_replicate: request.first_replicate = value.whole; return;
    case parameter_id::threads: request.threads = static_cast<int>(value.whole); return;
    case parameter_id::s: request.s = value.real; return;
    case parameter_id::k: request.k = value.real; return;
    case parameter_id::mu: request.mu = value.real; return;
    case parameter_id::recombination: params.recombination = value.real; return;
    case parameter_id::weights:
      params.weights = value.word == 0 ? weight_rule::exact : weight_rule::floor;
      return;
    case parameter_id::engine:
      params.engine = value.word == 0 ? engine_kind::exact : engine_kind::multinomial;
      return;
    case parameter_id::fitness:
    case parameter_id::fitness_values:
      request.fitness_file = value.text;
      request.fitness_values = id == parameter_id::fitness_values;
      return;
    case parameter_id::trajectories: request.trajectories = value.text; return;
    case parameter_id::demography: request.demography_file = value.text; return;
    case parameter_id::burn_in: request.burn_in = value.whole; return;
    case parameter_id::output:
    case parameter_id::resume: request.output = value.text; return;
    case parameter_id::initial:
      request.initial_file = value.text;
      request.initial_label = value.label;
      return;
    case parameter_id::change: request.change_texts.push_back(value.text); return;
    case parameter_id::stop:
    case parameter_id::watch: request.condition_texts.push_back({value.text, id == parameter_id::stop}); return;
    default: break;
  }
  if (coefficient_parameter(entry)) {
    if (!params.coefficients) params.coefficients.emplace();
    if (entry.kind == parameter_kind::six) {
      (id == parameter_id::fitness_a ? params.coefficients->fitness_a : params.coefficients->fitness_b) = value.six;
      return;
    }
    set_coefficient(*params.coefficients, entry,
                    entry.kind == parameter_kind::word ? static_cast<double>(value.word) : value.real);
    return;
  }
  for (int locus = 0; locus < 2; ++locus) {
    for (size_t c = 0; c < 6; ++c) {
      if (&mutation_parameter(locus, change_alleles[c][0], change_alleles[c][1]) == &entry) {
        request.changes[6 * static_cast<size_t>(locus) + c] = value.real;
      }
    }
  }
}

std::vector<request_problem> request_problems(run_request& request,
                                              std::span<const parameter_id> required) {
  std::vector<request_problem> problems;
  if (!request.replicates) {
    for (const parameter_id batch : {parameter_id::first_replicate, parameter_id::threads,
                                     parameter_id::trajectories}) {
      if (given(request, batch)) {
        request_problem problem;
        problem.what = request_problem::kind::single_run;
        problem.entry = batch;
        problems.push_back(problem);
      }
    }
  }
  if (given(request, parameter_id::fitness) && given(request, parameter_id::fitness_values)) {
    problems.push_back(conflict(parameter_id::fitness_values, parameter_id::fitness));
  }
  for (const parameter_id coefficient : coefficients_of_values(request)) {
    problems.push_back(conflict(coefficient, parameter_id::fitness_values));
  }
  // A fitness by coefficients, named by its first entry given, excludes a
  // table and the table's column and codes.
  if (request.params.coefficients) {
    parameter_id first = parameter_id::count;
    for (const parameter_entry& entry : parameter_table) {
      if (first == parameter_id::count && coefficient_parameter(entry) && given(request, entry.id)) first = entry.id;
    }
    for (const parameter_id table : {parameter_id::fitness, parameter_id::fitness_values, parameter_id::column,
                                     parameter_id::s, parameter_id::k}) {
      if (given(request, table)) problems.push_back(conflict(first, table));
    }
    // A locus by its six fitnesses has no s or h.
    constexpr parameter_id by_s_and_h[2][4] = {
        {parameter_id::s2_a, parameter_id::h2_a, parameter_id::s3_a, parameter_id::h3_a},
        {parameter_id::s2_b, parameter_id::h2_b, parameter_id::s3_b, parameter_id::h3_b}};
    for (size_t locus = 0; locus < 2; ++locus) {
      const parameter_id six = locus == 0 ? parameter_id::fitness_a : parameter_id::fitness_b;
      if (!given(request, six)) continue;
      for (const parameter_id coefficient : by_s_and_h[locus]) {
        if (given(request, coefficient)) problems.push_back(conflict(coefficient, six));
      }
    }
  }
  const bool history = given(request, parameter_id::demography);
  if (history && given(request, parameter_id::population_size)) {
    problems.push_back(conflict(parameter_id::population_size, parameter_id::demography));
  }
  if (!history && given(request, parameter_id::burn_in)) {
    request_problem problem = conflict(parameter_id::burn_in, parameter_id::demography);
    problem.what = request_problem::kind::needs;
    problems.push_back(problem);
  }
  if (given(request, parameter_id::burn_in) && request.generations) {
    problems.push_back(conflict(parameter_id::burn_in, parameter_id::generations));
  }
  for (const parameter_id id : required) {
    if (!present(request, id)) {
      request_problem problem;
      problem.what = request_problem::kind::required;
      problem.entry = id;
      problems.push_back(problem);
    }
  }
  sim_params& params = request.params;
  params.generations = request.generations.value_or(params.generations);
  run_conditions conditions;
  set_up_conditions(request.condition_texts, conditions);  // each text was read whole
  params.conditions = conditions.given;

  for (size_t locus = 0; locus < 2; ++locus) {
    mutation_matrix& m = locus == 0 ? params.mutation_a : params.mutation_b;
    m = {};
    for (size_t c = 0; c < 6; ++c) {
      const auto from = static_cast<size_t>(change_alleles[c][0]);
      const auto to = static_cast<size_t>(change_alleles[c][1]);
      const double one_way = c < 3 ? request.mu.value_or(0.0) : 0.0;
      m[from][to] = request.changes[6 * locus + c].value_or(one_way);
    }
    for (size_t from = 0; from < 3; ++from) {
      const size_t first = (from + 1) % 3;
      const size_t second = (from + 2) % 3;
      const double sum = m[from][first] + m[from][second];
      if (sum > 1) {
        request_problem problem;
        problem.what = request_problem::kind::row_sum;
        problem.entry = mutation_parameter(static_cast<int>(locus), static_cast<int>(from),
                                           static_cast<int>(first)).id;
        problem.allele = static_cast<int>(from) + 1;
        problem.locus = locus == 0 ? 'a' : 'b';
        problem.sum = sum;
        problems.push_back(problem);
      }
    }
  }
  return problems;
}

std::optional<request_problem> check_request(run_request& request,
                                             std::span<const parameter_id> required) {
  const std::vector<request_problem> problems = request_problems(request, required);
  if (problems.empty()) return std::nullopt;
  return problems.front();
}

std::string shown_value(std::string_view text) {
  std::string out;
  for (const char character : text) {
    const auto c = static_cast<unsigned char>(character);
    if (c == '\0') break;  // a C string ends there
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c < 0x20 || c == 0x7f) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\x%02x", c);
      out += escape;
    } else {
      out += character;
    }
  }
  return out;
}

}  // namespace twolocus

namespace twolocus {

std::optional<deme_value_problem> resolve_deme_values(run_request& request, const structure_history& structure,
                                                      int64_t start) {
  const std::vector<std::string>& names = structure.names;
  using kind = deme_value_problem::kind;
  const auto table = [](parameter_id id) { return id == parameter_id::fitness || id == parameter_id::fitness_values; };
  const auto problem = [](kind what, const deme_value& value, parameter_id other = parameter_id::count) {
    return deme_value_problem{what, value.id, other, value.value.given, value.value.deme, ""};
  };
  std::vector<deme_value> kept;
  for (deme_value value : request.deme_values) {
    const auto found = std::find(names.begin(), names.end(), value.value.deme);
    if (found == names.end() || names.size() == 1) {
      if (found == names.end() && ((parameter(value.id).kind != parameter_kind::file &&
                                    parameter(value.id).kind != parameter_kind::start) ||
                                   value.strict)) {
        return problem(kind::no_deme, value);
      }
      // The run's value: the deme's of a model of one deme, else the whole
      // text as a file's name.
      const parameter_entry& entry = parameter(value.id);
      parameter_value run_value = value.value;
      if (found == names.end()) run_value = *read_plain(entry, value.value.given).value;
      run_value.deme.clear();
      const std::string not_deme = found == names.end() ? value.value.deme : "";
      value.value.deme.clear();  // the run's: the reasons name no deme
      const auto the_runs = [&](kind what, parameter_id other = parameter_id::count) {
        deme_value_problem said = problem(what, value, other);
        said.not_deme = not_deme;
        return said;
      };
      if (given(request, value.id)) return the_runs(kind::repeated);
      if (table(value.id)) {
        for (const parameter_id other : {parameter_id::fitness, parameter_id::fitness_values}) {
          if (given(request, other)) return the_runs(kind::conflict, other);
        }
        if (request.params.coefficients) return the_runs(kind::conflict, parameter_id::s2_a);
      }
      set_parameter(request, entry, run_value);
      continue;
    }
    value.deme = static_cast<int>(found - names.begin());
    for (const deme_value& before : kept) {
      if (before.deme != value.deme) continue;
      if (before.id == value.id) return problem(kind::repeated, value);
      if (table(before.id) && table(value.id)) return problem(kind::conflict, value, before.id);
    }
    if (value.id == parameter_id::initial &&
        !deme_exists(structure, static_cast<size_t>(value.deme), static_cast<double>(start))) {
      return problem(kind::not_at_start, value);
    }
    kept.push_back(std::move(value));
  }
  // A table of values has no s or k, the run's as its demes' (a file's
  // whole name may have made the run's table one of values).
  if (const auto coefficients = coefficients_of_values(request); !coefficients.empty()) {
    return deme_value_problem{kind::conflict, coefficients.front(), parameter_id::fitness_values, "", "", ""};
  }
  request.deme_values = std::move(kept);
  if (!request.fitness_file.empty() || request.params.coefficients) return std::nullopt;
  // No fitness of the run: every deme has its own, and the first deme's is
  // the run's.
  for (size_t d = 0; d < names.size(); ++d) {
    const bool has = std::any_of(request.deme_values.begin(), request.deme_values.end(), [&](const deme_value& v) {
      return static_cast<size_t>(v.deme) == d && table(v.id);
    });
    if (!has) return deme_value_problem{kind::required, parameter_id::fitness, parameter_id::count, "", names.empty() ? "" : names[d], ""};
  }
  if (names.empty()) return deme_value_problem{kind::required, parameter_id::fitness, parameter_id::count, "", "", ""};
  // Only its table: its column, s and k stay its own (the other demes
  // take the run's defaults).
  std::vector<deme_value> others;
  for (deme_value& value : request.deme_values) {
    if (value.deme == 0 && table(value.id)) {
      parameter_value run_value = value.value;
      run_value.deme.clear();
      set_parameter(request, parameter(value.id), run_value);
    } else {
      others.push_back(std::move(value));
    }
  }
  request.deme_values = std::move(others);
  return std::nullopt;
}

}  // namespace twolocus

namespace twolocus {

std::string deme_value_reason(const deme_value_problem& problem, const std::function<std::string(parameter_id)>& name) {
  using kind = deme_value_problem::kind;
  const std::string deme = "deme [" + problem.deme + "]";
  const std::string file = problem.not_deme.empty()
                               ? ""
                               : "the model has no deme [" + problem.not_deme + "], so it is a file's whole name, and ";
  switch (problem.what) {
    case kind::no_deme: return "the model has no deme [" + problem.deme + "]";
    case kind::repeated: return problem.deme.empty() ? file + "the run is given it twice" : deme + " is given it twice";
    case kind::conflict:
      return (problem.deme.empty() ? file + "the run's fitness" : deme + "'s fitness") + " is given by [" +
             name(problem.other) + "] too";
    case kind::not_at_start:
      return deme + " does not exist at the run's start: it takes its first generation from its ancestors";
    case kind::required: break;
  }
  return "";
}

}  // namespace twolocus
