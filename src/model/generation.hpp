// One generation of the model, in the build's chosen engine: the fast steps
// with the system's own generator, or (built with TWOLOCUS_LITERAL) the
// literal steps with the C library's rand(). Both give the same counts.
#pragma once

#include <cstdint>

#include "model/model.hpp"

namespace twolocus {

// Takes a seed; seeds the engine's generator.
void seed_generation(int32_t seed);

// Takes the population (in `current`), a working array and the parameters;
// mutates, selects and mates. On return `next` holds the new generation and
// `current` is unspecified.
void compute_generation(population_counts& current, population_counts& next,
                        const run_params& params);

}  // namespace twolocus
