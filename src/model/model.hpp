// Shared types of the population model: 81 two-locus genotypes, their counts
// and fitness, the mutation rates and the whole parameter set of a run.
#pragma once

#include <array>
#include <cstdint>

namespace twolocus {

// Two loci with three alleles each, two slots per locus: 3^4 genotype classes.
inline constexpr int genotype_count = 81;

// Generations between two trajectory records (and two progress dots).
inline constexpr int32_t record_interval = 200;

// Largest value of one raw draw of the generator; a uniform draw divides by it.
inline constexpr int32_t draw_max = 2147483647;

// Number of individuals of each genotype index.
using population_counts = std::array<int32_t, genotype_count>;

// Fitness of each genotype index.
using fitness_table = std::array<double, genotype_count>;

// One locus's probabilities of 1->2, 2->3 and 1->3 (indices 0, 1, 2).
using mutation_rates = std::array<double, 3>;

// The parameter set of a run; the seed is used by fresh runs only.
struct run_params {
  float s = 0.0f;
  float k = 0.0f;
  int32_t n = 0;
  int32_t generation_size = 0;
  mutation_rates rates_a{};
  mutation_rates rates_b{};
  fitness_table fitness{};
  int32_t seed = 2222;
};

}  // namespace twolocus
