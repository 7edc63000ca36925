#include "model/literal_steps.hpp"

#include <limits>

#include "model/genotype.hpp"
#include "model/steps.hpp"

namespace twolocus {

void seed_literal(literal_stream& stream, int32_t seed) {
  stream.data = random_data{};
  initstate_r(static_cast<unsigned>(seed), stream.state.data(), stream.state.size(), &stream.data);
  srandom_r(static_cast<unsigned>(seed), &stream.data);
}

int32_t literal_raw_draw(literal_stream& stream) {
  int32_t value = 0;
  random_r(&stream.data, &value);
  return value;
}

double literal_uniform_draw(literal_stream& stream) {
  return literal_raw_draw(stream) / static_cast<double>(draw_max);
}

namespace {

// One slot's draw: an allele-1 slot (digit 0) becomes allele 2 below the 1->2
// rate and allele 3 below the sum of the 1->2 and 1->3 rates; an allele-2
// slot becomes allele 3 below the 2->3 rate; allele 3 never changes. Returns
// the change of the index, in units of the slot's weight.
int slot_change(literal_stream& stream, int digit, const mutation_rates& rates) {
  double r = literal_uniform_draw(stream);
  if (digit == 0) {
    if (r < rates[0]) return 1;
    if (r < rates[0] + rates[2]) return 2;
  } else if (digit == 1) {
    if (r < rates[1]) return 1;
  }
  return 0;
}

void add_one(int32_t& count) {
  if (count < std::numeric_limits<int32_t>::max()) ++count;
}

// The allele a parent passes on at one locus: the first slot's digit when
// the draw is below one half, the second slot's otherwise.
int passed_digit(literal_stream& stream, int first, int second) {
  return literal_uniform_draw(stream) < 0.5 ? first : second;
}

}  // namespace

void mutate_population_literal(literal_stream& stream, population_counts& current,
                               population_counts& next, const mutation_rates& rates_a,
                               const mutation_rates& rates_b) {
  next = current;
  for (int j = 0; j < genotype_count; ++j) {
    const int d1 = index_digit(j, 1), d2 = index_digit(j, 2);
    const int d3 = index_digit(j, 3), d4 = index_digit(j, 4);
    for (int32_t i = 0; i < current[static_cast<size_t>(j)]; ++i) {
      int target = j;
      target += slot_change(stream, d1, rates_a) * slot_weight[0];
      target += slot_change(stream, d2, rates_a) * slot_weight[1];
      target += slot_change(stream, d3, rates_b) * slot_weight[2];
      target += slot_change(stream, d4, rates_b) * slot_weight[3];
      if (target != j) {
        --next[static_cast<size_t>(j)];
        add_one(next[static_cast<size_t>(target)]);
      }
    }
  }
  current = next;
}

void select_and_mate_literal(literal_stream& stream, population_counts& current,
                             population_counts& next, const fitness_table& fitness,
                             int32_t generation_size) {
  class_weights weight{};
  const int64_t total = weigh_classes(current, fitness, weight);
  next.fill(0);
  if (total == 0) return;  // extinct: no parent can be drawn
  const double divisor = static_cast<double>(static_cast<float>(total));

  for (int32_t child = 0; child < generation_size; ++child) {
    int index = 0;
    double t = literal_uniform_draw(stream);
    double u = literal_uniform_draw(stream);
    // One walk finds both parents: each remainder falls below 0 in the class
    // that holds its parent and stays below 0 afterwards.
    for (int l = 0; l < genotype_count; ++l) {
      const double f = static_cast<double>(weight[static_cast<size_t>(l)]) / divisor;
      if (t >= 0 && t < f) {
        index += passed_digit(stream, index_digit(l, 1), index_digit(l, 2));
        index += 9 * passed_digit(stream, index_digit(l, 3), index_digit(l, 4));
      }
      t -= f;
      if (u >= 0 && u < f) {
        index += 3 * passed_digit(stream, index_digit(l, 1), index_digit(l, 2));
        index += 27 * passed_digit(stream, index_digit(l, 3), index_digit(l, 4));
      }
      u -= f;
      if (t < 0 && u < 0) break;
    }
    ++next[static_cast<size_t>(index)];
  }
}

}  // namespace twolocus
