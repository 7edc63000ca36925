#include "io/fitness_values.hpp"

#include <array>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "model/genotype.hpp"

namespace twolocus {

double code_fitness_double(int code, double s, double k) {
  switch (code) {
    case 0: return 0.0;
    case 1: return 1.0;
    case 2: return 1 + (k - s) * 0.5;
    case 3: return 1 + (k * 3) * 0.25;
    case 4: return 1 + k;
    case 5: return 1 + k * 0.5;
    case 6: return 1 + k * 0.25;
    case 7: return 1 - s;
    default: return 1 - s * 0.5;
  }
}

int mirror_index(int index) {
  return compose_index(index_digit(index, 2), index_digit(index, 1), index_digit(index, 4),
                       index_digit(index, 3));
}

namespace {

// Splits a line at tabs and spaces.
std::vector<std::string> tokens_of(const std::string& line) {
  std::vector<std::string> tokens;
  size_t at = 0;
  while ((at = line.find_first_not_of(" \t", at)) != std::string::npos) {
    const size_t end = line.find_first_of(" \t", at);
    tokens.push_back(line.substr(at, end == std::string::npos ? std::string::npos : end - at));
    at = end;
  }
  return tokens;
}

// What entry_fitness returns for a value above floor_fitness_max under floor
// weights.
constexpr double too_large = -2.0;

// Takes a token and how to read it; returns the fitness it gives, too_large,
// or another negative number when it is not a good code or value.
double entry_fitness(const std::string& token, const fitness_source& source) {
  if (!source.values) {
    if (token.size() != 1 || token[0] < '0' || token[0] > '8') return -1;
    const int code = token[0] - '0';
    if (source.rule == weight_rule::exact) return code_fitness_double(code, source.s, source.k);
    const auto s = static_cast<float>(source.s);
    const auto k = static_cast<float>(source.k);
    return static_cast<double>(*code_fitness(static_cast<int8_t>(code), static_cast<double>(s), k));
  }
  if (token.empty() || token.find_first_of("xXnNiI") != std::string::npos) return -1;
  char* end = nullptr;
  const double value = std::strtod(token.c_str(), &end);
  if (end != token.c_str() + token.size() || !std::isfinite(value) || value < 0) return -1;
  if (source.rule == weight_rule::exact) return value;
  // Checked before the rounding, which takes 2^25 + 1 to 2^25.
  return value > floor_fitness_max ? too_large : static_cast<double>(static_cast<float>(value));
}

}  // namespace

fitness_reading read_fitness_values(std::FILE* file, const fitness_source& source,
                                    fitness_table& fitness) {
  using outcome = fitness_reading::outcome;
  std::array<bool, genotype_count> listed{};
  fitness.fill(0.0);
  char* buffer = nullptr;
  size_t capacity = 0;
  ssize_t length = 0;
  long long number = 0;
  fitness_reading reading;
  while ((length = ::getline(&buffer, &capacity, file)) >= 0) {
    ++number;
    std::string line(buffer, static_cast<size_t>(length));
    if (!line.empty() && line.back() == '\n') line.pop_back();
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    const auto tokens = tokens_of(line);
    if (tokens.empty()) continue;
    bool alleles = tokens.size() >= 4 + static_cast<size_t>(source.column) &&
                   line.find('\0') == std::string::npos;
    int index = 0;
    for (size_t slot = 0; alleles && slot < 4; ++slot) {
      const std::string& t = tokens[slot];
      alleles = t.size() == 1 && t[0] >= '1' && t[0] <= '3';
      if (alleles) index += (t[0] - '1') * slot_weight[slot];
    }
    if (!alleles) {
      reading = {outcome::bad_line, number, "", ""};
      break;
    }
    const std::string label = genotype_label(index).data();
    const std::string& token = tokens[3 + static_cast<size_t>(source.column)];
    const double value = entry_fitness(token, source);
    if (value < 0) {
      reading = {value == too_large ? outcome::too_large : outcome::bad_entry, number, label, token};
      break;
    }
    if (listed[static_cast<size_t>(index)]) {
      reading = {outcome::repeated, number, label, ""};
      break;
    }
    listed[static_cast<size_t>(index)] = true;
    fitness[static_cast<size_t>(index)] = value;
  }
  std::free(buffer);
  if (reading.result != outcome::read) return reading;
  for (int index = 0; index < genotype_count; ++index) {
    if (listed[static_cast<size_t>(index)]) continue;
    const int mirror = mirror_index(index);
    if (!listed[static_cast<size_t>(mirror)]) {
      return {outcome::missing, 0, genotype_label(index).data(), genotype_label(mirror).data()};
    }
    fitness[static_cast<size_t>(index)] = fitness[static_cast<size_t>(mirror)];
  }
  return reading;
}

std::string fitness_values_text(const fitness_table& fitness) {
  std::string text =
      "# twolocus fitness values: alleles of slots 1 and 2 (locus a), 3 and 4 (locus b), fitness\n";
  for (int index = 0; index < genotype_count; ++index) {
    const std::array<char, 5> label = genotype_label(index);
    char line[64];
    std::snprintf(line, sizeof line, "%c\t%c\t%c\t%c\t%.17g\n", label[0], label[1], label[2], label[3],
                  fitness[static_cast<size_t>(index)]);
    text += line;
  }
  return text;
}

}  // namespace twolocus
