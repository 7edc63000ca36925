#include "io/sim_checkpoint.hpp"

#include <cerrno>
#include <cinttypes>
#include <limits>
#include <cstdlib>
#include <cstring>
#include <string>

namespace twolocus {

bool append_checkpoint_line(std::FILE* file, const checkpoint_line& line,
                            const std::vector<uint64_t>& more_draws) {
  // The stream's buffer holds the whole line, so the flush is one write.
  std::fprintf(file, "%d\t%" PRId64 "\t%" PRIu64, line.label, line.generations_done, line.draws);
  for (const uint64_t draws : more_draws) std::fprintf(file, "\t%" PRIu64, draws);
  std::fputc('\n', file);
  return std::fflush(file) == 0 && std::ferror(file) == 0;
}

namespace {

// Takes a field; returns its value when it is a decimal number (digits,
// with an optional minus sign when `sign`) that fits.
template <typename value_type>
std::optional<value_type> whole_field(const std::string& field, bool sign) {
  const size_t digits = sign && !field.empty() && field[0] == '-' ? 1 : 0;
  if (field.size() == digits || field.size() - digits > 20) return std::nullopt;
  for (size_t i = digits; i < field.size(); ++i) {
    if (field[i] < '0' || field[i] > '9') return std::nullopt;
  }
  errno = 0;
  char* end = nullptr;
  if (sign) {
    const long long value = std::strtoll(field.c_str(), &end, 10);
    if (errno != 0 || value < INT32_MIN || value > INT32_MAX) return std::nullopt;
    return static_cast<value_type>(value);
  }
  const unsigned long long value = std::strtoull(field.c_str(), &end, 10);
  if (errno != 0 || value > std::numeric_limits<value_type>::max()) return std::nullopt;
  return static_cast<value_type>(value);
}

// Takes a line without its line end; returns it read as a checkpoint line.
std::optional<checkpoint_line> parsed_line(const std::string& line) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (;;) {
    const size_t end = line.find('\t', start);
    fields.push_back(line.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  if (fields.size() < 3) return std::nullopt;
  const auto label = whole_field<int32_t>(fields[0], true);
  const auto done = whole_field<int64_t>(fields[1], false);
  if (!label || !done) return std::nullopt;
  checkpoint_line read{*label, *done, 0, {}};
  for (size_t i = 2; i < fields.size(); ++i) {
    const auto draws = whole_field<uint64_t>(fields[i], false);
    if (!draws) return std::nullopt;
    if (i == 2) {
      read.draws = *draws;
    } else {
      read.more_draws.push_back(*draws);
    }
  }
  return read;
}

}  // namespace

std::optional<checkpoint_line> find_checkpoint_line(std::FILE* file, int32_t label,
                                                    long long& complete_size) {
  std::optional<checkpoint_line> found;
  char* buffer = nullptr;
  size_t capacity = 0;
  ssize_t length = 0;
  complete_size = 0;
  while ((length = ::getline(&buffer, &capacity, file)) >= 0) {
    std::string line(buffer, static_cast<size_t>(length));
    if (line.empty() || line.back() != '\n') break;
    complete_size += length;
    line.pop_back();
    auto read = parsed_line(line);
    if (read && read->label == label) found = std::move(read);
  }
  std::free(buffer);
  return found;
}

bool append_reached_lines(std::FILE* file, int64_t label, const std::vector<int64_t>& first) {
  for (size_t i = 0; i < first.size(); ++i) {
    if (first[i] == label) std::fprintf(file, "reached\t%zu\t%" PRId64 "\n", i, label);
  }
  return std::fflush(file) == 0 && std::ferror(file) == 0;
}

std::vector<reached_line> read_reached_lines(std::FILE* file) {
  std::vector<reached_line> lines;
  char* buffer = nullptr;
  size_t capacity = 0;
  ssize_t length = 0;
  while ((length = ::getline(&buffer, &capacity, file)) >= 0) {
    const std::string line(buffer, static_cast<size_t>(length));
    if (line.empty() || line.back() != '\n') break;
    unsigned long long condition = 0;
    long long label = 0;
    int consumed = 0;
    if (line.rfind("reached\t", 0) == 0 &&
        std::sscanf(line.c_str(), "reached\t%llu\t%lld\n%n", &condition, &label, &consumed) == 2 &&
        static_cast<size_t>(consumed) == line.size() && line[8] >= '0' && line[8] <= '9' &&
        label >= -1) {
      lines.push_back({static_cast<size_t>(condition), label});
    }
  }
  std::free(buffer);
  return lines;
}

}  // namespace twolocus
