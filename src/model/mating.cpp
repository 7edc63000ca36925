// The selection and mating step, computed on raw draws. A parent's walk over
// the classes subtracts each class's frequency from its draw until the
// remainder falls below 0; that remainder is monotone in the draw, so the
// class a walk ends in is a step function of the raw draw. Large generations
// find it through integer cut points computed from that very walk, small
// ones walk the classes of positive weight directly (a class of weight 0
// leaves the remainder unchanged). Either way every draw value picks the
// class the full walk picks, and the draws are made in the walk's order.
#include <algorithm>
#include <cmath>

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
constexpr int bucket_shift = 19;
constexpr size_t bucket_count = size_t{1} << (31 - bucket_shift);

struct cut_table {
  std::array<uint32_t, genotype_count + 1> cut{};
  std::array<uint8_t, bucket_count> bucket_rank{};
};

// The first raw draw in [low, 2^31] whose walk has not ended by rank `last`
// (2^31 when every draw's has). The walk subtracts in double precision, so
// the cut lies within a draw or two of draw_max times the rank's cumulative
// frequency; a gallop from that estimate brackets it and bisection pins it,
// always by the walk itself.
uint32_t find_cut(const parent_classes& classes, int last, uint32_t low, double cumulative) {
  constexpr uint32_t top = uint32_t{1} << 31;
  const auto ended = [&](uint32_t draw) { return ended_by(classes, draw, last); };
  const double estimate = std::ceil(cumulative * draw_max);
  const uint32_t guess = estimate <= low   ? low
                         : estimate >= top ? top
                                           : static_cast<uint32_t>(estimate);
  // Keep: walks of draws below `low` have ended; from `high` on (or at the
  // top) they have not.
  uint32_t high = guess;
  if (guess < top && ended(guess)) {
    low = guess + 1;
    for (uint32_t step = 1;; step *= 2) {
      high = static_cast<uint32_t>(std::min<uint64_t>(uint64_t{low} + step, top));
      if (high == top || !ended(high)) break;
      low = high + 1;
    }
  } else {
    for (uint32_t step = 1; high > low; step *= 2) {
      const uint32_t probe = high - std::min(step, high - low);
      if (ended(probe)) {
        low = probe + 1;
        break;
      }
      high = probe;
    }
  }
  while (low < high) {
    const uint32_t middle = low + (high - low) / 2;
    if (ended(middle)) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  return low;
}

void build_cuts(const parent_classes& classes, cut_table& table) {
  uint32_t low = 0;
  double cumulative = 0;
  for (int rank = 0; rank < classes.size; ++rank) {
    cumulative += classes.frequency[static_cast<size_t>(rank)];
    low = find_cut(classes, rank, low, cumulative);
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

// Whether cut points pay for themselves: building them costs a few walks to
// each rank and a pass over the buckets; walking costs, per parent, as many
// steps as the rank it ends in.
bool cuts_pay(const parent_classes& classes, int32_t generation_size) {
  double mean_steps = 0;
  for (int rank = 0; rank < classes.size; ++rank) {
    mean_steps += (rank + 1) * classes.frequency[static_cast<size_t>(rank)];
  }
  const double build_steps = 4.0 * classes.size * (classes.size + 1) / 2 + bucket_count;
  return 2.0 * generation_size * mean_steps > build_steps;
}

// Bit 0: the locus-a draw is not below one half; bit 1: the locus-b draw.
// A raw draw is below one half exactly when it is below 2^30.
inline unsigned inheritance_bits(const int32_t* draw) {
  static_assert(half_threshold == 1 << 30);
  return (static_cast<unsigned>(draw[0]) >> 30) | ((static_cast<unsigned>(draw[1]) >> 30) << 1);
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
      // The parent of the lower rank makes its two draws first, the first
      // parent first within a rank; no parent (rank `none`, which
      // contributes 0) makes none.
      const int second_goes_first = first_rank > second_rank;
      const int32_t* first_draws = draw + 2 + 2 * second_goes_first;
      const int32_t* second_draws = draw + 4 - 2 * second_goes_first;
      const int index =
          classes.as_first[static_cast<size_t>(first_rank)][inheritance_bits(first_draws)] +
          classes.as_second[static_cast<size_t>(second_rank)][inheritance_bits(second_draws)];
      // Advance by a predicted branch, not by arithmetic on the ranks: the
      // next offspring's draws then need not wait for this one's lookups.
      draw += 6;
      if (first_rank == none || second_rank == none) [[unlikely]] {
        draw -= 2 * (first_rank == none) + 2 * (second_rank == none);
      }
      ++tally[static_cast<size_t>(child & 3)][static_cast<size_t>(index)];
    }
    skip_draws(static_cast<size_t>(draw - first));
    done += batch;
  }
  for (size_t l = 0; l < next.size(); ++l) next[l] = tally[0][l] + tally[1][l] + tally[2][l] + tally[3][l];
}

// Whether a parent of this rank passes on the same alleles whatever its
// inheritance draws (homozygous at both loci).
bool passes_one_genotype(const parent_classes& classes, int rank) {
  const auto& first = classes.as_first[static_cast<size_t>(rank)];
  return first[0] == first[1] && first[0] == first[2] && first[0] == first[3];
}

// Draws the offspring when a single class, homozygous at both loci, holds all
// the weight: an offspring's genotype then depends only on which of its two
// parents are found, so only the draws that find them need to be looked at.
void draw_offspring_of_one_class(const parent_classes& classes, int32_t generation_size,
                                 population_counts& next) {
  const uint32_t cut = find_cut(classes, 0, 0, classes.frequency[0]);
  const int first = classes.as_first[0][0];
  const int second = classes.as_second[0][0];
  constexpr int32_t batch_size = static_cast<int32_t>(draw_block / 6);
  for (int32_t done = 0; done < generation_size;) {
    const int32_t batch = std::min(generation_size - done, batch_size);
    const auto* const draws = reinterpret_cast<const uint32_t*>(draws_ahead(6 * static_cast<size_t>(batch)));
    // Usually every parent is found, each offspring takes six draws and all
    // are of one genotype.
    uint32_t all_found = 1;
    for (size_t child = 0; child < static_cast<size_t>(batch); ++child) {
      all_found &= static_cast<uint32_t>(draws[6 * child] < cut) & static_cast<uint32_t>(draws[6 * child + 1] < cut);
    }
    if (all_found != 0) {
      next[static_cast<size_t>(first + second)] += batch;
      skip_draws(6 * static_cast<size_t>(batch));
    } else {
      const uint32_t* draw = draws;
      for (int32_t child = 0; child < batch; ++child) {
        const bool first_found = draw[0] < cut;
        const bool second_found = draw[1] < cut;
        ++next[static_cast<size_t>((first_found ? first : 0) + (second_found ? second : 0))];
        draw += 2 + 2 * int{first_found} + 2 * int{second_found};
      }
      skip_draws(static_cast<size_t>(draw - draws));
    }
    done += batch;
  }
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
  if (classes.size == 1 && passes_one_genotype(classes, 0)) {
    draw_offspring_of_one_class(classes, generation_size, next);
  } else if (cuts_pay(classes, generation_size)) {
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
