// Fitness from coefficients: each locus's fitness of its six unordered
// genotypes (11, 12, 13, 22, 23, 33), given outright or by selection and
// dominance coefficients of alleles 2 and 3 against 1, combined across the
// two loci multiplicatively or additively, with an epistasis term between
// the loci's derived alleles (2 and 3). The result is an ordinary fitness
// table of the 81 genotypes.
//
// By coefficients, at one locus (w(11) = 1):
//   w(12) = 1 + h2 s2    w(22) = 1 + s2
//   w(13) = 1 + h3 s3    w(33) = 1 + s3
//   w(23) = 1 + (s2 + s3) / 2    (the mean of the two homozygotes' effects)
// Across loci, with d_a and d_b the number of derived alleles (0, 1 or 2)
// at each locus and E the epistasis:
//   multiplicative  W = w_a w_b (1 + E (d_a / 2)(d_b / 2))
//   additive        W = 1 + (w_a - 1) + (w_b - 1) + E (d_a / 2)(d_b / 2)
// so that with s2 = -s at both loci, h2 = 1/2 and additive combination the
// single-mutant homozygotes (2211, 1122) have 1 - s and the double mutant
// 2222 has 1 - 2s + E: the classic valley's 1 + k with E = k + 2s. A
// fitness below 0 is taken as 0.
#pragma once

#include <array>
#include <optional>

#include "model/model.hpp"

namespace twolocus {

// One locus's fitness of its six unordered genotypes, in the order 11, 12,
// 13, 22, 23, 33.
using locus_fitness = std::array<double, 6>;

// Selection and dominance coefficients of alleles 2 and 3 against 1.
struct locus_coefficients {
  double s2 = 0.0;
  double h2 = 0.5;
  double s3 = 0.0;
  double h3 = 0.5;
  bool operator==(const locus_coefficients&) const = default;
};

enum class combination { multiplicative, additive };

// A run's fitness by coefficients: both loci's, their combination and the
// epistasis.
struct fitness_coefficients {
  locus_coefficients a;
  locus_coefficients b;
  combination how = combination::multiplicative;
  double epistasis = 0.0;
  // A locus's six fitnesses given outright: used instead of its s and h.
  std::optional<locus_fitness> fitness_a;
  std::optional<locus_fitness> fitness_b;
  bool operator==(const fitness_coefficients&) const = default;
};

// Takes a locus's coefficients; returns its six genotypes' fitness.
locus_fitness fitness_of_coefficients(const locus_coefficients& coefficients);

// Takes both loci's six fitnesses, the combination and the epistasis;
// returns the fitness of each of the 81 genotypes (0 where the formula
// gives less).
fitness_table two_locus_fitness(const locus_fitness& a, const locus_fitness& b, combination how,
                                double epistasis);

// Takes a run's coefficients and its weight rule; returns the fitness of
// the 81 genotypes (a locus by its six fitnesses where given, else by its s
// and h), each under floor weights taken to the nearest float as a
// table of values is read (the caller checks floor_fitness_max before, on
// the exact values).
fitness_table coefficient_fitness(const fitness_coefficients& coefficients,
                                  weight_rule rule = weight_rule::exact);

// Takes an unordered locus genotype's alleles (0 to 2 each); returns its
// place in a locus_fitness (11, 12, 13, 22, 23, 33).
int unordered_place(int first, int second);

}  // namespace twolocus
