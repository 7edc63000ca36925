// Genotype index encoding, printed labels and the fitness codes.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "model/model.hpp"

namespace twolocus {

// Weight of each allele slot in a genotype index: slot 1 (locus a, first
// parent), slot 2 (locus a, second parent), slot 3 and slot 4 (locus b).
inline constexpr std::array<int, 4> slot_weight = {1, 3, 9, 27};

// Takes four allele digits (allele - 1, each 0..2) of slots 1..4; returns the
// genotype index 0..80.
constexpr int compose_index(int d1, int d2, int d3, int d4) {
  return d1 + 3 * d2 + 9 * d3 + 27 * d4;
}

// Takes a genotype index 0..80 and a slot 1..4; returns that slot's digit 0..2.
constexpr int index_digit(int index, int slot) {
  switch (slot) {
    case 1: return index % 3;
    case 2: return (index / 3) % 3;
    case 3: return (index / 9) % 3;
    default: return index / 27;
  }
}

// Takes a genotype index 0..80; returns its four-character label, the
// alleles of slots 1..4 (for example index 3 -> "1211"), NUL-terminated.
std::array<char, 5> genotype_label(int index);

// Takes a fitness code (already narrowed to a signed 8-bit value), s widened
// to double and k in single precision; returns the code's fitness, or
// nothing for a code outside 0..8 (the caller reports it and uses 1).
std::optional<long double> code_fitness(int8_t code, double s, float k);

}  // namespace twolocus
