// Micro-benchmarks of the generator and the two steps, each fast engine next
// to its literal counterpart on the same inputs. Per-item rates are per draw
// (generator) or per individual (steps).
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdlib>

#include "model/conditions.hpp"
#include "model/literal_steps.hpp"
#include "model/random.hpp"
#include "model/steps.hpp"

namespace twolocus {
namespace {

draw_stream stream;
literal_stream literal;

constexpr int32_t population = 10000;

void bm_draws_in_process(benchmark::State& state) {
  seed_draws(stream, 2222);
  int64_t sum = 0;
  for (auto _ : state) {
    const int32_t* draw = draws_ahead(stream, 1000);
    for (int i = 0; i < 1000; ++i) sum += draw[i];
    skip_draws(stream, 1000);
  }
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(bm_draws_in_process);

void bm_draws_one_at_a_time(benchmark::State& state) {
  seed_draws(stream, 2222);
  int64_t sum = 0;
  for (auto _ : state) sum += raw_draw(stream);
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(bm_draws_one_at_a_time);

void bm_draws_c_library(benchmark::State& state) {
  seed_literal(literal, 2222);
  int64_t sum = 0;
  for (auto _ : state) sum += literal_raw_draw(literal);
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(bm_draws_c_library);

// Argument 0: everyone in genotype 1111; 1: spread evenly over all classes;
// 2: 83 percent in 1111, the rest spread over 32 classes.
population_counts start_population(int64_t spread) {
  population_counts counts{};
  if (spread == 0) {
    counts[0] = population;
  } else if (spread == 2) {
    counts[0] = population - 32 * 53;
    for (size_t l = 1; l <= 32; ++l) counts[l * 2] = 53;
  } else {
    for (auto& count : counts) count = population / genotype_count;
    counts[0] += population % genotype_count;
  }
  return counts;
}

fitness_table varied_fitness() {
  fitness_table fitness{};
  for (size_t l = 0; l < fitness.size(); ++l) fitness[l] = 0.9 + 0.005 * static_cast<double>(l % 40);
  return fitness;
}

// Runs `step` on a fresh copy of the population of argument 0 per
// iteration, both generators seeded alike.
template <typename step_function>
void time_step(benchmark::State& state, step_function step) {
  const population_counts start = start_population(state.range(0));
  population_counts current{}, next{};
  seed_draws(stream, 2222);
  seed_literal(literal, 2222);
  for (auto _ : state) {
    current = start;
    step(current, next);
    benchmark::DoNotOptimize(current);
    benchmark::DoNotOptimize(next);
  }
  state.SetItemsProcessed(state.iterations() * population);
}

// Argument 1: each rate is 10^-(argument).
template <bool fast>
void bm_mutation(benchmark::State& state) {
  const double rate = std::pow(10.0, -static_cast<double>(state.range(1)));
  const mutation_rates rates = {rate, rate, rate};
  time_step(state, [&rates](population_counts& current, population_counts& next) {
    if constexpr (fast) {
      mutate_population(stream, current, next, rates, rates);
    } else {
      mutate_population_literal(literal, current, next, rates, rates);
    }
  });
}
BENCHMARK(bm_mutation<true>)->Name("bm_mutation_fast")->ArgsProduct({{0, 1}, {3, 8}});
BENCHMARK(bm_mutation<false>)->Name("bm_mutation_literal")->ArgsProduct({{0, 1}, {3, 8}});

template <bool fast>
void bm_mating(benchmark::State& state) {
  const fitness_table fitness = varied_fitness();
  time_step(state, [&fitness](population_counts& current, population_counts& next) {
    if constexpr (fast) {
      select_and_mate(stream, current, next, fitness, population);
    } else {
      select_and_mate_literal(literal, current, next, fitness, population);
    }
  });
}
BENCHMARK(bm_mating<true>)->Name("bm_mating_fast")->Arg(0)->Arg(1)->Arg(2);
BENCHMARK(bm_mating<false>)->Name("bm_mating_literal")->Arg(0)->Arg(1)->Arg(2);

// One evaluation of a condition, as after every generation of a run with
// --stop or --watch, on the population of argument 0 (see start_population)
// with the varied fitness table.
void bm_condition(benchmark::State& state, const char* text) {
  const parsed_condition parsed = parse_condition(text);
  if (parsed.error.kind != condition_error_kind::none) std::abort();
  const population_counts counts = start_population(state.range(0));
  const fitness_table fitness = varied_fitness();
  int64_t held = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(counts);
    held += evaluate_condition(parsed.value, counts, &fitness);
  }
  benchmark::DoNotOptimize(held);
}
BENCHMARK_CAPTURE(bm_condition, h22, "h22 >= 0.5")->Arg(0)->Arg(1)->Arg(2);
BENCHMARK_CAPTURE(bm_condition, count, "count(2122) > 0")->Arg(2);
BENCHMARK_CAPTURE(bm_condition, ld, "Dprime < -0.5 or r2 > 0.25 and D > 0")->Arg(1)->Arg(2);
BENCHMARK_CAPTURE(bm_condition, mean_fitness, "mean_fitness >= 0.95")->Arg(0)->Arg(1)->Arg(2);
BENCHMARK_CAPTURE(bm_condition, study, "a1 < 0.01 or a1 > 0.99 or b1 < 0.01 or b1 > 0.99 or extinct")->Arg(2);

}  // namespace
}  // namespace twolocus
