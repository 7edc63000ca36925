#include "model/engines.hpp"

namespace twolocus {

void set_model(exact_engine& engine, const model_params& model) {
  engine.model = model;
  engine.thresholds_a = matrix_thresholds(model.mutation_a);
  engine.thresholds_b = matrix_thresholds(model.mutation_b);
  engine.linkage = recombination_thresholds(model.recombination);
  engine.ways = reproduction_thresholds_of(model.cloning, model.selfing);
}

void set_model(literal_engine& engine, const model_params& model) { engine.model = model; }

void set_model(multinomial_engine& engine, const model_params& model) {
  engine.model = model;
  engine.shares = make_class_model(model.mutation_a, model.mutation_b, model.recombination);
  const reproduction_thresholds ways = reproduction_thresholds_of(model.cloning, model.selfing);
  engine.shares.clone_below = ways.clone;
  engine.shares.self_below = ways.self;
}

void seed_engine(exact_engine& engine, int32_t seed) { seed_draws(engine.stream, seed); }

void seed_engine(literal_engine& engine, int32_t seed) { seed_literal(engine.stream, seed); }

void seed_engine(multinomial_engine& engine, int32_t seed) {
  key_class_draws(engine.stream, seed);
}

void continue_engine(exact_engine& engine, int32_t seed, uint64_t draws) {
  seed_draws_after(engine.stream, seed, draws);
}

void continue_engine(literal_engine& engine, int32_t seed, uint64_t draws) {
  seed_literal(engine.stream, seed);
  for (uint64_t i = 0; i < draws; ++i) literal_raw_draw(engine.stream);
}

void continue_engine(multinomial_engine& engine, int32_t seed, uint64_t /*draws*/) {
  key_class_draws(engine.stream, seed);
}

uint64_t draws_made(const exact_engine& engine) { return draws_consumed(engine.stream); }

uint64_t draws_made(const literal_engine& engine) { return engine.stream.made; }

uint64_t draws_made(const multinomial_engine& /*engine*/) { return 0; }

void run_generation(exact_engine& engine, population_counts& current, population_counts& next,
                    int64_t /*generation*/) {
  const model_params& model = engine.model;
  mutate_with_thresholds(engine.stream, current, next, engine.thresholds_a, engine.thresholds_b);
  if (mixed_reproduction(engine.ways)) {
    select_and_mate_mixed(engine.stream, current, next, model.fitness, model.weights, engine.linkage,
                          engine.ways, model.generation_size);
  } else {
    select_and_mate(engine.stream, current, next, model.fitness, model.weights, engine.linkage,
                    model.generation_size);
  }
}

void run_generation(literal_engine& engine, population_counts& current, population_counts& next,
                    int64_t /*generation*/) {
  const model_params& model = engine.model;
  mutate_by_matrices_literal(engine.stream, current, next, model.mutation_a, model.mutation_b);
  select_and_mate_literal(engine.stream, current, next, model.fitness, model.weights,
                          model.recombination, model.generation_size, model.cloning, model.selfing);
}

void run_generation(multinomial_engine& engine, population_counts& current,
                    population_counts& next, int64_t generation) {
  sample_generation(engine.stream, current, next, engine.model, engine.shares, generation);
}

}  // namespace twolocus
