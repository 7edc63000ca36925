#include "run/resume.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>

#include "io/sim_checkpoint.hpp"
#include "io/trajectory.hpp"
#include "run/batch.hpp"
#include "run/files.hpp"
#include "run/inputs.hpp"
#include "run/run_files.hpp"
#include "run/single.hpp"
#include "run/structure.hpp"

namespace twolocus {

namespace {

// Takes a trajectory open to read and write; adds a line end after its
// last byte when it has none. Returns whether the file ends with one.
bool end_last_line(std::FILE* file) {
  if (std::fseek(file, -1, SEEK_END) != 0) return false;
  const int last = std::fgetc(file);
  if (std::fseek(file, 0, SEEK_END) != 0) return false;
  if (last == '\n') return true;
  return std::fputc('\n', file) != EOF && std::fflush(file) == 0;
}

// Takes a run's parameters, its name and a label (-1: the start); reads
// each deme's counts there, for a model of several demes (none otherwise).
// Returns the failure, or nothing.
std::optional<message> last_demes(const sim_params& params, const std::string& name, int32_t label,
                                  deme_population& demes) {
  if (params.demography.empty()) return std::nullopt;
  structure_history structure;
  if (auto problem = structure_of_params(params, name + ".params", structure)) return problem;
  if (structure.demes.size() < 2) return std::nullopt;
  if (label < 0) {
    demes = starting_demes(structure, params.history_start, initial_of_demes(params), params.starts);
    return std::nullopt;
  }
  return read_deme_records(structure, name, label, demes);
}

// Takes a run that a stop condition ended, its conditions, its last
// population and that population's label; writes its summary when it is missing (a kill came before
// it) and notes it. Returns the failure, or nothing.
std::optional<message> already_stopped(const std::string& name, const sim_params& params,
                                       const run_conditions& watched, const population_counts& last,
                                       const run_observer& observer, int32_t label) {
  const std::string summary_name = name + ".summary.tsv";
  if (!file_exists(summary_name)) {
    deme_population demes;
    if (auto failure = last_demes(params, name, label, demes)) return failure;
    if (auto failure = write_single_summary(params, watched, last, summary_name, demes.demes)) return failure;
  }
  const auto stop = static_cast<size_t>(stop_condition(watched));
  tell_note(observer, tell::sim_already_stopped(name.c_str(), static_cast<long long>(watched.first[stop]),
                                                watched.given[stop].text.c_str()));
  return std::nullopt;
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

// Takes the request of a resume, the run's parameters and its locked
// trajectory, which holds its header but no record to continue from (K = 0,
// or a run killed before its first record, or one of 0 generations); the
// run is run again from its start (to the new n if one is given), which
// gives the uninterrupted run's records and summary. A finished run with its
// summary and no new n is left alone, and so is one that a stop condition
// ended before n.
std::optional<message> rerun_from_start(const run_request& request, sim_params& params,
                                        run_files& files, const run_observer& observer) {
  const std::string& name = files.trajectory_name;
  const std::string summary_name = name + ".summary.tsv";
  const std::string checkpoint_name = name + ".checkpoint";
  const int32_t n = request.generations.value_or(params.generations);
  run_conditions watched = sim_conditions(params);
  if (!watched.given.empty() && file_exists(summary_name)) {
    restore_reached_from(checkpoint_name, watched, int64_t{n} - 1);
    if (stop_condition(watched) >= 0) return already_stopped(name, params, watched, params.initial, observer, -1);
    reset_conditions(watched);
  }
  if (n == params.generations && file_exists(summary_name)) {
    tell_note(observer, tell::sim_nothing_to_do(name.c_str(), static_cast<long long>(n), n));
    return std::nullopt;
  }
  // The summary goes before the parameters change: it never describes
  // another run than the parameter file's.
  std::remove(summary_name.c_str());
  if (n != params.generations) {
    params.generations = n;
    if (!replace_params_file(params, name + ".params")) {
      return tell::sim_params_write_failed((name + ".params").c_str());
    }
  }
  tell_note(observer, tell::sim_resuming(name.c_str(), -1, 0LL, n));
  files.checkpoint = open_regular(checkpoint_name, "w").file;
  if (files.checkpoint == nullptr) return tell::sim_checkpoint_unwritable(checkpoint_name.c_str());
  // The header stays, so that the run is still one that started.
  const auto header = static_cast<long long>(header_line().size());
  if (ftruncate(fileno(files.trajectory.file), static_cast<off_t>(header)) != 0 ||
      std::fseek(files.trajectory.file, 0, SEEK_END) != 0) {
    return tell::sim_output_unmodifiable(name.c_str());
  }
  files.trajectory.keep = header;
  files.trajectory.tail = 0;
  structure_history structure;
  if (!params.demography.empty()) {
    if (auto problem = structure_of_params(params, name + ".params", structure)) return problem;
  }
  if (structure.demes.size() > 1) {
    if (auto failure = open_deme_files(structure, name, files)) return failure;
    deme_population demes = starting_demes(structure, params.history_start, initial_of_demes(params), params.starts);
    return run_single_demes(params, structure, files, 0, nullptr, demes, watched, observer);
  }
  population_counts current = params.initial;
  return run_single(params, files, 0, 0, current, watched, observer);
}

// Takes the request of a resume and the run's locked trajectory (which
// holds its header); continues the single run.
std::optional<message> resume_single_run(const run_request& request, run_files& files,
                                         const run_observer& observer) {
  const std::string& trajectory_name = files.trajectory_name;
  const std::string params_name = trajectory_name + ".params";
  const std::string checkpoint_name = trajectory_name + ".checkpoint";
  const std::string summary_name = trajectory_name + ".summary.tsv";
  sim_params params;
  if (auto problem = read_params_file(params_name, params)) return problem;
  if (params.record_every == 0) return rerun_from_start(request, params, files, observer);

  population_counts current{};
  population_counts next{};
  run_conditions watched = sim_conditions(params);
  const checkpoint_reading record = read_checkpoint(files.trajectory.file, current, next);
  if (record.result != checkpoint_reading::outcome::restored) {
    // A stop condition that held at the start leaves no record.
    if (!watched.given.empty()) {
      restore_reached_from(checkpoint_name, watched, -1);
      if (stop_condition(watched) >= 0) {
        return already_stopped(trajectory_name, params, watched, params.initial, observer, -1);
      }
    }
    return rerun_from_start(request, params, files, observer);
  }
  files.checkpoint = open_regular(checkpoint_name, "r+").file;
  if (files.checkpoint == nullptr) return tell::sim_checkpoint_unreadable(checkpoint_name.c_str());
  const auto close_checkpoint = [&files] {
    std::fclose(files.checkpoint);
    files.checkpoint = nullptr;
  };
  long long complete_size = 0;
  const auto line = find_checkpoint_line(files.checkpoint, record.label, complete_size);
  if (!line) {
    close_checkpoint();
    return tell::sim_no_checkpoint_line(checkpoint_name.c_str(), record.label);
  }
  // The conditions reached up to the record go on; those reached after it
  // are found again as the run goes on from it.
  if (!watched.given.empty()) {
    restore_reached_from(files.checkpoint, watched, record.label);
    if (stop_condition(watched) >= 0) {
      close_checkpoint();
      return already_stopped(trajectory_name, params, watched, current, observer, record.label);
    }
  }
  const int32_t n = request.generations.value_or(params.generations);
  const int64_t done = line->generations_done;
  // The records are complete when the last one is the last of the record
  // rule for the parameter file's n; when it holds the last population too,
  // it gives the summary (a kill between it and the summary left none).
  const auto last = last_record_of(params.generations, params.record_every);
  const bool complete = last && record.label == last->first && done == last->second;
  bool has_summary = file_exists(summary_name);
  // A kill after a record's last count and before its line end (the line
  // end goes with the next write) leaves the record whole but its line
  // open: a run found complete here writes nothing more, so it ends it.
  if (complete && n <= done && !end_last_line(files.trajectory.file)) {
    close_checkpoint();
    return tell::sim_output_unmodifiable(trajectory_name.c_str());
  }
  if (complete && !has_summary && done == params.generations && n <= done) {
    deme_population demes;
    auto failure = last_demes(params, trajectory_name, record.label, demes);
    if (!failure) failure = write_single_summary(params, watched, current, summary_name, demes.demes);
    if (failure) {
      close_checkpoint();
      return failure;
    }
    has_summary = true;
  }
  // Killed between the last generation's record and the final record the
  // rule adds after it (labelled n, the same population): the run goes on
  // from its record with no generation left, which writes that final record
  // and the summary.
  const bool final_due = last && n == params.generations && last->first == n && last->second == n &&
                         done == n && record.label != n;
  if (!final_due && (n <= done || (complete && has_summary && n == params.generations))) {
    close_checkpoint();
    const int64_t ran = complete && has_summary ? std::max<int64_t>(done, params.generations) : done;
    tell_note(observer, tell::sim_nothing_to_do(trajectory_name.c_str(), static_cast<long long>(ran), n));
    return std::nullopt;
  }
  // The summary goes before the parameters change: it never describes
  // another run than the parameter file's and the records'.
  std::remove(summary_name.c_str());
  if (n != params.generations) {
    params.generations = n;
    if (!replace_params_file(params, params_name)) {
      close_checkpoint();
      return tell::sim_params_write_failed(params_name.c_str());
    }
  }
  tell_note(observer, tell::sim_resuming(trajectory_name.c_str(), record.label,
                                         static_cast<long long>(done), n));
  // A kill inside a checkpoint line leaves a partial line: it is cut off, so
  // that the next line starts a line of its own.
  if (ftruncate(fileno(files.checkpoint), static_cast<off_t>(complete_size)) != 0 ||
      std::fseek(files.checkpoint, 0, SEEK_END) != 0) {
    close_checkpoint();
    return tell::sim_checkpoint_unwritable(checkpoint_name.c_str());
  }
  structure_history structure;
  if (!params.demography.empty()) {
    if (auto problem = structure_of_params(params, params_name, structure)) {
      close_checkpoint();
      return problem;
    }
  } else if (auto problem = check_deme_lines(params, params_name, nullptr)) {
    close_checkpoint();
    return problem;
  }
  if (!add_resume_record(files.trajectory, record.label, current)) return write_failure(files);
  if (structure.demes.size() > 1) {
    deme_population demes;
    if (auto failure = reopen_deme_files(structure, trajectory_name, record.label, files, demes)) return failure;
    return run_single_demes(params, structure, files, done, &*line, demes, watched, observer);
  }
  return run_single(params, files, done, line->draws, current, watched, observer);
}

}  // namespace

std::optional<message> resume_run(const run_request& request, const run_observer& observer) {
  const std::string& name = request.output;
  const std::string batch_name = name + ".batch";
  // One lock, on OUT, covers every file of the name, whichever kind of run
  // holds it; it is taken before the kind is looked at. A batch of an
  // earlier version kept no file OUT: it is created for the lock.
  run_files files;
  files.trajectory_name = name;
  switch (open_locked_output(name, false, file_exists(batch_name), files.trajectory)) {
    case trajectory_opening::opened: break;
    case trajectory_opening::in_use: return tell::sim_output_in_use(name.c_str());
    case trajectory_opening::not_regular: return tell::sim_not_regular("output file", name.c_str());
    case trajectory_opening::cannot_open: return tell::sim_output_unmodifiable(name.c_str());
  }
  if (auto refusal = refuse_irregular_run_files(name)) return refusal;
  if (file_exists(batch_name)) return resume_batch(request, observer);
  // A fresh run writes its header once its parameter file is whole.
  if (!begins_with_header(files.trajectory.file)) return tell::sim_never_started(name.c_str());
  return resume_single_run(request, files, observer);
}

}  // namespace twolocus
