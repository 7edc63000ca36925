// One generation of the model, in the build's chosen engine: the fast steps
// with the system's own generator, (built with TWOLOCUS_LITERAL) the literal
// steps with the C library's rand(), which give the same counts, or (built
// with TWOLOCUS_MULTINOMIAL) the class-count sampling steps, which sample
// the same model with another random stream.
#pragma once

#include <cstdint>

#include "model/model.hpp"

namespace twolocus {

// Takes a seed; seeds the engine's generator.
void seed_generation(int32_t seed);

// Takes the population (in `current`), a working array, the parameters and
// the generation's number; mutates, selects and mates. On return `next`
// holds the new generation and `current` is unspecified. Only the class-count
// engine uses the number: its draws are a function of the seed and it.
void compute_generation(population_counts& current, population_counts& next,
                        const run_params& params, int64_t generation);

// Returns whether the engine's draws are a function of the seed and the
// generation number, so that a run records its seed in the parameter file
// and a resume reseeds from it, continuing the uninterrupted run's stream.
bool engine_keeps_seed();

}  // namespace twolocus
