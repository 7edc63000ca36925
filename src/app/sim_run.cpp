#include "app/sim_run.hpp"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "app/files.hpp"
#include "app/messages.hpp"
#include "app/sim_inputs.hpp"
#include "app/sim_loop.hpp"
#include "io/fitness_values.hpp"
#include "io/initial.hpp"
#include "io/sim_checkpoint.hpp"
#include "io/sim_params.hpp"
#include "io/sim_summary.hpp"
#include "io/trajectory.hpp"
#include "model/engines.hpp"
#include "model/watch.hpp"

namespace twolocus {

namespace {

// The run's open files: the locked trajectory and the checkpoint side file.
struct run_files {
  trajectory_output trajectory;
  std::string trajectory_name;
  std::FILE* checkpoint = nullptr;
};

// A progress bar on standard error when it is a terminal (redrawn at a
// record, at most ten times a second); nothing otherwise.
struct progress {
  bool shown = isatty(STDERR_FILENO) == 1;
  std::chrono::steady_clock::time_point drawn{};
  void update(int64_t done, int64_t total) {
    if (!shown || total <= 0) return;
    const auto now = std::chrono::steady_clock::now();
    if (done < total && now - drawn < std::chrono::milliseconds(100)) return;
    drawn = now;
    const int width = 40;
    const auto filled = static_cast<int>(done * width / total);
    std::fprintf(stderr, "\r[%.*s%*s] %3d%% generation %lld of %lld", filled,
                 "########################################", width - filled, "",
                 static_cast<int>(done * 100 / total), static_cast<long long>(done),
                 static_cast<long long>(total));
    std::fflush(stderr);
  }
  void end() const {
    if (shown) std::fputc('\n', stderr);
  }
};

uint64_t draws_of(const exact_engine& engine) { return draws_consumed(engine.stream); }
uint64_t draws_of(const multinomial_engine&) { return 0; }

void start_stream(exact_engine& engine, int32_t seed, uint64_t draws) {
  seed_draws_after(engine.stream, seed, draws);
}
void start_stream(multinomial_engine& engine, int32_t seed, uint64_t /*draws*/) {
  seed_engine(engine, seed);
}

int write_failure(run_files& files) {
  cut_back_trajectory(files.trajectory);
  if (files.checkpoint != nullptr) std::fclose(files.checkpoint);
  files.checkpoint = nullptr;
  return say_err::sim_output_write_failed(files.trajectory_name.c_str());
}

// Takes a replicate's files once its run is over; closes what is still
// open, the lock's descriptor included, so that a batch keeps no
// descriptor per replicate.
void release_run_files(run_files& files) {
  if (files.checkpoint != nullptr) std::fclose(files.checkpoint);
  files.checkpoint = nullptr;
  if (files.trajectory.file != nullptr) std::fclose(files.trajectory.file);
  files.trajectory.file = nullptr;
  if (files.trajectory.guard >= 0) close(files.trajectory.guard);
  files.trajectory.guard = -1;
}

// Takes the engine, the files, a record's label, the generations done and
// the counts; appends the checkpoint line, then the record.
template <typename engine_type>
bool write_record_with_line(engine_type& engine, run_files& files, int64_t label, int64_t done,
                            const population_counts& counts) {
  const checkpoint_line line{static_cast<int32_t>(label), done, draws_of(engine)};
  return append_checkpoint_line(files.checkpoint, line) &&
         add_record(files.trajectory, static_cast<int32_t>(label), counts);
}

// Takes the files (or nullptr), a label and the conditions; appends the
// reached lines of the conditions first reached there.
bool note_reached(run_files* files, int64_t label, const run_conditions& watched) {
  return files == nullptr || append_reached_lines(files->checkpoint, label, watched.first);
}

// Runs generations `first` to n - 1 from `current` by the loop of
// sim_loop.hpp, with records and checkpoint lines written to the files
// (when given and K > 0) and the progress bar drawn at each record. Closes
// the files; leaves the last population in `current`; returns the exit
// status.
template <typename engine_type>
int run_loop(engine_type& engine, const sim_params& params, int64_t first,
             population_counts& current, run_files* files, run_conditions& watched,
             bool show_progress) {
  const int64_t n = params.generations;
  progress bar;
  bar.shown = bar.shown && show_progress;
  struct hooks {
    engine_type& engine;
    run_files* files;
    const run_conditions& watched;
    progress& bar;
    int64_t n;
    bool started = false;  // a generation ran: the bar may be drawn
    bool proceed() {
      started = true;
      return true;
    }
    bool reached(int64_t label) const { return note_reached(files, label, watched); }
    bool record(int64_t label, int64_t done, const population_counts& counts) {
      if (!write_record_with_line(engine, *files, label, done, counts)) return false;
      if (done == label + 1) bar.update(done, n);
      return true;
    }
  } on{engine, files, watched, bar, n};
  const bool recording = files != nullptr && params.record_every > 0;
  if (run_sim_generations(engine, params, first, current, watched, recording, on) !=
      sim_loop_end::finished) {
    if (on.started) bar.end();
    return write_failure(*files);
  }
  bar.update(n, n);
  bar.end();
  if (files == nullptr) return 0;
  const bool closed = std::fclose(files->checkpoint) == 0;
  files->checkpoint = nullptr;
  if (!closed || !finish_trajectory(files->trajectory)) return write_failure(*files);
  return 0;
}

// Takes the parameters and the rest of a run; runs it with the engine the
// parameters name.
int run_with_engine(const sim_params& params, int64_t first, uint64_t draws,
                    population_counts& current, run_files& files, run_conditions& watched) {
  int status = 0;
  if (params.engine == engine_kind::exact) {
    const auto engine = std::make_unique<exact_engine>();
    start_stream(*engine, params.seed, draws);
    status = run_loop(*engine, params, first, current, &files, watched, true);
  } else {
    const auto engine = std::make_unique<multinomial_engine>();
    start_stream(*engine, params.seed, draws);
    status = run_loop(*engine, params, first, current, &files, watched, true);
  }
  const int stop = stop_condition(watched);
  if (status == 0 && stop >= 0) {
    const auto label = static_cast<long long>(watched.first[static_cast<size_t>(stop)]);
    say_err::sim_stopped(files.trajectory_name.c_str(), label, label + 1,
                         watched.given[static_cast<size_t>(stop)].text.c_str());
  }
  return status;
}

// Takes a single run's parameters, its conditions, its last population and
// the summary's name; writes the summary atomically. Returns the exit status.
int write_single_summary(const sim_params& params, const run_conditions& watched,
                         const population_counts& counts, const std::string& name) {
  if (!write_summary_atomically(name, {sim_end_line(params, 0, watched, counts)},
                                sim_condition_columns(params))) {
    return say_err::sim_summary_write_failed(name.c_str());
  }
  return 0;
}

// Takes the parameters and a name; writes the parameter file there.
// Returns whether it was written whole.
bool write_params_file(const sim_params& params, const std::string& name) {
  std::FILE* file = open_regular(name, "w").file;
  if (file == nullptr) return false;
  write_sim_params(file, params);
  const bool written = std::fflush(file) == 0 && std::ferror(file) == 0;
  return std::fclose(file) == 0 && written;
}

struct closer {
  std::FILE* file;
  ~closer() {
    if (file != nullptr) std::fclose(file);
  }
};

// The files beside OUT of a run of either kind, by the suffix added to
// OUT: the batch's description first, so that removing them in this order
// never leaves a batch's description without its parameters. The scratch
// file of the summary's sort is removed from its folder as soon as it is
// opened; a crash in between can leave it.
constexpr std::array<const char*, 7> run_file_suffixes = {
    ".batch", ".summary.tsv", ".summary.tsv.tmp", ".summary.tsv.sort", ".checkpoint",
    ".params.tmp", ".params"};

// Takes a suffix of run_file_suffixes (or "" for OUT); returns what the
// file is, as messages name it.
const char* file_kind(const std::string& suffix) {
  if (suffix.empty()) return "output file";
  if (suffix == ".batch") return "batch file";
  if (suffix == ".checkpoint") return "checkpoint file";
  if (suffix.rfind(".params", 0) == 0) return "parameter file";
  return "summary file";
}

// Takes an output name; refuses (one line, status 1) when OUT or one of the
// files beside it that a run reads or appends to is there but is not a
// regular file (a FIFO would block, a device never end). Temporary files
// are created afresh and need no look.
std::optional<int> refuse_irregular_run_files(const std::string& output) {
  for (const char* suffix : {"", ".params", ".checkpoint", ".summary.tsv", ".batch"}) {
    const std::string name = output + suffix;
    if (!regular_or_missing(name)) return say_err::sim_not_regular(file_kind(suffix), name.c_str());
  }
  return std::nullopt;
}

// Takes an output name whose lock is held by a fresh run; removes every file
// an older run of either kind left beside OUT, so that nothing of it is
// left beside the new run (OUT itself was truncated when locked).
void remove_older_run(const std::string& output) {
  for (const char* suffix : run_file_suffixes) std::remove((output + suffix).c_str());
}

// Takes the parameters and a trajectory's name, and whether the name is the
// whole run's (a single run's, rather than a batch's replicate); opens and
// locks the trajectory, removes an older run's files (a whole run's name
// only), writes the parameter file, opens the checkpoint file and writes
// the trajectory's header, flushed: a trajectory that holds its whole
// header is a run that started, with its parameter file whole. Returns the
// exit status after a message, or nothing.
std::optional<int> open_run_files(const sim_params& params, const std::string& trajectory_name,
                                  run_files& files, bool whole_run) {
  files.trajectory_name = trajectory_name;
  switch (open_locked_output(trajectory_name, true, false, files.trajectory)) {
    case trajectory_opening::opened: break;
    case trajectory_opening::in_use: return say_err::sim_output_in_use(trajectory_name.c_str());
    case trajectory_opening::not_regular:
      return say_err::sim_not_regular("output file", trajectory_name.c_str());
    case trajectory_opening::cannot_open:
      return say_err::sim_output_unwritable(trajectory_name.c_str());
  }
  if (whole_run) remove_older_run(trajectory_name);
  const std::string params_name = trajectory_name + ".params";
  if (!write_params_file(params, params_name)) {
    return say_err::sim_params_write_failed(params_name.c_str());
  }
  const std::string checkpoint_name = trajectory_name + ".checkpoint";
  const regular_opening checkpoint = open_regular(checkpoint_name, "w");
  files.checkpoint = checkpoint.file;
  if (checkpoint.not_regular) {
    return say_err::sim_not_regular("checkpoint file", checkpoint_name.c_str());
  }
  if (files.checkpoint == nullptr) {
    return say_err::sim_checkpoint_unwritable(checkpoint_name.c_str());
  }
  start_trajectory(files.trajectory);
  if (std::fflush(files.trajectory.file) != 0 || std::ferror(files.trajectory.file) != 0) {
    return write_failure(files);
  }
  return std::nullopt;
}

// Takes a replicate file's name (without its folder); returns the
// replicate's number when it is one of the names a batch gives its
// replicates' files: replicate-NUMBER, with .params or .checkpoint or
// nothing after it.
std::optional<int64_t> replicate_of_file(const std::string& name) {
  const std::string prefix = "replicate-";
  if (name.rfind(prefix, 0) != 0) return std::nullopt;
  size_t end = prefix.size();
  while (end < name.size() && name[end] >= '0' && name[end] <= '9') ++end;
  const size_t digits = end - prefix.size();
  const std::string rest = name.substr(end);
  if (digits == 0 || digits > 10 || (digits > 1 && name[prefix.size()] == '0') ||
      (!rest.empty() && rest != ".params" && rest != ".checkpoint")) {
    return std::nullopt;
  }
  return std::stoll(name.substr(prefix.size(), digits));
}

// An input of a run: its name and its file's identity.
struct input_file {
  std::string name;
  file_identity identity;
};

// Takes a batch's --trajectories folder, its replicates, its inputs and its
// output name; refuses (one line, status 1) when a replicate's file would be
// an input or one of the batch's own files: the same file (device and
// inode) for files already there, the same folder and name for the batch's
// files to come. Only the folder's entries named as replicates' files are
// looked at, so the cost grows with what the folder holds, not with R.
std::optional<int> refuse_replicate_files_over(const std::string& folder, int64_t first,
                                               int64_t count,
                                               const std::vector<input_file>& inputs,
                                               const std::string& output) {
  const auto folder_identity = identity_of(folder);
  if (!folder_identity) return std::nullopt;  // created by the batch: nothing in it yet
  const auto in_range = [&](const std::optional<int64_t>& replicate) {
    return replicate && *replicate >= first && *replicate - first < count;
  };
  std::vector<input_file> protected_files = inputs;
  std::vector<std::string> own_names = {output};
  for (const char* suffix : run_file_suffixes) own_names.push_back(output + suffix);
  for (const std::string& name : own_names) {
    const std::filesystem::path path(name);
    const std::string parent = path.has_parent_path() ? path.parent_path().string() : ".";
    if (identity_of(parent) == folder_identity &&
        in_range(replicate_of_file(path.filename().string()))) {
      const std::string replicate = folder + "/" + path.filename().string();
      return say_err::sim_replicate_file_is_batch_file(replicate.c_str(), name.c_str());
    }
    if (const auto identity = identity_of(name)) protected_files.push_back({name, *identity});
  }
  DIR* listing = opendir(folder.c_str());
  if (listing == nullptr) return std::nullopt;
  std::optional<int> refusal;
  while (!refusal) {
    const dirent* entry = readdir(listing);
    if (entry == nullptr) break;
    const std::string name = entry->d_name;
    if (!in_range(replicate_of_file(name))) continue;
    const std::string path = folder + "/" + name;
    const auto identity = identity_of(path);
    if (!identity) continue;
    for (size_t i = 0; i < protected_files.size() && !refusal; ++i) {
      if (protected_files[i].identity != *identity) continue;
      if (i < inputs.size()) {
        refusal = say_err::sim_output_is_input(path.c_str(), inputs[i].name.c_str());
      } else {
        refusal = say_err::sim_replicate_file_is_batch_file(path.c_str(),
                                                            protected_files[i].name.c_str());
      }
    }
  }
  closedir(listing);
  return refusal;
}

int sim_batch_run(const sim_options& options, const sim_params& params,
                  const std::vector<input_file>& inputs);
int sim_batch_resume(const sim_options& options);

}  // namespace

int sim_fresh_run(const sim_options& options) {
  sim_params params = options.params;
  const std::string& output = options.output;
  const bool batch = options.replicates.has_value();

  // Every input is read, and every file name of the output checked against
  // it, before anything is written.
  const regular_opening fitness = open_regular(options.fitness_file, "r");
  const closer fitness_closer{fitness.file};
  const char* fitness_name = options.fitness_file.c_str();
  if (fitness.not_regular) return say_err::sim_not_regular("fitness file", fitness_name);
  if (fitness.file == nullptr) return say_err::sim_fitness_unreadable(fitness_name);
  if (const auto status = read_sim_fitness(options, fitness.file, params)) return *status;
  regular_opening initial;
  if (!options.initial_file.empty()) {
    initial = open_regular(options.initial_file, "r");
    const char* initial_name = options.initial_file.c_str();
    if (initial.not_regular) return say_err::sim_not_regular("initial file", initial_name);
    if (initial.file == nullptr) return say_err::sim_initial_unreadable(initial_name);
  }
  std::FILE* initial_file = initial.file;
  const closer initial_closer{initial_file};
  if (initial_file != nullptr) {
    if (const auto status = read_sim_initial(options, initial_file, params)) return *status;
  } else {
    params.initial = {};
    params.initial[0] = params.population_size;
  }
  std::vector<input_file> inputs;
  if (const auto identity = identity_of(fitness.file)) inputs.push_back({options.fitness_file, *identity});
  if (initial_file != nullptr) {
    if (const auto identity = identity_of(initial_file)) {
      inputs.push_back({options.initial_file, *identity});
    }
  }
  std::vector<std::string> outputs = {output};
  for (const char* suffix : run_file_suffixes) outputs.push_back(output + suffix);
  for (const std::string& name : outputs) {
    for (const input_file& input : inputs) {
      if (identity_of(name) == input.identity) {
        return say_err::sim_output_is_input(name.c_str(), input.name.c_str());
      }
    }
  }
  if (const auto status = refuse_irregular_run_files(output)) return *status;
  if (batch) return sim_batch_run(options, params, inputs);

  run_files files;
  if (const auto status = open_run_files(params, output, files, true)) return *status;
  population_counts current = params.initial;
  run_conditions watched = sim_conditions(params);
  if (const int status = run_with_engine(params, 0, 0, current, files, watched)) return status;
  return write_single_summary(params, watched, current, output + ".summary.tsv");
}

namespace {

// Takes a parameter file's name and its reading; prints what is wrong.
int report_params(const std::string& name, const sim_params_reading& reading) {
  using outcome = sim_params_reading::outcome;
  const char* file = name.c_str();
  switch (reading.result) {
    case outcome::read: return 0;
    case outcome::classic: return say_err::sim_params_classic(file);
    case outcome::first_line: return say_err::sim_params_line(1LL, file, "");
    case outcome::bad_line: {
      const std::string at = reading.key.empty() ? "" : " (key [" + reading.key + "])";
      return say_err::sim_params_line(reading.line, file, at.c_str());
    }
    case outcome::repeated: return say_err::sim_params_repeated(reading.line, file, reading.key.c_str());
    case outcome::missing: return say_err::sim_params_missing(file, reading.key.c_str());
    case outcome::inconsistent: return say_err::sim_params_inconsistent(file, reading.key.c_str());
  }
  return 1;
}

// Takes a parameter file's name and the parameters' slot; reads the file.
// Returns the exit status after a message, or nothing.
std::optional<int> read_params_file(const std::string& name, sim_params& params) {
  std::FILE* file = open_regular(name, "r").file;
  if (file == nullptr) return say_err::sim_params_unreadable(name.c_str());
  const sim_params_reading reading = read_sim_params(file, params);
  std::fclose(file);
  if (reading.result != sim_params_reading::outcome::read) return report_params(name, reading);
  return std::nullopt;
}

// Takes the parameters and the parameter file's name; replaces the file
// through a temporary file and a rename, so that a kill leaves the old or
// the new file whole.
bool replace_params_file(const sim_params& params, const std::string& name) {
  const std::string temporary = name + ".tmp";
  if (!write_params_file(params, temporary)) {
    std::remove(temporary.c_str());
    return false;
  }
  return std::rename(temporary.c_str(), name.c_str()) == 0;
}

// Takes the checkpoint file (or nullptr), the conditions and a label;
// restores the first labels its reached lines give, up to that label.
void restore_reached_from(std::FILE* checkpoint, run_conditions& watched, int64_t up_to) {
  if (checkpoint == nullptr) return;
  std::rewind(checkpoint);
  for (const reached_line& line : read_reached_lines(checkpoint)) {
    if (line.label <= up_to) restore_reached(watched, line.condition, line.label);
  }
}

// Takes the checkpoint file's name, the conditions and a label; restores
// the first labels of its reached lines up to that label.
void restore_reached_from(const std::string& checkpoint_name, run_conditions& watched,
                          int64_t up_to) {
  std::FILE* checkpoint = open_regular(checkpoint_name, "r").file;
  restore_reached_from(checkpoint, watched, up_to);
  if (checkpoint != nullptr) std::fclose(checkpoint);
}

bool file_exists(const std::string& name) {
  std::error_code error;
  return std::filesystem::exists(name, error);
}

// Takes a run that a stop condition ended, its conditions and its last
// population; writes its summary when it is missing (a kill came before
// it) and says so. Returns the exit status.
int already_stopped(const std::string& name, const sim_params& params,
                    const run_conditions& watched, const population_counts& last) {
  const std::string summary_name = name + ".summary.tsv";
  if (!file_exists(summary_name)) {
    if (const int status = write_single_summary(params, watched, last, summary_name)) return status;
  }
  const auto stop = static_cast<size_t>(stop_condition(watched));
  say_err::sim_already_stopped(name.c_str(), static_cast<long long>(watched.first[stop]),
                               watched.given[stop].text.c_str());
  return 0;
}

// Takes n and K (K >= 1); returns the label and the generations done of the
// last record the record rule makes in a run of n generations (a record
// labelled g after generation g when g is a multiple of K, and a final
// record labelled n unless n is), or nothing when it makes none (n = 0).
std::optional<std::pair<int64_t, int64_t>> last_record_of(int64_t n, int64_t every) {
  if (n % every != 0) return std::pair{n, n};
  if (n == 0) return std::nullopt;
  return std::pair{n - every, n - every + 1};
}

// Takes the command line of a resume, the run's parameters and its locked
// trajectory, which holds its header but no record to continue from (K = 0,
// or a run killed before its first record, or one of 0 generations); the
// run is run again from its start (to the new n if one is given), which
// gives the uninterrupted run's records and summary. A finished run with its
// summary and no new n is left alone, and so is one that a stop condition
// ended before n.
int rerun_from_start(const sim_options& options, sim_params& params, run_files& files) {
  const std::string& name = files.trajectory_name;
  const std::string summary_name = name + ".summary.tsv";
  const std::string checkpoint_name = name + ".checkpoint";
  const int32_t n = options.generations.value_or(params.generations);
  run_conditions watched = sim_conditions(params);
  if (!watched.given.empty() && file_exists(summary_name)) {
    restore_reached_from(checkpoint_name, watched, int64_t{n} - 1);
    if (stop_condition(watched) >= 0) return already_stopped(name, params, watched, params.initial);
    reset_conditions(watched);
  }
  if (n == params.generations && file_exists(summary_name)) {
    say_err::sim_nothing_to_do(name.c_str(), static_cast<long long>(n), n);
    return 0;
  }
  // The summary goes before the parameters change: it never describes
  // another run than the parameter file's.
  std::remove(summary_name.c_str());
  if (n != params.generations) {
    params.generations = n;
    if (!replace_params_file(params, name + ".params")) {
      return say_err::sim_params_write_failed((name + ".params").c_str());
    }
  }
  say_err::sim_resuming(name.c_str(), -1, 0LL, n);
  files.checkpoint = open_regular(checkpoint_name, "w").file;
  if (files.checkpoint == nullptr) return say_err::sim_checkpoint_unwritable(checkpoint_name.c_str());
  // The header stays, so that the run is still one that started.
  const auto header = static_cast<long long>(header_line().size());
  if (ftruncate(fileno(files.trajectory.file), static_cast<off_t>(header)) != 0 ||
      std::fseek(files.trajectory.file, 0, SEEK_END) != 0) {
    return say_err::sim_output_unmodifiable(name.c_str());
  }
  files.trajectory.keep = header;
  files.trajectory.tail = 0;
  population_counts current = params.initial;
  if (const int status = run_with_engine(params, 0, 0, current, files, watched)) return status;
  return write_single_summary(params, watched, current, summary_name);
}

// Takes the command line of a resume and the run's locked trajectory
// (which holds its header); continues the single run. Returns the exit
// status.
int resume_single_run(const sim_options& options, run_files& files) {
  const std::string& trajectory_name = files.trajectory_name;
  const std::string params_name = trajectory_name + ".params";
  const std::string checkpoint_name = trajectory_name + ".checkpoint";
  const std::string summary_name = trajectory_name + ".summary.tsv";
  sim_params params;
  if (const auto status = read_params_file(params_name, params)) return *status;
  if (params.record_every == 0) return rerun_from_start(options, params, files);

  population_counts current{};
  population_counts next{};
  run_conditions watched = sim_conditions(params);
  const checkpoint_reading record = read_checkpoint(files.trajectory.file, current, next);
  if (record.result != checkpoint_reading::outcome::restored) {
    // A stop condition that held at the start leaves no record.
    if (!watched.given.empty()) {
      restore_reached_from(checkpoint_name, watched, -1);
      if (stop_condition(watched) >= 0) {
        return already_stopped(trajectory_name, params, watched, params.initial);
      }
    }
    return rerun_from_start(options, params, files);
  }
  files.checkpoint = open_regular(checkpoint_name, "r+").file;
  if (files.checkpoint == nullptr) {
    return say_err::sim_checkpoint_unreadable(checkpoint_name.c_str());
  }
  long long complete_size = 0;
  const auto line = find_checkpoint_line(files.checkpoint, record.label, complete_size);
  if (!line) {
    std::fclose(files.checkpoint);
    return say_err::sim_no_checkpoint_line(checkpoint_name.c_str(), record.label);
  }
  // The conditions reached up to the record go on; those reached after it
  // are found again as the run goes on from it.
  if (!watched.given.empty()) {
    restore_reached_from(files.checkpoint, watched, record.label);
    if (stop_condition(watched) >= 0) {
      std::fclose(files.checkpoint);
      return already_stopped(trajectory_name, params, watched, current);
    }
  }
  const int32_t n = options.generations.value_or(params.generations);
  const int64_t done = line->generations_done;
  // The records are complete when the last one is the last of the record
  // rule for the parameter file's n; when it holds the last population too,
  // it gives the summary (a kill between it and the summary left none).
  const auto last = last_record_of(params.generations, params.record_every);
  const bool complete = last && record.label == last->first && done == last->second;
  bool has_summary = file_exists(summary_name);
  if (complete && !has_summary && done == params.generations && n <= done) {
    if (const int status = write_single_summary(params, watched, current, summary_name)) {
      std::fclose(files.checkpoint);
      return status;
    }
    has_summary = true;
  }
  if (n <= done || (complete && has_summary && n == params.generations)) {
    std::fclose(files.checkpoint);
    const int64_t ran = complete && has_summary ? std::max<int64_t>(done, params.generations) : done;
    say_err::sim_nothing_to_do(trajectory_name.c_str(), static_cast<long long>(ran), n);
    return 0;
  }
  // The summary goes before the parameters change: it never describes
  // another run than the parameter file's and the records'.
  std::remove(summary_name.c_str());
  if (n != params.generations) {
    params.generations = n;
    if (!replace_params_file(params, params_name)) {
      std::fclose(files.checkpoint);
      return say_err::sim_params_write_failed(params_name.c_str());
    }
  }
  say_err::sim_resuming(trajectory_name.c_str(), record.label, static_cast<long long>(done), n);
  // A kill inside a checkpoint line leaves a partial line: it is cut off, so
  // that the next line starts a line of its own.
  if (ftruncate(fileno(files.checkpoint), static_cast<off_t>(complete_size)) != 0 ||
      std::fseek(files.checkpoint, 0, SEEK_END) != 0) {
    std::fclose(files.checkpoint);
    return say_err::sim_checkpoint_unwritable(checkpoint_name.c_str());
  }
  if (!add_resume_record(files.trajectory, record.label, current)) return write_failure(files);
  if (const int status = run_with_engine(params, done, line->draws, current, files, watched)) {
    return status;
  }
  return write_single_summary(params, watched, current, summary_name);
}

}  // namespace

int sim_resume_run(const sim_options& options) {
  const std::string& name = options.output;
  const std::string batch_name = name + ".batch";
  // One lock, on OUT, covers every file of the name, whichever kind of run
  // holds it; it is taken before the kind is looked at. A batch of an
  // earlier version kept no file OUT: it is created for the lock.
  run_files files;
  files.trajectory_name = name;
  switch (open_locked_output(name, false, file_exists(batch_name), files.trajectory)) {
    case trajectory_opening::opened: break;
    case trajectory_opening::in_use: return say_err::sim_output_in_use(name.c_str());
    case trajectory_opening::not_regular: return say_err::sim_not_regular("output file", name.c_str());
    case trajectory_opening::cannot_open: return say_err::sim_output_unmodifiable(name.c_str());
  }
  if (const auto status = refuse_irregular_run_files(name)) return *status;
  if (file_exists(batch_name)) return sim_batch_resume(options);
  // A fresh run writes its header once its parameter file is whole.
  if (!begins_with_header(files.trajectory.file)) return say_err::sim_never_started(name.c_str());
  return resume_single_run(options, files);
}

namespace {

// A batch's description, OUT.batch.
struct batch_description {
  int64_t first = 0;
  int64_t replicates = 0;
  int threads = 1;
  std::string trajectories;
};

constexpr const char* batch_first_line = "twolocus-sim batch 1";

bool write_batch(std::FILE* file, const batch_description& batch) {
  std::fprintf(file, "%s\nfirst_replicate = %lld\nreplicates = %lld\nthreads = %d\ntrajectories = %s\n",
               batch_first_line, static_cast<long long>(batch.first),
               static_cast<long long>(batch.replicates), batch.threads, batch.trajectories.c_str());
  const bool written = std::fflush(file) == 0 && std::ferror(file) == 0;
  return std::fclose(file) == 0 && written;
}

std::string read_all(std::FILE* file) {
  std::string text;
  char buffer[4096];
  size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0 && text.size() < 65536) {
    text.append(buffer, got);
  }
  return text;
}

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

bool read_batch(std::FILE* file, batch_description& batch) {
  const std::vector<std::string> lines = split(read_all(file), '\n');
  if (lines.size() != 6 || lines[0] != batch_first_line || !lines[5].empty()) return false;
  long long first = -1;
  long long replicates = 0;
  int threads = 0;
  int used = 0;
  const auto whole = [&](const std::string& line, const char* format, auto* value) {
    used = 0;
    return std::sscanf(line.c_str(), format, value, &used) == 1 &&
           static_cast<size_t>(used) == line.size();
  };
  if (!whole(lines[1], "first_replicate = %lld%n", &first) ||
      !whole(lines[2], "replicates = %lld%n", &replicates) ||
      !whole(lines[3], "threads = %d%n", &threads) || lines[4].rfind("trajectories = ", 0) != 0 ||
      first < 0 || first > INT32_MAX || replicates < 1 || replicates > INT32_MAX || threads < 1 ||
      threads > 256) {
    return false;
  }
  batch = {first, replicates, threads, lines[4].substr(15)};
  return true;
}

// A batch's progress line on standard error when it is a terminal (drawn
// at the start, after a replicate at most ten times a second, and at the
// end); nothing otherwise.
struct batch_progress {
  bool shown = isatty(STDERR_FILENO) == 1;
  int64_t total = 0;   // R
  int64_t before = 0;  // replicates whose rows an earlier process wrote
  std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point drawn{};
  static std::string clock_text(double seconds) {
    const auto whole = static_cast<long long>(std::min(seconds, 359999999.0));
    char text[32];
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", whole / 3600, whole / 60 % 60, whole % 60);
    return text;
  }
  void update(int64_t done, bool now_or_never) {
    if (!shown || total <= 0) return;
    const auto now = std::chrono::steady_clock::now();
    if (!now_or_never && now - drawn < std::chrono::milliseconds(100)) return;
    drawn = now;
    const double elapsed = std::chrono::duration<double>(now - started).count();
    const int64_t here = done - before;
    const std::string left =
        here > 0 ? clock_text(elapsed * static_cast<double>(total - done) / static_cast<double>(here))
                 : "-:--:--";
    const int width = 40;
    const auto filled = static_cast<int>(done * width / total);
    std::fprintf(stderr, "\r[%.*s%*s] %3d%% %lld of %lld replicates, %s elapsed, %s left ",
                 filled, "########################################", width - filled, "",
                 static_cast<int>(done * 100 / total), static_cast<long long>(done),
                 static_cast<long long>(total), clock_text(elapsed).c_str(), left.c_str());
    std::fflush(stderr);
  }
  void end() const {
    if (shown) std::fputc('\n', stderr);
  }
};

// What the threads of a batch share.
struct batch_state {
  sim_params params;  // seed: the batch's seed
  std::string trajectories;
  int64_t first = 0;   // replicate numbers first to first + count - 1
  int64_t count = 0;
  // A resume's replicates that have their row already, a bit each; empty
  // for a fresh batch.
  std::vector<uint64_t> kept;
  std::atomic<int64_t> next{0};
  std::atomic<bool> failed{false};
  std::mutex mutex;  // guards what follows
  std::FILE* summary = nullptr;
  bool write_failed = false;
  bool out_of_memory = false;
  std::string message;  // the first failing replicate's message
  int64_t finished = 0;
  batch_progress bar;
};

bool kept_before(const batch_state& state, int64_t index) {
  return !state.kept.empty() &&
         ((state.kept[static_cast<size_t>(index / 64)] >> (index % 64)) & 1U) != 0;
}

// Takes the shared state; runs replicates, each from its start, until none
// is left, on an engine of its own, and appends each row to the summary.
template <typename engine_type>
void run_replicates(batch_state& state) {
  const auto engine = std::make_unique<engine_type>();
  run_conditions watched = sim_conditions(state.params);
  while (!state.failed) {
    const int64_t index = state.next.fetch_add(1);
    if (index >= state.count) return;
    if (kept_before(state, index)) continue;
    const int64_t replicate = state.first + index;
    sim_params params = state.params;
    params.seed = replicate_seed(state.params.seed, replicate);
    start_stream(*engine, params.seed, 0);
    population_counts current = params.initial;
    reset_conditions(watched);
    int status = 0;
    if (state.trajectories.empty()) {
      status = run_loop(*engine, params, 0, current, nullptr, watched, false);
    } else {
      run_files files;
      const std::string name = state.trajectories + "/replicate-" + std::to_string(replicate);
      const auto opened = open_run_files(params, name, files, false);
      status = opened ? *opened : run_loop(*engine, params, 0, current, &files, watched, false);
      release_run_files(files);
    }
    if (status != 0) {
      state.failed = true;
      return;
    }
    const std::string line = sim_end_line(params, replicate, watched, current);
    const std::lock_guard<std::mutex> lock(state.mutex);
    if (std::fprintf(state.summary, "%s\n", line.c_str()) < 0 || std::fflush(state.summary) != 0) {
      state.write_failed = true;
      state.failed = true;
      return;
    }
    ++state.finished;
    state.bar.update(state.finished, false);
  }
}

// A batch's thread: runs replicates; keeps what it would print (a failing
// replicate's message) for the batch to print once, and stops the batch on
// a failed allocation.
template <typename engine_type>
void batch_worker(batch_state& state) {
  std::string said;
  say_err::capture = &said;
  try {
    run_replicates<engine_type>(state);
  } catch (const std::bad_alloc&) {
    const std::lock_guard<std::mutex> lock(state.mutex);
    state.out_of_memory = true;
    state.failed = true;
  }
  say_err::capture = nullptr;
  if (!said.empty()) {
    const std::lock_guard<std::mutex> lock(state.mutex);
    if (state.message.empty()) state.message = said;
  }
}

// Takes the state (summary open for appending) and the threads; runs the
// replicates left, then rewrites the summary sorted by replicate, merging
// from disk. Returns the exit status after one message for the batch.
int run_batch(batch_state& state, int threads, const std::string& summary_name) {
  int64_t left = state.count;
  for (const uint64_t word : state.kept) left -= std::popcount(word);
  state.bar.total = state.count;
  state.bar.before = state.count - left;
  state.finished = state.count - left;
  state.bar.update(state.finished, true);
  std::vector<std::thread> workers;
  const auto count = std::max<int64_t>(1, std::min<int64_t>(threads, left));
  for (int64_t t = 0; t < count; ++t) {
    try {
      if (state.params.engine == engine_kind::exact) {
        workers.emplace_back(batch_worker<exact_engine>, std::ref(state));
      } else {
        workers.emplace_back(batch_worker<multinomial_engine>, std::ref(state));
      }
    } catch (const std::system_error&) {
      // Fewer threads give the same table; none at all is a failure.
      if (workers.empty()) state.out_of_memory = true;
      break;
    }
  }
  for (std::thread& worker : workers) worker.join();
  if (!state.failed && !state.out_of_memory) state.bar.update(state.finished, true);
  state.bar.end();
  const bool closed = std::fclose(state.summary) == 0;
  state.summary = nullptr;
  if (state.out_of_memory) return say_err::sim_out_of_memory();
  if (state.write_failed || !closed) return say_err::sim_summary_write_failed(summary_name.c_str());
  if (state.failed) {
    std::fputs(state.message.c_str(), stderr);
    return 1;
  }
  if (!sort_summary_file(summary_name, sim_condition_columns(state.params))) {
    return say_err::sim_summary_write_failed(summary_name.c_str());
  }
  return 0;
}

int sim_batch_run(const sim_options& options, const sim_params& params,
                  const std::vector<input_file>& inputs) {
  const std::string& output = options.output;
  const std::string batch_name = output + ".batch";
  const std::string params_name = output + ".params";
  const std::string summary_name = output + ".summary.tsv";
  if (!options.trajectories.empty()) {
    if (const auto status = refuse_replicate_files_over(
            options.trajectories, options.first_replicate, *options.replicates, inputs, output)) {
      return *status;
    }
  }
  // OUT, empty, holds the lock of the name, as a single run's trajectory does.
  trajectory_output lock;
  switch (open_locked_output(output, true, false, lock)) {
    case trajectory_opening::opened: break;
    case trajectory_opening::in_use: return say_err::sim_output_in_use(output.c_str());
    case trajectory_opening::not_regular: return say_err::sim_not_regular("output file", output.c_str());
    case trajectory_opening::cannot_open: return say_err::sim_output_unwritable(output.c_str());
  }
  std::fclose(lock.file);
  remove_older_run(output);
  if (!write_params_file(params, params_name)) {
    return say_err::sim_params_write_failed(params_name.c_str());
  }
  if (!options.trajectories.empty()) {
    std::error_code error;
    std::filesystem::create_directories(options.trajectories, error);
    if (!std::filesystem::is_directory(options.trajectories, error)) {
      return say_err::sim_trajectories_unwritable(options.trajectories.c_str());
    }
  }
  // The description follows the parameters, and the summary follows it: a
  // batch with its description whole is one that started.
  const batch_description batch{options.first_replicate, *options.replicates, options.threads,
                                options.trajectories};
  std::FILE* batch_file = open_regular(batch_name, "w").file;
  if (batch_file == nullptr || !write_batch(batch_file, batch)) {
    return say_err::sim_output_write_failed(batch_name.c_str());
  }
  batch_state state;
  state.params = params;
  state.trajectories = batch.trajectories;
  state.first = batch.first;
  state.count = batch.replicates;
  state.summary = open_regular(summary_name, "w").file;
  if (state.summary == nullptr ||
      std::fprintf(state.summary, "%s\n", summary_header(sim_condition_columns(params)).c_str()) < 0 ||
      std::fflush(state.summary) != 0) {
    return say_err::sim_summary_write_failed(summary_name.c_str());
  }
  return run_batch(state, batch.threads, summary_name);
}

// Takes the old summary, the batch and the state (its parameters read);
// writes to `kept_rows` every complete row of the right width, each
// replicate's first, of the batch's replicates, and marks them in
// state.kept. Returns how many there are.
int64_t keep_rows(std::FILE* summary, const batch_description& batch, batch_state& state,
                  std::FILE* kept_rows) {
  const std::vector<std::string> columns = sim_condition_columns(state.params);
  const std::string header = summary_header(columns) + "\n";
  const auto width = static_cast<size_t>(summary_column_count(static_cast<int>(columns.size())));
  char* buffer = nullptr;
  size_t capacity = 0;
  ssize_t length = 0;
  int64_t kept = 0;
  bool first_line = true;
  while ((length = ::getline(&buffer, &capacity, summary)) >= 0) {
    const std::string_view line(buffer, static_cast<size_t>(length));
    if (first_line) {
      first_line = false;
      if (line != header) break;
      continue;
    }
    if (line.back() != '\n') break;  // a partial last line, from a kill
    if (static_cast<size_t>(std::count(line.begin(), line.end(), '\t')) + 1 != width) continue;
    const std::string_view number = line.substr(0, line.find('\t'));
    if (number.empty() || number.size() > 10 ||
        number.find_first_not_of("0123456789") != std::string_view::npos) {
      continue;
    }
    const int64_t index = std::stoll(std::string(number)) - batch.first;
    if (index < 0 || index >= batch.replicates || kept_before(state, index)) continue;
    state.kept[static_cast<size_t>(index / 64)] |= uint64_t{1} << (index % 64);
    std::fwrite(line.data(), 1, line.size(), kept_rows);
    ++kept;
  }
  std::free(buffer);
  return kept;
}

int sim_batch_resume(const sim_options& options) {
  if (options.generations) return say_err::sim_conflict("--generations", "--resume of a batch");
  const std::string& output = options.output;
  const std::string batch_name = output + ".batch";
  const std::string params_name = output + ".params";
  const std::string summary_name = output + ".summary.tsv";
  batch_description batch;
  std::FILE* batch_file = open_regular(batch_name, "r").file;
  const bool batch_read = batch_file != nullptr && read_batch(batch_file, batch);
  if (batch_file != nullptr) std::fclose(batch_file);
  if (!batch_read) {
    // Killed while it wrote its description, before its summary.
    if (!file_exists(summary_name)) return say_err::sim_never_started(output.c_str());
    return say_err::sim_batch_file_bad(batch_name.c_str());
  }
  batch_state state;
  if (const auto status = read_params_file(params_name, state.params)) return *status;
  if (!batch.trajectories.empty()) {
    if (const auto status =
            refuse_replicate_files_over(batch.trajectories, batch.first, batch.replicates, {}, output)) {
      return *status;
    }
  }
  state.trajectories = batch.trajectories;
  state.first = batch.first;
  state.count = batch.replicates;
  state.kept.assign(static_cast<size_t>((batch.replicates + 63) / 64), 0);

  // The rows already written, without a partial last line, become the
  // summary, and the rest are appended to it.
  const std::vector<std::string> columns = sim_condition_columns(state.params);
  std::FILE* kept_rows = begin_summary_file(summary_name, columns);
  if (kept_rows == nullptr) return say_err::sim_summary_write_failed(summary_name.c_str());
  int64_t kept = 0;
  if (std::FILE* summary = open_regular(summary_name, "r").file) {
    kept = keep_rows(summary, batch, state, kept_rows);
    std::fclose(summary);
  }
  if (!end_summary_file(kept_rows, summary_name)) {
    return say_err::sim_summary_write_failed(summary_name.c_str());
  }
  if (kept == batch.replicates) {
    say_err::sim_batch_nothing_to_do(output.c_str(), static_cast<long long>(batch.replicates));
  } else {
    say_err::sim_batch_resuming(output.c_str(), static_cast<long long>(batch.replicates - kept),
                                static_cast<long long>(batch.replicates));
  }
  state.summary = open_regular(summary_name, "a").file;
  if (state.summary == nullptr) return say_err::sim_summary_write_failed(summary_name.c_str());
  return run_batch(state, batch.threads, summary_name);
}

}  // namespace

}  // namespace twolocus
