// The selection and mating step, computed on raw draws. A parent's walk over
// the classes subtracts each class's frequency from its draw until the
// remainder falls below 0; that remainder is monotone in the draw, so the
// class a walk ends in is a step function of the raw draw. Large generations
// find it through integer cut points computed from that very walk, small
// ones walk the classes of positive weight directly (a class of weight 0
// leaves the remainder unchanged). Either way every draw value picks the
// class the full walk picks, and the draws are made in the walk's order.
#include <algorithm>

#include "model/genotype.hpp"
#include "model/random.hpp"
#include "model/steps.hpp"

namespace twolocus {

namespace {

// The classes of positive weight, in index order ("ranks"), with their
// frequencies and what they pass on. Rank `size` stands for no parent.
struct parent_classes {
  int size = 0;
  std::array<double, genotype_count> frequency{};
  // Offspring index contributed by a parent of each rank, as first or second
  // parent, by its two inheritance draws (bit 0: the locus-a draw was not
  // below one half, bit 1: the same for locus b). No parent contributes 0.
  std::array<std::array<int, 4>, genotype_count + 1> as_first{};
  std::array<std::array<int, 4>, genotype_count + 1> as_second{};
};

void add_class(parent_classes& classes, int l, double frequency) {
  const auto rank = static_cast<size_t>(classes.size++);
  classes.frequency[rank] = frequency;
  for (int bits = 0; bits < 4; ++bits) {
    const int a = (bits & 1) ? index_digit(l, 2) : index_digit(l, 1);
    const int b = (bits & 2) ? index_digit(l, 4) : index_digit(l, 3);
    classes.as_first[rank][static_cast<size_t>(bits)] = a + 9 * b;
    classes.as_second[rank][static_cast<size_t>(bits)] = 3 * a + 27 * b;
  }
}

// The rank a parent's walk ends in for a raw draw.
int walk_rank(const parent_classes& classes, int32_t draw) {
  double t = draw / static_cast<double>(draw_max);
  for (int rank = 0; rank < classes.size; ++rank) {
    const double f = classes.frequency[static_cast<size_t>(rank)];
    if (t < f) return rank;
    t -= f;
  }
  return classes.size;
}

// Whether the walk for a raw draw has ended by the end of rank `last`.
bool ended_by(const parent_classes& classes, uint32_t draw, int last) {
  double t = draw / static_cast<double>(draw_max);
  for (int rank = 0; rank <= last; ++rank) t -= classes.frequency[static_cast<size_t>(rank)];
  return t < 0;
}

// Cut points: raw draws below cut[r] end their walk at rank r or before.
// A coarse table by the draw's top bits gives the rank of the first draw of
// each bucket, from where a draw steps over at most a few cut points.
constexpr int bucket_shift = 21;
constexpr size_t bucket_count = size_t{1} << (31 - bucket_shift);

struct cut_table {
  std::array<uint32_t, genotype_count + 1> cut{};
  std::array<uint8_t, bucket_count> bucket_rank{};
};

void build_cuts(const parent_classes& classes, cut_table& table) {
  uint32_t low = 0;
  for (int rank = 0; rank < classes.size; ++rank) {
    uint32_t high = uint32_t{1} << 31;
    while (low < high) {
      const uint32_t middle = low + (high - low) / 2;
      if (ended_by(classes, middle, rank)) {
        low = middle + 1;
      } else {
        high = middle;
      }
    }
    table.cut[static_cast<size_t>(rank)] = low;
  }
  table.cut[static_cast<size_t>(classes.size)] = 0xffffffffu;
  uint8_t rank = 0;
  for (size_t bucket = 0; bucket < bucket_count; ++bucket) {
    const auto first_draw = static_cast<uint32_t>(bucket << bucket_shift);
    while (first_draw >= table.cut[rank]) ++rank;
    table.bucket_rank[bucket] = rank;
  }
}

int cut_rank(const cut_table& table, uint32_t draw) {
  uint8_t rank = table.bucket_rank[draw >> bucket_shift];
  while (draw >= table.cut[rank]) ++rank;
  return rank;
}

// Whether cut points pay for themselves: building them costs about 31 walk
// steps per rank and rank before it; walking costs, per parent, as many
// steps as the rank it ends in.
bool cuts_pay(const parent_classes& classes, int32_t generation_size) {
  double mean_steps = 0;
  for (int rank = 0; rank < classes.size; ++rank) {
    mean_steps += (rank + 1) * classes.frequency[static_cast<size_t>(rank)];
  }
  const double build_steps = 31.0 * classes.size * (classes.size + 1) / 2 + bucket_count;
  return 2.0 * generation_size * mean_steps > build_steps;
}

inline unsigned inheritance_bits(const int32_t* draw) {
  return static_cast<unsigned>(draw[0] >= half_threshold) |
         (static_cast<unsigned>(draw[1] >= half_threshold) << 1);
}

// Draws `generation_size` offspring into `next`, with `rank_of` mapping a
// raw draw to the rank its walk ends in.
template <typename rank_function>
void draw_offspring(const parent_classes& classes, int32_t generation_size,
                    population_counts& next, rank_function rank_of) {
  const int none = classes.size;
  // Offspring are tallied in four interleaved tables and summed at the end:
  // one table would chain every increment of a common class on the last.
  std::array<std::array<int32_t, genotype_count>, 4> tally{};
  constexpr int32_t batch_size = static_cast<int32_t>(draw_block / 6);
  for (int32_t done = 0; done < generation_size;) {
    const int32_t batch = std::min(generation_size - done, batch_size);
    const int32_t* const first = draws_ahead(6 * static_cast<size_t>(batch));
    const int32_t* draw = first;
    for (int32_t child = 0; child < batch; ++child) {
      const int first_rank = rank_of(static_cast<uint32_t>(draw[0]));
      const int second_rank = rank_of(static_cast<uint32_t>(draw[1]));
      draw += 2;
      int index = 0;
      // The parent of the lower rank makes its two draws first; the first
      // parent goes first within a rank; no parent makes no draws.
      if (first_rank <= second_rank) {
        if (first_rank != none) {
          index += classes.as_first[static_cast<size_t>(first_rank)][inheritance_bits(draw)];
          draw += 2;
        }
        if (second_rank != none) {
          index += classes.as_second[static_cast<size_t>(second_rank)][inheritance_bits(draw)];
          draw += 2;
        }
      } else {
        index += classes.as_second[static_cast<size_t>(second_rank)][inheritance_bits(draw)];
        draw += 2;
        if (first_rank != none) {
          index += classes.as_first[static_cast<size_t>(first_rank)][inheritance_bits(draw)];
          draw += 2;
        }
      }
      ++tally[static_cast<size_t>(child & 3)][static_cast<size_t>(index)];
    }
    skip_draws(static_cast<size_t>(draw - first));
    done += batch;
  }
  for (size_t l = 0; l < next.size(); ++l) next[l] = tally[0][l] + tally[1][l] + tally[2][l] + tally[3][l];
}

}  // namespace

void select_and_mate(population_counts& current, population_counts& next,
                     const fitness_table& fitness, int32_t generation_size) {
  std::array<int64_t, genotype_count> weight{};
  int64_t total = 0;
  for (size_t l = 0; l < weight.size(); ++l) {
    weight[l] = selection_weight(current[l], fitness[l]);
    total += weight[l];
  }
  next.fill(0);
  if (total == 0 || generation_size <= 0) return;  // extinct, or no offspring
  const double divisor = static_cast<double>(static_cast<float>(total));

  parent_classes classes;
  for (int l = 0; l < genotype_count; ++l) {
    const int64_t w = weight[static_cast<size_t>(l)];
    if (w > 0) add_class(classes, l, static_cast<double>(w) / divisor);
  }
  if (cuts_pay(classes, generation_size)) {
    cut_table table;
    build_cuts(classes, table);
    draw_offspring(classes, generation_size, next,
                   [&table](uint32_t draw) { return cut_rank(table, draw); });
  } else {
    draw_offspring(classes, generation_size, next, [&classes](uint32_t draw) {
      return walk_rank(classes, static_cast<int32_t>(draw));
    });
  }
}

}  // namespace twolocus
