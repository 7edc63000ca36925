// The class-count engine samples the exact engine's model: with fixed seeds
// (so every p-value below is one fixed number), one generation's counts of
// both engines against the exact multinomial probabilities, and many
// generations of both compared as two samples. Each test prints its
// p-values; a p-value below `level` fails. Long: Release suite only.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "io/fitness_table.hpp"
#include "model/genotype.hpp"
#include "model/multinomial.hpp"
#include "model/random.hpp"
#include "model/steps.hpp"
#include "support/chi_square.hpp"
#include "support/offspring.hpp"

namespace twolocus {
namespace {

using testing::chi_square_p;
using testing::goodness_of_fit;

// The engines' streams, one of each, shared by the tests of this file.
draw_stream stream;
class_stream classes;

constexpr double level = 1e-4;

void expect_p(const std::string& what, double p) {
  std::printf("p-value %-58s %.3g\n", what.c_str(), p);
  EXPECT_GE(p, level) << what;
}

// Two samples of one quantity: Pearson's homogeneity test on bins cut at
// the pooled deciles, adjacent bins merged until each holds 20 values.
double two_sample(const std::vector<double>& a, const std::vector<double>& b) {
  std::vector<double> pooled = a;
  pooled.insert(pooled.end(), b.begin(), b.end());
  std::sort(pooled.begin(), pooled.end());
  std::vector<double> edges;
  for (int k = 1; k < 10; ++k) {
    const double edge = pooled[pooled.size() * static_cast<size_t>(k) / 10];
    if (edges.empty() || edge > edges.back()) edges.push_back(edge);
  }
  const auto bin_of = [&](double v) {
    return static_cast<size_t>(std::lower_bound(edges.begin(), edges.end(), v) - edges.begin());
  };
  std::vector<std::array<double, 2>> bins(edges.size() + 1);
  for (const double v : a) ++bins[bin_of(v)][0];
  for (const double v : b) ++bins[bin_of(v)][1];
  std::vector<std::array<double, 2>> merged;
  std::array<double, 2> open{};
  for (const auto& bin : bins) {
    open[0] += bin[0], open[1] += bin[1];
    if (open[0] + open[1] >= 20) merged.push_back(open), open = {};
  }
  if (merged.empty()) return 1.0;
  merged.back()[0] += open[0], merged.back()[1] += open[1];
  const double n_a = static_cast<double>(a.size()), n_b = static_cast<double>(b.size());
  double statistic = 0;
  for (const auto& bin : merged) {
    const double both = bin[0] + bin[1];
    const double e_a = both * n_a / (n_a + n_b), e_b = both * n_b / (n_a + n_b);
    statistic += (bin[0] - e_a) * (bin[0] - e_a) / e_a + (bin[1] - e_b) * (bin[1] - e_b) / e_b;
  }
  return chi_square_p(statistic, static_cast<int>(merged.size()) - 1);
}

run_params valley_params(int column, float s, float k, int32_t size, double rate_12, double rate_other) {
  run_params params;
  params.s = s / 100, params.k = k / 100;
  params.generation_size = size;
  params.rates_a = params.rates_b = {rate_12, rate_other, rate_other};
  std::FILE* table = std::fopen(TWOLOCUS_SOURCE_DIR "/examples/valley.tsv", "r");
  read_fitness_table(table, static_cast<int8_t>(column), params.s, params.k, params.fitness);
  return params;
}

// The two engines, as the two programs run a generation.
using engine = std::function<void(population_counts&, population_counts&, const run_params&, int64_t)>;
const engine exact = [](population_counts& current, population_counts& next, const run_params& p, int64_t) {
  mutate_population(stream, current, next, p.rates_a, p.rates_b);
  select_and_mate(stream, current, next, p.fitness, p.generation_size);
};
const engine by_class = [](population_counts& current, population_counts& next, const run_params& p,
                           int64_t g) {
  const model_params model = general_params(p);
  sample_generation(classes, current, next, model,
                    make_class_model(model.mutation_a, model.mutation_b, model.recombination), g);
};

void seed_engines(int32_t seed) {
  seed_draws(stream, seed);
  key_class_draws(classes, seed);
}

// Probability that an individual of class j has class i after mutation:
// each slot's change as its share of the raw draws.
std::vector<double> mutation_probabilities(int j, const run_params& p) {
  std::vector<double> probability(genotype_count, 0.0);
  for (int i = 0; i < genotype_count; ++i) {
    double product = 1;
    for (int slot = 1; slot <= 4; ++slot) {
      const mutation_rates& r = slot <= 2 ? p.rates_a : p.rates_b;
      const double t12 = draw_threshold(r[0]), t13 = std::max<double>(draw_threshold(r[0] + r[2]), t12);
      const int from = index_digit(j, slot), to = index_digit(i, slot);
      const double shares[3][3] = {{2147483648.0 - t13, t12, t13 - t12},
                                   {0, 2147483648.0 - static_cast<double>(draw_threshold(r[1])), static_cast<double>(draw_threshold(r[1]))},
                                   {0, 0, 2147483648.0}};
      product *= shares[from][to] / 2147483648.0;
    }
    probability[static_cast<size_t>(i)] = product;
  }
  return probability;
}

// Probability of each offspring class: two independent parents, each class
// by its share of the walk, each allele of a locus with probability 1/2.
std::vector<double> offspring_probabilities(const population_counts& counts, const fitness_table& fitness) {
  parent_shares shares{};
  parent_class_shares(counts, fitness, shares);
  std::array<double, 9> gamete{};
  gamete[0] = shares[genotype_count] / 2147483648.0;
  for (int l = 0; l < genotype_count; ++l) {
    for (const int a : {index_digit(l, 1), index_digit(l, 2)}) {
      for (const int b : {index_digit(l, 3), index_digit(l, 4)}) {
        gamete[static_cast<size_t>(a + 3 * b)] += shares[static_cast<size_t>(l)] / 2147483648.0 / 4;
      }
    }
  }
  return testing::offspring_of_gametes(gamete);
}

TEST(OneGeneration, CountsOfBothEnginesFitTheExactProbabilities) {
  constexpr int replicates = 2000;
  const run_params mutating = valley_params(2, 5, 10, 0, 0.11, 0.07);
  for (const int j : {0, compose_index(0, 1, 0, 2)}) {  // 1111 and 1213
    for (const auto& [name, step] : {std::pair{"exact", true}, std::pair{"by class", false}}) {
      seed_engines(11);
      std::vector<int64_t> pooled(genotype_count, 0);
      for (int r = 0; r < replicates; ++r) {
        population_counts current{}, next{};
        current[static_cast<size_t>(j)] = 2500;
        start_class_draws(classes, r);
        if (step) mutate_population(stream, current, next, mutating.rates_a, mutating.rates_b);
        else mutate_by_class(classes, current, next, mutating.rates_a, mutating.rates_b);
        for (size_t i = 0; i < pooled.size(); ++i) pooled[i] += next[i];
      }
      expect_p(std::string("mutation of ") + genotype_label(j).data() + ", " + name,
               goodness_of_fit(pooled, mutation_probabilities(j, mutating)));
    }
  }

  const run_params mating = valley_params(1, 5, 10, 2000, 0, 0);
  population_counts one{}, few{}, all{}, heavy{};
  one[static_cast<size_t>(compose_index(1, 0, 1, 0))] = 500;  // 2121: both loci heterozygous
  few[0] = 1200, few[10] = 400, few[compose_index(1, 1, 0, 0)] = 300, few[compose_index(0, 0, 1, 1)] = 100;
  for (size_t l = 0; l < all.size(); ++l) all[l] = static_cast<int32_t>(5 + (l * 37) % 101);
  for (size_t l = 0; l < heavy.size(); ++l) heavy[l] = 20'000'000 + static_cast<int32_t>(l * 77'777);
  const std::pair<const char*, population_counts> populations[] = {
      {"one class", one}, {"a few classes", few}, {"all 81", all}, {"all 81, W > 2^24", heavy}};
  for (const auto& [population, counts] : populations) {
    for (const auto& [name, step] : {std::pair{"exact", true}, std::pair{"by class", false}}) {
      seed_engines(12);
      std::vector<int64_t> pooled(genotype_count, 0);
      for (int r = 0; r < replicates; ++r) {
        population_counts current = counts, next{};
        start_class_draws(classes, r);
        if (step) select_and_mate(stream, current, next, mating.fitness, mating.generation_size);
        else mate_by_class(classes, current, next, mating.fitness, mating.generation_size);
        for (size_t i = 0; i < pooled.size(); ++i) pooled[i] += next[i];
      }
      expect_p(std::string("offspring of ") + population + ", " + name,
               goodness_of_fit(pooled, offspring_probabilities(counts, mating.fitness)));
    }
  }

  // A whole generation, mutation then mating, from all 1111 in the valley:
  // the offspring that are not 1111, per replicate, in both engines.
  const run_params whole = valley_params(1, 5, 10, 1000, 0.002, 0.001);
  std::vector<double> samples[2];
  for (int e = 0; e < 2; ++e) {
    seed_engines(13);
    for (int r = 0; r < 2000; ++r) {
      population_counts current{}, next{};
      current[0] = 1000;
      (e == 0 ? exact : by_class)(current, next, whole, r);
      samples[e].push_back(1000.0 - next[0]);
    }
  }
  expect_p("whole generation, offspring not 1111, two samples", two_sample(samples[0], samples[1]));
}

// What is followed of a run: allele 2 at locus a, haplotype 22 (allele 2 at
// both loci from one parent), and the first generations where the allele
// reaches 1/10 and the haplotype 1/2 (3000 if none of 0..1999 does).
struct run_summary {
  std::array<double, 2> allele{}, haplotype{};
  double allele_tenth = 3000, crossing = 3000;
};

run_summary follow(const engine& step, const run_params& params, int32_t seed) {
  seed_engines(seed);
  population_counts current{}, next{};
  current[0] = params.generation_size;
  run_summary summary;
  for (int g = 0; g < 2000; ++g) {
    step(current, next, params, g);
    current = next;
    double allele = 0, haplotype = 0;
    for (int l = 0; l < genotype_count; ++l) {
      const double c = current[static_cast<size_t>(l)];
      allele += c * ((index_digit(l, 1) == 1) + (index_digit(l, 2) == 1));
      haplotype += c * ((index_digit(l, 1) == 1 && index_digit(l, 3) == 1) +
                        (index_digit(l, 2) == 1 && index_digit(l, 4) == 1));
    }
    const double copies = 2.0 * params.generation_size;
    if (allele / copies >= 0.1 && summary.allele_tenth == 3000) summary.allele_tenth = g;
    if (haplotype / copies >= 0.5 && summary.crossing == 3000) summary.crossing = g;
    const int at = g == 199 ? 0 : g == 1999 ? 1 : -1;
    if (at >= 0) {
      summary.allele[static_cast<size_t>(at)] = allele / copies;
      summary.haplotype[static_cast<size_t>(at)] = haplotype / copies;
    }
  }
  return summary;
}

void compare_many_generations(const std::string& name, const run_params& params) {
  constexpr int replicates = 1000;
  std::vector<run_summary> runs[2];
  for (int e = 0; e < 2; ++e) {
    for (int r = 0; r < replicates; ++r) runs[e].push_back(follow(e == 0 ? exact : by_class, params, 5000 + r));
  }
  const auto column = [&](int e, const std::function<double(const run_summary&)>& pick) {
    std::vector<double> values;
    for (const auto& run : runs[e]) values.push_back(pick(run));
    return values;
  };
  const auto compare = [&](const std::string& what, const std::function<double(const run_summary&)>& pick) {
    expect_p(name + ", " + what, two_sample(column(0, pick), column(1, pick)));
  };
  compare("allele a2 after 200", [](const run_summary& s) { return s.allele[0]; });
  compare("allele a2 after 2000", [](const run_summary& s) { return s.allele[1]; });
  compare("haplotype 22 after 200", [](const run_summary& s) { return s.haplotype[0]; });
  compare("haplotype 22 after 2000", [](const run_summary& s) { return s.haplotype[1]; });
  compare("generation allele a2 reaches 1/10", [](const run_summary& s) { return s.allele_tenth; });
  compare("generation haplotype 22 reaches 1/2", [](const run_summary& s) { return s.crossing; });
  for (int e = 0; e < 2; ++e) {
    const auto crossed = std::count_if(runs[e].begin(), runs[e].end(), [](const run_summary& s) { return s.crossing < 3000; });
    std::vector<double> times = column(e, [](const run_summary& s) { return s.crossing; });
    std::nth_element(times.begin(), times.begin() + replicates / 2, times.end());
    std::printf("%s, %s engine: %ld of %d replicates crossed, median generation %g\n", name.c_str(),
                e == 0 ? "exact" : "by-class", static_cast<long>(crossed), replicates, times[replicates / 2]);
  }
}

// Column 1 of the valley table: allele 2 deleterious at one locus alone
// (1 - s/2 per copy), advantageous at both (k/4 per copy).
TEST(ManyGenerations, SmallPopulationNeutral) { compare_many_generations("N 100 neutral", valley_params(2, 2, 50, 100, 3e-4, 1e-4)); }
TEST(ManyGenerations, SmallPopulationValley) { compare_many_generations("N 100 valley", valley_params(1, 2, 50, 100, 0.01, 1e-4)); }
TEST(ManyGenerations, LargePopulationNeutral) { compare_many_generations("N 10000 neutral", valley_params(2, 2, 50, 10000, 1e-4, 1e-6)); }
TEST(ManyGenerations, LargePopulationValley) { compare_many_generations("N 10000 valley", valley_params(1, 2, 50, 10000, 3e-4, 1e-6)); }

}  // namespace
}  // namespace twolocus
