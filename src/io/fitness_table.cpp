#include "io/fitness_table.hpp"

#include <array>

#include "io/numbers.hpp"
#include "model/genotype.hpp"

namespace twolocus {

long double fitness_codes(int8_t code, double s, float k, const unknown_code_report& report) {
  if (const auto known = code_fitness(code, s, k)) return *known;
  if (report) report(code);
  return 1;
}

namespace {

constexpr int max_column = 124;

// Takes one line that is not a comment; assigns the genotype it names, if it
// names one with a code in `column`.
void read_table_line(char* line, int column, float s, float k, fitness_table& fitness,
                     std::array<bool, genotype_count>& assigned, const unknown_code_report& report) {
  int index = 0;
  char* cursor = line;
  for (int position = 0; position <= column + 3; ++position) {
    const char* token = next_token(cursor, "\t");
    if (token == nullptr) return;
    const int32_t value = c_atoi(token);
    if (position < 4) {
      if (value < 1 || value > 3) return;
      index += (value - 1) * slot_weight[static_cast<size_t>(position)];
    } else if (position == column + 3) {
      const auto slot = static_cast<size_t>(index);
      fitness[slot] = static_cast<double>(fitness_codes(static_cast<int8_t>(value), s, k, report));
      assigned[slot] = true;
    }
  }
}

}  // namespace

int read_fitness_table(std::FILE* file, int8_t column, float s, float k, fitness_table& fitness,
                       const unknown_code_report& report) {
  std::array<bool, genotype_count> assigned{};
  fitness.fill(0.0);
  line_buffer line;
  while (read_line(file, line)) {
    if (line[0] == '#') continue;
    if (column < 1 || column > max_column) continue;
    read_table_line(line.data(), column, s, k, fitness, assigned, report);
  }
  std::fclose(file);
  int unassigned = 0;
  for (const bool is_assigned : assigned) {
    if (!is_assigned) ++unassigned;
  }
  return unassigned;
}

}  // namespace twolocus
