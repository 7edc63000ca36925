#include "io/initial.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "model/genotype.hpp"

namespace twolocus {

std::optional<int> genotype_of_label(const std::string& label) {
  if (label.size() != 4) return std::nullopt;
  int index = 0;
  for (size_t slot = 0; slot < 4; ++slot) {
    if (label[slot] < '1' || label[slot] > '3') return std::nullopt;
    index += (label[slot] - '1') * slot_weight[slot];
  }
  return index;
}

namespace {

// Takes a text; returns its value when it is digits (a leading minus sign
// allowed when `negative` is) within the 32-bit range.
std::optional<int32_t> whole_count(const std::string& text, bool negative) {
  const size_t from = negative && !text.empty() && text[0] == '-' ? 1 : 0;
  if (text.size() == from || text.size() - from > 10) return std::nullopt;
  for (size_t i = from; i < text.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(text[i]))) return std::nullopt;
  }
  const long long value = std::strtoll(text.c_str(), nullptr, 10);
  if (value < INT32_MIN || value > INT32_MAX) return std::nullopt;
  return static_cast<int32_t>(value);
}

std::vector<std::string> split_tabs(const std::string& line) {
  std::vector<std::string> fields;
  size_t at = 0;
  for (;;) {
    const size_t end = line.find('\t', at);
    fields.push_back(line.substr(at, end == std::string::npos ? std::string::npos : end - at));
    if (end == std::string::npos) return fields;
    at = end + 1;
  }
}

}  // namespace

initial_reading read_initial(std::FILE* file, const std::optional<int32_t>& record,
                             population_counts& counts) {
  using outcome = initial_reading::outcome;
  counts.fill(0);
  char* buffer = nullptr;
  size_t capacity = 0;
  ssize_t length = 0;
  long long number = 0;
  bool trajectory = false;
  bool found = false;
  std::array<bool, genotype_count> listed{};
  initial_reading reading;
  while ((length = ::getline(&buffer, &capacity, file)) >= 0) {
    ++number;
    std::string line(buffer, static_cast<size_t>(length));
    const bool ended = !line.empty() && line.back() == '\n';
    if (ended) line.pop_back();
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (number == 1 && line.rfind("generation\t", 0) == 0) {
      trajectory = true;
      continue;
    }
    if (trajectory) {
      // Incomplete lines (a killed run's, or an unfinished last line) are skipped.
      const auto fields = split_tabs(line);
      if (!ended || fields.size() != genotype_count + 1) continue;
      const auto label = whole_count(fields[0], true);
      if (!label) return {outcome::bad_line, number, ""};
      population_counts read_counts{};
      for (size_t i = 0; i < read_counts.size(); ++i) {
        const auto count = whole_count(fields[i + 1], false);
        if (!count) return {outcome::bad_line, number, ""};
        read_counts[i] = *count;
      }
      if (!record || *record == *label) {
        counts = read_counts;
        found = true;
      }
      continue;
    }
    if (line.empty() || line[0] == '#') continue;
    const auto fields = split_tabs(line);
    const auto index = fields.size() == 2 ? genotype_of_label(fields[0]) : std::nullopt;
    const auto count = fields.size() == 2 ? whole_count(fields[1], false) : std::nullopt;
    if (!index || !count || line.find('\0') != std::string::npos) {
      reading = {outcome::bad_line, number, ""};
      break;
    }
    if (listed[static_cast<size_t>(*index)]) {
      reading = {outcome::repeated, number, fields[0]};
      break;
    }
    listed[static_cast<size_t>(*index)] = true;
    counts[static_cast<size_t>(*index)] = *count;
  }
  std::free(buffer);
  if (reading.result != outcome::read) return reading;
  if (trajectory && !found) return {record ? outcome::no_label : outcome::no_record, 0, ""};
  if (!trajectory && record) return {outcome::label_for_counts, 0, ""};
  if (!trajectory && std::find(listed.begin(), listed.end(), true) == listed.end()) {
    return {outcome::no_counts, 0, ""};
  }
  long long total = 0;
  for (const int32_t count : counts) total += count;
  if (total > INT32_MAX) return {outcome::too_many, 0, ""};
  return reading;
}

}  // namespace twolocus
