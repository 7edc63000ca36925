// twolocus-sim's command line, read into a plain struct. Every value is read
// whole and checked; the first problem is one line on standard error naming
// the option (exit status 1), before anything is written.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

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
  sim_params params;          // everything else of the model and the run
};

// Takes the command line; fills `options`. Returns nothing when the run
// should go on, or the exit status after printing why it should not.
std::optional<int> read_sim_options(int argc, char** argv, sim_options& options);

// The text of --help.
extern const char* const sim_help_text;

}  // namespace twolocus
