// A twolocus-sim run kept in memory instead of written to files (the
// Python module's simulate): the generations, seeds and records of a
// single run of the program, with or without a history, of one deme or
// several; the records of the whole population and, for several demes,
// each deme's records of the generations in which it exists, as OUT and
// OUT@NAME hold them.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "model/demes.hpp"
#include "model/history.hpp"
#include "model/watch.hpp"
#include "run/loop.hpp"
#include "run/run_files.hpp"

namespace twolocus {

// Records as a trajectory holds them: each one's label, generations done
// and 81 counts.
struct kept_records {
  std::vector<int64_t> labels;
  std::vector<int64_t> generations;
  std::vector<int32_t> counts;
  void add(int64_t label, int64_t done, const population_counts& population);
};

// A run's records: the whole population's (several demes: summed over the
// demes that exist) and, for several demes, each deme's, in the model's
// order of demes.
struct kept_run {
  kept_records whole;
  std::vector<kept_records> demes;
};

// What the one loop does for a kept run: `go_on` asked before each
// generation (empty: always), each record kept, nothing to do when a
// condition is first reached. For several demes, `plan` (the demes'
// engines' plan) says which demes exist at a record.
struct kept_hooks {
  kept_run& kept;
  const std::function<bool()>& go_on;
  const std::vector<deme_generation>* plan = nullptr;
  bool proceed() const { return !go_on || go_on(); }
  static bool reached(int64_t /*label*/) { return true; }
  bool record(int64_t label, int64_t done, const population_counts& counts) {
    kept.whole.add(label, done, counts);
    return true;
  }
  bool record(int64_t label, int64_t done, const deme_population& population) {
    for (size_t d = 0; d < kept.demes.size(); ++d) {
      if ((*plan)[d].exists) kept.demes[d].add(label, done, population.demes[d]);
    }
    kept.whole.add(label, done, population.total);
    return true;
  }
};

// Takes an engine of the parameters' kind (fresh, or kept from an earlier
// call), the parameters, a deme's history (nullptr: none), the population
// before generation 0 (in `current`), the conditions (none reached), and
// `go_on`; seeds the engine with the parameters' seed and runs generations
// 0 to n - 1 by the one loop as a single run of the program does, keeping
// its records in `kept.whole`. Leaves the last population in `current`;
// returns how the loop ended (interrupted when `go_on` said false).
template <typename engine_type>
loop_end run_kept(engine_type& engine, const sim_params& params, const deme_history* history,
                  population_counts& current, run_conditions& watched, const std::function<bool()>& go_on,
                  kept_run& kept) {
  seed_engine(engine, params.seed);
  kept_hooks hooks{kept, go_on, nullptr};
  return with_schedule(engine, params, history, [&](auto& schedule) {
    // The conditions read the fitness in force (after the changes so far).
    const loop_plan plan{0, params.generations, params.record_every, &schedule_fitness(schedule, params.fitness),
                         schedule_deme_fitness(schedule)};
    return run_generations(engine, plan, current, watched, hooks, schedule);
  });
}

// The same for a model of several demes, on fresh engines of the
// parameters' kind (deme d seeded with deme_seed), from the demes'
// population before generation 0 (starting_demes); keeps each existing
// deme's records in `kept.demes` (sized to the demes here) and the whole's
// in `kept.whole`. Leaves the last population in `current`.
loop_end run_kept_demes(const sim_params& params, const structure_history& structure,
                        deme_population& current, run_conditions& watched,
                        const std::function<bool()>& go_on, kept_run& kept);

}  // namespace twolocus
