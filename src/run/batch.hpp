// Batches of replicates: replicates F to F + R - 1 of one parameter set,
// each with its seed derived from the batch's (replicate_seed), run on T
// threads (one pool, for the program and the Python module), each
// replicate's summary row handed on as it ends; and the batch of the
// program, whose rows stream to OUT.summary.tsv (sorted by replicate at the
// end) with its description OUT.batch, fresh or resumed.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "io/sim_params.hpp"
#include "run/files.hpp"
#include "run/messages.hpp"
#include "run/observer.hpp"
#include "run/request.hpp"

namespace twolocus {

// The replicates to run: parameters (seed: the batch's), numbers first to
// first + count - 1 but those marked in `kept` (one bit each, from the
// first; empty: none), on `threads` threads, each replicate's run files in
// `trajectories` (empty: none).
struct replicate_plan {
  sim_params params;
  int64_t first = 0;
  int64_t count = 0;
  int threads = 1;
  std::string trajectories;
  std::vector<uint64_t> kept;
};

// What receives each replicate's row, under the batch's lock: its number
// and its summary line. Returns false when it could not keep it (the
// batch then stops, failing with sim_summary_write_failed of `name`).
struct row_sink {
  std::function<bool(int64_t replicate, const std::string& row)> keep;
  std::string name;  // what the rows are written to, for the message
};

// Takes the plan, the sink and the observer (its `replicates` hears the
// count done, its `proceed` may interrupt); runs the replicates on the
// plan's threads, each on an engine of its thread's own. Returns how the
// batch ended: one message for the batch when a replicate failed, memory
// ran out or the sink failed.
run_end run_replicates(const replicate_plan& plan, const row_sink& sink, const run_observer& observer);

// Takes a fresh batch's request, its parameters (inputs read) and its
// inputs; refuses replicate files over an input or the batch's files, takes
// the lock of OUT, removes an older run's files, writes OUT.params and
// OUT.batch, and runs the batch with its rows streamed to
// OUT.summary.tsv, sorted at the end. Returns the failure, or nothing.
std::optional<message> start_batch(const run_request& request, const sim_params& params,
                                   const std::vector<input_file>& inputs,
                                   const run_observer& observer);

// Takes a resume's request of a batch (its lock on OUT held); keeps the
// rows already written and runs the replicates without one. Returns the
// failure, or nothing.
std::optional<message> resume_batch(const run_request& request, const run_observer& observer);

}  // namespace twolocus
