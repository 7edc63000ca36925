// The statistics of a population, the columns of twolocus-stats, each
// defined once here: the frequencies of alleles and haplotypes, D, D', r2,
// the heterozygosities, the classes occupied, N, extinct and the mean
// fitness. The conditions compare their exact values (model/conditions),
// and the summaries of twolocus-sim and the Python tools write them rounded
// once to the nearest double (population_statistic_values).
//
// Frequencies are over the 2N haplotypes: an individual of genotype
// (a1, a2, b1, b2) carries the haplotypes a1-b1 (slots 1 and 3) and a2-b2
// (slots 2 and 4). D, D' and r2 are those of allele 1 at both loci. Every
// statistic is a ratio of integer sums of the counts (a count may be
// negative in a hand-made trajectory; the ratios are taken as they come).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "model/model.hpp"

namespace twolocus {

// The statistics, in the order of twolocus-stats' columns.
enum class population_statistic : uint8_t {
  n, a1, a2, a3, b1, b2, b3, h11, h12, h13, h21, h22, h23, h31, h32, h33,
  d, dprime, r2, ha, hb, classes, mean_fitness, extinct,
};
inline constexpr int statistic_count = 24;

// Takes a statistic; returns its column name ("N", "a1", ..., "Dprime",
// "mean_fitness", "extinct").
std::string_view statistic_name(population_statistic which);

// A non-negative integer of up to 40 64-bit limbs, least significant first,
// without leading zero limbs (size 0 is zero). The largest operand is a
// mean fitness numerator over the doubles' whole exponent range (about 2140
// bits) times an r2 denominator (under 160 bits).
inline constexpr int wide_limbs = 40;
struct wide {
  int size;
  std::array<uint64_t, wide_limbs> limb;
};

// An exact value: sign * num / den * 2^exponent, den > 0, or undefined
// (every comparison with an undefined value is false).
struct exact_value {
  bool defined;
  int sign;
  int exponent;
  wide num;
  wide den;
};

// The sums of a population that the statistics are ratios of.
struct population_sums {
  int64_t total = 0;    // N
  int64_t classes = 0;  // genotypes with a count above 0
  // Copies of alleles a1..a3, b1..b3 and of haplotypes h11..h33.
  std::array<int64_t, 15> copies{};
};

// Takes a population; adds its copies of each allele and haplotype, and its
// total, to `sums` (which starts at zero).
void add_copies(const population_counts& counts, population_sums& sums);

// Takes a population; returns all its sums.
population_sums sums_of(const population_counts& counts);

// Takes a population, its sums (add_copies and the classes where the
// statistic needs them), its fitness table (nullptr: none) and a statistic;
// sets `value` to the statistic's exact value. Undefined: the frequencies,
// D, D', r2, Ha, Hb and mean_fitness of an extinct population; D' and r2
// with allele 1 fixed or lost at a locus; mean_fitness without a fitness
// table or with a non-finite fitness of an occupied class.
void statistic_value(const population_counts& counts, const population_sums& sums,
                     const fitness_table* fitness, population_statistic which, exact_value& value);

// Sets `value` to numerator / denominator (denominator not 0).
__extension__ using exact_int = __int128;
void set_quotient(exact_value& value, exact_int numerator, exact_int denominator);

// Sets `value` to the double x, taken exactly.
void set_double(exact_value& value, double x);

// Takes two defined values; returns -1, 0 or 1 as a <, == or > b.
int compare_values(const exact_value& a, const exact_value& b);

// Takes a value; returns it rounded once to the nearest double (ties to
// even), as Python's int / int and float(Fraction) give a ratio; NaN when
// it is undefined.
double nearest_double(const exact_value& value);

// Takes a population and its fitness table; returns the mean fitness as
// the tools write it: the products count x fitness (each a double) summed
// exactly and rounded once, as Python's math.fsum does, then divided by N.
double summed_mean_fitness(const population_counts& counts, const fitness_table& fitness);

// The statistics of one population in column order, as twolocus-stats and
// OUT.summary.tsv write them: N, classes and extinct as whole numbers; each
// ratio rounded once (nearest_double); mean_fitness by summed_mean_fitness;
// nothing where a statistic is undefined (mean_fitness too without a
// fitness table).
using statistic_values = std::array<std::optional<double>, statistic_count>;
void population_statistic_values(const population_counts& counts, const fitness_table* fitness,
                                 statistic_values& values);

}  // namespace twolocus
