#include "model/history.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

namespace twolocus {

std::optional<history_problem> history_of(const demography& model, size_t deme, deme_history& history) {
  const auto& source = model.demes[deme];
  history.epochs.clear();
  double start = source.start_time / model.generation_time;
  int number = 0;
  for (const deme_epoch& epoch : source.epochs) {
    ++number;
    history_epoch step;
    step.start = start;
    step.end = epoch.end_time / model.generation_time;
    step.start_size = epoch.start_size;
    step.end_size = epoch.end_size;
    step.selfing = epoch.selfing_rate;
    step.cloning = epoch.cloning_rate;
    if (epoch.size_function == "constant") {
      step.shape = size_shape::constant;
    } else if (epoch.size_function == "exponential") {
      step.shape = size_shape::exponential;
    } else if (epoch.size_function == "linear") {
      step.shape = size_shape::linear;
    } else {
      return history_problem{source.name, number,
                             "its size function [" + epoch.size_function +
                                 "] is not one twolocus-sim runs (constant, exponential, linear)"};
    }
    history.epochs.push_back(step);
    start = step.end;
  }
  return std::nullopt;
}

size_t epoch_at(const deme_history& history, double time) {
  const double at = std::max(time, 0.0);
  for (size_t i = 0; i < history.epochs.size(); ++i) {
    if (history.epochs[i].end <= at) return i;
  }
  return history.epochs.size() - 1;
}

double size_at(const history_epoch& epoch, double time) {
  if (epoch.shape == size_shape::constant || !std::isfinite(epoch.start) || epoch.start <= epoch.end) {
    return epoch.start_size;
  }
  const double at = std::clamp(time, epoch.end, epoch.start);
  const double dt = (epoch.start - at) / (epoch.start - epoch.end);
  if (epoch.shape == size_shape::linear) return epoch.start_size + (epoch.end_size - epoch.start_size) * dt;
  return epoch.start_size * std::exp(std::log(epoch.end_size / epoch.start_size) * dt);
}

int64_t rounded_size(double size) {
  if (!(size >= 0.5)) return 0;
  if (size >= 4294967296.0) return int64_t{1} << 32;
  return static_cast<int64_t>(std::floor(size + 0.5));
}

int32_t size_of(const deme_history& history, double time) {
  const double at = std::max(time, 0.0);
  const int64_t size = rounded_size(size_at(history.epochs[epoch_at(history, at)], at));
  return static_cast<int32_t>(std::clamp<int64_t>(size, 0, std::numeric_limits<int32_t>::max()));
}

std::optional<history_problem> check_sizes(const deme_history& history, int64_t start, int64_t generations) {
  // Each epoch's size is monotone in time: its extremes over the run are at
  // the first and last birth times of the run that fall in it.
  const double newest = static_cast<double>(std::max<int64_t>(start - generations, 0));
  const double oldest = static_cast<double>(start);  // the parents of generation 0
  for (size_t i = 0; i < history.epochs.size(); ++i) {
    const history_epoch& epoch = history.epochs[i];
    // The whole times t of the run with end <= t < start.
    const double first = std::min(oldest, std::ceil(epoch.start) - 1);
    const double last = std::max(newest, std::ceil(epoch.end));
    if (first < last) continue;
    for (const double time : {first, last}) {
      const double size = size_at(epoch, time);
      const int64_t rounded = rounded_size(size);
      if (rounded < 1 || rounded > std::numeric_limits<int32_t>::max()) {
        char text[160];
        std::snprintf(text, sizeof text, "its size %.17g at %.17g generations before time 0 rounds to %s",
                      size, time, rounded < 1 ? "0, below 1" : "more than 2147483647");
        return history_problem{"", static_cast<int>(i) + 1, text};
      }
    }
  }
  return std::nullopt;
}

int64_t start_after_burn_in(double oldest, int64_t burn_in) {
  return static_cast<int64_t>(std::ceil(oldest)) + burn_in;
}

double oldest_finite_time(const demography& model) {
  double oldest = 0;
  const auto take = [&](double time) {
    if (std::isfinite(time)) oldest = std::max(oldest, time);
  };
  for (const deme& d : model.demes) {
    take(d.start_time);
    for (const deme_epoch& e : d.epochs) take(e.end_time);
  }
  for (const deme_migration& m : model.migrations) {
    take(m.start_time);
    take(m.end_time);
  }
  for (const deme_pulse& p : model.pulses) take(p.time);
  return oldest / model.generation_time;
}

}  // namespace twolocus
