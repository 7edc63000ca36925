// libFuzzer target of the Demes reader: the input is the whole text, read
// both as a Demes file (YAML) and as the resolved model's JSON. A refusal
// must be one line; a model that reads is written as JSON in both layouts,
// each read back to the same model and written again to the same bytes.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "io/demes.hpp"
#include "io/demes_json.hpp"

namespace {

void check(bool read, const twolocus::demography& model, const std::string& error) {
  if (!read) {
    if (error.empty() || error.find_first_of("\n\r") != std::string::npos) std::abort();
    return;
  }
  for (const auto layout : {twolocus::json_layout::one_line, twolocus::json_layout::indented}) {
    const std::string json = twolocus::demography_json(model, layout);
    twolocus::demography again;
    std::string problem;
    if (!twolocus::read_demography_json(json, again, problem) || !(again == model) ||
        twolocus::demography_json(again, layout) != json)
      std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  twolocus::demography model;
  std::string error;
  check(twolocus::read_demes(text, model, error), model, error);
  twolocus::demography from_json;
  check(twolocus::read_demography_json(text, from_json, error), from_json, error);
  return 0;
}
