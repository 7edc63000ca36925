// twolocus-sim's reading of a fitness table: the classic table of codes, or
// a table of real fitness values in the same layout (four allele tokens,
// then one or more columns; "#" lines are comments, blank lines are
// skipped). Read strictly: every other line names a genotype and has the
// column asked for, every code is 0..8 and every value a finite number of
// at least 0, written whole. A genotype may be listed once for both
// parental orders: one not listed takes the fitness of its mirror (the two
// haplotypes swapped: 1213 <-> 2131); one listed by neither is an error.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "model/model.hpp"

namespace twolocus {

// How the table's column is read.
struct fitness_source {
  bool values = false;  // real fitness values (true) or classic codes
  int column = 1;       // 1: the first column after the four alleles
  double s = 0.0;       // for codes
  double k = 0.0;
  // Under floor, s, k and values are rounded to single precision first, and
  // codes are worked out as twolocus works them out; under exact they stay
  // double.
  weight_rule rule = weight_rule::exact;
};

// How reading went: read; a line that is not four alleles 1..3 and at least
// `column` more tokens (`line`); an unknown code or a bad value (`line`,
// `label`, `token`); a genotype listed twice (`line`, `label`); a genotype
// listed neither itself nor as its mirror (`label`, `token` the mirror); a
// value or code above floor_fitness_max under floor weights (`line`,
// `label`, `token`).
struct fitness_reading {
  enum class outcome { read, bad_line, bad_entry, repeated, missing, too_large };
  outcome result = outcome::read;
  long long line = 0;
  std::string label;
  std::string token;
};

// Takes an open table file and how to read it; reads it to its end into
// `fitness` (the file stays open). Returns how it went.
fitness_reading read_fitness_values(std::FILE* file, const fitness_source& source,
                                    fitness_table& fitness);

// Takes a fitness code 0..8, s and k; returns the code's fitness in double
// precision (the rule of the exact weights).
double code_fitness_double(int code, double s, double k);

// Takes a fitness table; returns it as a table of values that
// read_fitness_values reads back exactly (column 1): a comment, then one
// line per genotype in index order, its four alleles and its value (%.17g),
// tab-separated.
std::string fitness_values_text(const fitness_table& fitness);

// Takes a genotype index; returns the index of its mirror.
int mirror_index(int index);

}  // namespace twolocus
