#include "run/kept.hpp"

#include "run/structure.hpp"

namespace twolocus {

void kept_records::add(int64_t label, int64_t done, const population_counts& population) {
  labels.push_back(label);
  generations.push_back(done);
  counts.insert(counts.end(), population.begin(), population.end());
}

loop_end run_kept_demes(const sim_params& params, const structure_history& structure,
                        deme_population& current, run_conditions& watched,
                        const std::function<bool()>& go_on, kept_run& kept) {
  kept.demes.assign(structure.demes.size(), kept_records{});
  return with_structure_engines(params, structure, 0, nullptr, [&](auto& engines, auto& schedule) {
    kept_hooks hooks{kept, go_on, &engines.plan};
    const loop_plan plan{0, params.generations, params.record_every, &schedule_fitness(schedule, params.fitness),
                         schedule_deme_fitness(schedule)};
    return run_generations(engines, plan, current, watched, hooks, schedule);
  });
}

}  // namespace twolocus
