// One deme's history on a run's time axis: its epochs in generations before
// time 0 (the resolved model's times divided by its generation time), the
// size of every generation and the model each generation runs.
//
// A run with a history starts `start` generations before time 0 and runs
// forward: generation g's offspring are born `start - g - 1` generations
// before time 0 (the run's last generation, g = start - 1, ends at time 0;
// a run extended beyond it goes on as the model stands at time 0). An epoch
// spans the birth times t with end <= t < start (the Demes format's
// half-open interval), so an epoch whose start falls between whole
// generations first acts in the generation born at the first whole time
// below it. Its size function gives the size at the birth time, rounded to
// the nearest whole number (halves up): that generation's N.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "model/demography.hpp"
#include "model/model.hpp"

namespace twolocus {

enum class size_shape { constant, exponential, linear };

struct history_epoch {
  double start = 0.0;  // generations before time 0 (the older end; may be infinite)
  double end = 0.0;
  double start_size = 0.0;
  double end_size = 0.0;
  size_shape shape = size_shape::constant;
  double selfing = 0.0;
  double cloning = 0.0;
};

struct deme_history {
  std::vector<history_epoch> epochs;  // the oldest first
};

// Why a deme of a valid model cannot be run: the deme, the epoch (from 1)
// and what is wrong, in words.
struct history_problem {
  std::string deme;
  int epoch = 0;
  std::string what;
};

// Takes a resolved model and a deme's index; returns its history, or the
// problem of an epoch that cannot be simulated: a size function other than
// constant, exponential and linear.
std::optional<history_problem> history_of(const demography& model, size_t deme, deme_history& history);

// Takes a history and a birth time (generations before time 0; below 0 it
// is taken as 0); returns the index of the epoch it falls in.
size_t epoch_at(const deme_history& history, double time);

// Takes an epoch and a birth time within it; returns the size its function
// gives there (as the Demes format writes the exponential: start_size *
// exp(log(end_size / start_size) * dt), dt the share of the epoch gone by;
// linear: start_size + (end_size - start_size) * dt).
double size_at(const history_epoch& epoch, double time);

// Takes a size; returns the generation size it makes: the nearest whole
// number, halves rounded up (0 or less below one half; 2^31 or more is not
// a size: see check_sizes).
int64_t rounded_size(double size);

// Takes a history, the run's start and its number of generations; returns
// the problem of the first epoch in which a generation of the run (or the
// parents before generation 0) would have a size below 1 or above
// 2147483647 (the deme's name is left to the caller).
std::optional<history_problem> check_sizes(const deme_history& history, int64_t start, int64_t generations);

// Takes a history and a birth time; returns the generation size there.
int32_t size_of(const deme_history& history, double time);

// Takes the model's oldest finite time (generations before time 0) and a
// burn-in; returns the run's start: the whole generation at or before that
// time, plus the burn-in.
int64_t start_after_burn_in(double oldest, int64_t burn_in);

// The oldest finite time of a resolved model, in generations: the largest
// finite deme start, epoch end, migration start or end, or pulse time (0
// when there is none).
double oldest_finite_time(const demography& model);

// A run's generations as they follow from a history: the model of each
// generation, made from the run's other parameters (`base`), set on the
// engine when the epoch changes (its rates) and its size every generation.
struct history_schedule {
  const deme_history* history = nullptr;
  int64_t start = 0;
  model_params base;
  size_t epoch = static_cast<size_t>(-1);  // set on the engine (none yet)
};

// Takes the schedule, an engine (set_model'd by nothing else during the
// run) and the generation about to run; brings the engine's model to that
// generation's.
template <typename engine_type>
void before_generation(history_schedule& schedule, engine_type& engine, int64_t generation) {
  const double time = static_cast<double>(schedule.start - generation - 1);
  const size_t epoch = epoch_at(*schedule.history, time);
  if (epoch != schedule.epoch) {
    model_params model = schedule.base;
    model.cloning = schedule.history->epochs[epoch].cloning;
    model.selfing = schedule.history->epochs[epoch].selfing;
    set_model(engine, model);
    schedule.epoch = epoch;
  }
  engine.model.generation_size = size_of(*schedule.history, time);
}

}  // namespace twolocus
