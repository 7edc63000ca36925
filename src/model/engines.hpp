// The three engines of the model, each a plain struct that owns its random
// stream, the model it runs and what it works out from that model, so that
// any number of engines (of any kind) can live in one process, one per
// thread if need be:
//   exact_engine        the fast steps on the system's own generator;
//   literal_engine      the literal steps on the C library's generator,
//                       which give the same counts draw for draw;
//   multinomial_engine  class-count sampling of the same model, with a
//                       stream that is a function of the seed and the
//                       generation number.
// Each has the same free functions: set_model (once per model: the
// thresholds, tables and caches are built there, never in a generation),
// seed_engine and run_generation; and a constant `keeps_seed`: whether a
// run records its seed and a resume reseeds from it to continue the
// uninterrupted run's stream.
#pragma once

#include <cstdint>

#include "model/demes.hpp"
#include "model/literal_steps.hpp"
#include "model/model.hpp"
#include "model/multinomial.hpp"
#include "model/random.hpp"
#include "model/steps.hpp"

namespace twolocus {

struct exact_engine {
  static constexpr bool keeps_seed = false;
  draw_stream stream;
  model_params model;
  locus_thresholds thresholds_a{};
  locus_thresholds thresholds_b{};
  linkage_thresholds linkage{};
  reproduction_thresholds ways{};
  source_workspace sources;  // for offspring with parents in other demes
};

struct literal_engine {
  static constexpr bool keeps_seed = false;
  literal_stream stream;
  model_params model;
  literal_sources_workspace sources;  // for offspring with parents in other demes
};

struct multinomial_engine {
  static constexpr bool keeps_seed = true;
  class_stream stream;
  model_params model;
  class_model shares{};
  class_sources_workspace sources;  // for offspring with parents in other demes
  // This deme's parents as a source of the demes drawing from it, listed
  // once a generation (valid while `listed`).
  parent_list as_source{};
  bool listed = false;
  bool has_parents = false;
};

// Takes an engine and a model; makes the engine run that model from its
// next generation on, with everything the steps need worked out now (a few
// binary searches: a change of model costs less than a generation). The
// model's generation size may be changed in `engine.model` directly
// between generations; it needs nothing worked out.
void set_model(exact_engine& engine, const model_params& model);
void set_model(literal_engine& engine, const model_params& model);
void set_model(multinomial_engine& engine, const model_params& model);

// Takes an engine and a seed; seeds the engine's generator. (A resume of an
// engine that does not keep its seed seeds with 1: the state an unseeded
// rand() starts from.)
void seed_engine(exact_engine& engine, int32_t seed);
void seed_engine(literal_engine& engine, int32_t seed);
void seed_engine(multinomial_engine& engine, int32_t seed);

// Takes an engine, a seed and the number of draws a run made since it was
// seeded with it (draws_made at a record); seeds the engine so that it goes
// on with the run's next draw. The multinomial engine needs no count: its
// draws are a function of the seed and the generation's number.
void continue_engine(exact_engine& engine, int32_t seed, uint64_t draws);
void continue_engine(literal_engine& engine, int32_t seed, uint64_t draws);
void continue_engine(multinomial_engine& engine, int32_t seed, uint64_t draws);

// Takes an engine; returns the draws it made since it was seeded (0 for
// the multinomial engine, which never needs them).
uint64_t draws_made(const exact_engine& engine);
uint64_t draws_made(const literal_engine& engine);
uint64_t draws_made(const multinomial_engine& engine);

// Takes an engine, the population (in `current`), a working array and the
// generation's number; mutates, selects and mates by the engine's model.
// On return `next` holds the new generation and `current` is unspecified.
// Only the multinomial engine uses the number: its draws are a function of
// the seed and it. A classic parameter set runs as general_params(classic)
// and makes the draws of twolocus.
void run_generation(exact_engine& engine, population_counts& current, population_counts& next,
                    int64_t generation);
void run_generation(literal_engine& engine, population_counts& current, population_counts& next,
                    int64_t generation);
void run_generation(multinomial_engine& engine, population_counts& current,
                    population_counts& next, int64_t generation);

// The engines of a run of several demes (one each, of one kind), the
// current generation's plan, as the one loop runs them, and the marks of a
// generation (kept so that a generation allocates nothing).
template <typename engine_type>
struct deme_engines {
  std::vector<engine_type*> engines;
  std::vector<deme_generation> plan;
  std::vector<uint8_t> gives;    // the demes whose parents are drawn
  std::vector<uint8_t> started;  // the demes whose stream started the generation
};

// Takes the demes' engines (each set to its deme's model, seeded, with the
// generation's plan), the population of parents (in `current`), a working
// population and the generation's number. Every deme that gives parents
// this generation (its own offspring's or another deme's) has its parents
// mutated by its engine; then each deme's offspring are drawn by its
// engine: from its own parents as run_generation does (the same draws, so a
// deme alone makes the draws of a run of one deme), or from its sources
// (select_and_mate_sources and its kin: the offspring deme's stream and
// ways, each source's fitness and linkage). A deme that does not exist
// has no offspring. On return `next` holds the offspring and their total.
void run_demes_generation(deme_engines<exact_engine>& engines, deme_population& current,
                          deme_population& next, int64_t generation);
void run_demes_generation(deme_engines<literal_engine>& engines, deme_population& current,
                          deme_population& next, int64_t generation);
void run_demes_generation(deme_engines<multinomial_engine>& engines, deme_population& current,
                          deme_population& next, int64_t generation);

// The same, as the one loop calls a generation.
template <typename engine_type>
void run_generation(deme_engines<engine_type>& engines, deme_population& current, deme_population& next,
                    int64_t generation) {
  run_demes_generation(engines, current, next, generation);
}

}  // namespace twolocus
