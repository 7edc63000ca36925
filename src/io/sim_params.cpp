#include "io/sim_params.hpp"

#include <cerrno>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <vector>

#include <sys/types.h>

#include "io/parameters.hpp"
#include "model/genotype.hpp"

namespace twolocus {

std::string mutation_change_name(int locus, int from, int to) {
  std::string name(1, locus == 0 ? 'a' : 'b');
  name += static_cast<char>('1' + from);
  name += static_cast<char>('1' + to);
  return name;
}

namespace {

// Takes a text; returns it as a finite double when strtod reads it whole.
std::optional<double> whole_double(const std::string& text) {
  if (text.empty() || std::isspace(static_cast<unsigned char>(text[0])) ||
      text.find_first_of("xXnNiI") != std::string::npos) {
    return std::nullopt;
  }
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size() || !std::isfinite(value)) return std::nullopt;
  return value;
}

// Takes a text; returns it as a whole number from `low` to `high`.
std::optional<int64_t> whole_integer(const std::string& text, int64_t low, int64_t high) {
  const size_t from = !text.empty() && text[0] == '-' ? 1 : 0;
  if (text.size() == from || text.size() - from > 18) return std::nullopt;
  for (size_t i = from; i < text.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(text[i]))) return std::nullopt;
  }
  const long long value = std::strtoll(text.c_str(), nullptr, 10);
  if (value < low || value > high) return std::nullopt;
  return value;
}

}  // namespace

std::string change_text(const model_change& change) {
  char number[40];
  std::string text = std::to_string(change.first) + " " + std::to_string(change.deme) + " ";
  switch (change.kind) {
    case model_change::what::fitness:
      text += "fitness";
      for (const double w : change.fitness) {
        std::snprintf(number, sizeof number, " %.17g", w);
        text += number;
      }
      return text;
    case model_change::what::mutation:
      text += "mu_" + mutation_change_name(change.locus, change.from, change.to);
      break;
    case model_change::what::recombination: text += "recombination"; break;
  }
  std::snprintf(number, sizeof number, " %.17g", change.value);
  return text + number;
}

