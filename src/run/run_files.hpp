// A twolocus-sim run's files and what every kind of run does with them:
// OUT (the trajectory, which also holds the lock of every file of the
// name), OUT.params, OUT.checkpoint and OUT.summary.tsv; opening them for a
// fresh run, the parameter file written whole or replaced, the summary
// written, and a run's generations with its records and checkpoint lines
// written as they come.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "io/sim_checkpoint.hpp"
#include "io/sim_params.hpp"
#include "io/trajectory.hpp"
#include "model/engines.hpp"
#include "model/watch.hpp"
#include "run/inputs.hpp"
#include "run/loop.hpp"
#include "run/messages.hpp"
#include "run/observer.hpp"

namespace twolocus {

// The run's open files: the locked trajectory, the checkpoint side file,
// and for a model of several demes each deme's trajectory (OUT@NAME).
struct run_files {
  trajectory_output trajectory;
  std::string trajectory_name;
  std::FILE* checkpoint = nullptr;
  std::vector<trajectory_output> demes;
  std::vector<std::string> deme_names;  // their file names
  size_t failed_deme = static_cast<size_t>(-1);  // the deme file a write failed on
};

// The files beside OUT of a run of either kind, by the suffix added to
// OUT: the batch's description first, so that removing them in this order
// never leaves a batch's description without its parameters. The scratch
// file of the summary's sort is removed from its folder as soon as it is
// opened; a crash in between can leave it.
inline constexpr std::array<const char*, 7> run_file_suffixes = {
    ".batch", ".summary.tsv", ".summary.tsv.tmp", ".summary.tsv.sort", ".checkpoint",
    ".params.tmp", ".params"};

// Takes the files after a failed write; cuts the trajectory back to its
// last whole record, closes the checkpoint file. Returns the message.
message write_failure(run_files& files);

// Takes a replicate's files once its run is over; closes what is still
// open, the lock's descriptor included, so that a batch keeps no
// descriptor per replicate.
void release_run_files(run_files& files);

// Takes the parameters and a name; writes the parameter file there.
// Returns whether it was written whole.
bool write_params_file(const sim_params& params, const std::string& name);

// Takes the parameters and the parameter file's name; replaces the file
// through a temporary file and a rename, so that a kill leaves the old or
// the new file whole. Returns whether it was replaced.
bool replace_params_file(const sim_params& params, const std::string& name);

// Takes a parameter file's name and the parameters' slot; reads the file.
// Returns what is wrong with it, or nothing.
std::optional<message> read_params_file(const std::string& name, sim_params& params);

// Takes a single run's parameters, its conditions, its last population
// (with several demes: the demes together), the summary's name and, with
// several demes, each deme's last counts; writes the summary atomically.
// Returns the failure.
std::optional<message> write_single_summary(const sim_params& params, const run_conditions& watched,
                                            const population_counts& counts, const std::string& name,
                                            std::span<const population_counts> demes = {});

// Takes an output name; returns the failure when OUT or one of the files
// beside it that a run reads or appends to is there but is not a regular
// file (a FIFO would block, a device never end).
std::optional<message> refuse_irregular_run_files(const std::string& output);

// Takes an output name whose lock is held by a fresh run; removes every file
// an older run of either kind left beside OUT, its demes' OUT@NAME too.
void remove_older_run(const std::string& output);

// Takes the parameters and a trajectory's name, and whether the name is the
// whole run's (a single run's, rather than a batch's replicate); opens and
// locks the trajectory, removes an older run's files (a whole run's name
// only), writes the parameter file, opens the checkpoint file and writes
// the trajectory's header, flushed: a trajectory that holds its whole
// header is a run that started, with its parameter file whole. Returns the
// failure, or nothing.
std::optional<message> open_run_files(const sim_params& params, const std::string& trajectory_name,
                                      run_files& files, bool whole_run);

// Takes the checkpoint file's name (or an open one), the conditions and a
// label; restores the first labels of its reached lines up to that label.
void restore_reached_from(std::FILE* checkpoint, run_conditions& watched, int64_t up_to);
void restore_reached_from(const std::string& checkpoint_name, run_conditions& watched, int64_t up_to);

// Takes a file name; returns whether something of that name is there.
bool file_exists(const std::string& name);

// The draws an engine (or each deme's engine) made: the first engine's, and
// the others' in `more` (a run of several demes).
template <typename engine_type>
uint64_t draws_of(const engine_type& engine, std::vector<uint64_t>& more) {
  more.clear();
  return draws_made(engine);
}
template <typename engine_type>
uint64_t draws_of(const deme_engines<engine_type>& engines, std::vector<uint64_t>& more) {
  more.clear();
  for (size_t d = 1; d < engines.engines.size(); ++d) more.push_back(draws_made(*engines.engines[d]));
  return draws_made(*engines.engines[0]);
}

// Takes the files, a record's label and the population; writes each
// existing deme's record to its own file and hands it to the system (a
// population of several demes; nothing for one deme's counts). OUT's record
// of the label is written after them: a resume starts from OUT's last
// record, so every deme's record of it must be in its file by then, however
// a kill falls.
inline bool add_deme_records(run_files&, int32_t, const population_counts&, const void*) { return true; }
template <typename engine_type>
bool add_deme_records(run_files& files, int32_t label, const deme_population& population,
                      const deme_engines<engine_type>* engines) {
  for (size_t d = 0; d < files.demes.size(); ++d) {
    if (!engines->plan[d].exists) continue;
    if (!add_record(files.demes[d], label, population.demes[d]) || std::fflush(files.demes[d].file) != 0) {
      files.failed_deme = d;
      return false;
    }
  }
  return true;
}

// Takes an engine (set and seeded by the caller; for several demes, their
// engines), the parameters, the first generation to run, the population
// before it (in `current`: one deme's counts, or a deme_population), the
// files (nullptr: none, a replicate of a batch without --trajectories), the
// conditions, the observer, whether its progress is for this run, and the
// schedule of the generations' models; runs the generations by the one
// loop, writing each record with its checkpoint line first (and, for
// several demes, each existing deme's record to its file before the
// whole's), and the reached lines of conditions. Closes the files; leaves
// the last population in `current`.
template <typename engine_type, typename population_type, typename schedule_type>
run_end run_on_files(engine_type& engine, const sim_params& params, int64_t first,
                     population_type& current, run_files* files, run_conditions& watched,
                     const run_observer& observer, bool show_progress, schedule_type& schedule) {
  const int64_t n = params.generations;
  struct hooks {
    engine_type& engine;
    run_files* files;
    const run_conditions& watched;
    const run_observer& observer;
    bool show_progress;
    int64_t n;
    std::vector<uint64_t> more_draws;
    bool started = false;  // a generation ran: the progress line has begun
    bool proceed() {
      started = true;
      return !observer.proceed || observer.proceed();
    }
    bool reached(int64_t label) const {
      return files == nullptr || append_reached_lines(files->checkpoint, label, watched.first);
    }
    bool record(int64_t label, int64_t done, const population_type& counts) {
      const auto at = static_cast<int32_t>(label);
      const checkpoint_line line{at, done, draws_of(engine, more_draws), {}};
      if (!append_checkpoint_line(files->checkpoint, line, more_draws) ||
          !add_deme_records(*files, at, counts, &engine) ||
          !add_record(files->trajectory, at, pooled(counts))) {
        return false;
      }
      if (show_progress && done == label + 1 && observer.generations) observer.generations(done, n);
      return true;
    }
  } on{engine, files, watched, observer, show_progress, n, {}};
  const loop_plan plan{first, n, files != nullptr ? params.record_every : 0,
                       &schedule_fitness(schedule, params.fitness), schedule_deme_fitness(schedule)};
  const loop_end end = run_generations(engine, plan, current, watched, on, schedule);
  if (end != loop_end::finished) {
    if (on.started && show_progress && observer.progress_end) observer.progress_end();
    if (end == loop_end::interrupted) {
      if (files != nullptr) release_run_files(*files);
      return {std::nullopt, true};
    }
    return {write_failure(*files), false};
  }
  if (show_progress) {
    if (observer.generations) observer.generations(n, n);
    if (observer.progress_end) observer.progress_end();
  }
  if (files == nullptr) return {};
  const bool closed = std::fclose(files->checkpoint) == 0;
  files->checkpoint = nullptr;
  if (!closed || !finish_trajectory(files->trajectory)) return {write_failure(*files), false};
  for (trajectory_output& deme : files->demes) {
    if (!finish_trajectory(deme)) return {write_failure(*files), false};
  }
  return {};
}

// Takes one engine, the parameters, a deme's history (nullptr: none) and a
// function of the schedule of the run's generations (the history's, the
// parameters' changes', or a constant model's); sets the engine to the parameters' model and returns what
// the function returns for the schedule.
template <typename engine_type, typename function_type>
decltype(auto) with_schedule(engine_type& engine, const sim_params& params, const deme_history* history,
                             function_type&& run) {
  set_model(engine, sim_model(params));
  const change_cursor changes{&params.changes, 0};
  if (history != nullptr) {
    history_schedule schedule{history, params.history_start, sim_model(params), static_cast<size_t>(-1), changes};
    return run(schedule);
  }
  if (!params.changes.empty()) {
    changes_schedule schedule{sim_model(params), changes};
    return run(schedule);
  }
  constant_schedule constant;
  return run(constant);
}

// The same for one engine run by a constant model or a deme's history: the
// engine is set to the parameters' model first.
template <typename engine_type>
run_end run_on_files(engine_type& engine, const sim_params& params, int64_t first,
                     population_counts& current, run_files* files, run_conditions& watched,
                     const run_observer& observer, bool show_progress,
                     const deme_history* history = nullptr) {
  return with_schedule(engine, params, history, [&](auto& schedule) {
    return run_on_files(engine, params, first, current, files, watched, observer, show_progress, schedule);
  });
}

}  // namespace twolocus
