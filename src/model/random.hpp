// The run's one source of randomness. Every random decision of a run is one
// draw from this stream, in an order fixed by the steps that use it.
#pragma once

#include <cstdint>

namespace twolocus {

// Takes a seed; restarts the stream as seeding the generator with it does.
void seed_draws(int32_t seed);

// Returns the next raw draw, an integer in [0, draw_max].
int32_t raw_draw();

// Returns the next draw as a double in [0, 1] (both ends possible): the raw
// draw divided by draw_max.
double uniform_draw();

}  // namespace twolocus
