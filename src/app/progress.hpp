// twolocus-sim's progress on standard error when it is a terminal: a single
// run's generations or a batch's replicates as a bar, redrawn at most ten
// times a second, ended by a line end; nothing when standard error is not
// a terminal.
#pragma once

#include <chrono>
#include <cstdint>

#include "run/observer.hpp"

namespace twolocus {

struct progress_line {
  bool shown = false;
  int64_t before = -1;   // a batch's replicates done before this process (-1: not yet known)
  std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point drawn{};
};

// Takes the line (it lives as long as the observer); returns an observer
// whose notes go to standard error and whose progress draws the bar there when standard error is a terminal.
run_observer terminal_observer(progress_line& line);

}  // namespace twolocus
