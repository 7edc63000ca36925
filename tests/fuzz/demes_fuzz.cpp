// libFuzzer target of the Demes reader: the input is the whole YAML text. A
// model that reads is written as JSON in both layouts, each read back to the
// same model and written again to the same bytes.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "io/demes.hpp"
#include "io/demes_json.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  twolocus::demography model;
  std::string error;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (!twolocus::read_demes(text, model, error)) {
    // A refusal is one line, never empty.
    if (error.empty() || error.find_first_of("\n\r") != std::string::npos) std::abort();
    return 0;
  }
  for (const auto layout : {twolocus::json_layout::one_line, twolocus::json_layout::indented}) {
    const std::string json = twolocus::demography_json(model, layout);
    twolocus::demography again;
    if (!twolocus::read_demography_json(json, again, error) || !(again == model) ||
        twolocus::demography_json(again, layout) != json)
      std::abort();
  }
  return 0;
}
