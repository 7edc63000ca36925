#include "run/changes.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "io/parameters.hpp"

namespace twolocus {
namespace {

// What a deme's fitness is made of at a time: a table (its file, kind,
// column, s and k) or coefficients; and its mutation rates.
struct deme_state {
  std::string file;
  bool values = false;
  int column = 1;
  double s = 0.0;
  double k = 0.0;
  std::optional<fitness_coefficients> coefficients;
  mutation_matrix mutation_a{};
  mutation_matrix mutation_b{};
};

std::string number_text(double value) {
  char text[40];
  std::snprintf(text, sizeof text, "%.17g", value);
  return text;
}

// Takes a deme's state; returns the row of a matrix summing above 1 as a
// reason, or "".
std::string row_problem(const deme_state& state) {
  for (int locus = 0; locus < 2; ++locus) {
    const mutation_matrix& m = locus == 0 ? state.mutation_a : state.mutation_b;
    for (size_t from = 0; from < 3; ++from) {
      const double sum = m[from][(from + 1) % 3] + m[from][(from + 2) % 3];
      if (sum > 1) {
        return "the mutation rates out of allele " + std::to_string(from + 1) + " at locus " +
               (locus == 0 ? "a" : "b") + " would sum to " + number_text(sum) + ", more than 1";
      }
    }
  }
  return "";
}

// Takes a deme's state, the run's parameters (their weights) and the
// inputs; returns its fitness table, or the failure of its file.
std::optional<input_failure> table_of(const deme_state& state, const sim_params& params, fitness_table& table,
                                      std::vector<input_file>& inputs) {
  run_request made;
  made.fitness_file = state.file;
  made.fitness_values = state.values;
  made.column = state.column;
  made.s = state.s;
  made.k = state.k;
  sim_params with = params;
  with.coefficients = state.coefficients;
  if (auto failed = read_fitness_input(made, with, inputs)) return failed;
  table = with.fitness;
  return std::nullopt;
}

// Takes an entry and the rest of a reason; returns "[OPTION" and the rest.
std::string bracketed(const parameter_entry& entry, const char* rest) {
  std::string said(1, '[');
  said.append(long_option(entry));
  said.append(rest);
  return said;
}

// Takes a deme's state, an entry of its fitness and its value, and how a
// reason ends (" then" for a change); sets it in the state. Returns why it
// cannot be set, or nothing.
std::optional<std::string> set_fitness_value(deme_state& state, const parameter_entry& entry, const parameter_value& v,
                                             const char* when) {
  const parameter_id id = entry.id;
  if (id == parameter_id::fitness || id == parameter_id::fitness_values) {
    state.file = v.text;
    state.values = id == parameter_id::fitness_values;
    state.coefficients.reset();
  } else if (id == parameter_id::column || id == parameter_id::s || id == parameter_id::k) {
    if (state.file.empty()) return bracketed(entry, ("] changes a table, and the fitness is given by coefficients" + std::string(when)).c_str());
    if (id != parameter_id::column && state.values) {
      return bracketed(entry, ("] is a coefficient of a table of codes (--fitness), and the table is of values" + std::string(when)).c_str());
    }
    if (id == parameter_id::column) state.column = static_cast<int>(v.whole);
    if (id == parameter_id::s) state.s = v.real;
    if (id == parameter_id::k) state.k = v.real;
  } else {
    if (!state.file.empty()) {
      state.file.clear();
      state.coefficients = fitness_coefficients{};
    }
    if (!state.coefficients) state.coefficients.emplace();
    fitness_coefficients& c = *state.coefficients;
    if (entry.kind == parameter_kind::six) {
      (id == parameter_id::fitness_a ? c.fitness_a : c.fitness_b) = v.six;
      return std::nullopt;
    }
    // An s or h of a locus given by its six fitnesses: the locus by its s and h again.
    const std::string_view name = entry.identifier;
    if (name.size() == 4 && (name[0] == 's' || name[0] == 'h')) {
      (name.back() == 'a' ? c.fitness_a : c.fitness_b).reset();
    }
    set_coefficient(c, entry, entry.kind == parameter_kind::word ? static_cast<double>(v.word) : v.real);
  }
  return std::nullopt;
}

// Takes the request and a deme; returns the text of the deme's first own
// fitness value, as given.
std::string value_text_of(const run_request& request, size_t deme) {
  for (const deme_value& value : request.deme_values) {
    if (static_cast<size_t>(value.deme) == deme) return value.value.given;
  }
  return "";
}

// The six changes of a locus that --mu sets: 1 to 2, 2 to 3, 1 to 3.
constexpr int one_way[3][2] = {{0, 1}, {1, 2}, {0, 2}};

}  // namespace

std::optional<int64_t> change_generation(double time, const change_axis& axis) {
  if (!axis.history) {
    if (time != std::floor(time)) return std::nullopt;
    return static_cast<int64_t>(std::min(time, 2147483647.0));
  }
  // The first g with start - g - 1 < time / generation_time.
  const double after = static_cast<double>(axis.start) - 1 - time / axis.generation_time;
  const double first = std::floor(after) + 1;
  if (first <= 0) return 0;
  return static_cast<int64_t>(std::min(first, 2147483647.0));
}

std::optional<change_failure> resolve_changes(const run_request& request, sim_params& params,
                                              const change_axis& axis, std::vector<input_file>& inputs) {
  params.changes.clear();
  const bool several = axis.demes.size() > 1;
  const auto own_fitness = [](const deme_value& value) {
    return value.deme >= 0 && value.id != parameter_id::initial;
  };
  const bool demes_own = several && std::any_of(request.deme_values.begin(), request.deme_values.end(), own_fitness);
  if (request.change_texts.empty() && !demes_own) return std::nullopt;
  deme_state initial;
  initial.file = request.fitness_file;
  initial.values = request.fitness_values;
  initial.column = request.column;
  initial.s = request.s;
  initial.k = request.k;
  initial.coefficients = request.fitness_file.empty() ? params.coefficients : std::nullopt;
  initial.mutation_a = params.mutation_a;
  initial.mutation_b = params.mutation_b;
  std::vector<deme_state> states(several ? axis.demes.size() : 1, initial);

  // A deme's own fitness (NAME=VALUE) is its change in generation 0: its
  // table first, then its column, s and k; the run's settings where it has
  // none of its own, but for s and k of a table of values.
  if (demes_own) {
    for (size_t d = 0; d < states.size(); ++d) {
      bool own = false;
      for (const bool tables : {true, false}) {
        for (const deme_value& value : request.deme_values) {
          if (static_cast<size_t>(value.deme) != d || !own_fitness(value)) continue;
          const bool table = value.id == parameter_id::fitness || value.id == parameter_id::fitness_values;
          if (table != tables) continue;
          if (table && value.id == parameter_id::fitness_values) {
            states[d].s = 0.0;
            states[d].k = 0.0;
          }
          if (auto problem = set_fitness_value(states[d], parameter(value.id), value.value, "")) {
            return change_failure{value.value.given, *problem, std::nullopt, value.id};
          }
          own = true;
        }
      }
      if (!own) continue;
      model_change made;
      made.deme = static_cast<int>(d);
      if (auto failed = table_of(states[d], params, made.fitness, inputs)) {
        return change_failure{value_text_of(request, d), "", std::move(failed)};
      }
      params.changes.push_back(made);
    }
  }

  // The changes in the order they act: by first generation, then as given.
  struct timed {
    int64_t first;
    const std::string* text;
    change_reading reading;
  };
  std::vector<timed> order;
  for (const std::string& text : request.change_texts) {
    const auto reading = read_change(text);
    if (!reading) return change_failure{text, "it is not TIME:PARAMETER=VALUE", std::nullopt};
    const auto first = change_generation(reading->time, axis);
    if (!first) {
      return change_failure{text, "time [" + number_text(reading->time) + "] is not a whole generation", std::nullopt};
    }
    order.push_back({*first, &text, *reading});
  }
  std::stable_sort(order.begin(), order.end(), [](const timed& x, const timed& y) { return x.first < y.first; });

  for (const timed& change : order) {
    const std::string& text = *change.text;
    const parameter_entry& entry = *change.reading.entry;
    std::string value = change.reading.rest;
    int deme = -1;
    if (several && value.find('=') != std::string::npos) {
      const std::string name = value.substr(0, value.find('='));
      const auto found = std::find(axis.demes.begin(), axis.demes.end(), name);
      if (found == axis.demes.end()) return change_failure{text, "the run has no deme [" + name + "]", std::nullopt};
      deme = static_cast<int>(found - axis.demes.begin());
      value = value.substr(value.find('=') + 1);
    }
    // The value of a change is whole: its deme came before it.
    const parameter_reading reading = read_plain(entry, value);
    if (!reading.value) {
      return change_failure{text, "[" + std::string(long_option(entry)) + "] takes " + parameter_wants(entry) +
                                      ", not [" + value + "]", std::nullopt};
    }
    const parameter_value& v = *reading.value;
    model_change made;
    made.first = change.first;
    made.deme = deme;
    const auto targets = [&](auto&& each) -> std::optional<std::string> {
      for (size_t d = 0; d < states.size(); ++d) {
        if (deme >= 0 && static_cast<size_t>(deme) != d) continue;
        if (auto problem = each(states[d])) return problem;
      }
      return std::nullopt;
    };
    const parameter_id id = entry.id;
    if (id == parameter_id::recombination) {
      made.kind = model_change::what::recombination;
      made.value = v.real;
      params.changes.push_back(made);
      continue;
    }
    if (id == parameter_id::mu || entry.key.rfind("mu_", 0) == 0) {
      made.kind = model_change::what::mutation;
      made.value = v.real;
      std::vector<model_change> rates;
      for (int locus = 0; locus < 2; ++locus) {
        for (int from = 0; from < 3; ++from) {
          for (int to = 0; to < 3; ++to) {
            if (from == to) continue;
            const bool one = id == parameter_id::mu
                                 ? std::any_of(std::begin(one_way), std::end(one_way),
                                               [&](const int* c) { return c[0] == from && c[1] == to; })
                                 : &mutation_parameter(locus, from, to) == &entry;
            if (!one) continue;
            made.locus = locus;
            made.from = from;
            made.to = to;
            rates.push_back(made);
          }
        }
      }
      const auto problem = targets([&](deme_state& state) -> std::optional<std::string> {
        for (const model_change& rate : rates) {
          mutation_matrix& m = rate.locus == 0 ? state.mutation_a : state.mutation_b;
          m[static_cast<size_t>(rate.from)][static_cast<size_t>(rate.to)] = rate.value;
        }
        const std::string row = row_problem(state);
        return row.empty() ? std::nullopt : std::optional<std::string>(row);
      });
      if (problem) return change_failure{text, *problem, std::nullopt};
      params.changes.insert(params.changes.end(), rates.begin(), rates.end());
      continue;
    }
    // A change of the fitness: each deme concerned gets its whole new table.
    const auto problem = targets([&](deme_state& state) { return set_fitness_value(state, entry, v, " then"); });
    if (problem) return change_failure{text, *problem, std::nullopt};
    for (size_t d = 0; d < states.size(); ++d) {
      if (deme >= 0 && static_cast<size_t>(deme) != d) continue;
      made.kind = model_change::what::fitness;
      made.deme = several ? static_cast<int>(d) : -1;
      if (auto failed = table_of(states[d], params, made.fitness, inputs)) {
        return change_failure{text, "", std::move(failed)};
      }
      params.changes.push_back(made);
    }
  }
  return std::nullopt;
}

fitness_table fitness_in_generation(const sim_params& params, int64_t generation, int deme) {
  fitness_table fitness = params.fitness;
  for (const model_change& change : params.changes) {
    if (change.first > generation) break;
    if (change.kind == model_change::what::fitness && (change.deme < 0 || change.deme == deme)) {
      fitness = change.fitness;
    }
  }
  return fitness;
}

bool demes_differ_in_fitness(const sim_params& params) {
  return std::any_of(params.changes.begin(), params.changes.end(), [](const model_change& change) {
    return change.kind == model_change::what::fitness && change.deme >= 0;
  });
}

}  // namespace twolocus
