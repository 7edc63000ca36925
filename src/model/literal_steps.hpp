// The two steps of a generation written plainly: one draw at a time from the
// C library's generator, a walk over every class for each parent. They define
// what the fast steps must reproduce draw for draw, and a build option runs
// the program with them.
#pragma once

#include <stdlib.h>

#include <array>
#include <cstdint>

#include "model/model.hpp"

namespace twolocus {

// The C library's rand() generator with a state of its own (random_r on a
// 128-byte state, which is what rand() and srand() use), so that any number
// of such streams can live in one process.
// The C library keeps pointers into `state`, so a stream is never copied.
struct literal_stream {
  random_data data{};
  std::array<char, 128> state{};
  literal_stream() = default;
  literal_stream(const literal_stream&) = delete;
  literal_stream& operator=(const literal_stream&) = delete;
};

// Takes a stream and a seed; restarts it as srand(seed) restarts rand().
void seed_literal(literal_stream& stream, int32_t seed);

// Takes a stream; returns its next raw draw, as rand() would.
int32_t literal_raw_draw(literal_stream& stream);

// Takes a stream; returns its next raw draw divided by draw_max (the C
// library's RAND_MAX must be 2147483647 for the two streams to agree).
double literal_uniform_draw(literal_stream& stream);

// As mutate_population, drawing through literal_uniform_draw.
void mutate_population_literal(literal_stream& stream, population_counts& current,
                               population_counts& next, const mutation_rates& rates_a,
                               const mutation_rates& rates_b);

// As select_and_mate, drawing through literal_uniform_draw.
void select_and_mate_literal(literal_stream& stream, population_counts& current,
                             population_counts& next, const fitness_table& fitness,
                             int32_t generation_size);

}  // namespace twolocus
