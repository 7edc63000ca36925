// Benchmarks of the Demes reader: reading and resolving the largest example
// (jacobs_papuans.yaml, ten demes, migrations and pulses; the target is well
// under 10 ms), the smallest, and writing the resolved model as JSON and
// reading that back (as a resume will).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "io/demes.hpp"
#include "io/demes_json.hpp"

namespace twolocus {
namespace {

std::string example(const std::string& name) {
  std::ifstream file(std::string(TWOLOCUS_SOURCE_DIR) + "/tests/cases/demes/examples/" + name,
                     std::ios::binary);
  if (!file) std::abort();
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

demography read_or_abort(const std::string& text) {
  demography model;
  std::string error;
  if (!read_demes(text, model, error)) std::abort();
  return model;
}

void bm_read_largest_example(benchmark::State& state) {
  const std::string text = example("jacobs_papuans.yaml");
  for (auto _ : state) benchmark::DoNotOptimize(read_or_abort(text));
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}
BENCHMARK(bm_read_largest_example)->Unit(benchmark::kMicrosecond);

void bm_read_minimal_example(benchmark::State& state) {
  const std::string text = example("minimal.yaml");
  for (auto _ : state) benchmark::DoNotOptimize(read_or_abort(text));
}
BENCHMARK(bm_read_minimal_example)->Unit(benchmark::kMicrosecond);

void bm_write_largest_example_json(benchmark::State& state) {
  const demography model = read_or_abort(example("jacobs_papuans.yaml"));
  for (auto _ : state) benchmark::DoNotOptimize(demography_json(model, json_layout::one_line));
}
BENCHMARK(bm_write_largest_example_json)->Unit(benchmark::kMicrosecond);

void bm_read_largest_example_json(benchmark::State& state) {
  const std::string json =
      demography_json(read_or_abort(example("jacobs_papuans.yaml")), json_layout::one_line);
  for (auto _ : state) {
    demography model;
    std::string error;
    if (!read_demography_json(json, model, error)) std::abort();
    benchmark::DoNotOptimize(model);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(json.size()));
}
BENCHMARK(bm_read_largest_example_json)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace twolocus
