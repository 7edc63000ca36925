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
  // The operand types are deliberate: k * 3 and 1 + k are single-precision
  // operations, everything that meets s or a double constant is double.
  switch (code) {
    case 0: return 0.0L;
    case 1: return 1.0L;
    case 2: return 1 + (k - s) * 0.5;
    case 3: return 1 + (k * 3) * 0.25;
    case 4: return 1 + k;
    case 5: return 1 + k * 0.5;
    case 6: return 1 + k * 0.25;
    case 7: return 1 - s;
    case 8: return 1 - s * 0.5;
    default: return std::nullopt;
  }
}

}  // namespace twolocus
