// A fresh twolocus-sim run: its inputs read and every file of its output
// name checked against them, then a single run (OUT, OUT.params,
// OUT.checkpoint, OUT.summary.tsv) or a batch (run/batch.hpp).
#pragma once

#include <cstdint>
#include <optional>

#include "run/messages.hpp"
#include "run/observer.hpp"
#include "run/request.hpp"
#include "model/history.hpp"
#include "run/run_files.hpp"

namespace twolocus {

// Takes a fresh run's request (its command line read and checked) and the
// observer; reads the inputs, refuses an output over one of them, and runs
// the single run or the batch. Returns the failure, or nothing.
std::optional<message> start_run(const run_request& request, const run_observer& observer);

// Takes a run's parameters, its open files, the first generation to run
// and the draws its stream made before it (at a resume; 0 and 0 for a fresh
// run), the population before it and the conditions; runs it on the
// engine its parameters name, notes a stop condition's end and writes its
// summary. Returns the failure, or nothing.
std::optional<message> run_single(const sim_params& params, run_files& files, int64_t first,
                                  uint64_t draws, population_counts& current, run_conditions& watched,
                                  const run_observer& observer);

// The same for a run of several demes: `line` is the checkpoint line the run
// goes on from (nullptr: a fresh run), and the summary describes the demes
// summed.
std::optional<message> run_single_demes(const sim_params& params, const structure_history& structure,
                                        run_files& files, int64_t first, const checkpoint_line* line,
                                        deme_population& current, run_conditions& watched,
                                        const run_observer& observer);

}  // namespace twolocus
