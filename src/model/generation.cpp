#include "model/generation.hpp"

#include <cstdlib>

#include "model/literal_steps.hpp"
#include "model/random.hpp"
#include "model/steps.hpp"

namespace twolocus {

#if TWOLOCUS_LITERAL

void seed_generation(int32_t seed) { std::srand(static_cast<unsigned>(seed)); }

void compute_generation(population_counts& current, population_counts& next,
                        const run_params& params) {
  mutate_population_literal(current, next, params.rates_a, params.rates_b);
  select_and_mate_literal(current, next, params.fitness, params.generation_size);
}

#else

void seed_generation(int32_t seed) { seed_draws(seed); }

void compute_generation(population_counts& current, population_counts& next,
                        const run_params& params) {
  mutate_population(current, next, params.rates_a, params.rates_b);
  select_and_mate(current, next, params.fitness, params.generation_size);
}

#endif

}  // namespace twolocus
