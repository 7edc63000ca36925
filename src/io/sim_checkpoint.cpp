#include "io/sim_checkpoint.hpp"

#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <string>

namespace twolocus {

bool append_checkpoint_line(std::FILE* file, const checkpoint_line& line) {
  // The stream's buffer holds the whole line, so the flush is one write.
  std::fprintf(file, "%d\t%" PRId64 "\t%" PRIu64 "\n", line.label, line.generations_done,
               line.draws);
  return std::fflush(file) == 0 && std::ferror(file) == 0;
}

std::optional<checkpoint_line> find_checkpoint_line(std::FILE* file, int32_t label,
                                                    long long& complete_size) {
  std::optional<checkpoint_line> found;
  char* buffer = nullptr;
  size_t capacity = 0;
  ssize_t length = 0;
  complete_size = 0;
  while ((length = ::getline(&buffer, &capacity, file)) >= 0) {
    const std::string line(buffer, static_cast<size_t>(length));
    if (line.empty() || line.back() != '\n') break;
    complete_size += length;
    long long read_label = 0;
    long long done = 0;
    unsigned long long draws = 0;
    int consumed = 0;
    if (std::sscanf(line.c_str(), "%lld\t%lld\t%llu\n%n", &read_label, &done, &draws, &consumed) == 3 &&
        static_cast<size_t>(consumed) == line.size() && read_label == label && done >= 0 &&
        line[0] != ' ') {
      found = checkpoint_line{label, done, draws};
    }
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
