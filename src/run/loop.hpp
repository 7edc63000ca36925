// The one generation loop: every run of every program (a classic run, a
// twolocus-sim run or replicate, a run of the Python module) runs its
// generations here, with hooks that write (or keep) its records. One rule
// for when records are made and when a run ends.
#pragma once

#include <cstdint>
#include <span>

#include "model/engines.hpp"
#include "model/history.hpp"
#include "model/watch.hpp"

namespace twolocus {

enum class loop_end { finished, failed, interrupted };

// The counts a population's records hold: a deme's, or the demes' summed.
inline const population_counts& pooled(const population_counts& population) { return population; }
inline const population_counts& pooled(const deme_population& population) { return population.total; }

// The conditions checked on a population: one deme's counts, or the demes'
// (with each deme's counts for the conditions that name a deme).
inline condition_check check_population(run_conditions& watched, const population_counts& population,
                                        const fitness_table* fitness, int64_t label,
                                        std::span<const fitness_table* const> /*deme_fitness*/) {
  return check_conditions(watched, population, fitness, label);
}
inline condition_check check_population(run_conditions& watched, const deme_population& population,
                                        const fitness_table* fitness, int64_t label,
                                        std::span<const fitness_table* const> deme_fitness) {
  return check_conditions(watched, population.total, population.demes, fitness, label, deme_fitness);
}

// The schedule of a run whose model never changes: nothing to do before a
// generation. (A run with a history has a history_schedule.)
struct constant_schedule {};

template <typename engine_type>
void before_generation(constant_schedule& /*schedule*/, engine_type& /*engine*/, int64_t /*generation*/) {}

// Takes a schedule and the run's fitness table; returns the table its
// current model has (that of the generation about to run, or last run), the
// one the conditions read: a run's own (constant), or its first deme's.
inline const fitness_table& schedule_fitness(const constant_schedule& /*schedule*/, const fitness_table& fitness) {
  return fitness;
}
inline const fitness_table& schedule_fitness(const changes_schedule& schedule, const fitness_table& /*fitness*/) {
  return schedule.model.fitness;
}
inline const fitness_table& schedule_fitness(const history_schedule& schedule, const fitness_table& /*fitness*/) {
  return schedule.base.fitness;
}
inline const fitness_table& schedule_fitness(const structure_schedule& schedule, const fitness_table& fitness) {
  return schedule.base.empty() ? fitness : schedule.base.front().fitness;
}

// Takes a schedule; returns each deme's current fitness table when the
// demes' differ (none otherwise: every deme has the run's).
template <typename schedule_type>
std::span<const fitness_table* const> schedule_deme_fitness(const schedule_type& /*schedule*/) {
  return {};
}
inline std::span<const fitness_table* const> schedule_deme_fitness(const structure_schedule& schedule) {
  return schedule.deme_fitness;
}

// A run's generations as the loop sees them: generations `first` to n - 1
// are run; a record every K generations (0: none); the fitness the
// conditions read (mean_fitness).
struct loop_plan {
  int64_t first = 0;
  int64_t generations = 0;
  int64_t record_every = 0;
  const fitness_table* fitness = nullptr;
  std::span<const fitness_table* const> deme_fitness;  // each deme's, when they differ
};

// Takes an engine set to the run's model and seeded (or continued), the
// plan, the population before generation `first` (in `current`: one deme's
// counts, or a deme_population whose conditions read the demes summed), the run's
// conditions, the hooks and the schedule, which brings the engine's model
// to each generation's before it runs:
//   bool proceed()                           before each generation; false interrupts
//   bool reached(int64_t label)              conditions were first reached at label
//   bool record(int64_t label, int64_t done, const population_counts& counts)
// (reached and record return false on a failure, which ends the loop).
// Runs generations first to n - 1: the conditions are checked on the start
// when `first` is 0 and after every generation; a record labelled g (g + 1
// generations done) is made after generation g when g % K == 0 or a stop
// condition holds, which ends the run there; a final record labelled n (n
// done) follows unless n % K == 0 or the run stopped (a run resumed past n
// makes it with the label it stands at). Leaves the last population in
// `current`.
template <typename engine_type, typename population_type, typename hooks_type, typename schedule_type>
loop_end run_generations(engine_type& engine, const loop_plan& plan, population_type& current,
                         run_conditions& watched, hooks_type& hooks, schedule_type& schedule) {
  const int64_t n = plan.generations;
  const int64_t every = plan.record_every;
  const bool recording = every > 0;
  const bool watching = !watched.given.empty();
  population_type next = current;
  int64_t generation = plan.first;
  bool stopped = false;
  if (watching && plan.first == 0) {
    // The start is judged in the model of the first generation: a deme's own
    // table, or a change acting in generation 0, is in force already.
    before_generation(schedule, engine, 0);
    const condition_check start = check_population(watched, current, plan.fitness, -1, plan.deme_fitness);
    if (start.reached > 0 && !hooks.reached(-1)) return loop_end::failed;
    stopped = start.stop;
  }
  for (; generation < n && !stopped; ++generation) {
    if (!hooks.proceed()) return loop_end::interrupted;
    before_generation(schedule, engine, generation);
    run_generation(engine, current, next, generation);
    if (watching) {
      const condition_check check = check_population(watched, next, plan.fitness, generation, plan.deme_fitness);
      if (check.reached > 0 && !hooks.reached(generation)) return loop_end::failed;
      stopped = check.stop;
    }
    if (recording && (generation % every == 0 || stopped) &&
        !hooks.record(generation, generation + 1, next)) {
      return loop_end::failed;
    }
    current = next;
  }
  if (!stopped && recording && generation % every != 0 &&
      !hooks.record(generation, generation, next)) {
    return loop_end::failed;
  }
  return loop_end::finished;
}

// The same for a run whose model never changes.
template <typename engine_type, typename population_type, typename hooks_type>
loop_end run_generations(engine_type& engine, const loop_plan& plan, population_type& current,
                         run_conditions& watched, hooks_type& hooks) {
  constant_schedule constant;
  return run_generations(engine, plan, current, watched, hooks, constant);
}

}  // namespace twolocus
