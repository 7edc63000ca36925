// twolocus-sim's command line, read into a plain struct. Every value is read
// whole and checked; the first problem is one line on standard error naming
// the option (exit status 1), before anything is written.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "io/sim_params.hpp"
#include "model/model.hpp"

namespace twolocus {

struct sim_options {
  enum class action { fresh, resume, help, version };
  action what = action::fresh;
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
};

// Takes the command line; fills `options`. Returns nothing when the run
// should go on, or the exit status after printing why it should not.
std::optional<int> read_sim_options(int argc, char** argv, sim_options& options);

// Takes the batch's seed and a replicate's number (0 to 4294967295);
// returns the replicate's seed, 1 to 2147483647: 1 + splitmix64(x) mod
// 2147483647 with x = (the seed as an unsigned 32-bit number) * 2^32 + the
// replicate's number, splitmix64 being the finaliser of that generator
// applied to x + 0x9e3779b97f4a7c15.
int32_t replicate_seed(int32_t seed, int64_t replicate);

// The text of --help.
extern const char* const sim_help_text;

}  // namespace twolocus
