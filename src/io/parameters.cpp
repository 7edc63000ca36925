#include "io/parameters.hpp"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "model/genotype.hpp"
#include "model/model.hpp"

namespace twolocus {

const std::array<parameter_entry, static_cast<size_t>(parameter_id::count)> parameter_table = {{
#define TWOLOCUS_PARAMETER(identifier, kind, low, high, words, fallback, options, key, keyword, \
                           column, scope, meaning)                                              \
  parameter_entry{parameter_id::identifier, #identifier, parameter_kind::kind, low, high, words,  \
                  fallback, options, key, keyword, column, parameter_scope::scope, meaning},
#include "io/parameters.def"
#undef TWOLOCUS_PARAMETER
}};

namespace {

// Takes a space-separated list and a place; returns that word ("" past the
// end).
std::string_view nth_word(std::string_view list, int place, char separator) {
  size_t start = 0;
  for (int i = 0; i < place; ++i) {
    const size_t end = list.find(separator, start);
    if (end == std::string_view::npos) return {};
    start = end + 1;
  }
  const size_t end = list.find(separator, start);
  return list.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
}

std::string number_text(double value, bool whole) {
  char text[40];
  if (whole) {
    std::snprintf(text, sizeof text, "%lld", static_cast<long long>(value));
  } else {
    std::snprintf(text, sizeof text, "%g", value);
  }
  return text;
}

}  // namespace

const parameter_entry* parameter_by_option(std::string_view option) {
  if (option.empty()) return nullptr;
  for (const parameter_entry& entry : parameter_table) {
    for (int place = 0;; ++place) {
      const std::string_view name = nth_word(entry.options, place, ' ');
      if (name.empty()) break;
      if (name == option) return &entry;
    }
  }
  return nullptr;
}

const parameter_entry* parameter_by_keyword(std::string_view keyword) {
  if (keyword.empty()) return nullptr;
  for (const parameter_entry& entry : parameter_table) {
    if (entry.keyword == keyword) return &entry;
  }
  return nullptr;
}

const parameter_entry* parameter_by_key(std::string_view key, int& index) {
  index = -1;
  for (const parameter_entry& entry : parameter_table) {
    if (entry.key.empty() || entry.key.rfind("batch:", 0) == 0) continue;
    const std::string_view name = parameter_key(entry);
    if (name.back() != '_') {
      if (name == key) return &entry;
      continue;
    }
    if (key.size() != name.size() + 4 || key.substr(0, name.size()) != name) continue;
    const std::string_view label = key.substr(name.size());
    int value = 0;
    for (size_t slot = 0; slot < 4; ++slot) {
      if (label[slot] < '1' || label[slot] > '3') return nullptr;
      value += (label[slot] - '1') * slot_weight[slot];
    }
    index = value;
    return &entry;
  }
  return nullptr;
}

std::string_view parameter_key(const parameter_entry& entry) {
  return optional_key(entry) ? entry.key.substr(1) : entry.key;
}

bool optional_key(const parameter_entry& entry) { return !entry.key.empty() && entry.key[0] == '?'; }

std::string_view short_option(const parameter_entry& entry) { return nth_word(entry.options, 0, ' '); }

std::string_view long_option(const parameter_entry& entry) {
  const std::string_view second = nth_word(entry.options, 1, ' ');
  return second.empty() ? short_option(entry) : second;
}

std::string parameter_wants(const parameter_entry& entry) {
  switch (entry.kind) {
    case parameter_kind::integer:
      return "a whole number from " + number_text(entry.low, true) + " to " +
             number_text(entry.high, true);
    case parameter_kind::real:
      return "a number from " + number_text(entry.low, false) + " to " + number_text(entry.high, false);
    case parameter_kind::probability:
      return "a probability from " + number_text(entry.low, false) + " to " +
             number_text(entry.high, false);
    case parameter_kind::word: {
      std::string words;
      for (int place = 0;; ++place) {
        const std::string_view word = nth_word(entry.words, place, '|');
        if (word.empty()) break;
        if (place > 0) words += nth_word(entry.words, place + 1, '|').empty() ? " or " : ", ";
        words += word;
      }
      return words;
    }
    case parameter_kind::label: return "letters, digits, '.' and '-'";
    case parameter_kind::file: return "a file name";
    case parameter_kind::folder: return "a folder name";
    case parameter_kind::start: return "FILE or FILE:LABEL";
    case parameter_kind::condition: return "a condition without tabs or line ends";
    case parameter_kind::change: return "TIME:PARAMETER=VALUE";
    case parameter_kind::six:
      return "six numbers W11,W12,W13,W22,W23,W33 from " + number_text(entry.low, false) + " to " +
             number_text(entry.high, false);
    case parameter_kind::flag: return "no value";
  }
  return "";
}

std::optional<int64_t> read_integer(const parameter_entry& entry, std::string_view text) {
  const size_t digits_from = !text.empty() && (text[0] == '-' || text[0] == '+') ? 1 : 0;
  if (text.size() == digits_from || text.size() - digits_from > 19) return std::nullopt;
  for (size_t i = digits_from; i < text.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(text[i]))) return std::nullopt;
  }
  errno = 0;
  const std::string whole(text);
  const long long value = std::strtoll(whole.c_str(), nullptr, 10);
  if (errno != 0 || static_cast<double>(value) < entry.low || static_cast<double>(value) > entry.high) {
    return std::nullopt;
  }
  return value;
}

std::optional<double> read_real(const parameter_entry& entry, std::string_view text) {
  if (text.empty() || std::isspace(static_cast<unsigned char>(text[0])) ||
      text.find_first_of("xXnNiI") != std::string_view::npos ||
      text.find('\0') != std::string_view::npos) {
    return std::nullopt;
  }
  const std::string whole(text);
  char* end = nullptr;
  const double value = std::strtod(whole.c_str(), &end);
  if (end != whole.c_str() + whole.size() || !std::isfinite(value)) return std::nullopt;
  if (value < entry.low || value > entry.high) return std::nullopt;
  return value;
}

std::optional<int> read_word(const parameter_entry& entry, std::string_view text) {
  for (int place = 0;; ++place) {
    const std::string_view word = nth_word(entry.words, place, '|');
    if (word.empty()) return std::nullopt;
    if (word == text) return place;
  }
}

std::string_view parameter_word(const parameter_entry& entry, int place) {
  return nth_word(entry.words, place, '|');
}

const parameter_entry& mutation_parameter(int locus, int from, int to) {
  static_assert(static_cast<int>(parameter_id::mu_a23) == static_cast<int>(parameter_id::mu_a12) + 1);
  // The changes in the table's order: one-way first (12, 23, 13), then back
  // (21, 32, 31).
  constexpr int order[3][3] = {{-1, 0, 2}, {3, -1, 1}, {5, 4, -1}};
  const int place = order[from][to] + 6 * locus;
  return parameter_table[static_cast<size_t>(static_cast<int>(parameter_id::mu_a12) + place)];
}

std::optional<std::array<double, 6>> read_six(const parameter_entry& entry, std::string_view text) {
  std::array<double, 6> values{};
  size_t at = 0;
  for (size_t place = 0; place < 6; ++place) {
    const size_t comma = place < 5 ? text.find(',', at) : text.size();
    if (comma == std::string_view::npos) return std::nullopt;
    const auto value = read_real(entry, text.substr(at, comma - at));
    if (!value) return std::nullopt;
    values[place] = *value;
    at = comma + 1;
  }
  return values;  // the last value ran to the end: a further comma is in it, and refused
}

}  // namespace twolocus
