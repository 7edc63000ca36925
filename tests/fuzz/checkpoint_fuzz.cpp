// libFuzzer target of the checkpoint reader of the trajectory file: the input
// is the whole trajectory file. When a record is restored, both population
// arrays must hold it.
#include <cstdlib>

#include "fuzz_input.hpp"
#include "io/trajectory.hpp"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  twolocus::fuzz::silence_stdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  twolocus::population_counts current{};
  twolocus::population_counts next{};
  next.fill(-7);
  std::FILE* file = twolocus::fuzz::stream_of(data, size);
  const auto reading = twolocus::read_checkpoint(file, current, next);
  std::fclose(file);
  if (reading.result == twolocus::checkpoint_reading::outcome::restored && current != next) {
    std::abort();
  }
  return 0;
}
