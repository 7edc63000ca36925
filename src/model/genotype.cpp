#include "model/genotype.hpp"

namespace twolocus {

std::array<char, 5> genotype_label(int index) {
  std::array<char, 5> label{};
  for (int slot = 1; slot <= 4; ++slot) {
    label[static_cast<size_t>(slot - 1)] = static_cast<char>('1' + index_digit(index, slot));
  }
  label[4] = '\0';
  return label;
}

std::optional<long double> code_fitness(int8_t code, double s, float k) {
  // The single-precision coefficients are widened before any arithmetic,
  // which is then exact for every s and k the command line can give.
  const long double ws = s;
  const long double wk = k;
  switch (code) {
    case 0: return 0.0L;
    case 1: return 1.0L;
    case 2: return 1 + (wk - ws) * 0.5L;
    case 3: return 1 + (wk * 3) * 0.25L;
    case 4: return 1 + wk;
    case 5: return 1 + wk * 0.5L;
    case 6: return 1 + wk * 0.25L;
    case 7: return 1 - ws;
    case 8: return 1 - ws * 0.5L;
    default: return std::nullopt;
  }
}

}  // namespace twolocus
