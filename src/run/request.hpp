// What a twolocus-sim run is asked to do, read from the command line (or
// from the Python module's keywords): the parameters, the inputs to read,
// the output's name and, for a batch, its replicates. The run library
// starts, resumes or batches runs from it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "io/sim_params.hpp"
#include "model/watch.hpp"

namespace twolocus {

struct run_request {
  std::string output;         // -o, or the run that --resume continues
  std::optional<int32_t> generations;
  std::string fitness_file;   // --fitness or --fitness-values
  bool fitness_values = false;
  int column = 1;
  double s = 0.0;
  double k = 0.0;
  std::string initial_file;   // --initial FILE[:LABEL]
  std::optional<int32_t> initial_label;
  // A batch: replicates F to F + R - 1, each with its seed derived from
  // --seed and its number (see replicate_seed), on T threads.
  std::optional<int64_t> replicates;
  int64_t first_replicate = 0;
  int threads = 1;
  std::string trajectories;   // --trajectories DIR: each replicate's files there
  // --stop and --watch in the order given; params.conditions holds the
  // distinct ones.
  std::vector<condition_text> condition_texts;
  sim_params params;          // everything else of the model and the run
  // --demography FILE: the population's history (replaces -N); the run
  // starts --generations N generations before time 0, or --burn-in G
  // generations before the model's oldest finite time.
  std::string demography_file;
  std::optional<int64_t> burn_in;
};

}  // namespace twolocus
