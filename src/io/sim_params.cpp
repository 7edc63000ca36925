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

#include "model/genotype.hpp"

namespace twolocus {

std::string mutation_change_name(int locus, int from, int to) {
  std::string name(1, locus == 0 ? 'a' : 'b');
  name += static_cast<char>('1' + from);
  name += static_cast<char>('1' + to);
  return name;
}

namespace {

// The six changes of a locus, in the order the file lists them: one-way
// first (12, 23, 13), then back (21, 32, 31).
constexpr int changes[6][2] = {{0, 1}, {1, 2}, {0, 2}, {1, 0}, {2, 1}, {2, 0}};

const char* engine_word(engine_kind engine) {
  return engine == engine_kind::exact ? "exact" : "multinomial";
}

const char* weights_word(weight_rule rule) { return rule == weight_rule::exact ? "exact" : "floor"; }

}  // namespace

void write_sim_params(std::FILE* file, const sim_params& params) {
  std::fprintf(file, "%s\n", sim_params_first_line);
  std::fprintf(file, "version = %s\n", params.version.c_str());
  std::fprintf(file, "engine = %s\n", engine_word(params.engine));
  std::fprintf(file, "seed = %d\n", params.seed);
  std::fprintf(file, "population_size = %d\n", params.population_size);
  std::fprintf(file, "generations = %d\n", params.generations);
  std::fprintf(file, "record_every = %d\n", params.record_every);
  std::fprintf(file, "recombination = %.17g\n", params.recombination);
  std::fprintf(file, "weights = %s\n", weights_word(params.weights));
  for (int locus = 0; locus < 2; ++locus) {
    const mutation_matrix& m = locus == 0 ? params.mutation_a : params.mutation_b;
    for (const auto& change : changes) {
      std::fprintf(file, "mu_%s = %.17g\n", mutation_change_name(locus, change[0], change[1]).c_str(),
                   m[static_cast<size_t>(change[0])][static_cast<size_t>(change[1])]);
    }
  }
  for (int index = 0; index < genotype_count; ++index) {
    std::fprintf(file, "fitness_%s = %.17g\n", genotype_label(index).data(),
                 params.fitness[static_cast<size_t>(index)]);
  }
  for (int index = 0; index < genotype_count; ++index) {
    std::fprintf(file, "initial_%s = %d\n", genotype_label(index).data(),
                 params.initial[static_cast<size_t>(index)]);
  }
  for (const condition_text& condition : params.conditions) {
    std::fprintf(file, "%s = %s\n", condition.stops ? "stop" : "watch", condition.text.c_str());
  }
}

namespace {

// Takes a token; returns its value when strtod reads it whole as a finite
// decimal number (no leading blank, no hexadecimal form, no nan or inf).
std::optional<double> whole_double(const std::string& text) {
  if (text.empty() || std::isspace(static_cast<unsigned char>(text[0])) ||
      text.find_first_of("xXnNiI") != std::string::npos) {
    return std::nullopt;
  }
  errno = 0;
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size() || !std::isfinite(value)) return std::nullopt;
  return value;
}

// Takes a token; returns its value when it is a decimal integer (an optional
// minus sign, digits) within [low, high].
std::optional<int64_t> whole_integer(const std::string& text, int64_t low, int64_t high) {
  const size_t digits_from = !text.empty() && text[0] == '-' ? 1 : 0;
  if (text.size() == digits_from || text.size() - digits_from > 19) return std::nullopt;
  for (size_t i = digits_from; i < text.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(text[i]))) return std::nullopt;
  }
  errno = 0;
  const long long value = std::strtoll(text.c_str(), nullptr, 10);
  if (errno != 0 || value < low || value > high) return std::nullopt;
  return value;
}

using setter = bool (*)(sim_params&, const std::string&, size_t);

struct key_entry {
  setter set;
  size_t index;
};

