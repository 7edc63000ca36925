#include "model/generation.hpp"

#include <cstdlib>

#include "model/literal_steps.hpp"
#include "model/multinomial.hpp"
#include "model/random.hpp"
#include "model/steps.hpp"

namespace twolocus {

#if TWOLOCUS_LITERAL

void seed_generation(int32_t seed) { std::srand(static_cast<unsigned>(seed)); }

void compute_generation(population_counts& current, population_counts& next,
                        const run_params& params, int64_t /*generation*/) {
  mutate_population_literal(current, next, params.rates_a, params.rates_b);
  select_and_mate_literal(current, next, params.fitness, params.generation_size);
}

bool engine_keeps_seed() { return false; }

#elif TWOLOCUS_MULTINOMIAL

void seed_generation(int32_t seed) { key_class_draws(seed); }

void compute_generation(population_counts& current, population_counts& next,
                        const run_params& params, int64_t generation) {
  sample_generation(current, next, params, generation);
}

bool engine_keeps_seed() { return true; }

#else

void seed_generation(int32_t seed) { seed_draws(seed); }

void compute_generation(population_counts& current, population_counts& next,
                        const run_params& params, int64_t /*generation*/) {
  mutate_population(current, next, params.rates_a, params.rates_b);
  select_and_mate(current, next, params.fitness, params.generation_size);
}

bool engine_keeps_seed() { return false; }

#endif

}  // namespace twolocus
