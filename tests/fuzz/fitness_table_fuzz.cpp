// libFuzzer target of the fitness table reader. The first 9 bytes choose the
// code column (one signed byte, as the program narrows its argument) and s
// and k in whole percent (two little-endian 32-bit integers, divided by 100
// as the command line's are); the rest is the table file.
#include <array>
#include <cstdlib>
#include <cstring>

#include "fuzz_input.hpp"
#include "io/fitness_table.hpp"

namespace {

constexpr size_t prefix_size = 9;

int32_t int32_at(const uint8_t* bytes) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | bytes[i];
  return static_cast<int32_t>(value);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  twolocus::fuzz::silence_stdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < prefix_size) return -1;  // not kept in the corpus
  const auto column = static_cast<int8_t>(data[0]);
  const auto s = static_cast<float>(int32_at(data + 1) / 100.0);
  const auto k = static_cast<float>(int32_at(data + 5) / 100.0);
  twolocus::fitness_table fitness;
  std::FILE* file = twolocus::fuzz::stream_of(data + prefix_size, size - prefix_size);
  // The reader closes the file itself.
  const int unassigned = twolocus::read_fitness_table(file, column, s, k, fitness);
  if (unassigned < 0 || unassigned > twolocus::genotype_count) std::abort();
  return 0;
}
