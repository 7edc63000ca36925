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

// One locus's mutation matrix: [i][j] is the per-generation probability that
// an allele copy i + 1 becomes j + 1 (the diagonal is not used; a row's other
// two entries sum to at most 1). One-way mutation has a lower triangle of 0.
using mutation_matrix = std::array<std::array<double, 3>, 3>;

// How a class's parent weight follows from its count and fitness:
//   floor  the classic rule: floor(count x float(fitness)), frequencies
//          weight / float(total); a draw that walks past the last class finds
//          no parent (an offspring that keeps allele 1 in that parent's slots);
//   exact  standard Wright-Fisher: count x fitness in double, frequencies
//          weight / (their double sum, in index order); a draw that walks past
//          the last class (through rounding, or a draw of exactly 1) takes the
//          last class of positive frequency.
enum class weight_rule { floor, exact };

// The largest fitness value under floor weights: below it, count x fitness
// stays below the weight cap 2^56 for every count up to 2^31 - 1, so every
// class keeps its relative weight. (Under exact weights any finite value
// keeps it: see exact_weight_exponent.)
inline constexpr double floor_fitness_max = 33554432.0;  // 2^25

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

// The general model of one generation: mutation by each locus's matrix, then
// selection by the weight rule, then reproduction: an offspring is a clone
// of one parent with probability `cloning` (a copy of its genotype after
// mutation), else selfed with probability `selfing` (both gametes from one
// parent), else outcrossed (two parents drawn independently, with
// replacement). Each parent of a gamete passes its locus-a allele from
// either haplotype with probability 1/2 and its locus-b allele from the same
// haplotype with probability 1 - recombination (0 <= recombination <= 1/2).
struct model_params {
  fitness_table fitness{};
  int32_t generation_size = 0;
  mutation_matrix mutation_a{};
  mutation_matrix mutation_b{};
  double recombination = 0.5;
  weight_rule weights = weight_rule::floor;
  double cloning = 0.0;  // 0 to 1
  double selfing = 0.0;  // 0 to 1, of the offspring not cloned
};

// Takes one locus's classic rates; returns the matrix with 1->2, 2->3 and
// 1->3 set to them and every other change 0.
constexpr mutation_matrix classic_matrix(const mutation_rates& rates) {
  mutation_matrix m{};
  m[0][1] = rates[0];
  m[1][2] = rates[1];
  m[0][2] = rates[2];
  return m;
}

// Takes a classic parameter set; returns the same model in general form
// (floor weights, free recombination, one-way mutation). Each engine gives
// the same generations, draw for draw, from either.
constexpr model_params general_params(const run_params& classic) {
  model_params params;
  params.fitness = classic.fitness;
  params.generation_size = classic.generation_size;
  params.mutation_a = classic_matrix(classic.rates_a);
  params.mutation_b = classic_matrix(classic.rates_b);
  params.recombination = 0.5;
  params.weights = weight_rule::floor;
  return params;
}

}  // namespace twolocus
