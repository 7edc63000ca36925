#include "run/run_files.hpp"

#include <unistd.h>

#include <filesystem>
#include <system_error>

#include "io/sim_summary.hpp"
#include "run/files.hpp"
#include "run/structure.hpp"

namespace twolocus {

message write_failure(run_files& files) {
  cut_back_trajectory(files.trajectory);
  for (trajectory_output& deme : files.demes) cut_back_trajectory(deme);
  if (files.checkpoint != nullptr) std::fclose(files.checkpoint);
  files.checkpoint = nullptr;
  const std::string& name =
      files.failed_deme < files.deme_names.size() ? files.deme_names[files.failed_deme] : files.trajectory_name;
  return tell::sim_output_write_failed(name.c_str());
}

void release_run_files(run_files& files) {
  if (files.checkpoint != nullptr) std::fclose(files.checkpoint);
  files.checkpoint = nullptr;
  if (files.trajectory.file != nullptr) std::fclose(files.trajectory.file);
  files.trajectory.file = nullptr;
  if (files.trajectory.guard >= 0) close(files.trajectory.guard);
  files.trajectory.guard = -1;
  for (trajectory_output& deme : files.demes) {
    if (deme.file != nullptr) std::fclose(deme.file);
    deme.file = nullptr;
  }
}

bool write_params_file(const sim_params& params, const std::string& name) {
  std::FILE* file = open_regular(name, "w").file;
  if (file == nullptr) return false;
  write_sim_params(file, params);
  const bool written = std::fflush(file) == 0 && std::ferror(file) == 0;
  return std::fclose(file) == 0 && written;
}

bool replace_params_file(const sim_params& params, const std::string& name) {
  const std::string temporary = name + ".tmp";
  if (!write_params_file(params, temporary)) {
    std::remove(temporary.c_str());
    return false;
  }
  return std::rename(temporary.c_str(), name.c_str()) == 0;
}

namespace {

// Takes a parameter file's name and its reading; returns what is wrong.
message params_problem(const std::string& name, const sim_params_reading& reading) {
  using outcome = sim_params_reading::outcome;
  const char* file = name.c_str();
  switch (reading.result) {
    case outcome::read: break;
    case outcome::classic: return tell::sim_params_classic(file);
    case outcome::first_line: return tell::sim_params_line(1LL, file, "");
    case outcome::bad_line: {
      const std::string at = reading.key.empty() ? "" : " (key [" + reading.key + "])";
      return tell::sim_params_line(reading.line, file, at.c_str());
    }
    case outcome::repeated: return tell::sim_params_repeated(reading.line, file, reading.key.c_str());
    case outcome::missing: return tell::sim_params_missing(file, reading.key.c_str());
    case outcome::inconsistent: return tell::sim_params_inconsistent(file, reading.key.c_str());
  }
  return tell::sim_params_line(reading.line, file, "");
}

// Takes a suffix of run_file_suffixes (or "" for OUT); returns what the
// file is, as messages name it.
const char* file_kind(const std::string& suffix) {
  if (suffix.empty()) return "output file";
  if (suffix == ".batch") return "batch file";
  if (suffix == ".checkpoint") return "checkpoint file";
  if (suffix.rfind(".params", 0) == 0) return "parameter file";
  return "summary file";
}

}  // namespace

std::optional<message> read_params_file(const std::string& name, sim_params& params) {
  std::FILE* file = open_regular(name, "r").file;
  if (file == nullptr) return tell::sim_params_unreadable(name.c_str());
  const sim_params_reading reading = read_sim_params(file, params);
  std::fclose(file);
  if (reading.result != sim_params_reading::outcome::read) return params_problem(name, reading);
  return std::nullopt;
}

std::optional<message> write_single_summary(const sim_params& params, const run_conditions& watched,
                                            const population_counts& counts, const std::string& name,
                                            std::span<const population_counts> demes) {
  if (!write_summary_atomically(name, {sim_end_line(params, 0, watched, counts, demes)},
                                sim_summary_columns(params))) {
    return tell::sim_summary_write_failed(name.c_str());
  }
  return std::nullopt;
}

std::optional<message> refuse_irregular_run_files(const std::string& output) {
  for (const char* suffix : {"", ".params", ".checkpoint", ".summary.tsv", ".batch"}) {
    const std::string name = output + suffix;
    if (!regular_or_missing(name)) return tell::sim_not_regular(file_kind(suffix), name.c_str());
  }
  return std::nullopt;
}

void remove_older_run(const std::string& output) {
  for (const char* suffix : run_file_suffixes) std::remove((output + suffix).c_str());
  // An older run's demes' trajectories, OUT@NAME, whatever its demes were.
  const std::filesystem::path path(output);
  const std::string prefix = path.filename().string() + "@";
  std::error_code error;
  const std::filesystem::path folder = path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
  std::vector<std::filesystem::path> older;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    if (entry.path().filename().string().rfind(prefix, 0) == 0) older.push_back(entry.path());
  }
  for (const auto& name : older) std::filesystem::remove(name, error);
}

std::optional<message> open_run_files(const sim_params& params, const std::string& trajectory_name,
                                      run_files& files, bool whole_run) {
  files.trajectory_name = trajectory_name;
  switch (open_locked_output(trajectory_name, true, false, files.trajectory)) {
    case trajectory_opening::opened: break;
    case trajectory_opening::in_use: return tell::sim_output_in_use(trajectory_name.c_str());
    case trajectory_opening::not_regular:
      return tell::sim_not_regular("output file", trajectory_name.c_str());
    case trajectory_opening::cannot_open:
      return tell::sim_output_unwritable(trajectory_name.c_str());
  }
  if (whole_run) remove_older_run(trajectory_name);
  const std::string params_name = trajectory_name + ".params";
  if (!write_params_file(params, params_name)) {
    return tell::sim_params_write_failed(params_name.c_str());
  }
  const std::string checkpoint_name = trajectory_name + ".checkpoint";
  const regular_opening checkpoint = open_regular(checkpoint_name, "w");
  files.checkpoint = checkpoint.file;
  if (checkpoint.not_regular) return tell::sim_not_regular("checkpoint file", checkpoint_name.c_str());
  if (files.checkpoint == nullptr) return tell::sim_checkpoint_unwritable(checkpoint_name.c_str());
  start_trajectory(files.trajectory);
  if (std::fflush(files.trajectory.file) != 0 || std::ferror(files.trajectory.file) != 0) {
    return write_failure(files);
  }
  return std::nullopt;
}

void restore_reached_from(std::FILE* checkpoint, run_conditions& watched, int64_t up_to) {
  if (checkpoint == nullptr) return;
  std::rewind(checkpoint);
  for (const reached_line& line : read_reached_lines(checkpoint)) {
    if (line.label <= up_to) restore_reached(watched, line.condition, line.label);
  }
}

void restore_reached_from(const std::string& checkpoint_name, run_conditions& watched, int64_t up_to) {
  std::FILE* checkpoint = open_regular(checkpoint_name, "r").file;
  restore_reached_from(checkpoint, watched, up_to);
  if (checkpoint != nullptr) std::fclose(checkpoint);
}

bool file_exists(const std::string& name) {
  std::error_code error;
  return std::filesystem::exists(name, error);
}

}  // namespace twolocus
