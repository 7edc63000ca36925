#include "io/batch_file.hpp"

#include <vector>

#include "io/parameters.hpp"

namespace twolocus {

namespace {

// Takes an entry whose key is "batch:K"; returns K.
std::string batch_key(parameter_id id) {
  return std::string(parameter(id).key.substr(6));
}

}  // namespace

bool write_batch_file(std::FILE* file, const batch_description& batch) {
  std::fprintf(file, "%s\n%s = %lld\n%s = %lld\n%s = %d\n%s = %s\n", batch_first_line,
               batch_key(parameter_id::first_replicate).c_str(), static_cast<long long>(batch.first),
               batch_key(parameter_id::replicates).c_str(), static_cast<long long>(batch.replicates),
               batch_key(parameter_id::threads).c_str(), batch.threads,
               batch_key(parameter_id::trajectories).c_str(), batch.trajectories.c_str());
  const bool written = std::fflush(file) == 0 && std::ferror(file) == 0;
  return std::fclose(file) == 0 && written;
}

bool read_batch_text(std::string_view text, batch_description& batch) {
  std::vector<std::string_view> lines;
  for (size_t start = 0;;) {
    const size_t end = text.find('\n', start);
    lines.push_back(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  if (lines.size() != 6 || lines[0] != batch_first_line || !lines[5].empty()) return false;
  // Each line is KEY = VALUE with the table's key, in the written order.
  const parameter_id ids[4] = {parameter_id::first_replicate, parameter_id::replicates,
                               parameter_id::threads, parameter_id::trajectories};
  std::string_view values[4];
  for (size_t i = 0; i < 4; ++i) {
    const std::string prefix = batch_key(ids[i]) + " = ";
    if (lines[i + 1].substr(0, prefix.size()) != prefix) return false;
    values[i] = lines[i + 1].substr(prefix.size());
    if (i < 3 && values[i].find('\0') != std::string_view::npos) return false;
  }
  const auto first = read_integer(parameter(parameter_id::first_replicate), values[0]);
  const auto replicates = read_integer(parameter(parameter_id::replicates), values[1]);
  const auto threads = read_integer(parameter(parameter_id::threads), values[2]);
  if (!first || !replicates || !threads) return false;
  batch = {*first, *replicates, static_cast<int>(*threads), std::string(values[3])};
  return true;
}

bool read_batch_file(std::FILE* file, batch_description& batch) {
  std::string text;
  char buffer[4096];
  size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0 && text.size() < 65536) {
    text.append(buffer, got);
  }
  return read_batch_text(text, batch);
}

}  // namespace twolocus
