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
#include <string>

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

// The run's open files: the locked trajectory and the checkpoint side file.
struct run_files {
  trajectory_output trajectory;
  std::string trajectory_name;
  std::FILE* checkpoint = nullptr;
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

// Takes a single run's parameters, its conditions, its last population and
// the summary's name; writes the summary atomically. Returns the failure.
std::optional<message> write_single_summary(const sim_params& params, const run_conditions& watched,
                                            const population_counts& counts,
                                            const std::string& name);

// Takes an output name; returns the failure when OUT or one of the files
// beside it that a run reads or appends to is there but is not a regular
// file (a FIFO would block, a device never end).
std::optional<message> refuse_irregular_run_files(const std::string& output);

// Takes an output name whose lock is held by a fresh run; removes every file
// an older run of either kind left beside OUT.
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

// Takes an engine (set and seeded by the caller), the parameters, the first
// generation to run, the population before it (in `current`), the files
// (nullptr: none, a replicate of a batch without --trajectories), the
// conditions, the observer and whether its progress is for this run; runs
// the generations by the one loop, writing each record with its checkpoint
// line first and the reached lines of conditions, each generation's model
// by the history when there is one. Closes the files; leaves the last
// population in `current`.
template <typename engine_type>
run_end run_on_files(engine_type& engine, const sim_params& params, int64_t first,
                     population_counts& current, run_files* files, run_conditions& watched,
                     const run_observer& observer, bool show_progress,
                     const deme_history* history = nullptr) {
  const int64_t n = params.generations;
  struct hooks {
    engine_type& engine;
    run_files* files;
    const run_conditions& watched;
    const run_observer& observer;
    bool show_progress;
    int64_t n;
    bool started = false;  // a generation ran: the progress line has begun
    bool proceed() {
      started = true;
      return !observer.proceed || observer.proceed();
    }
    bool reached(int64_t label) const {
      return files == nullptr || append_reached_lines(files->checkpoint, label, watched.first);
    }
    bool record(int64_t label, int64_t done, const population_counts& counts) {
      const checkpoint_line line{static_cast<int32_t>(label), done, draws_made(engine)};
      if (!append_checkpoint_line(files->checkpoint, line) ||
          !add_record(files->trajectory, static_cast<int32_t>(label), counts)) {
        return false;
      }
      if (show_progress && done == label + 1 && observer.generations) observer.generations(done, n);
      return true;
    }
  } on{engine, files, watched, observer, show_progress, n};
  const loop_plan plan{first, n, files != nullptr ? params.record_every : 0, &params.fitness};
  set_model(engine, sim_model(params));
  loop_end end = loop_end::finished;
  if (history != nullptr) {
    history_schedule schedule{history, params.history_start, sim_model(params)};
    end = run_generations(engine, plan, current, watched, on, schedule);
  } else {
    end = run_generations(engine, plan, current, watched, on);
  }
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
  return {};
}

}  // namespace twolocus
