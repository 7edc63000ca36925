#include "app/sim_run.hpp"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>
#include <cstdio>
#include <memory>
#include <string>

#include "app/files.hpp"
#include "app/messages.hpp"
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

model_params model_of(const sim_params& params) {
  model_params model;
  model.fitness = params.fitness;
  model.generation_size = params.population_size;
  model.mutation_a = params.mutation_a;
  model.mutation_b = params.mutation_b;
  model.recombination = params.recombination;
  model.weights = params.weights;
  return model;
}

int write_failure(run_files& files) {
  cut_back_trajectory(files.trajectory);
  return say_err::sim_output_write_failed(files.trajectory_name.c_str());
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

// Runs generations `first` to n - 1 from `current`: with files and K > 0, a
// record labelled g after generation g when g % K == 0, and a final record
// labelled n unless n % K == 0 (K = 0: no record). The conditions are
// checked on the starting population when `first` is 0 and after every
// generation; when a stop condition holds after generation g the run writes
// record g (K > 0) and ends there. Closes the files; leaves the last
// population in `current`; returns the exit status.
template <typename engine_type>
int run_loop(engine_type& engine, const sim_params& params, int64_t first,
             population_counts& current, run_files* files, run_conditions& watched,
             bool show_progress) {
  const model_params model = model_of(params);
  const int64_t n = params.generations;
  const int64_t every = params.record_every;
  const bool recording = files != nullptr && every > 0;
  const bool watching = !watched.given.empty();
  const fitness_table* fitness = &params.fitness;
  progress bar;
  bar.shown = bar.shown && show_progress;
  population_counts next = current;
  int64_t generation = first;
  bool stopped = false;
  if (watching && first == 0) {
    const condition_check start = check_start(watched, current, fitness);
    if (start.reached > 0 && !note_reached(files, -1, watched)) return write_failure(*files);
    stopped = start.stop;
  }
  for (; generation < n && !stopped; ++generation) {
    run_generation(engine, current, next, model, generation);
    if (watching) {
      const condition_check check = check_conditions(watched, next, fitness, generation);
      if (check.reached > 0 && !note_reached(files, generation, watched)) {
        bar.end();
        return write_failure(*files);
      }
      stopped = check.stop;
    }
    if (recording && (generation % every == 0 || stopped)) {
      if (!write_record_with_line(engine, *files, generation, generation + 1, next)) {
        bar.end();
        return write_failure(*files);
      }
      bar.update(generation + 1, n);
    }
    current = next;
  }
  if (!stopped && recording && generation % every != 0 &&
      !write_record_with_line(engine, *files, generation, generation, next)) {
    bar.end();
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

// The conditions of a run, set up from its parameters (read and checked
// before), none reached.
run_conditions conditions_of(const sim_params& params) {
  run_conditions watched;
  set_up_conditions(params.conditions, watched);
  return watched;
}

// The summary's condition columns: the texts.
std::vector<std::string> condition_columns(const sim_params& params) {
  std::vector<std::string> texts;
  for (const condition_text& condition : params.conditions) texts.push_back(condition.text);
  return texts;
}

// The summary row of a run that ended: by a stop condition at its first
// label, or at its last generation.
std::string end_line(const sim_params& params, int64_t replicate, const run_conditions& watched,
                     const population_counts& counts) {
  const int stop = stop_condition(watched);
  summary_row row{replicate, params.seed, "last", int64_t{params.generations} - 1, 0, {}};
  if (stop >= 0) {
    row.end = watched.given[static_cast<size_t>(stop)].text;
    row.label = watched.first[static_cast<size_t>(stop)];
  }
  row.generations = row.label + 1;
  for (const int64_t first : watched.first) {
    row.conditions.push_back(first == not_reached ? "" : std::to_string(first));
  }
  return summary_line(row, counts, params.fitness);
}

// Takes a single run's parameters, its conditions, its last population and
// the summary's name; writes the summary atomically. Returns the exit status.
int write_single_summary(const sim_params& params, const run_conditions& watched,
                         const population_counts& counts, const std::string& name) {
  if (!write_summary_atomically(name, {end_line(params, 0, watched, counts)},
                                condition_columns(params))) {
    return say_err::sim_summary_write_failed(name.c_str());
  }
  return 0;
}

// Takes the command line; reads the fitness table into `params`. Returns
// the exit status after a message, or nothing.
std::optional<int> read_fitness(const sim_options& options, std::FILE* file, sim_params& params) {
  using outcome = fitness_reading::outcome;
  const fitness_source source{options.fitness_values, options.column, options.s, options.k,
                              params.weights};
  const fitness_reading reading = read_fitness_values(file, source, params.fitness);
  const char* name = options.fitness_file.c_str();
  switch (reading.result) {
    case outcome::read: return std::nullopt;
    case outcome::bad_line: return say_err::sim_fitness_line(reading.line, name, options.column);
    case outcome::bad_entry:
      return say_err::sim_fitness_entry(
          reading.line, name, reading.label.c_str(),
          options.fitness_values ? "a value that is not a number of at least 0"
                                 : "an unknown code (not 0 to 8)",
          reading.token.c_str());
    case outcome::repeated:
      return say_err::sim_fitness_repeated(reading.line, name, reading.label.c_str());
    case outcome::missing:
      return say_err::sim_fitness_missing(name, reading.label.c_str(), reading.token.c_str());
  }
  return 1;
}

std::optional<int> read_start(const sim_options& options, std::FILE* file, sim_params& params) {
  using outcome = initial_reading::outcome;
  const initial_reading reading = read_initial(file, options.initial_label, params.initial);
  const char* name = options.initial_file.c_str();
  switch (reading.result) {
    case outcome::read: return std::nullopt;
    case outcome::bad_line: return say_err::sim_initial_line(reading.line, name);
    case outcome::repeated:
      return say_err::sim_initial_repeated(reading.line, name, reading.label.c_str());
    case outcome::no_record: return say_err::sim_initial_no_record(name);
    case outcome::no_label: return say_err::sim_initial_no_label(name, *options.initial_label);
    case outcome::label_for_counts:
      return say_err::sim_initial_label_for_counts(name, *options.initial_label);
    case outcome::too_many: return say_err::sim_initial_too_many(name);
  }
  return 1;
}

// Takes the parameters and a name; writes the parameter file there.
// Returns whether it was written whole.
bool write_params_file(const sim_params& params, const std::string& name) {
  std::FILE* file = open_file(name, "w");
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


// Takes the parameters and a trajectory's name; opens and locks the
// trajectory, writes the parameter file, opens the checkpoint file and
// writes the trajectory's header. Returns the exit status after a message,
// or nothing.
std::optional<int> open_run_files(const sim_params& params, const std::string& trajectory_name,
                                  run_files& files) {
  files.trajectory_name = trajectory_name;
  switch (open_fresh_trajectory(trajectory_name, files.trajectory)) {
    case trajectory_opening::opened: break;
    case trajectory_opening::in_use: return say_err::sim_output_in_use(trajectory_name.c_str());
    case trajectory_opening::cannot_open:
      return say_err::sim_output_unwritable(trajectory_name.c_str());
  }
  const std::string params_name = trajectory_name + ".params";
  if (!write_params_file(params, params_name)) {
    return say_err::sim_params_write_failed(params_name.c_str());
  }
  const std::string checkpoint_name = trajectory_name + ".checkpoint";
  files.checkpoint = open_file(checkpoint_name, "w");
  if (files.checkpoint == nullptr) {
    return say_err::sim_checkpoint_unwritable(checkpoint_name.c_str());
  }
  start_trajectory(files.trajectory);
  return std::nullopt;
}

int sim_batch_run(const sim_options& options, const sim_params& params);
int sim_batch_resume(const sim_options& options);

}  // namespace

int sim_fresh_run(const sim_options& options) {
  sim_params params = options.params;
  const std::string& output = options.output;
  const bool batch = options.replicates.has_value();
  std::vector<std::string> outputs = {output + ".params", output + ".summary.tsv"};
  if (batch) {
    outputs.push_back(output + ".batch");
  } else {
    outputs.push_back(output);
    outputs.push_back(output + ".checkpoint");
  }

  // Every input is read, and every output name checked against it, before
  // anything is written.
  std::FILE* fitness_file = open_file(options.fitness_file, "r");
  if (fitness_file == nullptr) return say_err::sim_fitness_unreadable(options.fitness_file.c_str());
  const closer fitness_closer{fitness_file};
  if (const auto status = read_fitness(options, fitness_file, params)) return *status;
  std::FILE* initial_file = nullptr;
  if (!options.initial_file.empty()) {
    initial_file = open_file(options.initial_file, "r");
    if (initial_file == nullptr) {
      return say_err::sim_initial_unreadable(options.initial_file.c_str());
    }
  }
  const closer initial_closer{initial_file};
  if (initial_file != nullptr) {
    if (const auto status = read_start(options, initial_file, params)) return *status;
  } else {
    params.initial = {};
    params.initial[0] = params.population_size;
  }
  for (const std::string& name : outputs) {
    if (names_open_file(fitness_file, name)) {
      return say_err::sim_output_is_input(name.c_str(), options.fitness_file.c_str());
    }
    if (initial_file != nullptr && names_open_file(initial_file, name)) {
      return say_err::sim_output_is_input(name.c_str(), options.initial_file.c_str());
    }
  }
  if (batch) return sim_batch_run(options, params);

  run_files files;
  if (const auto status = open_run_files(params, output, files)) return *status;
  // An older run's summary must not outlive a fresh run that is killed, nor
  // an older batch's description (a resume of OUT continues the batch when
  // there is one).
  const std::string summary_name = output + ".summary.tsv";
  std::remove(summary_name.c_str());
  std::remove((output + ".batch").c_str());
  population_counts current = params.initial;
  run_conditions watched = conditions_of(params);
  if (const int status = run_with_engine(params, 0, 0, current, files, watched)) return status;
  return write_single_summary(params, watched, current, summary_name);
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

// Takes the parameters and the parameter file's name; replaces the file
// through a temporary file and a rename, so that a kill leaves the old or
// the new file whole.
bool replace_params_file(const sim_params& params, const std::string& name);

// Takes the checkpoint file (or nullptr), the conditions and a label;
// restores the first labels its reached lines give, up to that label.
void restore_reached_from(std::FILE* checkpoint, run_conditions& watched, int64_t up_to) {
  if (checkpoint == nullptr) return;
  std::rewind(checkpoint);
  for (const reached_line& line : read_reached_lines(checkpoint)) {
    if (line.label <= up_to) restore_reached(watched, line.condition, line.label);
  }
}

// Takes a run that a stop condition ended, its conditions and its last
// population; writes its summary when it is missing (a kill came before
// it) and says so. Returns the exit status.
int already_stopped(const std::string& name, const sim_params& params,
                    const run_conditions& watched, const population_counts& last) {
  const std::string summary_name = name + ".summary.tsv";
  std::error_code error;
  if (!std::filesystem::exists(summary_name, error)) {
    if (const int status = write_single_summary(params, watched, last, summary_name)) return status;
  }
  const auto stop = static_cast<size_t>(stop_condition(watched));
  say_err::sim_already_stopped(name.c_str(), static_cast<long long>(watched.first[stop]),
                               watched.given[stop].text.c_str());
  return 0;
}

// Takes the command line of a resume, the run's parameters (K = 0) and its
// locked trajectory; the run has no record to continue from, so it is run
// again from its start (to the new n if one is given), which gives the
// uninterrupted run's summary. A finished run with its summary and no new n
// is left alone, and so is one that a stop condition ended before n.
int rerun_from_start(const sim_options& options, sim_params& params, run_files& files) {
  const std::string& name = files.trajectory_name;
  const std::string summary_name = name + ".summary.tsv";
  std::error_code error;
  const int32_t n = options.generations.value_or(params.generations);
  run_conditions watched = conditions_of(params);
  if (!watched.given.empty() && std::filesystem::exists(summary_name, error)) {
    std::FILE* checkpoint = open_file(name + ".checkpoint", "r");
    restore_reached_from(checkpoint, watched, int64_t{n} - 1);
    if (checkpoint != nullptr) std::fclose(checkpoint);
    if (stop_condition(watched) >= 0) return already_stopped(name, params, watched, params.initial);
    reset_conditions(watched);
  }
  if (n == params.generations && std::filesystem::exists(summary_name, error)) {
    say_err::sim_nothing_to_do(name.c_str(), static_cast<long long>(n) - 1, n);
    return 0;
  }
  if (n != params.generations) {
    params.generations = n;
    if (!replace_params_file(params, name + ".params")) {
      return say_err::sim_params_write_failed((name + ".params").c_str());
    }
  }
  say_err::sim_resuming(name.c_str(), -1, 0LL, n);
  std::remove(summary_name.c_str());
  const std::string checkpoint_name = name + ".checkpoint";
  files.checkpoint = open_file(checkpoint_name, "w");
  if (files.checkpoint == nullptr) return say_err::sim_checkpoint_unwritable(checkpoint_name.c_str());
  if (ftruncate(fileno(files.trajectory.file), 0) != 0 ||
      std::fseek(files.trajectory.file, 0, SEEK_SET) != 0) {
    return say_err::sim_output_unmodifiable(name.c_str());
  }
  start_trajectory(files.trajectory);
  population_counts current = params.initial;
  if (const int status = run_with_engine(params, 0, 0, current, files, watched)) return status;
  return write_single_summary(params, watched, current, summary_name);
}

bool replace_params_file(const sim_params& params, const std::string& name) {
  const std::string temporary = name + ".tmp";
  if (!write_params_file(params, temporary)) {
    std::remove(temporary.c_str());
    return false;
  }
  return std::rename(temporary.c_str(), name.c_str()) == 0;
}

}  // namespace

int sim_resume_run(const sim_options& options) {
  const std::string& trajectory_name = options.output;
  const std::string params_name = trajectory_name + ".params";
  const std::string checkpoint_name = trajectory_name + ".checkpoint";
  const std::string summary_name = trajectory_name + ".summary.tsv";
  std::error_code error;
  if (std::filesystem::exists(trajectory_name + ".batch", error)) {
    return sim_batch_resume(options);
  }

  run_files files;
  files.trajectory_name = trajectory_name;
  switch (open_resumed_trajectory(trajectory_name, files.trajectory)) {
    case trajectory_opening::opened: break;
    case trajectory_opening::in_use: return say_err::sim_output_in_use(trajectory_name.c_str());
    case trajectory_opening::cannot_open:
      return say_err::sim_output_unmodifiable(trajectory_name.c_str());
  }
  std::FILE* params_file = open_file(params_name, "r");
  if (params_file == nullptr) return say_err::sim_params_unreadable(params_name.c_str());
  sim_params params;
  const sim_params_reading reading = read_sim_params(params_file, params);
  std::fclose(params_file);
  if (reading.result != sim_params_reading::outcome::read) return report_params(params_name, reading);
  if (params.record_every == 0) return rerun_from_start(options, params, files);

  population_counts current{};
  population_counts next{};
  run_conditions watched = conditions_of(params);
  const checkpoint_reading record = read_checkpoint(files.trajectory.file, current, next);
  if (record.result != checkpoint_reading::outcome::restored) {
    // A stop condition that held at the start leaves no record.
    if (!watched.given.empty()) {
      if (std::FILE* checkpoint = open_file(checkpoint_name, "r")) {
        restore_reached_from(checkpoint, watched, -1);
        std::fclose(checkpoint);
      }
      if (stop_condition(watched) >= 0) {
        return already_stopped(trajectory_name, params, watched, params.initial);
      }
    }
    return say_err::sim_no_record(trajectory_name.c_str());
  }
  files.checkpoint = open_file(checkpoint_name, "r+");
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
  if (n <= line->generations_done) {
    std::fclose(files.checkpoint);
    // A kill between the final record and the summary left no summary.
    if (n == params.generations && line->generations_done == n && record.label == n &&
        !std::filesystem::exists(summary_name, error)) {
      if (const int status = write_single_summary(params, watched, current, summary_name)) {
        return status;
      }
    }
    say_err::sim_nothing_to_do(trajectory_name.c_str(),
                               static_cast<long long>(line->generations_done - 1), n);
    return 0;
  }
  if (n != params.generations) {
    params.generations = n;
    if (!replace_params_file(params, params_name)) {
      std::fclose(files.checkpoint);
      return say_err::sim_params_write_failed(params_name.c_str());
    }
  }
  say_err::sim_resuming(trajectory_name.c_str(), record.label,
                        static_cast<long long>(line->generations_done), n);
  // A kill inside a checkpoint line leaves a partial line: it is cut off, so
  // that the next line starts a line of its own.
  if (ftruncate(fileno(files.checkpoint), static_cast<off_t>(complete_size)) != 0 ||
      std::fseek(files.checkpoint, 0, SEEK_END) != 0) {
    std::fclose(files.checkpoint);
    return say_err::sim_checkpoint_unwritable(checkpoint_name.c_str());
  }
  if (!add_resume_record(files.trajectory, record.label, current)) return write_failure(files);
  if (const int status =
          run_with_engine(params, line->generations_done, line->draws, current, files, watched)) {
    return status;
  }
  return write_single_summary(params, watched, current, summary_name);
}

namespace {

// A batch's description, OUT.batch, which also holds the batch's lock.
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
  return std::fflush(file) == 0 && std::ferror(file) == 0;
}

std::string read_all(std::FILE* file) {
  std::string text;
  char buffer[4096];
  size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, got);
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

// What the threads of a batch share.
struct batch_state {
  sim_params params;  // seed: the batch's seed
  std::string trajectories;
  std::vector<int64_t> todo;
  std::atomic<size_t> next{0};
  std::atomic<bool> failed{false};
  std::mutex mutex;  // guards what follows
  std::FILE* summary = nullptr;
  std::vector<std::pair<int64_t, std::string>> rows;
  bool write_failed = false;
};

// Takes the shared state; runs replicates, each from its start, until none
// is left, on an engine of its own, and appends each row to the summary.
template <typename engine_type>
void batch_worker(batch_state& state) {
  const auto engine = std::make_unique<engine_type>();
  run_conditions watched = conditions_of(state.params);
  while (!state.failed) {
    const size_t index = state.next.fetch_add(1);
    if (index >= state.todo.size()) return;
    const int64_t replicate = state.todo[index];
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
      const auto opened = open_run_files(params, name, files);
      status = opened ? *opened : run_loop(*engine, params, 0, current, &files, watched, false);
    }
    if (status != 0) {
      state.failed = true;
      return;
    }
    const std::string line = end_line(params, replicate, watched, current);
    const std::lock_guard<std::mutex> lock(state.mutex);
    state.rows.emplace_back(replicate, line);
    if (std::fprintf(state.summary, "%s\n", line.c_str()) < 0 || std::fflush(state.summary) != 0) {
      state.write_failed = true;
      state.failed = true;
    }
  }
}

// Takes the state (summary open for appending) and the threads; runs the
// replicates left, then rewrites the summary sorted by replicate.
int run_batch(batch_state& state, int threads, const std::string& summary_name) {
  std::vector<std::thread> workers;
  const auto count = std::max<size_t>(1, std::min<size_t>(static_cast<size_t>(threads), state.todo.size()));
  for (size_t t = 0; t < count; ++t) {
    if (state.params.engine == engine_kind::exact) {
      workers.emplace_back(batch_worker<exact_engine>, std::ref(state));
    } else {
      workers.emplace_back(batch_worker<multinomial_engine>, std::ref(state));
    }
  }
  for (std::thread& worker : workers) worker.join();
  const bool closed = std::fclose(state.summary) == 0;
  state.summary = nullptr;
  if (state.write_failed || !closed) return say_err::sim_summary_write_failed(summary_name.c_str());
  if (state.failed) return 1;
  std::sort(state.rows.begin(), state.rows.end());
  std::vector<std::string> lines;
  lines.reserve(state.rows.size());
  for (const auto& row : state.rows) lines.push_back(row.second);
  if (!write_summary_atomically(summary_name, lines, condition_columns(state.params))) {
    return say_err::sim_summary_write_failed(summary_name.c_str());
  }
  return 0;
}

int sim_batch_run(const sim_options& options, const sim_params& params) {
  const std::string batch_name = options.output + ".batch";
  const std::string params_name = options.output + ".params";
  const std::string summary_name = options.output + ".summary.tsv";
  trajectory_output lock;
  switch (open_fresh_trajectory(batch_name, lock)) {
    case trajectory_opening::opened: break;
    case trajectory_opening::in_use: return say_err::sim_output_in_use(batch_name.c_str());
    case trajectory_opening::cannot_open: return say_err::sim_output_unwritable(batch_name.c_str());
  }
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
  const batch_description batch{options.first_replicate, *options.replicates, options.threads,
                                options.trajectories};
  if (!write_batch(lock.file, batch)) return say_err::sim_output_write_failed(batch_name.c_str());
  batch_state state;
  state.params = params;
  state.trajectories = batch.trajectories;
  for (int64_t r = batch.first; r < batch.first + batch.replicates; ++r) state.todo.push_back(r);
  state.summary = open_file(summary_name, "w");
  if (state.summary == nullptr ||
      std::fprintf(state.summary, "%s\n", summary_header(condition_columns(params)).c_str()) < 0 ||
      std::fflush(state.summary) != 0) {
    return say_err::sim_summary_write_failed(summary_name.c_str());
  }
  return run_batch(state, batch.threads, summary_name);
}

int sim_batch_resume(const sim_options& options) {
  if (options.generations) return say_err::sim_conflict("--generations", "--resume of a batch");
  const std::string batch_name = options.output + ".batch";
  const std::string params_name = options.output + ".params";
  const std::string summary_name = options.output + ".summary.tsv";
  trajectory_output lock;
  switch (open_resumed_trajectory(batch_name, lock)) {
    case trajectory_opening::opened: break;
    case trajectory_opening::in_use: return say_err::sim_output_in_use(batch_name.c_str());
    case trajectory_opening::cannot_open: return say_err::sim_output_unmodifiable(batch_name.c_str());
  }
  batch_description batch;
  if (!read_batch(lock.file, batch)) return say_err::sim_batch_file_bad(batch_name.c_str());
  std::FILE* params_file = open_file(params_name, "r");
  if (params_file == nullptr) return say_err::sim_params_unreadable(params_name.c_str());
  batch_state state;
  const sim_params_reading reading = read_sim_params(params_file, state.params);
  std::fclose(params_file);
  if (reading.result != sim_params_reading::outcome::read) return report_params(params_name, reading);
  state.trajectories = batch.trajectories;

  // The rows already written: complete lines of the right width, each
  // replicate's first.
  std::vector<char> done(static_cast<size_t>(batch.replicates), 0);
  if (std::FILE* summary = open_file(summary_name, "r")) {
    const std::vector<std::string> lines = split(read_all(summary), '\n');
    std::fclose(summary);
    const std::vector<std::string> columns = condition_columns(state.params);
    const auto width = static_cast<size_t>(summary_column_count(static_cast<int>(columns.size())));
    for (size_t i = 1; i + 1 < lines.size() && lines[0] == summary_header(columns); ++i) {
      const std::vector<std::string> fields = split(lines[i], '\t');
      if (fields.size() != width || fields[0].empty() ||
          fields[0].size() > 10 || fields[0].find_first_not_of("0123456789") != std::string::npos) {
        continue;
      }
      const int64_t replicate = std::stoll(fields[0]);
      if (replicate < batch.first || replicate >= batch.first + batch.replicates) continue;
      char& seen = done[static_cast<size_t>(replicate - batch.first)];
      if (seen == 0) state.rows.emplace_back(replicate, lines[i]);
      seen = 1;
    }
  }
  for (int64_t r = batch.first; r < batch.first + batch.replicates; ++r) {
    if (done[static_cast<size_t>(r - batch.first)] == 0) state.todo.push_back(r);
  }
  if (state.todo.empty()) {
    say_err::sim_batch_nothing_to_do(options.output.c_str(), static_cast<long long>(batch.replicates));
    state.summary = std::tmpfile();
    return run_batch(state, 1, summary_name);
  }
  say_err::sim_batch_resuming(options.output.c_str(), static_cast<long long>(state.todo.size()),
                              static_cast<long long>(batch.replicates));
  // The rows kept, without a partial last line, then the rest appended.
  std::vector<std::string> kept;
  for (const auto& row : state.rows) kept.push_back(row.second);
  if (!write_summary_atomically(summary_name, kept, condition_columns(state.params))) {
    return say_err::sim_summary_write_failed(summary_name.c_str());
  }
  state.summary = open_file(summary_name, "a");
  if (state.summary == nullptr) return say_err::sim_summary_write_failed(summary_name.c_str());
  return run_batch(state, batch.threads, summary_name);
}

}  // namespace

}  // namespace twolocus
