#include "model/engines.hpp"

namespace twolocus {

void seed_engine(exact_engine& engine, int32_t seed) { seed_draws(engine.stream, seed); }

void seed_engine(literal_engine& engine, int32_t seed) { seed_literal(engine.stream, seed); }

void seed_engine(multinomial_engine& engine, int32_t seed) {
  key_class_draws(engine.stream, seed);
}

void run_generation(exact_engine& engine, population_counts& current, population_counts& next,
                    const run_params& params, int64_t /*generation*/) {
  if (!engine.thresholds_ready || params.rates_a != engine.rates_a ||
      params.rates_b != engine.rates_b) {
    engine.rates_a = params.rates_a;
    engine.rates_b = params.rates_b;
    engine.thresholds_a = mutation_thresholds(params.rates_a);
    engine.thresholds_b = mutation_thresholds(params.rates_b);
    engine.thresholds_ready = true;
  }
  mutate_with_thresholds(engine.stream, current, next, engine.thresholds_a, engine.thresholds_b);
  select_and_mate(engine.stream, current, next, params.fitness, params.generation_size);
}

void run_generation(literal_engine& engine, population_counts& current, population_counts& next,
                    const run_params& params, int64_t /*generation*/) {
  mutate_population_literal(engine.stream, current, next, params.rates_a, params.rates_b);
  select_and_mate_literal(engine.stream, current, next, params.fitness, params.generation_size);
}

void run_generation(multinomial_engine& engine, population_counts& current,
                    population_counts& next, const run_params& params, int64_t generation) {
  sample_generation(engine.stream, current, next, params, generation);
}

}  // namespace twolocus
