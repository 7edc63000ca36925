#include "run/classic.hpp"

#include <algorithm>
#include <cstdio>
#include <limits>

#include "io/fitness_table.hpp"
#include "io/params.hpp"
#include "io/trajectory.hpp"
#include "run/engines.hpp"
#include "run/files.hpp"
#include "run/loop.hpp"

namespace twolocus {

namespace {

// The seed an engine that does not keep its seed resumes with: the state an
// unseeded rand() starts from.
constexpr int32_t unseeded = 1;

int32_t record_label(int64_t generation) {
  return static_cast<int32_t>(std::min<int64_t>(generation, std::numeric_limits<int32_t>::max()));
}

// The classic runs' hooks of the one loop: a progress dot (the observer's
// generations, which flushes every stream), then the record, every 200
// generations and at the end.
struct classic_hooks {
  trajectory_output& trajectory;
  const run_observer& observer;
  int64_t n;
  static bool proceed() { return true; }
  static bool reached(int64_t /*label*/) { return true; }
  bool record(int64_t label, int64_t done, const population_counts& counts) const {
    if (observer.generations) observer.generations(done, n);
    return add_record(trajectory, record_label(label), counts);
  }
};

// Takes the engine (set and seeded), the first generation to compute, the
// parameters, the population and the trajectory with its name; runs the
// generations below n by the one loop, then closes the file. Returns the
// failure, after cutting the file back to its last whole record.
template <typename engine_type>
std::optional<message> run_classic(engine_type& engine, int64_t first, const run_params& params,
                                   population_counts& current, trajectory_output& trajectory,
                                   const std::string& name, const run_observer& observer) {
  set_model(engine, general_params(params));
  classic_hooks hooks{trajectory, observer, params.n};
  run_conditions none;
  const loop_plan plan{first, params.n, record_interval, &params.fitness, {}};
  if (run_generations(engine, plan, current, none, hooks) != loop_end::finished ||
      !finish_trajectory(trajectory)) {
    cut_back_trajectory(trajectory);
    return tell::output_write_failed(name.c_str());
  }
  return std::nullopt;
}

// Takes how opening a trajectory file went, its name and the message of a
// file that cannot be opened; returns the failure, or nothing.
template <typename unopened_type>
std::optional<message> opening_failure(trajectory_opening opening, const std::string& name,
                                       unopened_type unopened) {
  switch (opening) {
    case trajectory_opening::opened: return std::nullopt;
    case trajectory_opening::in_use: return tell::output_in_use(name.c_str());
    case trajectory_opening::cannot_open:
    case trajectory_opening::not_regular: break;
  }
  return unopened(name.c_str());
}

// Takes the parameters in force, the seed line to write (if any), the
// refreshed copy's name and the observer; writes the copy, or notes why it
// could not be written. The run goes on either way.
void write_refreshed_params(const run_params& params, std::optional<int32_t> seed,
                            const std::string& name, const run_observer& observer) {
  std::FILE* file = open_file(name, "w");
  if (file == nullptr) {
    tell_note(observer, tell::refreshed_unwritable(name.c_str()));
    return;
  }
  write_params(file, params);
  if (seed) write_params_seed(file, *seed);
  const bool written = std::ferror(file) == 0;
  if (std::fclose(file) != 0 || !written) tell_note(observer, tell::refreshed_write_failed(name.c_str()));
}

}  // namespace

std::optional<int32_t> restore_classic_checkpoint(std::FILE* file, const char* name,
                                                  population_counts& current, population_counts& next,
                                                  const run_observer& observer,
                                                  std::optional<message>& failure) {
  using outcome = checkpoint_reading::outcome;
  const checkpoint_reading reading = read_checkpoint(file, current, next);
  if (reading.result == outcome::empty) {
    failure = tell::checkpoint_empty(name);
    return std::nullopt;
  }
  if (reading.result == outcome::only_header) {
    failure = tell::checkpoint_incomplete(name);
    return std::nullopt;
  }
  tell_note(observer, tell::left_off(reading.last_label));
  if (reading.last_entries) tell_note(observer, tell::last_line_incomplete(name, *reading.last_entries));
  if (reading.result == outcome::neither_complete) {
    failure = tell::checkpoint_incomplete(name);
    return std::nullopt;
  }
  tell_note(observer, tell::left_off(reading.label));
  return reading.label;
}

std::optional<message> read_classic_params_head(std::FILE* file, const char* name, run_params& params) {
  if (read_params_head(file, params)) return std::nullopt;
  return tell::params_head_format(name);
}

std::optional<message> read_classic_params_body(std::FILE* file, const char* name, run_params& params,
                                                std::optional<int32_t>& seed) {
  using outcome = params_body_reading::outcome;
  const params_body_reading reading = read_params_body(file, params, seed);
  switch (reading.result) {
    case outcome::read: break;
    case outcome::line_format: return tell::params_line_format(reading.line, name);
    case outcome::rates_incomplete: return tell::rates_incomplete(name);
    case outcome::fitness_incomplete: return tell::fitness_incomplete(name);
  }
  return std::nullopt;
}

std::optional<message> classic_fresh_run(engine_kind kind, const classic_request& request,
                                         const run_observer& observer) {
  const std::string& fitness_name = request.fitness_name;
  const std::string& trajectory_name = request.output;
  const std::string params_name = trajectory_name + ".params";

  std::FILE* fitness_file = open_file(fitness_name, "r");
  if (fitness_file == nullptr) return tell::fitness_unreadable(fitness_name.c_str());
  // Writing over the fitness table would destroy it before it is read.
  if (names_open_file(fitness_file, trajectory_name)) {
    return tell::output_is_fitness(trajectory_name.c_str());
  }
  if (names_open_file(fitness_file, params_name)) return tell::params_is_fitness(params_name.c_str());
  trajectory_output trajectory;
  if (auto failure = opening_failure(open_fresh_trajectory(trajectory_name, trajectory), trajectory_name,
                                     [](const char* name) { return tell::output_unwritable(name); })) {
    return failure;
  }
  std::FILE* params_file = open_file(params_name, "w");
  if (params_file == nullptr) return tell::params_unwritable(params_name.c_str());

  run_params params = request.params;
  write_params_head(params_file, params);
  const int unassigned =
      read_fitness_table(fitness_file, request.column, params.s, params.k, params.fitness,
                         [&observer](int code) { tell_note(observer, tell::unknown_code(code)); });
  if (unassigned > 0) tell_note(observer, tell::fitness_missing(fitness_name.c_str(), unassigned));
  write_params_fitness(params_file, params.fitness);
  return with_engine(kind, [&](auto& engine) -> std::optional<message> {
    if (std::remove_reference_t<decltype(engine)>::keeps_seed) write_params_seed(params_file, params.seed);
    if (std::ferror(params_file) != 0 || std::fclose(params_file) != 0) {
      return tell::params_write_failed(params_name.c_str());
    }
    population_counts current{};
    current[0] = params.generation_size;
    start_trajectory(trajectory);
    seed_engine(engine, params.seed);
    tell_note(observer, tell::evolution_banner(record_interval));
    return run_classic(engine, 0, params, current, trajectory, trajectory_name, observer);
  });
}

std::optional<message> classic_resume(engine_kind kind, const std::string& output,
                                      std::optional<int32_t> new_n, const run_observer& observer) {
  const std::string& trajectory_name = output;
  const std::string params_name = trajectory_name + ".params";
  const std::string refreshed_name = params_name + ".new";

  trajectory_output trajectory;
  if (auto failure = opening_failure(open_resumed_trajectory(trajectory_name, trajectory), trajectory_name,
                                     [](const char* name) { return tell::output_unmodifiable(name); })) {
    return failure;
  }
  std::FILE* params_file = open_file(params_name, "r");
  if (params_file == nullptr) return tell::params_unreadable(params_name.c_str());
  if (is_sim_params_file(params_file)) {
    std::fclose(params_file);
    return tell::params_is_sim(params_name.c_str());
  }
  if (new_n) tell_note(observer, tell::new_n(*new_n));

  population_counts current{};
  population_counts next{};
  std::optional<message> failure;
  const auto checkpoint = restore_classic_checkpoint(trajectory.file, trajectory_name.c_str(), current,
                                                     next, observer, failure);
  if (!checkpoint) return failure;
  const int32_t m = *checkpoint;

  run_params params;
  if (auto failure = read_classic_params_head(params_file, params_name.c_str(), params)) return failure;
  // A new n of -1 stands for none given, once announced: so it always has.
  if (new_n && *new_n != -1 && *new_n != params.n) {
    tell_note(observer, tell::switching_n(params.n, *new_n, params_name.c_str(), ".new"));
    params.n = *new_n;
  }
  return with_engine(kind, [&](auto& engine) -> std::optional<message> {
    int32_t seed = unseeded;
    if (params.n <= m) {
      tell_note(observer, tell::nothing_to_do(params.n, params_name.c_str(), m, trajectory_name.c_str()));
    } else {
      tell_note(observer, tell::working_on(m, params.n));
      std::optional<int32_t> recorded_seed;
      if (auto failure = read_classic_params_body(params_file, params_name.c_str(), params, recorded_seed)) {
        return failure;
      }
      if (std::remove_reference_t<decltype(engine)>::keeps_seed) {
        if (!recorded_seed) tell_note(observer, tell::no_seed(params_name.c_str(), params.seed));
        seed = params.seed = recorded_seed.value_or(params.seed);
        recorded_seed = seed;
      }
      // The copy keeps the seed line of the file it refreshes, whichever
      // program reads it next.
      write_refreshed_params(params, recorded_seed, refreshed_name, observer);
    }
    // The newline ends a partial last line (or leaves an empty line after a
    // complete one), so the repeated checkpoint record starts a line of its own.
    if (!add_resume_record(trajectory, m, current)) {
      cut_back_trajectory(trajectory);
      return tell::output_write_failed(trajectory_name.c_str());
    }
    std::fclose(params_file);
    seed_engine(engine, seed);
    return run_classic(engine, static_cast<int64_t>(m) + 1, params, current, trajectory, trajectory_name,
                       observer);
  });
}

}  // namespace twolocus
