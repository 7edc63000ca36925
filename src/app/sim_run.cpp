#include "app/sim_run.hpp"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "app/files.hpp"
#include "app/messages.hpp"
#include "io/fitness_values.hpp"
#include "io/initial.hpp"
#include "io/sim_checkpoint.hpp"
#include "io/sim_params.hpp"
#include "io/trajectory.hpp"
#include "model/engines.hpp"

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

// Runs generations `first` to n - 1 from `current`: a record labelled g
// after generation g when g % K == 0, and a final record labelled n unless
// n % K == 0. Closes the files; returns the exit status.
template <typename engine_type>
int run_loop(engine_type& engine, const sim_params& params, int64_t first,
             population_counts& current, run_files& files) {
  const model_params model = model_of(params);
  const int64_t n = params.generations;
  const int64_t every = params.record_every;
  progress bar;
  population_counts next = current;
  int64_t generation = first;
  for (; generation < n; ++generation) {
    run_generation(engine, current, next, model, generation);
    if (generation % every == 0) {
      if (!write_record_with_line(engine, files, generation, generation + 1, next)) {
        bar.end();
        return write_failure(files);
      }
      bar.update(generation + 1, n);
    }
    current = next;
  }
  if (generation % every != 0 && !write_record_with_line(engine, files, generation, generation, next)) {
    bar.end();
    return write_failure(files);
  }
  bar.update(n, n);
  bar.end();
  const bool closed = std::fclose(files.checkpoint) == 0;
  files.checkpoint = nullptr;
  if (!closed || !finish_trajectory(files.trajectory)) return write_failure(files);
  return 0;
}

// Takes the parameters and the rest of a run; runs it with the engine the
// parameters name.
int run_with_engine(const sim_params& params, int64_t first, uint64_t draws,
                    population_counts& current, run_files& files) {
  if (params.engine == engine_kind::exact) {
    const auto engine = std::make_unique<exact_engine>();
    start_stream(*engine, params.seed, draws);
    return run_loop(*engine, params, first, current, files);
  }
  const auto engine = std::make_unique<multinomial_engine>();
  start_stream(*engine, params.seed, draws);
  return run_loop(*engine, params, first, current, files);
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

}  // namespace

int sim_fresh_run(const sim_options& options) {
  sim_params params = options.params;
  const std::string& trajectory_name = options.output;
  const std::string params_name = trajectory_name + ".params";
  const std::string checkpoint_name = trajectory_name + ".checkpoint";

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
  for (const std::string* output : {&trajectory_name, &params_name, &checkpoint_name}) {
    if (names_open_file(fitness_file, *output)) {
      return say_err::sim_output_is_input(output->c_str(), options.fitness_file.c_str());
    }
    if (initial_file != nullptr && names_open_file(initial_file, *output)) {
      return say_err::sim_output_is_input(output->c_str(), options.initial_file.c_str());
    }
  }

  run_files files;
  files.trajectory_name = trajectory_name;
  switch (open_fresh_trajectory(trajectory_name, files.trajectory)) {
    case trajectory_opening::opened: break;
    case trajectory_opening::in_use: return say_err::sim_output_in_use(trajectory_name.c_str());
    case trajectory_opening::cannot_open:
      return say_err::sim_output_unwritable(trajectory_name.c_str());
  }
  if (!write_params_file(params, params_name)) {
    return say_err::sim_params_write_failed(params_name.c_str());
  }
  files.checkpoint = open_file(checkpoint_name, "w");
  if (files.checkpoint == nullptr) {
    return say_err::sim_checkpoint_unwritable(checkpoint_name.c_str());
  }
  start_trajectory(files.trajectory);
  population_counts current = params.initial;
  return run_with_engine(params, 0, 0, current, files);
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

  population_counts current{};
  population_counts next{};
  const checkpoint_reading record = read_checkpoint(files.trajectory.file, current, next);
  if (record.result != checkpoint_reading::outcome::restored) {
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
  const int32_t n = options.generations.value_or(params.generations);
  if (n <= line->generations_done) {
    std::fclose(files.checkpoint);
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
  return run_with_engine(params, line->generations_done, line->draws, current, files);
}

}  // namespace twolocus
