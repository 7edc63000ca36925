// The two steps of a generation written plainly: one draw at a time from the
// C library's rand(), a walk over every class for each parent. They define
// what the fast steps must reproduce draw for draw, and a build option runs
// the program with them.
#pragma once

#include <cstdint>

#include "model/model.hpp"

namespace twolocus {

// Returns rand() divided by draw_max (the C library's RAND_MAX must be
// 2147483647 for the two streams to agree).
double literal_uniform_draw();

// As mutate_population, drawing through literal_uniform_draw.
void mutate_population_literal(population_counts& current, population_counts& next,
                               const mutation_rates& rates_a, const mutation_rates& rates_b);

// As select_and_mate, drawing through literal_uniform_draw.
void select_and_mate_literal(population_counts& current, population_counts& next,
                             const fitness_table& fitness, int32_t generation_size);

}  // namespace twolocus
