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

namespace {

// Takes a multinomial engine, both loci's matrices and the recombination
// fraction; returns the engine's class_model for them, worked out again
// only when they changed.
const class_model& cached_model(multinomial_engine& engine, const mutation_matrix& matrix_a,
                                const mutation_matrix& matrix_b, double recombination) {
  if (!engine.model_ready || matrix_a != engine.matrix_a || matrix_b != engine.matrix_b ||
      recombination != engine.recombination) {
    engine.matrix_a = matrix_a;
    engine.matrix_b = matrix_b;
    engine.recombination = recombination;
    engine.model = make_class_model(matrix_a, matrix_b, recombination);
    engine.model_ready = true;
  }
  return engine.model;
}

}  // namespace

void run_generation(multinomial_engine& engine, population_counts& current,
                    population_counts& next, const run_params& params, int64_t generation) {
  // The classic parameters as the general model; the draws are the same.
  start_class_draws(engine.stream, generation);
  const class_model& model =
      cached_model(engine, classic_matrix(params.rates_a), classic_matrix(params.rates_b), 0.5);
  mutate_by_shares(engine.stream, current, next, model);
  mate_by_class(engine.stream, current, next, params.fitness, weight_rule::floor, model.after_slot_1,
                model.after_slot_2, params.generation_size);
}

void run_generation(exact_engine& engine, population_counts& current, population_counts& next,
                    const model_params& params, int64_t /*generation*/) {
  if (!engine.general_ready || params.mutation_a != engine.matrix_a || params.mutation_b != engine.matrix_b ||
      params.recombination != engine.recombination) {
    engine.matrix_a = params.mutation_a;
    engine.matrix_b = params.mutation_b;
    engine.recombination = params.recombination;
    engine.general_a = matrix_thresholds(params.mutation_a);
    engine.general_b = matrix_thresholds(params.mutation_b);
    engine.linkage = recombination_thresholds(params.recombination);
    engine.general_ready = true;
  }
  mutate_with_thresholds(engine.stream, current, next, engine.general_a, engine.general_b);
  select_and_mate(engine.stream, current, next, params.fitness, params.weights, engine.linkage,
                  params.generation_size);
}

void run_generation(literal_engine& engine, population_counts& current, population_counts& next,
                    const model_params& params, int64_t /*generation*/) {
  mutate_by_matrices_literal(engine.stream, current, next, params.mutation_a, params.mutation_b);
  select_and_mate_literal(engine.stream, current, next, params.fitness, params.weights, params.recombination,
                          params.generation_size);
}

void run_generation(multinomial_engine& engine, population_counts& current,
                    population_counts& next, const model_params& params, int64_t generation) {
  sample_generation(engine.stream, current, next, params,
                    cached_model(engine, params.mutation_a, params.mutation_b, params.recombination), generation);
}

}  // namespace twolocus
