// A twolocus-sim run of a model of several demes: the structure read from
// the resolved model and checked for what a run can simulate, the run's
// time axis, each deme's starting population and its trajectory OUT@NAME
// (records of the generations in which it exists; OUT holds the demes
// summed), and the run itself on one engine per deme.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "io/sim_checkpoint.hpp"
#include "io/sim_summary.hpp"
#include "model/demes.hpp"
#include "model/history.hpp"
#include "model/random.hpp"
#include "run/changes.hpp"
#include "run/engines.hpp"
#include "run/inputs.hpp"
#include "run/messages.hpp"
#include "run/observer.hpp"
#include "run/request.hpp"
#include "run/run_files.hpp"

namespace twolocus {

// Takes a run's parameters (with a demography) and its parameter file's
// name; fills `structure` from them and returns its number of demes in
// `count`. Returns the failure, or nothing.
std::optional<message> structure_of_params(const sim_params& params, const std::string& params_name,
                                           structure_history& structure);

// Takes a run's parameters, their file's name and their structure (nullptr:
// a run without a demography); checks that every change names a deme of
// the model (or all) and every start a deme of several that exists at the
// run's start. Returns the failure, or nothing.
std::optional<message> check_deme_lines(const sim_params& params, const std::string& params_name,
                                        const structure_history* structure);

// Takes a run's parameters; returns its summary's varying columns: its
// conditions and, for a model of several demes, the demes' names (none
// for a run of one population).
summary_columns sim_summary_columns(const sim_params& params);

// Takes the structure, the output name and a record's label; reads each
// deme's record of that label from OUT@NAME into `population` (0 for a deme
// that has none: it did not exist then), and sums them. Writes nothing.
// Returns the failure, or nothing.
std::optional<message> read_deme_records(const structure_history& structure, const std::string& output,
                                         int32_t label, deme_population& population);

// Takes a deme's file name's output and the deme's name; returns OUT@NAME.
std::string deme_file_name(const std::string& output, const std::string& deme);

// Takes the structure, the run's start, the counts every deme existing
// then starts from (the run's --initial, or nothing: all of its size in
// genotype 1111) and the demes' own starts; returns the population before
// generation 0.
deme_population starting_demes(const structure_history& structure, int64_t start,
                               const population_counts* initial, std::span<const deme_start> starts);

// Takes a run's parameters; returns the counts every deme starts from: the
// run's --initial counts, or nothing (all 0 in the parameter file: each
// deme starts with its size in genotype 1111).
const population_counts* initial_of_demes(const sim_params& params);

// Takes the structure, the output name and the files; creates every deme's
// trajectory (truncated, with its header, flushed). Returns the failure, or
// nothing.
std::optional<message> open_deme_files(const structure_history& structure, const std::string& output,
                                       run_files& files);

// Takes the structure, the output name, the record's label, the files and
// the population; opens every deme's trajectory to append, reads into the
// population each deme's record of that label (0 for a deme that has none:
// it did not exist then), and appends that record again, as a resume does
// to OUT. Returns the failure, or nothing.
std::optional<message> reopen_deme_files(const structure_history& structure, const std::string& output,
                                         int32_t label, run_files& files, deme_population& population);

// Takes the parameters, their structure, the first generation to run, the
// checkpoint line the run goes on from (nullptr: a fresh run) and a
// function of the demes' engines and their schedule; makes one engine per
// deme of the parameters' kind, deme d's seeded with deme_seed and
// continued past the draws the line gives, each set to the run's model,
// with the plan of the generation before `first` (for a final record made
// with no generation left to run). Returns what the function returns.
template <typename function_type>
decltype(auto) with_structure_engines(const sim_params& params, const structure_history& structure,
                                      int64_t first, const checkpoint_line* line, function_type&& run) {
  const size_t count = structure.demes.size();
  return with_deme_engines(params.engine, count, [&](auto& engines) {
    structure_schedule schedule{&structure, params.history_start, {}, {}, {&params.changes, 0}, {}};
    plan_generation(structure, static_cast<double>(params.history_start - first), engines.plan);
    for (size_t d = 0; d < count; ++d) {
      const uint64_t draws =
          line == nullptr ? 0 : d == 0 ? line->draws : d - 1 < line->more_draws.size() ? line->more_draws[d - 1] : 0;
      continue_engine(*engines.engines[d], deme_seed(params.seed, d), draws);
      set_model(*engines.engines[d], sim_model(params));
      schedule.base.push_back(sim_model(params));
    }
    if (demes_differ_in_fitness(params)) {
      for (const model_params& model : schedule.base) schedule.deme_fitness.push_back(&model.fitness);
    }
    return run(engines, schedule);
  });
}

// Takes the parameters, their structure, the open files (or nullptr, for a
// replicate of a batch without --trajectories), the first generation to
// run, the checkpoint line the run goes on from (nullptr: a fresh run),
// the population before it, the conditions, the observer and whether its
// progress is for this run; runs it on one engine per deme (deme d's seed:
// deme_seed). Leaves the last population in `current`.
run_end run_structure(const sim_params& params, const structure_history& structure, run_files* files,
                      int64_t first, const checkpoint_line* line, deme_population& current,
                      run_conditions& watched, const run_observer& observer, bool show_progress);

}  // namespace twolocus
