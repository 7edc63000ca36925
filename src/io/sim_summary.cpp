#include "io/sim_summary.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <queue>
#include <string_view>

#include "model/genotype.hpp"
#include "model/statistics.hpp"

namespace twolocus {

namespace {

void add(std::string& text, const std::string& field) {
  text += '\t';
  text += field;
}

std::string real(std::optional<double> value) {
  if (!value) return "";
  char text[64];
  std::snprintf(text, sizeof text, "%.10g", *value);
  return text;
}

}  // namespace

std::string summary_header(const summary_columns& columns) {
  std::string header = "replicate\tseed\tend\tlabel\tgenerations";
  for (const std::string& condition : columns.conditions) add(header, condition);
  for (int i = 0; i < statistic_count; ++i) add(header, std::string(statistic_name(static_cast<population_statistic>(i))));
  for (const std::string& deme : columns.demes) {
    for (int i = 0; i < statistic_count; ++i) {
      add(header, std::string(statistic_name(static_cast<population_statistic>(i))) + "@" + deme);
    }
  }
  return header;
}

int summary_column_count(const summary_columns& columns) {
  return 5 + static_cast<int>(columns.conditions.size()) +
         statistic_count * (1 + static_cast<int>(columns.demes.size()));
}

std::string population_statistics(const population_counts& counts, const fitness_table& fitness) {
  return population_statistics(counts, &fitness);
}

std::string population_statistics(const population_counts& counts, const fitness_table* fitness) {
  statistic_values values;
  population_statistic_values(counts, fitness, values);
  std::string text;
  for (int i = 0; i < statistic_count; ++i) {
    const auto which = static_cast<population_statistic>(i);
    const std::optional<double>& value = values[static_cast<size_t>(i)];
    if (i > 0) text += '\t';
    if (which == population_statistic::n || which == population_statistic::classes ||
        which == population_statistic::extinct) {
      text += std::to_string(static_cast<int64_t>(*value));
    } else {
      text += real(value);
    }
  }
  return text;
}

std::string summary_line(const summary_row& row, const population_counts& counts,
                         const fitness_table& fitness, std::span<const population_counts> demes,
                         std::span<const fitness_table> deme_fitness) {
  std::string line = std::to_string(row.replicate);
  add(line, std::to_string(row.seed));
  add(line, row.end);
  add(line, std::to_string(row.label));
  add(line, std::to_string(row.generations));
  for (const std::string& field : row.conditions) add(line, field);
  // Demes of their own fitness: the demes together have no one table.
  add(line, population_statistics(counts, deme_fitness.empty() ? &fitness : nullptr));
  for (size_t d = 0; d < demes.size(); ++d) {
    add(line, population_statistics(demes[d], d < deme_fitness.size() ? deme_fitness[d] : fitness));
  }
  return line;
}

std::FILE* begin_summary_file(const std::string& name, const summary_columns& columns) {
  const std::string temporary = name + ".tmp";
  std::remove(temporary.c_str());
  const int descriptor = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (descriptor < 0) return nullptr;
  std::FILE* file = fdopen(descriptor, "w");
  if (file == nullptr) {
    close(descriptor);
    std::remove(temporary.c_str());
    return nullptr;
  }
  std::fprintf(file, "%s\n", summary_header(columns).c_str());
  return file;
}

bool end_summary_file(std::FILE* file, const std::string& name) {
  const std::string temporary = name + ".tmp";
  const bool written = std::fflush(file) == 0 && std::ferror(file) == 0;
  if (std::fclose(file) != 0 || !written || std::rename(temporary.c_str(), name.c_str()) != 0) {
    std::remove(temporary.c_str());
    return false;
  }
  return true;
}

bool write_summary_atomically(const std::string& name, const std::vector<std::string>& lines,
                              const summary_columns& columns) {
  std::FILE* file = begin_summary_file(name, columns);
  if (file == nullptr) return false;
  for (const std::string& line : lines) std::fprintf(file, "%s\n", line.c_str());
  return end_summary_file(file, name);
}

namespace {

// A row's replicate number: its leading digits (the largest number for a
// row without them, which sorts it last).
int64_t row_key(std::string_view row) {
  int64_t value = 0;
  size_t digits = 0;
  for (; digits < row.size() && digits < 18 && row[digits] >= '0' && row[digits] <= '9'; ++digits) {
    value = value * 10 + (row[digits] - '0');
  }
  return digits == 0 ? INT64_MAX : value;
}

// A scratch file: created afresh beside the table and removed from its
// folder at once, so that nothing of it outlives the process.
struct scratch_file {
  int descriptor = -1;
  off_t size = 0;
  std::string pending;
  bool failed = false;
  scratch_file(const scratch_file&) = delete;
  scratch_file& operator=(const scratch_file&) = delete;
  explicit scratch_file(const std::string& name) {
    std::remove(name.c_str());
    descriptor = open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (descriptor >= 0) std::remove(name.c_str());
    failed = descriptor < 0;
  }
  ~scratch_file() {
    if (descriptor >= 0) close(descriptor);
  }
  void put(std::string_view text) {
    pending.append(text);
    if (pending.size() >= (size_t{1} << 20)) flush();
  }
  bool flush() {
    size_t done = 0;
    while (!failed && done < pending.size()) {
      const ssize_t wrote = pwrite(descriptor, pending.data() + done, pending.size() - done,
                                   size + static_cast<off_t>(done));
      if (wrote < 0 && errno == EINTR) continue;
      if (wrote <= 0) failed = true;
      if (wrote > 0) done += static_cast<size_t>(wrote);
    }
    size += static_cast<off_t>(done);
    pending.clear();
    return !failed;
  }
  bool empty_out() {
    pending.clear();
    size = 0;
    failed = failed || ftruncate(descriptor, 0) != 0;
    return !failed;
  }
};

// A stretch of sorted rows [start, end) of a scratch file, read line by
// line through a buffer of its own.
struct stretch_reader {
  int descriptor = -1;
  off_t at = 0;
  off_t end = 0;
  std::string buffer;
  size_t used = 0;
  std::string_view row;  // the current row, its line end included
  int64_t key = 0;
  bool failed = false;
  // Moves to the next row; returns false at the end of the stretch.
  bool advance() {
    buffer.erase(0, used);
    used = 0;
    size_t line_end = buffer.find('\n');
    while (line_end == std::string::npos && at < end) {
      const size_t old = buffer.size();
      const auto want = static_cast<size_t>(std::min<off_t>(end - at, off_t{1} << 16));
      buffer.resize(old + want);
      const ssize_t got = pread(descriptor, buffer.data() + old, want, at);
      if (got < 0 && errno == EINTR) {
        buffer.resize(old);
        continue;
      }
      if (got <= 0) {
        failed = true;
        buffer.resize(old);
        return false;
      }
      buffer.resize(old + static_cast<size_t>(got));
      at += got;
      line_end = buffer.find('\n', old);
    }
    if (line_end == std::string::npos) return false;
    used = line_end + 1;
    row = std::string_view(buffer).substr(0, used);
    key = row_key(row);
    return true;
  }
};

using stretch = std::pair<off_t, off_t>;

// Takes a scratch file's descriptor, stretches of it and where each merged
// row goes; merges the stretches by replicate number (an earlier stretch's
// row first on equal numbers). Returns false when a read failed.
template <typename put_type>
bool merge_stretches(int descriptor, const std::vector<stretch>& stretches, put_type&& put) {
  std::vector<stretch_reader> readers(stretches.size());
  using entry = std::pair<int64_t, size_t>;
  std::priority_queue<entry, std::vector<entry>, std::greater<entry>> heads;
  for (size_t i = 0; i < stretches.size(); ++i) {
    readers[i].descriptor = descriptor;
    readers[i].at = stretches[i].first;
    readers[i].end = stretches[i].second;
    if (readers[i].advance()) heads.emplace(readers[i].key, i);
    if (readers[i].failed) return false;
  }
  while (!heads.empty()) {
    const size_t i = heads.top().second;
    heads.pop();
    put(readers[i].row);
    if (readers[i].advance()) heads.emplace(readers[i].key, i);
    if (readers[i].failed) return false;
  }
  return true;
}

// Rows held in memory: their text, and each row's number and start.
struct held_rows {
  std::string text;
  std::vector<std::pair<int64_t, size_t>> rows;
  void add(std::string_view row) {
    rows.emplace_back(row_key(row), text.size());
    text.append(row);
  }
  // Sorts the rows and passes each, its line end included, to `put`.
  template <typename put_type>
  void sorted(put_type&& put) {
    std::sort(rows.begin(), rows.end());
    for (const auto& [key, start] : rows) {
      put(std::string_view(text).substr(start, text.find('\n', start) + 1 - start));
    }
    text.clear();
    rows.clear();
  }
};

}  // namespace

bool sort_summary_file(const std::string& name, const summary_columns& columns,
                       size_t memory, size_t fan_in) {
  std::FILE* in = std::fopen(name.c_str(), "r");
  if (in == nullptr) return false;
  fan_in = std::max<size_t>(fan_in, 2);
  held_rows held;
  std::unique_ptr<scratch_file> sorted;  // the sorted stretches, once there is more than one
  std::vector<stretch> stretches;
  char* buffer = nullptr;
  size_t capacity = 0;
  ssize_t length = 0;
  bool header = true;
  bool ok = true;
  while (ok && (length = ::getline(&buffer, &capacity, in)) >= 0) {
    const std::string_view line(buffer, static_cast<size_t>(length));
    if (line.empty() || line.back() != '\n') break;  // an incomplete last line
    if (header) {
      header = false;
      continue;
    }
    held.add(line);
    if (held.text.size() >= memory) {
      if (!sorted) sorted = std::make_unique<scratch_file>(name + ".sort");
      const off_t start = sorted->size;
      held.sorted([&](std::string_view row) { sorted->put(row); });
      ok = sorted->flush();
      stretches.emplace_back(start, sorted->size);
    }
  }
  std::free(buffer);
  ok = ok && std::ferror(in) == 0;
  std::fclose(in);
  if (!ok) return false;
  std::FILE* out = begin_summary_file(name, columns);
  if (out == nullptr) return false;
  const auto put_out = [&](std::string_view row) { std::fwrite(row.data(), 1, row.size(), out); };
  if (!sorted) {
    held.sorted(put_out);
    return end_summary_file(out, name);
  }
  if (!held.rows.empty()) {
    const off_t start = sorted->size;
    held.sorted([&](std::string_view row) { sorted->put(row); });
    ok = sorted->flush();
    stretches.emplace_back(start, sorted->size);
  }
  // Merge passes through a second scratch file until one pass can write the table.
  std::unique_ptr<scratch_file> merged;
  while (ok && stretches.size() > fan_in) {
    if (!merged) merged = std::make_unique<scratch_file>(name + ".sort");
    std::vector<stretch> next;
    for (size_t first = 0; ok && first < stretches.size(); first += fan_in) {
      const std::vector<stretch> group(
          stretches.begin() + static_cast<std::ptrdiff_t>(first),
          stretches.begin() + static_cast<std::ptrdiff_t>(std::min(first + fan_in, stretches.size())));
      const off_t start = merged->size;
      ok = merge_stretches(sorted->descriptor, group,
                           [&](std::string_view row) { merged->put(row); }) &&
           merged->flush();
      next.emplace_back(start, merged->size);
    }
    stretches = std::move(next);
    std::swap(sorted, merged);
    ok = ok && merged->empty_out();
  }
  ok = ok && !sorted->failed && merge_stretches(sorted->descriptor, stretches, put_out);
  if (!ok) {
    std::fclose(out);
    std::remove((name + ".tmp").c_str());
    return false;
  }
  return end_summary_file(out, name);
}

}  // namespace twolocus
