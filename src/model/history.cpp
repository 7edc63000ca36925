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

std::optional<history_problem> structure_of(const demography& model, structure_history& structure) {
  structure = structure_history{};
  const double g = model.generation_time;
  const auto index_of = [&model](const std::string& name) {
    for (size_t d = 0; d < model.demes.size(); ++d) {
      if (model.demes[d].name == name) return static_cast<int>(d);
    }
    return -1;
  };
  for (size_t d = 0; d < model.demes.size(); ++d) {
    deme_history history;
    if (auto problem = history_of(model, d, history)) return problem;
    const deme& source = model.demes[d];
    structure.names.push_back(source.name);
    structure.demes.push_back(history);
    structure.start.push_back(source.start_time / g);
    structure.end.push_back(source.epochs.back().end_time / g);
    std::vector<int> ancestors;
    for (const std::string& name : source.ancestors) ancestors.push_back(index_of(name));
    structure.ancestors.push_back(ancestors);
    structure.proportions.push_back(source.proportions);
  }
  for (const deme_migration& m : model.migrations) {
    structure.migrations.push_back({index_of(m.source), index_of(m.dest), m.start_time / g, m.end_time / g, m.rate});
  }
  for (const deme_pulse& p : model.pulses) {
    structure_history::pulse pulse;
    for (const std::string& name : p.sources) pulse.sources.push_back(index_of(name));
    pulse.dest = index_of(p.dest);
    pulse.time = p.time / g;
    pulse.proportions = p.proportions;
    structure.pulses.push_back(pulse);
  }
  return std::nullopt;
}

bool deme_exists(const structure_history& structure, size_t deme, double time) {
  const double at = std::max(time, 0.0);
  return structure.end[deme] <= at && at < structure.start[deme];
}

namespace {

// Takes a source list and a deme and a probability; adds the probability
// to the deme's entry (made when missing).
void add_source(std::vector<parent_source>& sources, int deme, double probability) {
  for (parent_source& source : sources) {
    if (source.deme == deme) {
      source.probability += probability;
      return;
    }
  }
  sources.push_back({deme, probability});
}

}  // namespace

void plan_generation(const structure_history& structure, double time, std::vector<deme_generation>& plan) {
  const size_t count = structure.demes.size();
  plan.resize(count);
  const double at = std::max(time, 0.0);
  for (size_t d = 0; d < count; ++d) {
    deme_generation& deme = plan[d];
    deme.sources.clear();
    deme.exists = deme_exists(structure, d, time);
    deme.size = deme.exists ? size_of(structure.demes[d], at) : 0;
    if (!deme.exists) continue;
    // Its first generation: the last whole time below its start.
    if (!structure.ancestors[d].empty() && at == std::ceil(structure.start[d]) - 1) {
      for (size_t k = 0; k < structure.ancestors[d].size(); ++k) {
        add_source(deme.sources, structure.ancestors[d][k], structure.proportions[d][k]);
      }
      continue;
    }
    double own = 1.0;
    for (const structure_history::migration& m : structure.migrations) {
      if (m.dest == static_cast<int>(d) && m.end <= at && at < m.start && m.rate > 0) {
        add_source(deme.sources, m.source, m.rate);
        own -= m.rate;
      }
    }
    if (!deme.sources.empty()) add_source(deme.sources, static_cast<int>(d), std::max(own, 0.0));
    for (const structure_history::pulse& pulse : structure.pulses) {
      if (pulse.dest != static_cast<int>(d) || at != std::ceil(pulse.time) - 1) continue;
      double taken = 0;
      for (const double proportion : pulse.proportions) taken += proportion;
      if (deme.sources.empty()) deme.sources.push_back({static_cast<int>(d), 1.0});
      for (parent_source& source : deme.sources) source.probability *= 1 - taken;
      for (size_t k = 0; k < pulse.sources.size(); ++k) {
        add_source(deme.sources, pulse.sources[k], pulse.proportions[k]);
      }
    }
    // Every parent of its own: no sources to draw.
    if (deme.sources.size() == 1 && deme.sources[0].deme == static_cast<int>(d)) deme.sources.clear();
  }
}

std::optional<history_problem> check_structure_sizes(const structure_history& structure, int64_t start,
                                                     int64_t generations) {
  for (size_t d = 0; d < structure.demes.size(); ++d) {
    // The run's birth times at which the deme exists.
    const double oldest = std::min(static_cast<double>(start), std::ceil(structure.start[d]) - 1);
    const double newest = std::max(static_cast<double>(std::max<int64_t>(start - generations, 0)),
                                   std::ceil(structure.end[d]));
    if (oldest < newest) continue;
    deme_history within = structure.demes[d];
    if (auto problem = check_sizes(within, static_cast<int64_t>(oldest),
                                   static_cast<int64_t>(oldest - newest))) {
      problem->deme = structure.names[d];
      return problem;
    }
  }
  return std::nullopt;
}

}  // namespace twolocus
