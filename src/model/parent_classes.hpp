// The parent classes of a generation as the exact engine finds them: the
// classes of positive weight with their frequencies and what each passes
// on, and the cut points that map a raw draw to the class a parent's walk
// ends in. Shared by the steps of one deme (mating.cpp) and of several
// (demes.cpp); an engine keeps such tables between generations.
#pragma once

#include <array>
#include <cstdint>

#include "model/genotype.hpp"
#include "model/model.hpp"
#include "model/random.hpp"
#include "model/steps.hpp"

namespace twolocus {

// The classes of positive weight, in index order ("ranks"), with their
// frequencies and what they pass on. Rank `size` stands for no parent
// (found only when the last rank does not take the walk's overrun).
struct parent_classes {
  int size = 0;
  bool last_takes_rest = false;
  std::array<double, genotype_count> frequency{};
  // Offspring index contributed by a parent of each rank, as first or second
  // parent, by its two inheritance draws (bit 0: the locus-a draw was not
  // below one half, bit 1: the locus-b allele comes from slot 4, the second
// haplotype). No parent contributes 0.
  std::array<std::array<int, 4>, genotype_count + 1> as_first{};
  std::array<std::array<int, 4>, genotype_count + 1> as_second{};
  // The genotype of each rank (a clone's); no parent is genotype 0.
  std::array<uint8_t, genotype_count + 1> genotype{};
};

// What each genotype passes on as first and as second parent, by its two
// inheritance draws.
struct passed_on_table {
  std::array<std::array<int, 4>, genotype_count> as_first{};
  std::array<std::array<int, 4>, genotype_count> as_second{};
};

constexpr passed_on_table make_passed_on() {
  passed_on_table table;
  for (int l = 0; l < genotype_count; ++l) {
    for (int bits = 0; bits < 4; ++bits) {
      const int a = (bits & 1) ? index_digit(l, 2) : index_digit(l, 1);
      const int b = (bits & 2) ? index_digit(l, 4) : index_digit(l, 3);
      table.as_first[static_cast<size_t>(l)][static_cast<size_t>(bits)] = a + 9 * b;
      table.as_second[static_cast<size_t>(l)][static_cast<size_t>(bits)] = 3 * a + 27 * b;
    }
  }
  return table;
}

constexpr passed_on_table passed_on = make_passed_on();

inline void add_class(parent_classes& classes, int l, double frequency) {
  const auto rank = static_cast<size_t>(classes.size++);
  classes.frequency[rank] = frequency;
  classes.as_first[rank] = passed_on.as_first[static_cast<size_t>(l)];
  classes.as_second[rank] = passed_on.as_second[static_cast<size_t>(l)];
  classes.genotype[rank] = static_cast<uint8_t>(l);
}

// The rank a parent's walk ends in for a raw draw.
inline int walk_rank(const parent_classes& classes, int32_t draw) {
  double t = draw / static_cast<double>(draw_max);
  for (int rank = 0; rank < classes.size; ++rank) {
    const double f = classes.frequency[static_cast<size_t>(rank)];
    if (t < f) return rank;
    t -= f;
  }
  return classes.last_takes_rest ? classes.size - 1 : classes.size;
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

// Takes the classes; fills `table` with their cut points and buckets.
void build_cuts(const parent_classes& classes, cut_table& table);

inline int cut_rank(const cut_table& table, uint32_t draw) {
  uint8_t rank = table.bucket_rank[draw >> bucket_shift];
  while (draw >= table.cut[rank]) ++rank;
  return rank;
}

// Takes the classes and a generation's size; returns whether cut points pay
// for themselves (else a parent's walk over the ranks is cheaper).
bool cuts_pay(const parent_classes& classes, int32_t generation_size);

// Takes the mutated counts, the fitness table and the weight rule; fills
// `classes` with the classes of positive weight and their frequencies.
// Returns false for an extinct population (a total weight of 0).
bool weighed_classes(const population_counts& current, const fitness_table& fitness, weight_rule rule,
                     parent_classes& classes);

// A parent's two inheritance draws (locus a, locus b) as two bits under
// linkage: bit 0 is set when the locus-a draw is not below one half (slot 2),
// bit 1 when the locus-b allele comes from slot 4: after slot 1 when the
// second draw is not below `after_slot_1`, after slot 2 when it is not below
// `after_slot_2`.
inline unsigned linked_bits(const int32_t* draw, const linkage_thresholds& linkage) {
  const unsigned from_slot_2 = static_cast<uint32_t>(draw[0]) >> 30;
  const uint32_t threshold = from_slot_2 != 0 ? linkage.after_slot_2 : linkage.after_slot_1;
  return from_slot_2 | (static_cast<unsigned>(static_cast<uint32_t>(draw[1]) >= threshold) << 1);
}

}  // namespace twolocus
