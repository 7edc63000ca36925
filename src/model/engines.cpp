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

namespace {

// Takes the plan; marks the demes whose parents are drawn this generation.
void mark_parents(const std::vector<deme_generation>& plan, std::vector<uint8_t>& gives) {
  gives.assign(plan.size(), 0);
  for (size_t d = 0; d < plan.size(); ++d) {
    if (!plan[d].exists) continue;
    if (plan[d].sources.empty()) gives[d] = 1;
    for (const parent_source& source : plan[d].sources) gives[static_cast<size_t>(source.deme)] = 1;
  }
}

void mutate_deme(exact_engine& engine, population_counts& parents, population_counts& scratch, int64_t) {
  mutate_with_thresholds(engine.stream, parents, scratch, engine.thresholds_a, engine.thresholds_b);
}
void mutate_deme(literal_engine& engine, population_counts& parents, population_counts& scratch, int64_t) {
  mutate_by_matrices_literal(engine.stream, parents, scratch, engine.model.mutation_a, engine.model.mutation_b);
}
void mutate_deme(multinomial_engine& engine, population_counts& parents, population_counts& scratch,
                 int64_t) {
  mutate_by_shares(engine.stream, parents, scratch, engine.shares);
}

void start_deme(exact_engine&, int64_t) {}
// Takes an engine; forgets what it listed as a source in the generation
// before.
void forget_source(exact_engine&) {}
void forget_source(literal_engine&) {}
void forget_source(multinomial_engine& engine) { engine.listed = false; }

void start_deme(literal_engine&, int64_t) {}
void start_deme(multinomial_engine& engine, int64_t generation) {
  start_class_draws(engine.stream, generation);
}

void mate_own(exact_engine& engine, population_counts& parents, population_counts& next, int32_t size) {
  const model_params& model = engine.model;
  if (mixed_reproduction(engine.ways)) {
    select_and_mate_mixed(engine.stream, parents, next, model.fitness, model.weights, engine.linkage,
                          engine.ways, size);
  } else {
    select_and_mate(engine.stream, parents, next, model.fitness, model.weights, engine.linkage, size);
  }
}
void mate_own(literal_engine& engine, population_counts& parents, population_counts& next, int32_t size) {
  const model_params& model = engine.model;
  select_and_mate_literal(engine.stream, parents, next, model.fitness, model.weights, model.recombination,
                          size, model.cloning, model.selfing);
}
void mate_own(multinomial_engine& engine, population_counts& parents, population_counts& next,
              int32_t size) {
  const model_params& model = engine.model;
  if (engine.shares.self_below > 0) {
    mate_mixed_by_class(engine.stream, parents, next, model.fitness, model.weights, engine.shares, size);
  } else {
    mate_by_class(engine.stream, parents, next, model.fitness, model.weights, engine.shares.after_slot_1,
                  engine.shares.after_slot_2, size);
  }
}

void mate_sources(const std::vector<exact_engine*>& engines, size_t d, const deme_population& current,
                  const deme_generation& deme, population_counts& next) {
  exact_engine& engine = *engines[d];
  std::vector<source_parents>& sources = engine.sources.sources;
  sources.clear();
  for (const parent_source& source : deme.sources) {
    const exact_engine& from = *engines[static_cast<size_t>(source.deme)];
    sources.push_back({&current.demes[static_cast<size_t>(source.deme)], &from.model.fitness,
                       from.model.weights, from.linkage, source.probability});
  }
  select_and_mate_sources(engine.stream, engine.sources, engine.ways, deme.size, next);
}
void mate_sources(const std::vector<literal_engine*>& engines, size_t d, const deme_population& current,
                  const deme_generation& deme, population_counts& next) {
  literal_engine& engine = *engines[d];
  std::vector<literal_source>& sources = engine.sources.sources;
  sources.clear();
  for (const parent_source& source : deme.sources) {
    const literal_engine& from = *engines[static_cast<size_t>(source.deme)];
    sources.push_back({&current.demes[static_cast<size_t>(source.deme)], &from.model.fitness,
                       from.model.weights, from.model.recombination, source.probability});
  }
  select_and_mate_sources_literal(engine.stream, engine.sources, engine.model.cloning, engine.model.selfing,
                                  deme.size, next);
}
void mate_sources(const std::vector<multinomial_engine*>& engines, size_t d, const deme_population& current,
                  const deme_generation& deme, population_counts& next) {
  multinomial_engine& engine = *engines[d];
  std::vector<class_source>& sources = engine.sources.sources;
  sources.clear();
  for (const parent_source& source : deme.sources) {
    multinomial_engine& from = *engines[static_cast<size_t>(source.deme)];
    const population_counts& parents = current.demes[static_cast<size_t>(source.deme)];
    // A source's list serves every deme that draws from it this generation.
    if (!from.listed) {
      from.has_parents = list_parent_shares(parents, from.model.fitness, from.model.weights, from.as_source);
      from.listed = true;
    }
    sources.push_back({&parents, &from.model.fitness, from.model.weights, &from.shares, source.probability,
                       &from.as_source, from.has_parents});
  }
  mate_sources_by_class(engine.stream, engine.sources, engine.shares.clone_below, engine.shares.self_below,
                        deme.size, next);
}

template <typename engine_type>
void demes_generation(deme_engines<engine_type>& all, deme_population& current, deme_population& next,
                      int64_t generation) {
  const std::vector<engine_type*>& engines = all.engines;
  const std::vector<deme_generation>& plan = all.plan;
  const size_t count = plan.size();
  next.demes.resize(count);
  std::vector<uint8_t>& gives = all.gives;
  mark_parents(plan, gives);
  for (engine_type* engine : engines) forget_source(*engine);
  std::vector<uint8_t>& started = all.started;
  started.assign(count, 0);
  const auto start = [&](size_t d) {
    if (started[d] == 0) start_deme(*engines[d], generation);
    started[d] = 1;
  };
  for (size_t d = 0; d < count; ++d) {
    if (gives[d] == 0) continue;
    start(d);
    mutate_deme(*engines[d], current.demes[d], next.demes[d], generation);
  }
  // Offspring of other demes' parents first: a deme's own mating may leave
  // its parents' array as it likes.
  for (size_t d = 0; d < count; ++d) {
    if (!plan[d].exists || plan[d].sources.empty()) continue;
    start(d);
    mate_sources(engines, d, current, plan[d], next.demes[d]);
  }
  for (size_t d = 0; d < count; ++d) {
    if (!plan[d].exists) {
      next.demes[d].fill(0);
    } else if (plan[d].sources.empty()) {
      start(d);
      mate_own(*engines[d], current.demes[d], next.demes[d], plan[d].size);
    }
  }
  sum_demes(next);
}

}  // namespace

void run_demes_generation(deme_engines<exact_engine>& engines, deme_population& current,
                          deme_population& next, int64_t generation) {
  demes_generation(engines, current, next, generation);
}
void run_demes_generation(deme_engines<literal_engine>& engines, deme_population& current,
                          deme_population& next, int64_t generation) {
  demes_generation(engines, current, next, generation);
}
void run_demes_generation(deme_engines<multinomial_engine>& engines, deme_population& current,
                          deme_population& next, int64_t generation) {
  demes_generation(engines, current, next, generation);
}

}  // namespace twolocus