namespace {

// Takes a value of single spaces between its words; returns the words (an
// empty word where two spaces meet).
std::vector<std::string> words_of(const std::string& text) {
  std::vector<std::string> words;
  for (size_t at = 0; at <= text.size();) {
    const size_t end = std::min(text.find(' ', at), text.size());
    words.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return words;
}

}  // namespace

std::string start_text(const deme_start& start) {
  std::string text = std::to_string(start.deme);
  for (const int32_t count : start.counts) {
    text += ' ';
    text += std::to_string(count);
  }
  return text;
}

std::optional<deme_start> read_start_text(const std::string& text) {
  const std::vector<std::string> words = words_of(text);
  if (words.size() != 1 + genotype_count) return std::nullopt;
  deme_start start;
  const auto deme = whole_integer(words[0], 0, 999);
  if (!deme) return std::nullopt;
  start.deme = static_cast<int>(*deme);
  int64_t total = 0;
  for (size_t g = 0; g < genotype_count; ++g) {
    const auto count = whole_integer(words[g + 1], 0, 2147483647);
    if (!count) return std::nullopt;
    start.counts[g] = static_cast<int32_t>(*count);
    total += *count;
  }
  if (total > INT32_MAX) return std::nullopt;
  return start;
}

std::optional<model_change> read_change_text(const std::string& text) {
  const std::vector<std::string> words = words_of(text);
  if (words.size() < 4) return std::nullopt;
  model_change change;
  const auto first = whole_integer(words[0], 0, 2147483647);
  const auto deme = whole_integer(words[1], -1, 999);
  if (!first || !deme) return std::nullopt;
  change.first = *first;
  change.deme = static_cast<int>(*deme);
  if (words[2] == "fitness") {
    if (words.size() != 3 + genotype_count) return std::nullopt;
    change.kind = model_change::what::fitness;
    for (size_t index = 0; index < genotype_count; ++index) {
      const auto w = whole_double(words[3 + index]);
      if (!w || *w < 0) return std::nullopt;
      change.fitness[index] = *w;
    }
    return change;
  }
  if (words.size() != 4) return std::nullopt;
  const auto value = whole_double(words[3]);
  if (!value || *value < 0) return std::nullopt;
  change.value = *value;
  if (words[2] == "recombination") {
    change.kind = model_change::what::recombination;
    return *value <= 0.5 ? std::optional<model_change>(change) : std::nullopt;
  }
  change.kind = model_change::what::mutation;
  for (int locus = 0; locus < 2; ++locus) {
    for (int from = 0; from < 3; ++from) {
      for (int to = 0; to < 3; ++to) {
        if (from != to && words[2] == "mu_" + mutation_change_name(locus, from, to)) {
          change.locus = locus;
          change.from = from;
          change.to = to;
          return *value <= 1 ? std::optional<model_change>(change) : std::nullopt;
        }
      }
    }
  }
  return std::nullopt;
}

namespace {

// The coefficient of an entry, by its place in s2, h2, s3, h3.
double& locus_field(locus_coefficients& locus, int place) {
  return place == 0 ? locus.s2 : place == 1 ? locus.h2 : place == 2 ? locus.s3 : locus.h3;
}

// Takes an entry of the coefficients; returns its locus (0: a, 1: b) and
// its place in s2, h2, s3, h3, or locus -1 for combine and epistasis.
std::pair<int, int> coefficient_place(const parameter_entry& entry) {
  constexpr parameter_id ids[2][4] = {
      {parameter_id::s2_a, parameter_id::h2_a, parameter_id::s3_a, parameter_id::h3_a},
      {parameter_id::s2_b, parameter_id::h2_b, parameter_id::s3_b, parameter_id::h3_b}};
  for (int locus = 0; locus < 2; ++locus) {
    for (int place = 0; place < 4; ++place) {
      if (ids[locus][place] == entry.id) return {locus, place};
    }
  }
  return {-1, 0};
}

}  // namespace

bool coefficient_parameter(const parameter_entry& entry) {
  return coefficient_place(entry).first >= 0 || entry.id == parameter_id::combine ||
         entry.id == parameter_id::epistasis || entry.kind == parameter_kind::six;
}

void set_coefficient(fitness_coefficients& coefficients, const parameter_entry& entry, double value) {
  const auto [locus, place] = coefficient_place(entry);
  if (locus >= 0) {
    locus_field(locus == 0 ? coefficients.a : coefficients.b, place) = value;
  } else if (entry.id == parameter_id::combine) {
    coefficients.how = value == 0 ? combination::multiplicative : combination::additive;
  } else {
    coefficients.epistasis = value;
  }
}

double coefficient_value(const fitness_coefficients& coefficients, const parameter_entry& entry) {
  const auto [locus, place] = coefficient_place(entry);
  if (locus >= 0) {
    const locus_coefficients& at = locus == 0 ? coefficients.a : coefficients.b;
    return place == 0 ? at.s2 : place == 1 ? at.h2 : place == 2 ? at.s3 : at.h3;
  }
  if (entry.id == parameter_id::combine) return coefficients.how == combination::multiplicative ? 0 : 1;
  return coefficients.epistasis;
}

namespace {

// Takes an entry with a genotype array's key and a genotype index; returns
// the key of that genotype ("fitness_2131").
std::string array_key(const parameter_entry& entry, int index) {
  return std::string(entry.key) + genotype_label(index).data();
}

// Takes the parameters and a keyed entry (not a condition); writes its
// line(s).
void write_entry(std::FILE* file, const sim_params& params, const parameter_entry& entry) {
  const std::string key(parameter_key(entry));
  if (entry.kind == parameter_kind::six) {
    if (!params.coefficients) return;
    const auto& six = entry.id == parameter_id::fitness_a ? params.coefficients->fitness_a
                                                           : params.coefficients->fitness_b;
    if (!six) return;
    std::fprintf(file, "%s = %.17g,%.17g,%.17g,%.17g,%.17g,%.17g\n", key.c_str(), (*six)[0], (*six)[1], (*six)[2],
                 (*six)[3], (*six)[4], (*six)[5]);
    return;
  }
  if (coefficient_parameter(entry)) {
    if (!params.coefficients) return;
    const double value = coefficient_value(*params.coefficients, entry);
    if (entry.kind == parameter_kind::word) {
      std::fprintf(file, "%s = %s\n", key.c_str(),
                   std::string(parameter_word(entry, static_cast<int>(value))).c_str());
    } else {
      std::fprintf(file, "%s = %.17g\n", key.c_str(), value);
    }
    return;
  }
  if (optional_key(entry) && params.demography.empty()) return;
  switch (entry.id) {
    case parameter_id::demography:
      std::fprintf(file, "%s = %s\n", key.c_str(), params.demography.c_str());
      return;
    case parameter_id::history_start:
      std::fprintf(file, "%s = %d\n", key.c_str(), params.history_start);
      return;
    case parameter_id::version: std::fprintf(file, "%s = %s\n", key.c_str(), params.version.c_str()); return;
    case parameter_id::engine:
    case parameter_id::weights: {
      const int place = entry.id == parameter_id::engine ? (params.engine == engine_kind::exact ? 0 : 1)
                                                         : (params.weights == weight_rule::exact ? 0 : 1);
      std::fprintf(file, "%s = %s\n", key.c_str(), std::string(parameter_word(entry, place)).c_str());
      return;
    }
    case parameter_id::seed: std::fprintf(file, "%s = %d\n", key.c_str(), params.seed); return;
    case parameter_id::population_size:
      std::fprintf(file, "%s = %d\n", key.c_str(), params.population_size);
      return;
    case parameter_id::generations: std::fprintf(file, "%s = %d\n", key.c_str(), params.generations); return;
    case parameter_id::record_every: std::fprintf(file, "%s = %d\n", key.c_str(), params.record_every); return;
    case parameter_id::recombination:
      std::fprintf(file, "%s = %.17g\n", key.c_str(), params.recombination);
      return;
    case parameter_id::fitness_values_table:
      for (int index = 0; index < genotype_count; ++index) {
        std::fprintf(file, "%s = %.17g\n", array_key(entry, index).c_str(),
                     params.fitness[static_cast<size_t>(index)]);
      }
      return;
    case parameter_id::initial_counts:
      for (int index = 0; index < genotype_count; ++index) {
        std::fprintf(file, "%s = %d\n", array_key(entry, index).c_str(),
                     params.initial[static_cast<size_t>(index)]);
      }
      return;
    default: break;
  }
  for (int locus = 0; locus < 2; ++locus) {
    for (int from = 0; from < 3; ++from) {
      for (int to = 0; to < 3; ++to) {
        if (from != to && &mutation_parameter(locus, from, to) == &entry) {
          const mutation_matrix& m = locus == 0 ? params.mutation_a : params.mutation_b;
          std::fprintf(file, "%s = %.17g\n", key.c_str(),
                       m[static_cast<size_t>(from)][static_cast<size_t>(to)]);
        }
      }
    }
  }
}

}  // namespace

// The keys of the lines of changes and of the demes' own starts.
constexpr const char* key_of_change = "change";
constexpr const char* key_of_start = "start";

void write_sim_params(std::FILE* file, const sim_params& params) {
  std::fprintf(file, "%s\n", sim_params_first_line);
  bool conditions_written = false;
  for (const parameter_entry& entry : parameter_table) {
    if (entry.key.empty() || entry.key.rfind("batch:", 0) == 0) continue;
    if (entry.kind == parameter_kind::change) {
      for (const model_change& change : params.changes) {
        std::fprintf(file, "%s = %s\n", key_of_change, change_text(change).c_str());
      }
      for (const deme_start& start : params.starts) {
        std::fprintf(file, "%s = %s\n", key_of_start, start_text(start).c_str());
      }
    } else if (entry.kind != parameter_kind::condition) {
      write_entry(file, params, entry);
    } else if (!conditions_written) {
      // Stop and watch lines in the order of the summary's columns.
      for (const condition_text& condition : params.conditions) {
        std::fprintf(file, "%s = %s\n", condition.stops ? "stop" : "watch", condition.text.c_str());
      }
      conditions_written = true;
    }
  }
}

namespace {

// Takes the parameters; returns their coefficients, made (at their
// defaults) when they have none yet.
fitness_coefficients& coefficients_of(sim_params& params) {
  if (!params.coefficients) params.coefficients.emplace();
  return *params.coefficients;
}

// Takes the parameters, a keyed entry, the genotype index of an array's key
// and the value's text; stores the value. Returns false when the text is
// not a value of the entry.
bool set_entry(sim_params& params, const parameter_entry& entry, int index, const std::string& text) {
  switch (entry.kind) {
    case parameter_kind::label: {
      if (text.empty() || text.size() > 32) return false;
      for (const char c : text) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-') return false;
      }
      params.version = text;
      return true;
    }
    case parameter_kind::word: {
      const auto place = read_word(entry, text);
      if (!place) return false;
      if (coefficient_parameter(entry)) {
        set_coefficient(coefficients_of(params), entry, *place);
      } else if (entry.id == parameter_id::engine) {
        params.engine = *place == 0 ? engine_kind::exact : engine_kind::multinomial;
      } else {
        params.weights = *place == 0 ? weight_rule::exact : weight_rule::floor;
      }
      return true;
    }
    case parameter_kind::file: {
      // The demography's JSON: one line, read and checked by the run library.
      if (entry.id != parameter_id::demography || text.empty()) return false;
      params.demography = text;
      return true;
    }
    case parameter_kind::integer: {
      const auto value = read_integer(entry, text);
      if (!value) return false;
      const auto v = static_cast<int32_t>(*value);
      switch (entry.id) {
        case parameter_id::history_start: params.history_start = v; break;
        case parameter_id::seed: params.seed = v; break;
        case parameter_id::population_size: params.population_size = v; break;
        case parameter_id::generations: params.generations = v; break;
        case parameter_id::record_every: params.record_every = v; break;
        case parameter_id::initial_counts: params.initial[static_cast<size_t>(index)] = v; break;
        default: return false;
      }
      return true;
    }
    case parameter_kind::real:
    case parameter_kind::probability: {
      const auto value = read_real(entry, text);
      if (!value) return false;
      if (coefficient_parameter(entry)) {
        set_coefficient(coefficients_of(params), entry, *value);
      } else if (entry.id == parameter_id::recombination) {
        params.recombination = *value;
      } else if (entry.id == parameter_id::fitness_values_table) {
        params.fitness[static_cast<size_t>(index)] = *value;
      } else {
        for (int locus = 0; locus < 2; ++locus) {
          for (int from = 0; from < 3; ++from) {
            for (int to = 0; to < 3; ++to) {
              if (from != to && &mutation_parameter(locus, from, to) == &entry) {
                mutation_matrix& m = locus == 0 ? params.mutation_a : params.mutation_b;
                m[static_cast<size_t>(from)][static_cast<size_t>(to)] = *value;
              }
            }
          }
        }
      }
      return true;
    }
    case parameter_kind::six: {
      const auto six = read_six(entry, text);
      if (!six) return false;
      (entry.id == parameter_id::fitness_a ? coefficients_of(params).fitness_a : coefficients_of(params).fitness_b) =
          *six;
      return true;
    }
    default: return false;
  }
}

// Every key of the file (conditions aside), in the order it is written.
std::vector<std::pair<std::string, const parameter_entry*>> all_keys() {
  std::vector<std::pair<std::string, const parameter_entry*>> keys;
  for (const parameter_entry& entry : parameter_table) {
    if (entry.key.empty() || entry.key.rfind("batch:", 0) == 0 ||
        entry.kind == parameter_kind::condition || entry.kind == parameter_kind::change) {
      continue;
    }
    if (entry.key.back() == '_') {
      for (int index = 0; index < genotype_count; ++index) keys.emplace_back(array_key(entry, index), &entry);
    } else {
      keys.emplace_back(std::string(parameter_key(entry)), &entry);
    }
  }
  return keys;
}

// Takes a file; reads one line without its line end ("\n" or "\r\n") into
// `line`. Returns false at the end of the file; `ended` says whether the
// line had a line end.
bool next_line(std::FILE* file, std::string& line, bool& ended) {
  char* buffer = nullptr;
  size_t capacity = 0;
  const ssize_t length = ::getline(&buffer, &capacity, file);
  if (length < 0) {
    std::free(buffer);
    return false;
  }
  line.assign(buffer, static_cast<size_t>(length));
  std::free(buffer);
  ended = !line.empty() && line.back() == '\n';
  if (ended) {
    line.pop_back();
    if (!line.empty() && line.back() == '\r') line.pop_back();
  }
  return true;
}

}  // namespace

