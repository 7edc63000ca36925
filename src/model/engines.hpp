// The three engines of the model, each a plain struct that owns its random
// stream and caches, so that any number of engines (of any kind) can live
// in one process, one per thread if need be:
//   exact_engine        the fast steps on the system's own generator;
//   literal_engine      the literal steps on the C library's generator,
//                       which give the same counts draw for draw;
//   multinomial_engine  class-count sampling of the same model, with a
//                       stream that is a function of the seed and the
//                       generation number.
// Each has the same free functions: seed_engine and run_generation; and a
// constant `keeps_seed`: whether a run records its seed and a resume
// reseeds from it to continue the uninterrupted run's stream.
#pragma once

#include <cstdint>

#include "model/literal_steps.hpp"
#include "model/model.hpp"
#include "model/multinomial.hpp"
#include "model/random.hpp"
#include "model/steps.hpp"

namespace twolocus {

struct exact_engine {
  static constexpr bool keeps_seed = false;
  draw_stream stream;
  // A run's rates never change: their thresholds are worked out once, for
  // the classic rates and for the general model's matrices and linkage.
  bool thresholds_ready = false;
  mutation_rates rates_a{};
  mutation_rates rates_b{};
  locus_thresholds thresholds_a{};
  locus_thresholds thresholds_b{};
  bool general_ready = false;
  mutation_matrix matrix_a{};
  mutation_matrix matrix_b{};
  double recombination = 0.5;
  locus_thresholds general_a{};
  locus_thresholds general_b{};
  linkage_thresholds linkage{};
};

struct literal_engine {
  static constexpr bool keeps_seed = false;
  literal_stream stream;
};

struct multinomial_engine {
  static constexpr bool keeps_seed = true;
  class_stream stream;
  // The class_model of the run's parameters, worked out once.
  bool model_ready = false;
  mutation_matrix matrix_a{};
  mutation_matrix matrix_b{};
  double recombination = 0.5;
  class_model model{};
};

// Takes an engine and a seed; seeds the engine's generator. (A resume of an
// engine that does not keep its seed seeds with 1: the state an unseeded
// rand() starts from.)
void seed_engine(exact_engine& engine, int32_t seed);
void seed_engine(literal_engine& engine, int32_t seed);
void seed_engine(multinomial_engine& engine, int32_t seed);

// Takes an engine, the population (in `current`), a working array, the
// parameters and the generation's number; mutates, selects and mates. On
// return `next` holds the new generation and `current` is unspecified. Only
// the multinomial engine uses the number: its draws are a function of the
// seed and it.
void run_generation(exact_engine& engine, population_counts& current, population_counts& next,
                    const run_params& params, int64_t generation);
void run_generation(literal_engine& engine, population_counts& current, population_counts& next,
                    const run_params& params, int64_t generation);
void run_generation(multinomial_engine& engine, population_counts& current,
                    population_counts& next, const run_params& params, int64_t generation);

// The same for the general model (see model_params): mutation by both
// loci's matrices, selection by the weight rule, mating with the
// recombination fraction. With general_params(classic) each engine gives
// the generations (and makes the draws) of the classic overload.
void run_generation(exact_engine& engine, population_counts& current, population_counts& next,
                    const model_params& params, int64_t generation);
void run_generation(literal_engine& engine, population_counts& current, population_counts& next,
                    const model_params& params, int64_t generation);
void run_generation(multinomial_engine& engine, population_counts& current,
                    population_counts& next, const model_params& params, int64_t generation);

}  // namespace twolocus
