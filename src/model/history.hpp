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

#include "model/changes.hpp"
#include "model/demes.hpp"
#include "model/engines.hpp"
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
  change_cursor changes;  // the run's changes, applied to `base`
};

// Takes the schedule, an engine (set_model'd by nothing else during the
// run) and the generation about to run; brings the engine's model to that
// generation's.
template <typename engine_type>
void before_generation(history_schedule& schedule, engine_type& engine, int64_t generation) {
  const double time = static_cast<double>(schedule.start - generation - 1);
  const size_t epoch = epoch_at(*schedule.history, time);
  if (apply_changes_by(schedule.changes, generation, schedule.base)) schedule.epoch = static_cast<size_t>(-1);
  if (epoch != schedule.epoch) {
    model_params model = schedule.base;
    model.cloning = schedule.history->epochs[epoch].cloning;
    model.selfing = schedule.history->epochs[epoch].selfing;
    set_model(engine, model);
    schedule.epoch = epoch;
  }
  engine.model.generation_size = size_of(*schedule.history, time);
}

// A model of several demes on a run's time axis: each deme's history and
// existence (the birth times t with end <= t < start), its ancestors, and
// the migrations and pulses between demes, all in generations before time 0.
struct structure_history {
  struct migration {
    int source = 0;
    int dest = 0;
    double start = 0.0;  // active for birth times t with end <= t < start
    double end = 0.0;
    double rate = 0.0;
  };
  struct pulse {
    std::vector<int> sources;
    int dest = 0;
    double time = 0.0;  // acts on the generation born at the last whole time below it
    std::vector<double> proportions;
  };
  std::vector<std::string> names;
  std::vector<deme_history> demes;
  std::vector<double> start;  // each deme's start time (may be infinite)
  std::vector<double> end;    // each deme's end time
  std::vector<std::vector<int>> ancestors;
  std::vector<std::vector<double>> proportions;
  std::vector<migration> migrations;
  std::vector<pulse> pulses;  // in the model's order (the oldest first)
};

// Takes a resolved model; returns its demes' histories, or the problem of
// an epoch that cannot be simulated (the deme named).
std::optional<history_problem> structure_of(const demography& model, structure_history& structure);

// Takes a structure and a birth time; returns whether deme d exists then
// (below time 0 as at time 0).
bool deme_exists(const structure_history& structure, size_t deme, double time);

// Takes a structure and the birth time of a generation's offspring; fills
// each deme's generation (`plan` is resized to the demes): whether
// offspring are born in it, their number, and where their parents come
// from: in a deme's first generation its ancestors by their proportions;
// otherwise its own deme and the demes migrating into it (by their rates),
// with the pulses that act then applied in the model's order, each taking
// its proportions of what was there (migration is conditional on not
// arriving by a pulse). `sources` is left empty when every parent is of
// the deme itself.
void plan_generation(const structure_history& structure, double time, std::vector<deme_generation>& plan);

// Takes a structure, the run's start and its generations; returns the
// problem (the deme named) of the first epoch in which a generation would
// have a size below 1 or above 2147483647.
std::optional<history_problem> check_structure_sizes(const structure_history& structure, int64_t start,
                                                     int64_t generations);

// A run's generations as they follow from a structure: each generation's
// plan (which demes exist, their sizes and parents), and each deme's model
// made from the run's other parameters for that deme (`base`), set on its
// engine when its epoch changes.
struct structure_schedule {
  const structure_history* structure = nullptr;
  int64_t start = 0;
  std::vector<model_params> base;
  std::vector<size_t> epoch;  // set on each deme's engine (none yet: -1)
  change_cursor changes;      // the run's changes, applied to `base`
  // Each deme's fitness table in `base`, when the demes' differ (a deme's
  // own table, or a change of one deme's); none when they are the same.
  std::vector<const fitness_table*> deme_fitness;
};

// Takes the schedule, the demes' engines and the generation about to run;
// brings the plan and each existing deme's model to that generation's.
template <typename engine_type>
void before_generation(structure_schedule& schedule, deme_engines<engine_type>& engines,
                       int64_t generation) {
  const double time = static_cast<double>(schedule.start - generation - 1);
  plan_generation(*schedule.structure, time, engines.plan);
  schedule.epoch.resize(engines.engines.size(), static_cast<size_t>(-1));
  if (apply_changes_by(schedule.changes, generation, schedule.base)) {
    schedule.epoch.assign(engines.engines.size(), static_cast<size_t>(-1));
  }
  for (size_t d = 0; d < engines.engines.size(); ++d) {
    // A deme's model serves its own offspring and, as a source, others'.
    const auto& history = schedule.structure->demes[d];
    const size_t epoch = epoch_at(history, time);
    if (epoch != schedule.epoch[d]) {
      model_params model = schedule.base[d];
      model.cloning = history.epochs[epoch].cloning;
      model.selfing = history.epochs[epoch].selfing;
      set_model(*engines.engines[d], model);
      schedule.epoch[d] = epoch;
    }
    engines.engines[d]->model.generation_size = engines.plan[d].size;
  }
}

// A run's generations without a history, with changes: the model, to
// which the changes are applied as their generations come.
struct changes_schedule {
  model_params model;
  change_cursor changes;
};

// Takes the schedule, an engine and the generation about to run; applies
// the changes that act by then and sets the engine's model when one did.
template <typename engine_type>
void before_generation(changes_schedule& schedule, engine_type& engine, int64_t generation) {
  if (apply_changes_by(schedule.changes, generation, schedule.model)) set_model(engine, schedule.model);
}

}  // namespace twolocus