sim_params_reading read_sim_params(std::FILE* file, sim_params& params) {
  using outcome = sim_params_reading::outcome;
  std::string line;
  bool ended = false;
  if (!next_line(file, line, ended) || line != sim_params_first_line) {
    const bool classic = line.rfind("s = [", 0) == 0;
    return {classic ? outcome::classic : outcome::first_line, 1, ""};
  }
  params.conditions.clear();
  params.demography.clear();
  params.history_start = 0;
  params.coefficients.reset();
  params.changes.clear();
  params.starts.clear();
  const auto keys = all_keys();
  std::map<std::string, std::pair<const parameter_entry*, bool>> known;
  for (const auto& [name, entry] : keys) known[name] = {entry, false};
  long long number = 1;
  while (next_line(file, line, ended)) {
    ++number;
    const size_t equals = line.find(" = ");
    const std::string key = equals == std::string::npos ? line : line.substr(0, equals);
    const auto found = known.find(key);
    int index = -1;
    const parameter_entry* entry = found == known.end() ? parameter_by_key(key, index) : found->second.first;
    if (equals != std::string::npos && entry != nullptr && entry->kind == parameter_kind::change && ended) {
      // In the order they act: a first generation below the one before is not.
      const auto change = read_change_text(line.substr(equals + 3));
      if (!change || (!params.changes.empty() && change->first < params.changes.back().first)) {
        return {outcome::bad_line, number, key};
      }
      params.changes.push_back(*change);
      continue;
    }
    if (equals != std::string::npos && key == key_of_start && ended) {
      // After the changes, by the demes' places, each once.
      const auto start = read_start_text(line.substr(equals + 3));
      if (!start || (!params.starts.empty() && start->deme <= params.starts.back().deme)) {
        return {outcome::bad_line, number, key};
      }
      params.starts.push_back(*start);
      continue;
    }
    if (equals != std::string::npos && entry != nullptr && entry->kind == parameter_kind::condition &&
        ended) {
      const std::string text = line.substr(equals + 3);
      if (text.find_first_of(std::string("\t\r\0", 3)) != std::string::npos ||
          parse_condition(text).error.kind != condition_error_kind::none) {
        return {outcome::bad_line, number, key};
      }
      for (const condition_text& given : params.conditions) {
        if (given.text == text) return {outcome::repeated, number, key};
      }
      params.conditions.push_back({text, entry->id == parameter_id::stop});
      continue;
    }
    if (equals == std::string::npos || found == known.end() || !ended ||
        std::memchr(line.data(), '\0', line.size()) != nullptr) {
      return {outcome::bad_line, number, found == known.end() ? "" : key};
    }
    if (found->second.second) return {outcome::repeated, number, key};
    parameter_by_key(key, index);
    if (!set_entry(params, *found->second.first, index, line.substr(equals + 3))) {
      return {outcome::bad_line, number, key};
    }
    found->second.second = true;
  }
  // The optional keys come together, each group (the demography's, the
  // coefficients'): all or none; a locus's six fitnesses (each a group of
  // its own) only with the coefficients.
  const auto group = [](const parameter_entry& entry) {
    return entry.id == parameter_id::fitness_a ? 2 : entry.id == parameter_id::fitness_b ? 3
                                                                                         : coefficient_parameter(entry) ? 1 : 0;
  };
  bool any_optional[4] = {false, false, false, false};
  for (const auto& [name, entry] : keys) {
    any_optional[group(*entry)] |= optional_key(*entry) && known[name].second;
  }
  any_optional[1] |= any_optional[2] || any_optional[3];
  for (const auto& [name, entry] : keys) {
    if (!known[name].second && (any_optional[group(*entry)] || !optional_key(*entry))) {
      return {outcome::missing, 0, name};
    }
  }
  for (int locus = 0; locus < 2; ++locus) {
    const mutation_matrix& m = locus == 0 ? params.mutation_a : params.mutation_b;
    for (size_t from = 0; from < 3; ++from) {
      double sum = 0;
      for (size_t to = 0; to < 3; ++to) sum += to == from ? 0 : m[from][to];
      if (sum > 1) {
        return {outcome::inconsistent, 0,
                "mu_" + mutation_change_name(locus, static_cast<int>(from), from == 0 ? 1 : 0)};
      }
    }
  }
  if (params.weights == weight_rule::floor) {
    for (size_t index = 0; index < genotype_count; ++index) {
      if (params.fitness[index] > floor_fitness_max) {
        return {outcome::inconsistent, 0,
                std::string("fitness_") + genotype_label(static_cast<int>(index)).data()};
      }
    }
  }
  // Each deme's mutation rows after each change sum to at most 1, and a
  // changed fitness is within the floor weights' bound.
  std::map<int, std::pair<mutation_matrix, mutation_matrix>> rates;
  rates[-1] = {params.mutation_a, params.mutation_b};
  for (const model_change& change : params.changes) {
    if (change.kind == model_change::what::fitness && params.weights == weight_rule::floor) {
      for (const double w : change.fitness) {
        if (w > floor_fitness_max) return {outcome::inconsistent, 0, "change"};
      }
    }
    if (change.kind != model_change::what::mutation) continue;
    if (rates.count(change.deme) == 0) rates[change.deme] = rates[-1];
    for (auto& [deme, matrices] : rates) {
      if (change.deme >= 0 && deme != change.deme) continue;
      mutation_matrix& m = change.locus == 0 ? matrices.first : matrices.second;
      const auto from = static_cast<size_t>(change.from);
      m[from][static_cast<size_t>(change.to)] = change.value;
      double sum = 0;
      for (size_t to = 0; to < 3; ++to) sum += to == from ? 0 : m[from][to];
      if (sum > 1) return {outcome::inconsistent, 0, "change"};
    }
  }
  if (params.coefficients) {
    // The table is the one the coefficients make, to the last bit.
    const fitness_table made = coefficient_fitness(*params.coefficients, params.weights);
    for (size_t index = 0; index < genotype_count; ++index) {
      if (made[index] != params.fitness[index]) {
        return {outcome::inconsistent, 0,
                std::string("fitness_") + genotype_label(static_cast<int>(index)).data()};
      }
    }
  }
  int64_t total = 0;
  for (const int32_t count : params.initial) total += count;
  if (total > INT32_MAX) return {outcome::inconsistent, 0, "initial_1111"};
  return {outcome::read, 0, ""};
}

}  // namespace twolocus
