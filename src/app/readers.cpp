#include "app/readers.hpp"

#include "app/messages.hpp"
#include "io/params.hpp"
#include "io/trajectory.hpp"

namespace twolocus {

void report_unknown_code(int code) { say::unknown_code(code); }

std::optional<int32_t> restore_checkpoint(std::FILE* file, const char* name,
                                          population_counts& current, population_counts& next) {
  using outcome = checkpoint_reading::outcome;
  const checkpoint_reading reading = read_checkpoint(file, current, next);
  if (reading.result == outcome::empty) {
    say::checkpoint_empty(name);
    return std::nullopt;
  }
  if (reading.result == outcome::only_header) {
    say::checkpoint_incomplete(name);
    return std::nullopt;
  }
  say::left_off(reading.last_label);
  std::fflush(nullptr);
  if (reading.last_entries) say::last_line_incomplete(name, *reading.last_entries);
  if (reading.result == outcome::neither_complete) {
    say::checkpoint_incomplete(name);
    return std::nullopt;
  }
  say::left_off(reading.label);
  std::fflush(nullptr);
  return reading.label;
}

bool read_params_head_reported(std::FILE* file, const char* name, run_params& params) {
  if (read_params_head(file, params)) return true;
  say::params_head_format(name);
  return false;
}

bool read_params_body_reported(std::FILE* file, const char* name, run_params& params,
                               std::optional<int32_t>& seed) {
  using outcome = params_body_reading::outcome;
  const params_body_reading reading = read_params_body(file, params, seed);
  switch (reading.result) {
    case outcome::read: return true;
    case outcome::line_format: say::params_line_format(reading.line, name); break;
    case outcome::rates_incomplete: say::rates_incomplete(name); break;
    case outcome::fitness_incomplete: say::fitness_incomplete(name); break;
  }
  return false;
}

}  // namespace twolocus
