// The two steps of a generation written plainly: one draw at a time from the
// C library's generator, a walk over every class for each parent. They define
// what the fast steps must reproduce draw for draw, and a build option runs
// the program with them.
#pragma once

#include <stdlib.h>

#include <array>
#include <vector>
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
  uint64_t made = 0;  // raw draws since the last seeding
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

// The general mutation step: as mutate_population_literal, a slot holding
// digit d (allele d + 1) compares its uniform draw with m[d][d+1 mod 3]
// (below: it becomes d + 1 mod 3), then with that plus m[d][d+2 mod 3]
// (below: it becomes d + 2 mod 3), by its locus's matrix.
void mutate_by_matrices_literal(literal_stream& stream, population_counts& current,
                                population_counts& next, const mutation_matrix& matrix_a,
                                const mutation_matrix& matrix_b);

// The general selection and mating step, one offspring at a time: two
// uniform draws t and u, one walk over all 81 classes that subtracts each
// class's frequency (by `rule`) from both and finds a parent where its
// remainder first falls below that frequency; under the exact rule a
// remainder still not below it at the last class of positive frequency
// takes that class. A parent, when found, draws its locus-a slot (slot 1
// below one half, else slot 2) and then its locus-b slot: slot 3 below
// 1 - `recombination` after slot 1, below `recombination` after slot 2,
// else slot 4. With cloning or selfing (either above 0) each offspring
// makes seven draws whatever it becomes: its way, a first and a second
// parent (one walk each), and two slot draws for each of its two gametes.
// A way below `cloning` makes a clone of the first parent; below cloning +
// (1 - cloning) x selfing a selfed offspring whose two gametes both come
// from the first parent; any other an outcrossed offspring of the first
// and second parents. A parent not found is of genotype 1111 and passes
// allele 1 at both loci.
void select_and_mate_literal(literal_stream& stream, population_counts& current,
                             population_counts& next, const fitness_table& fitness, weight_rule rule,
                             double recombination, int32_t generation_size, double cloning = 0,
                             double selfing = 0);

// One source deme of select_and_mate_sources_literal: its mutated counts,
// fitness, weight rule and recombination fraction, and the probability that
// an offspring's parents come from it.
struct literal_source {
  const population_counts* parents = nullptr;
  const fitness_table* fitness = nullptr;
  weight_rule rule = weight_rule::exact;
  double recombination = 0.5;
  double probability = 0.0;
};

// The sources of select_and_mate_sources_literal (filled by the caller) and
// its tables, kept between generations so that a generation allocates
// nothing once they have grown.
struct literal_sources_workspace {
  std::vector<literal_source> sources;
  std::vector<std::array<double, genotype_count>> frequency;
  std::vector<int> last;
  std::vector<uint8_t> found;
  std::vector<double> upper;
};

// The literal steps of select_and_mate_sources: eight uniform draws an
// offspring: its source (below the sources' cumulative probabilities in
// turn, the last taking what is left), its way, two parents by a walk in
// that source's classes, and two slot draws for each gamete. The sources are
// the workspace's.
void select_and_mate_sources_literal(literal_stream& stream, literal_sources_workspace& workspace,
                                     double cloning, double selfing, int32_t generation_size,
                                     population_counts& next);

}  // namespace twolocus