bool set_version(sim_params& p, const std::string& v, size_t) {
  if (v.empty() || v.size() > 32) return false;
  for (const char c : v) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-') return false;
  }
  p.version = v;
  return true;
}
bool set_engine(sim_params& p, const std::string& v, size_t) {
  if (v != "exact" && v != "multinomial") return false;
  p.engine = v == "exact" ? engine_kind::exact : engine_kind::multinomial;
  return true;
}
bool set_weights(sim_params& p, const std::string& v, size_t) {
  if (v != "exact" && v != "floor") return false;
  p.weights = v == "exact" ? weight_rule::exact : weight_rule::floor;
  return true;
}
template <int32_t sim_params::*field, int64_t low, int64_t high>
bool set_int(sim_params& p, const std::string& v, size_t) {
  const auto value = whole_integer(v, low, high);
  if (value) p.*field = static_cast<int32_t>(*value);
  return value.has_value();
}
bool set_recombination(sim_params& p, const std::string& v, size_t) {
  const auto value = whole_double(v);
  if (!value || *value < 0 || *value > 0.5) return false;
  p.recombination = *value;
  return true;
}
bool set_mutation(sim_params& p, const std::string& v, size_t index) {
  const auto value = whole_double(v);
  if (!value || *value < 0 || *value > 1) return false;
  mutation_matrix& m = index < 6 ? p.mutation_a : p.mutation_b;
  const auto& change = changes[index % 6];
  m[static_cast<size_t>(change[0])][static_cast<size_t>(change[1])] = *value;
  return true;
}
bool set_fitness(sim_params& p, const std::string& v, size_t index) {
  const auto value = whole_double(v);
  if (!value || *value < 0) return false;
  p.fitness[index] = *value;
  return true;
}
bool set_initial(sim_params& p, const std::string& v, size_t index) {
  const auto value = whole_integer(v, 0, INT32_MAX);
  if (value) p.initial[index] = static_cast<int32_t>(*value);
  return value.has_value();
}

// Every key of the file, in the order it is written.
std::vector<std::pair<std::string, key_entry>> all_keys() {
  std::vector<std::pair<std::string, key_entry>> keys = {
      {"version", {set_version, 0}},
      {"engine", {set_engine, 0}},
      {"seed", {set_int<&sim_params::seed, INT32_MIN, INT32_MAX>, 0}},
      {"population_size", {set_int<&sim_params::population_size, 0, INT32_MAX>, 0}},
      {"generations", {set_int<&sim_params::generations, 0, INT32_MAX>, 0}},
      {"record_every", {set_int<&sim_params::record_every, 0, INT32_MAX>, 0}},
      {"recombination", {set_recombination, 0}},
      {"weights", {set_weights, 0}},
  };
  for (size_t i = 0; i < 12; ++i) {
    const auto& change = changes[i % 6];
    keys.push_back({"mu_" + mutation_change_name(i < 6 ? 0 : 1, change[0], change[1]),
                    {set_mutation, i}});
  }
  for (size_t index = 0; index < genotype_count; ++index) {
    keys.push_back({std::string("fitness_") + genotype_label(static_cast<int>(index)).data(),
                    {set_fitness, index}});
  }
  for (size_t index = 0; index < genotype_count; ++index) {
    keys.push_back({std::string("initial_") + genotype_label(static_cast<int>(index)).data(),
                    {set_initial, index}});
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
  const auto keys = all_keys();
  std::map<std::string, std::pair<key_entry, bool>> known;
  for (const auto& [name, entry] : keys) known[name] = {entry, false};
  long long number = 1;
  while (next_line(file, line, ended)) {
    ++number;
    const size_t equals = line.find(" = ");
    const std::string key = equals == std::string::npos ? line : line.substr(0, equals);
    if (equals != std::string::npos && (key == "stop" || key == "watch") && ended) {
      const std::string text = line.substr(equals + 3);
      if (text.find_first_of(std::string("\t\r\0", 3)) != std::string::npos ||
          parse_condition(text).error.kind != condition_error_kind::none) {
        return {outcome::bad_line, number, key};
      }
      for (const condition_text& given : params.conditions) {
        if (given.text == text) return {outcome::repeated, number, key};
      }
      params.conditions.push_back({text, key == "stop"});
      continue;
    }
    const auto found = known.find(key);
    if (equals == std::string::npos || found == known.end() || !ended ||
        std::memchr(line.data(), '\0', line.size()) != nullptr) {
      return {outcome::bad_line, number, found == known.end() ? "" : key};
    }
    if (found->second.second) return {outcome::repeated, number, key};
    if (!found->second.first.set(params, line.substr(equals + 3), found->second.first.index)) {
      return {outcome::bad_line, number, key};
    }
    found->second.second = true;
  }
  for (const auto& [name, entry] : keys) {
    if (!known[name].second) return {outcome::missing, 0, name};
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
  int64_t total = 0;
  for (const int32_t count : params.initial) total += count;
  if (total > INT32_MAX) return {outcome::inconsistent, 0, "initial_1111"};
  return {outcome::read, 0, ""};
}

}  // namespace twolocus
