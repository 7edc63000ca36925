// The fitness table file: one genotype per line (four allele tokens, then
// one or more fitness code columns), tab-separated, "#" lines are comments.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>

#include "model/model.hpp"

namespace twolocus {

// What a reader calls for each unknown fitness code it meets (the caller
// reports it); empty: nothing is called.
using unknown_code_report = std::function<void(int code)>;

// Takes a fitness code (only its low 8 bits count, as a signed value), s
// widened to double, k in single precision and what to call for an unknown
// code; returns the fitness. An unknown code calls `report` with the code as
// a signed value and gives 1.
long double fitness_codes(int8_t code, double s, float k, const unknown_code_report& report = {});

// Takes an open fitness table file, the code column (1 names the first token
// after the four alleles; only 1..124 can assign), s, k and what to call for
// an unknown code. Reads the file to its end and closes it, resolving each
// genotype's code through `fitness_codes`; the last line naming a genotype
// wins. Lines with fewer tokens than the column needs, or with an allele
// token whose value is not 1, 2 or 3, assign nothing. Genotypes never
// assigned get fitness 0. Returns the number of such genotypes.
int read_fitness_table(std::FILE* file, int8_t column, float s, float k, fitness_table& fitness,
                       const unknown_code_report& report = {});

}  // namespace twolocus
