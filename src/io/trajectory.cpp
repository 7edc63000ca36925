#include "io/trajectory.hpp"

#include <stdio_ext.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>

#include "io/numbers.hpp"
#include "model/genotype.hpp"

namespace twolocus {

void write_header(std::FILE* file) {
  std::fputs("generation", file);
  for (int index = 0; index < genotype_count; ++index) {
    std::fprintf(file, "\t%s", genotype_label(index).data());
  }
  std::fputc('\n', file);
}

std::string header_line() {
  std::string header = "generation";
  for (int index = 0; index < genotype_count; ++index) {
    header += '\t';
    header += genotype_label(index).data();
  }
  return header + '\n';
}

bool begins_with_header(std::FILE* file) {
  const std::string header = header_line();
  std::string start(header.size(), '\0');
  std::rewind(file);
  const size_t got = std::fread(start.data(), 1, start.size(), file);
  std::rewind(file);
  return got == header.size() && start == header;
}

namespace {

// Flushes every output stream; a failing standard output does not count.
bool flush_all(std::FILE* file) {
  std::fflush(nullptr);
  return std::ferror(file) == 0;
}

}  // namespace

bool write_record(std::FILE* file, int32_t label, const population_counts& counts) {
  if (std::fprintf(file, "%d", label) < 0 || !flush_all(file)) return false;
  for (const int32_t count : counts) {
    if (std::fprintf(file, "\t%d", count) < 0 || !flush_all(file)) return false;
  }
  return std::fputc('\n', file) != EOF;
}

bool append_resume_record(std::FILE* file, int32_t label, const population_counts& counts) {
  // The stream's buffer holds the whole append, so the flush is one write.
  std::fprintf(file, "\n%d", label);
  for (const int32_t count : counts) std::fprintf(file, "\t%d", count);
  std::fputc('\n', file);
  std::fflush(nullptr);
  return std::ferror(file) == 0;
}

void start_trajectory(trajectory_output& output) {
  write_header(output.file);
  output.keep = 0;
  output.tail = std::max(0LL, static_cast<long long>(ftello(output.file)));
}

bool add_record(trajectory_output& output, int32_t label, const population_counts& counts) {
  if (!write_record(output.file, label, counts)) return false;
  // The newline that follows the counts is still in the stream's buffer.
  const long long end = ftello(output.file);
  if (end > 0) {
    output.keep = end - 1;
    output.tail = 1;
  }
  return true;
}

bool add_resume_record(trajectory_output& output, int32_t label, const population_counts& counts) {
  const long long start = ftello(output.file);
  if (start >= 0) {
    output.keep = start;
    output.tail = 0;
  }
  if (!append_resume_record(output.file, label, counts)) return false;
  const long long end = ftello(output.file);
  if (end >= 0) output.keep = end;
  return true;
}

bool finish_trajectory(trajectory_output& output) {
  const bool flushed = std::fflush(output.file) == 0 && std::ferror(output.file) == 0;
  if (!flushed) return false;
  const int closed = std::fclose(output.file);
  output.file = nullptr;
  return closed == 0;
}

void cut_back_trajectory(trajectory_output& output) {
  if (output.file != nullptr) __fpurge(output.file);
  struct stat status {};
  if (output.guard >= 0 && fstat(output.guard, &status) == 0 && S_ISREG(status.st_mode)) {
    const long long size = status.st_size;
    long long cut = size >= output.keep + output.tail ? output.keep + output.tail : output.keep;
    cut = std::min(cut, size);
    if (cut < size) (void)ftruncate(output.guard, static_cast<off_t>(cut));
  }
  if (output.file != nullptr) std::fclose(output.file);
  output.file = nullptr;
}

namespace {

enum class line_reading { complete, incomplete };

// Takes a record line; reads its label into `label` and up to 81 counts into
// both arrays. Returns whether all 81 counts were there, and their number in
// `entries`.
line_reading read_record_line(char* line, int32_t& label, int& entries,
                              population_counts& current, population_counts& next) {
  char* cursor = line;
  const char* token = next_token(cursor, "\t");
  label = token == nullptr ? 0 : c_atoi(token);
  entries = 0;
  if (token == nullptr) return line_reading::incomplete;
  for (size_t index = 0; index < current.size(); ++index) {
    token = next_token(cursor, "\t");
    if (token == nullptr) return line_reading::incomplete;
    current[index] = next[index] = c_atoi(token);
    ++entries;
  }
  return line_reading::complete;
}

}  // namespace

checkpoint_reading read_checkpoint(std::FILE* file, population_counts& current,
                                   population_counts& next) {
  using outcome = checkpoint_reading::outcome;
  checkpoint_reading reading;
  // Three buffers in turn: the last line, the one before it and the one being read.
  std::array<line_buffer, 3> lines_kept;
  size_t last = 0;
  if (!read_line(file, lines_kept[last])) {
    reading.result = outcome::empty;
    return reading;
  }
  size_t before_last = 2;
  long long lines = 1;
  for (size_t spare = 1; read_line(file, lines_kept[spare]); spare = (spare + 1) % 3) {
    before_last = last;
    last = spare;
    ++lines;
  }
  std::fseek(file, 0, SEEK_END);
  if (lines == 1) {
    reading.result = outcome::only_header;
    return reading;
  }

  int entries = 0;
  if (read_record_line(lines_kept[last].data(), reading.last_label, entries, current, next) ==
      line_reading::complete) {
    reading.label = reading.last_label;
    reading.result = outcome::restored;
    return reading;
  }
  reading.last_entries = entries;
  reading.result =
      lines > 2 && read_record_line(lines_kept[before_last].data(), reading.label, entries, current,
                                    next) == line_reading::complete
          ? outcome::restored
          : outcome::neither_complete;
  return reading;
}

}  // namespace twolocus
