#include "model/literal_steps.hpp"

#include <cmath>
#include <limits>

#include "model/genotype.hpp"
#include "model/steps.hpp"

namespace twolocus {

void seed_literal(literal_stream& stream, int32_t seed) {
  stream.data = random_data{};
  initstate_r(static_cast<unsigned>(seed), stream.state.data(), stream.state.size(), &stream.data);
  srandom_r(static_cast<unsigned>(seed), &stream.data);
  stream.made = 0;
}

int32_t literal_raw_draw(literal_stream& stream) {
  int32_t value = 0;
  random_r(&stream.data, &value);
  ++stream.made;
  return value;
}

double literal_uniform_draw(literal_stream& stream) {
  return literal_raw_draw(stream) / static_cast<double>(draw_max);
}

namespace {

// One slot's draw: a slot holding digit d (allele d + 1) becomes d + 1 mod 3
// below m[d][d+1 mod 3] and d + 2 mod 3 below that plus m[d][d+2 mod 3].
// Returns the change of the index, in units of the slot's weight.
int slot_change(literal_stream& stream, int digit, const mutation_matrix& matrix) {
  double r = literal_uniform_draw(stream);
  const auto d = static_cast<size_t>(digit);
  const int up_1 = (digit + 1) % 3, up_2 = (digit + 2) % 3;
  if (r < matrix[d][static_cast<size_t>(up_1)]) return up_1 - digit;
  if (r < matrix[d][static_cast<size_t>(up_1)] + matrix[d][static_cast<size_t>(up_2)]) return up_2 - digit;
  return 0;
}

void add_one(int32_t& count) {
  if (count < std::numeric_limits<int32_t>::max()) ++count;
}

// The alleles (as a + 3 b, digits) a parent of genotype l passes on: its
// locus-a slot by a draw below one half, then its locus-b slot by a draw
// below 1 - r (after slot 1) or below r (after slot 2).
int passed_gamete(literal_stream& stream, int l, double r) {
  const bool slot_1 = literal_uniform_draw(stream) < 0.5;
  const int a = slot_1 ? index_digit(l, 1) : index_digit(l, 2);
  const bool slot_3 = literal_uniform_draw(stream) < (slot_1 ? 1 - r : r);
  const int b = slot_3 ? index_digit(l, 3) : index_digit(l, 4);
  return a + 3 * b;
}

}  // namespace

void mutate_population_literal(literal_stream& stream, population_counts& current,
                               population_counts& next, const mutation_rates& rates_a,
                               const mutation_rates& rates_b) {
  mutate_by_matrices_literal(stream, current, next, classic_matrix(rates_a), classic_matrix(rates_b));
}

void select_and_mate_literal(literal_stream& stream, population_counts& current,
                             population_counts& next, const fitness_table& fitness,
                             int32_t generation_size) {
  select_and_mate_literal(stream, current, next, fitness, weight_rule::floor, 0.5, generation_size);
}

void mutate_by_matrices_literal(literal_stream& stream, population_counts& current,
                                population_counts& next, const mutation_matrix& matrix_a,
                                const mutation_matrix& matrix_b) {
  next = current;
  for (int j = 0; j < genotype_count; ++j) {
    const int d1 = index_digit(j, 1), d2 = index_digit(j, 2);
    const int d3 = index_digit(j, 3), d4 = index_digit(j, 4);
    for (int32_t i = 0; i < current[static_cast<size_t>(j)]; ++i) {
      int target = j;
      target += slot_change(stream, d1, matrix_a) * slot_weight[0];
      target += slot_change(stream, d2, matrix_a) * slot_weight[1];
      target += slot_change(stream, d3, matrix_b) * slot_weight[2];
      target += slot_change(stream, d4, matrix_b) * slot_weight[3];
      if (target != j) {
        --next[static_cast<size_t>(j)];
        add_one(next[static_cast<size_t>(target)]);
      }
    }
  }
  current = next;
}

namespace {

// Takes the mutated counts, the fitness table and the rule; fills each
// class's frequency as a parent and the class that takes a walk's overrun
// (-1 under floor weights). Returns false for an extinct population.
bool literal_frequencies(const population_counts& current, const fitness_table& fitness,
                         weight_rule rule, std::array<double, genotype_count>& frequency, int& last) {
  frequency.fill(0);
  if (rule == weight_rule::floor) {
    class_weights weight{};
    const int64_t total = weigh_classes(current, fitness, weight);
    if (total == 0) return false;  // extinct: no parent can be drawn
    const double divisor = static_cast<double>(static_cast<float>(total));
    for (int l = 0; l < genotype_count; ++l) {
      frequency[static_cast<size_t>(l)] = static_cast<double>(weight[static_cast<size_t>(l)]) / divisor;
    }
  } else {
    double total = 0;
    const auto weigh = [&](int exponent) {
      total = 0;
      for (int l = 0; l < genotype_count; ++l) {
        const auto c = static_cast<size_t>(l);
        frequency[c] = current[c] > 0 && fitness[c] > 0
                           ? current[c] * scaled_fitness(fitness[c], exponent)
                           : 0.0;
        total += frequency[c];
      }
    };
    weigh(0);
    // Scaled when the products' sum leaves the normal doubles (parent_frequencies).
    if (!std::isnormal(total)) weigh(exact_weight_exponent(current, fitness));
    if (!(total > 0)) return false;  // extinct
    for (double& f : frequency) f /= total;
  }
  // Under the exact rule the walk's overrun goes to this class.
  last = -1;
  if (rule == weight_rule::exact) {
    for (int l = 0; l < genotype_count; ++l) {
      if (frequency[static_cast<size_t>(l)] > 0) last = l;
    }
  }

  return true;
}

// The class of one walk for a uniform draw, or -1 when none is found.
int walk_class(const std::array<double, genotype_count>& frequency, int last, double t) {
  for (int l = 0; l < genotype_count; ++l) {
    const double f = frequency[static_cast<size_t>(l)];
    if (t < f || l == last) return l;
    t -= f;
  }
  return -1;
}

// The alleles (a + 3 b) a parent of genotype l (or none, -1: allele 1 at
// both loci) passes on for its two slot draws.
int gamete_of_draws(int l, double slot_a, double slot_b, double recombination) {
  if (l < 0) return 0;
  const bool slot_1 = slot_a < 0.5;
  const int a = slot_1 ? index_digit(l, 1) : index_digit(l, 2);
  const bool slot_3 = slot_b < (slot_1 ? 1 - recombination : recombination);
  return a + 3 * (slot_3 ? index_digit(l, 3) : index_digit(l, 4));
}

}  // namespace

void select_and_mate_literal(literal_stream& stream, population_counts& current,
                             population_counts& next, const fitness_table& fitness, weight_rule rule,
                             double recombination, int32_t generation_size, double cloning,
                             double selfing) {
  next.fill(0);
  std::array<double, genotype_count> frequency{};
  int last = -1;
  if (!literal_frequencies(current, fitness, rule, frequency, last)) return;
  const bool mixed = cloning > 0 || cloning + (1 - cloning) * selfing > 0;
  const auto walk = [&frequency, last](double t) { return walk_class(frequency, last, t); };
  for (int32_t child = 0; child < generation_size; ++child) {
    int index = 0;
    if (mixed) {
      // Seven draws, whatever the way: way, two parents, two per gamete.
      std::array<double, 7> draw{};
      for (double& d : draw) d = literal_uniform_draw(stream);
      const auto gamete = [recombination](int l, double slot_a, double slot_b) {
        return gamete_of_draws(l, slot_a, slot_b, recombination);
      };
      const int first = walk(draw[1]);
      if (draw[0] < cloning) {
        index = first < 0 ? 0 : first;
      } else {
        const int second = draw[0] < cloning + (1 - cloning) * selfing ? first : walk(draw[2]);
        const int g1 = gamete(first, draw[3], draw[4]);
        const int g2 = gamete(second, draw[5], draw[6]);
        index = g1 % 3 + 9 * (g1 / 3) + 3 * (g2 % 3) + 27 * (g2 / 3);
      }
      ++next[static_cast<size_t>(index)];
      continue;
    }
    double t = literal_uniform_draw(stream);
    double u = literal_uniform_draw(stream);
    // One walk finds both parents: each remainder falls below 0 in the class
    // that holds its parent and stays below 0 afterwards.
    for (int l = 0; l < genotype_count; ++l) {
      const double f = frequency[static_cast<size_t>(l)];
      if (t >= 0 && (t < f || l == last)) {
        const int gamete = passed_gamete(stream, l, recombination);
        index += gamete % 3 + 9 * (gamete / 3);
        t = -1;
      }
      t -= f;
      if (u >= 0 && (u < f || l == last)) {
        const int gamete = passed_gamete(stream, l, recombination);
        index += 3 * (gamete % 3) + 27 * (gamete / 3);
        u = -1;
      }
      u -= f;
      if (t < 0 && u < 0) break;
    }
    ++next[static_cast<size_t>(index)];
  }
}

void select_and_mate_sources_literal(literal_stream& stream, literal_sources_workspace& workspace,
                                     double cloning, double selfing, int32_t generation_size,
                                     population_counts& next) {
  next.fill(0);
  const std::vector<literal_source>& sources = workspace.sources;
  if (generation_size <= 0 || sources.empty()) return;
  std::vector<std::array<double, genotype_count>>& frequency = workspace.frequency;
  std::vector<int>& last = workspace.last;
  std::vector<uint8_t>& found = workspace.found;
  frequency.resize(sources.size());
  last.assign(sources.size(), -1);
  found.assign(sources.size(), 0);
  for (size_t k = 0; k < sources.size(); ++k) {
    found[k] = literal_frequencies(*sources[k].parents, *sources[k].fitness, sources[k].rule, frequency[k],
                                   last[k]);
  }
  // Sources without parents are left out; the others take their share in
  // proportion (as source_thresholds).
  double total = 0;
  size_t last_found = sources.size();
  for (size_t k = 0; k < sources.size(); ++k) {
    if (found[k] != 0 && sources[k].probability > 0) {
      total += sources[k].probability;
      last_found = k;
    }
  }
  if (last_found == sources.size()) return;  // no parents anywhere
  std::vector<double>& upper = workspace.upper;
  upper.assign(sources.size(), 2.0);
  double cumulative = 0;
  for (size_t k = 0; k < last_found; ++k) {
    if (found[k] != 0 && sources[k].probability > 0) cumulative += sources[k].probability;
    upper[k] = cumulative / total;
  }
  for (int32_t child = 0; child < generation_size; ++child) {
    std::array<double, 8> draw{};
    for (double& d : draw) d = literal_uniform_draw(stream);
    size_t k = 0;
    while (k < last_found && !(draw[0] < upper[k])) ++k;
    const auto walk = [&](double t) { return walk_class(frequency[k], last[k], t); };
    const double r = sources[k].recombination;
    const int first = walk(draw[2]);
    int index = 0;
    if (draw[1] < cloning) {
      index = first < 0 ? 0 : first;
    } else {
      const int second = draw[1] < cloning + (1 - cloning) * selfing ? first : walk(draw[3]);
      const int g1 = gamete_of_draws(first, draw[4], draw[5], r);
      const int g2 = gamete_of_draws(second, draw[6], draw[7], r);
      index = g1 % 3 + 9 * (g1 / 3) + 3 * (g2 % 3) + 27 * (g2 / 3);
    }
    ++next[static_cast<size_t>(index)];
  }
}

}  // namespace twolocus
