// libFuzzer target of the parameter file reader: the input is the whole
// parameter file, read as a resume reads it (line 1, then the rest). A file
// that reads must also survive the trip a resume gives it: what the program
// writes from the parameters read (as .params.new, with the seed line when
// one was read) reads again, to the same parameters, so that writing them
// again gives the same bytes.
#include <cstdlib>
#include <optional>
#include <string>

#include "fuzz_input.hpp"
#include "io/params.hpp"

namespace {

// Takes an open parameter file; returns whether both parts read.
bool read_params(std::FILE* file, twolocus::run_params& params, std::optional<int32_t>& seed) {
  return twolocus::read_params_head(file, params) &&
         twolocus::read_params_body(file, params, seed).result ==
             twolocus::params_body_reading::outcome::read;
}

std::string written(const twolocus::run_params& params, const std::optional<int32_t>& seed) {
  char* buffer = nullptr;
  size_t size = 0;
  std::FILE* file = open_memstream(&buffer, &size);
  if (file == nullptr) std::abort();
  twolocus::write_params(file, params);
  if (seed) twolocus::write_params_seed(file, *seed);
  std::fclose(file);
  std::string text(buffer, size);
  std::free(buffer);
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  twolocus::fuzz::silence_stdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  twolocus::run_params params;
  std::optional<int32_t> seed;
  std::FILE* file = twolocus::fuzz::stream_of(data, size);
  const bool read = read_params(file, params, seed);
  std::fclose(file);
  if (!read) return 0;

  std::string first = written(params, seed);
  twolocus::run_params again;
  std::optional<int32_t> seed_again;
  file = twolocus::fuzz::stream_of(reinterpret_cast<const uint8_t*>(first.data()), first.size());
  const bool read_again = read_params(file, again, seed_again);
  std::fclose(file);
  if (!read_again) {
    std::fprintf(stderr, "The parameters the program writes from this file do not read:\n%s", first.c_str());
    std::abort();
  }
  if (seed_again != seed || written(again, seed_again) != first) {
    std::fprintf(stderr, "The parameters read from what the program writes differ:\n%s", first.c_str());
    std::abort();
  }
  return 0;
}
