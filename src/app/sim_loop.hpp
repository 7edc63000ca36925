// The generation loop of a twolocus-sim run, shared by the program (which
// writes records and checkpoint lines, sim_run.cpp) and the Python module
// (which keeps records in memory and stops on Ctrl-C, src/python): one rule
// for when records are made and when a run ends.
#pragma once

#include <cstdint>

#include "app/sim_inputs.hpp"
#include "model/engines.hpp"
#include "model/watch.hpp"

namespace twolocus {

enum class sim_loop_end { finished, failed, interrupted };

// Takes a started engine, the parameters, the first generation to run, the
// population before it (in `current`), the run's conditions, whether
// records are made, and the hooks:
//   bool proceed()                           before each generation; false interrupts
//   bool reached(int64_t label)              conditions were first reached at label
//   bool record(int64_t label, int64_t done, const population_counts& counts)
// (reached and record return false on a failure, which ends the loop).
// Runs generations `first` to n - 1: the conditions are checked on the
// start when `first` is 0 and after every generation; a record labelled g
// (g + 1 generations done) is made after generation g when g % K == 0 or a
// stop condition holds, which ends the run there; a final record labelled n
// (n done) follows unless n % K == 0 or the run stopped. Leaves the last
// population in `current`.
template <typename engine_type, typename hooks_type>
sim_loop_end run_sim_generations(engine_type& engine, const sim_params& params, int64_t first,
                                 population_counts& current, run_conditions& watched,
                                 bool recording, hooks_type& hooks) {
  set_model(engine, sim_model(params));
  const int64_t n = params.generations;
  const int64_t every = params.record_every;
  const bool watching = !watched.given.empty();
  const fitness_table* fitness = &params.fitness;
  population_counts next = current;
  int64_t generation = first;
  bool stopped = false;
  if (watching && first == 0) {
    const condition_check start = check_start(watched, current, fitness);
    if (start.reached > 0 && !hooks.reached(-1)) return sim_loop_end::failed;
    stopped = start.stop;
  }
  for (; generation < n && !stopped; ++generation) {
    if (!hooks.proceed()) return sim_loop_end::interrupted;
    run_generation(engine, current, next, generation);
    if (watching) {
      const condition_check check = check_conditions(watched, next, fitness, generation);
      if (check.reached > 0 && !hooks.reached(generation)) return sim_loop_end::failed;
      stopped = check.stop;
    }
    if (recording && (generation % every == 0 || stopped) &&
        !hooks.record(generation, generation + 1, next)) {
      return sim_loop_end::failed;
    }
    current = next;
  }
  if (!stopped && recording && generation % every != 0 &&
      !hooks.record(generation, generation, next)) {
    return sim_loop_end::failed;
  }
  return sim_loop_end::finished;
}

}  // namespace twolocus
