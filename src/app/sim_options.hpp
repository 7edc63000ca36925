// twolocus-sim's command line, read into a plain struct by the table of
// parameters. Every value is read whole and checked; the first problem is
// one message naming the option, before anything is written.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "run/messages.hpp"
#include "run/request.hpp"

namespace twolocus {

struct sim_options {
  enum class action { fresh, resume, resolve, print_fitness, help, version };
  action what = action::fresh;
  run_request run;  // what the run is asked to do
};

// Takes the command line; fills `options`. Returns nothing when the run
// should go on, or the message that says why it should not (nothing is
// printed).
std::optional<message> read_sim_options(int argc, char** argv, sim_options& options);

// The text of --help.
extern const char* const sim_help_text;

}  // namespace twolocus
