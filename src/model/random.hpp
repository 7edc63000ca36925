// The run's one source of randomness. Every random decision of a run is one
// draw from this stream, in an order fixed by the steps that use it.
//
// The stream is an additive lagged-Fibonacci generator, the one behind the
// GNU C library's rand()/srand(): seeding fills 31 words from the seed with
// a multiplicative congruential step (16807 modulo 2^31 - 1), the next three
// words repeat the first three, every later word is the 32-bit sum of the
// words 31 and 3 places before it, the first 310 outputs are discarded, and
// each output is a word shifted right by one bit (0 .. 2147483647). It is
// computed here, in blocks, so that every platform gives the same stream and
// a draw costs no library call. An unseeded stream starts as seed 1 does.
#pragma once

#include <cstddef>
#include <cstdint>

#include "model/model.hpp"

namespace twolocus {

// Largest number of draws that one call of `draws_ahead` can promise.
inline constexpr size_t draw_block = 1024;

// Takes a seed; restarts the stream as srand(seed) restarts rand() (a seed
// of 0 acts as 1).
void seed_draws(int32_t seed);

// Takes a count of at most `draw_block`; returns a pointer to at least that
// many upcoming raw draws, which stay upcoming until `skip_draws` consumes
// them. The pointer is good until the next call of any function here.
const int32_t* draws_ahead(size_t count);

// Takes a count no larger than what `draws_ahead` last promised; consumes
// that many draws.
void skip_draws(size_t count);

// Takes at most `draw_block` raw draws; makes them the next draws of the
// stream in place of the ones due (which are lost; the stream goes on after
// them as before). For tests that need draws of chosen values, such as
// draw_max, which otherwise come once in 2^31.
void override_upcoming_draws(const int32_t* values, size_t count);

// Returns the next raw draw, an integer in [0, draw_max].
int32_t raw_draw();

// Returns the next draw as a double in [0, 1] (both ends possible): the raw
// draw divided by draw_max.
double uniform_draw();

// Takes a probability; returns how many raw draws x have x / draw_max < p
// (0 .. 2^31). Since that comparison is monotone in x, "uniform draw < p"
// holds exactly when "raw draw < threshold" does.
uint32_t draw_threshold(double p);

// Raw draws below this have a uniform value below one half.
inline constexpr int32_t half_threshold = 1 << 30;

}  // namespace twolocus
