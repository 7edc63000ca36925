// libFuzzer target of twolocus-sim's parameter file reader: the input is the
// whole file. A file that reads is written back and read again, to the same
// parameters, so that writing them again gives the same bytes.
#include <cstdlib>
#include <string>

#include "fuzz_input.hpp"
#include "io/sim_params.hpp"

namespace {

bool read(const std::string& text, twolocus::sim_params& params) {
  std::FILE* file = twolocus::fuzz::stream_of(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  const bool ok = twolocus::read_sim_params(file, params).result == twolocus::sim_params_reading::outcome::read;
  std::fclose(file);
  return ok;
}

std::string written(const twolocus::sim_params& params) {
  char* buffer = nullptr;
  size_t size = 0;
  std::FILE* file = open_memstream(&buffer, &size);
  if (file == nullptr) std::abort();
  twolocus::write_sim_params(file, params);
  std::fclose(file);
  std::string text(buffer, size);
  std::free(buffer);
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  twolocus::sim_params params;
  if (!read(std::string(reinterpret_cast<const char*>(data), size), params)) return 0;
  const std::string first = written(params);
  twolocus::sim_params again;
  if (!read(first, again) || written(again) != first) std::abort();
  return 0;
}
