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

void select_and_mate_literal(literal_stream& stream, population_counts& current,
                             population_counts& next, const fitness_table& fitness, weight_rule rule,
                             double recombination, int32_t generation_size, double cloning,
                             double selfing) {
  next.fill(0);
  std::array<double, genotype_count> frequency{};
  if (rule == weight_rule::floor) {
    class_weights weight{};
    const int64_t total = weigh_classes(current, fitness, weight);
    if (total == 0) return;  // extinct: no parent can be drawn
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
    if (!(total > 0)) return;  // extinct
    for (double& f : frequency) f /= total;
  }
  // Under the exact rule the walk's overrun goes to this class.
  int last = -1;
  if (rule == weight_rule::exact) {
    for (int l = 0; l < genotype_count; ++l) {
      if (frequency[static_cast<size_t>(l)] > 0) last = l;
    }
  }

  const bool mixed = cloning > 0 || cloning + (1 - cloning) * selfing > 0;
  // The class of one walk for a uniform draw, or -1 when none is found.
  const auto walk = [&frequency, last](double t) {
    for (int l = 0; l < genotype_count; ++l) {
      const double f = frequency[static_cast<size_t>(l)];
      if (t < f || l == last) return l;
      t -= f;
    }
    return -1;
  };
  for (int32_t child = 0; child < generation_size; ++child) {
    int index = 0;
    if (mixed) {
      // Seven draws, whatever the way: way, two parents, two per gamete.
      std::array<double, 7> draw{};
      for (double& d : draw) d = literal_uniform_draw(stream);
      const auto gamete = [recombination](int l, double slot_a, double slot_b) {
        if (l < 0) return 0;
        const bool slot_1 = slot_a < 0.5;
        const int a = slot_1 ? index_digit(l, 1) : index_digit(l, 2);
        const bool slot_3 = slot_b < (slot_1 ? 1 - recombination : recombination);
        return a + 3 * (slot_3 ? index_digit(l, 3) : index_digit(l, 4));
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

}  // namespace twolocus
