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
// a draw costs no library call. Each stream is a value of its own, so any
// number of them can live in one process; a stream is seeded before use.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "model/model.hpp"

namespace twolocus {

// Largest number of draws that one call of `draws_ahead` can promise.
inline constexpr size_t draw_block = 1024;

// Words of generator state the block recurrence looks back on, and words
// computed per block (a multiple of 4).
inline constexpr size_t draw_history = 64;
inline constexpr size_t draw_generated = 4096;

// One stream: the last `draw_history` words, then room for one block of new
// words; and the outputs not yet consumed (fewer than `draw_block` left over
// from before a block, then the block).
struct draw_stream {
  alignas(64) std::array<uint32_t, draw_history + draw_generated> words{};
  alignas(64) std::array<int32_t, 3 + draw_block + draw_generated> outputs{};
  size_t next = 0;
  size_t end = 0;
  // Draws consumed before outputs[0]: the stream has consumed this plus `next`.
  uint64_t consumed_before = 0;
};

// Takes a stream and a seed; restarts the stream as srand(seed) restarts
// rand() (a seed of 0 acts as 1).
void seed_draws(draw_stream& stream, int32_t seed);

// Takes a stream, a seed and a number of draws; puts the stream where
// seeding it with `seed` and consuming `consumed` draws would, at a cost
// that grows with the logarithm of `consumed` (the state is a linear
// function of the seeded words, raised to that power).
void seed_draws_after(draw_stream& stream, int32_t seed, uint64_t consumed);

// Takes a stream; returns the number of draws consumed since it was seeded
// (as seed_draws_after counts them).
inline uint64_t draws_consumed(const draw_stream& stream) {
  return stream.consumed_before + stream.next;
}

// Takes a stream and a count of at most `draw_block`; returns a pointer to
// at least that many upcoming raw draws, which stay upcoming until
// `skip_draws` consumes them. The pointer is good until the next call of
// any function here on the stream.
const int32_t* draws_ahead(draw_stream& stream, size_t count);

// Takes a stream and a count no larger than what `draws_ahead` last
// promised; consumes that many draws.
inline void skip_draws(draw_stream& stream, size_t count) { stream.next += count; }

// Takes a stream and at most `draw_block` raw draws; makes them the next
// draws of the stream in place of the ones due (which are lost; the stream
// goes on after them as before). For tests that need draws of chosen
// values, such as draw_max, which otherwise come once in 2^31.
void override_upcoming_draws(draw_stream& stream, const int32_t* values, size_t count);

// Takes a stream; returns its next raw draw, an integer in [0, draw_max].
int32_t raw_draw(draw_stream& stream);

// Takes a stream; returns its next draw as a double in [0, 1] (both ends
// possible): the raw draw divided by draw_max.
double uniform_draw(draw_stream& stream);

// Takes a probability; returns how many raw draws x have x / draw_max < p
// (0 .. 2^31). Since that comparison is monotone in x, "uniform draw < p"
// holds exactly when "raw draw < threshold" does.
uint32_t draw_threshold(double p);

// Raw draws below this have a uniform value below one half.
inline constexpr int32_t half_threshold = 1 << 30;

// Takes a batch's seed and a replicate's number (0 to 4294967295);
// returns the replicate's seed, 1 to 2147483647: 1 + splitmix64(x) mod
// 2147483647 with x = (the seed as an unsigned 32-bit number) * 2^32 + the
// replicate's number, splitmix64 being the finaliser of that generator
// applied to x + 0x9e3779b97f4a7c15.
int32_t replicate_seed(int32_t seed, int64_t replicate);

// Takes a run's seed and a deme's number (from 0, in the model's order);
// returns the seed of that deme's engine: the run's seed for deme 0 (so a
// model of one deme runs as a run without demes), and replicate_seed(seed,
// 2^32 - d) for deme d > 0 (numbers no replicate has).
int32_t deme_seed(int32_t seed, size_t deme);

}  // namespace twolocus
