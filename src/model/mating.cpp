// The selection and mating step, computed on raw draws. A parent's walk over
// the classes subtracts each class's frequency from its draw until the
// remainder falls below 0; that remainder is monotone in the draw, so the
// class a walk ends in is a step function of the raw draw. Large generations
// find it through integer cut points computed from that very walk, small
// ones walk the classes of positive weight directly (a class of weight 0
// leaves the remainder unchanged). Either way every draw value picks the
// class the full walk picks, and the draws are made in the walk's order.
// Under exact weights a walk that runs past the last class takes the last
// class of positive frequency: its cut point is then the top, 2^31.
//
// Most populations are dominated by one class, usually homozygous, whose
// offspring by two of its own members are of one genotype whatever their
// inheritance draws. While every parent of a batch is found, each offspring
// takes six draws, so one pass over the parent draws tells those offspring
// apart, and only the others are looked at one by one.
#include <algorithm>
#include <cmath>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "model/genotype.hpp"
#include "model/parent_classes.hpp"
#include "model/random.hpp"
#include "model/steps.hpp"

namespace twolocus {

namespace {

// Whether the walk for a raw draw has ended by the end of rank `last`.
bool ended_by(const parent_classes& classes, uint32_t draw, int last) {
  double t = draw / static_cast<double>(draw_max);
  for (int rank = 0; rank <= last; ++rank) t -= classes.frequency[static_cast<size_t>(rank)];
  return t < 0;
}

// The first raw draw in [low, 2^31] whose walk has not ended by rank `last`
// (2^31 when every draw's has), `cumulative` being the double sum of the
// frequencies of ranks 0 to `last` in rank order. The walk subtracts in
// double precision, so the cut lies within a draw or two of draw_max times
// that sum; a gallop from that estimate brackets it and bisection pins it,
// always by the walk itself.
//
// Mostly one walk at most is needed. While the sum is below 3/2 every
// value involved is below 2 in size, so each of the walk's at most 82
// roundings (the draw's division, then a subtraction a rank) and each of
// the sum's is below 2^-53: the walk's remainder for a draw x differs from
// x / draw_max - cumulative by less than 2^-45, which is 2^-14 of a draw
// (and the product draw_max times the sum is within 2^-22 of a draw of the
// exact one). So the walk ends for every draw more than 2^-10 of a draw
// below that product and for none more than that above it: only a whole
// draw within 2^-10 of it needs its walk. cut_by_sum takes the sum, `low`
// and the walk (whether a draw's has ended); sets `cut` (taken into
// [low, 2^31]) and returns true, or returns false for a sum not below 3/2.
constexpr uint32_t top_draw = uint32_t{1} << 31;

template <typename ended_function>
bool cut_by_sum(double cumulative, uint32_t low, uint32_t& cut, ended_function ended) {
  if (!(cumulative >= 0 && cumulative < 1.5)) return false;
  const double scaled = cumulative * draw_max;
  // Its whole part and fraction (both exact: it is below 2^32).
  const auto whole = static_cast<uint64_t>(scaled);
  const double fraction = scaled - static_cast<double>(whole);
  uint64_t first_not_ended = whole + static_cast<uint64_t>(fraction > 0);
  if (fraction <= 0x1p-10 || fraction >= 1 - 0x1p-10) {
    const uint64_t nearest = fraction <= 0x1p-10 ? whole : whole + 1;
    if (nearest >= low && nearest < top_draw) {
      first_not_ended = nearest + static_cast<uint64_t>(ended(static_cast<uint32_t>(nearest)));
    }
  }
  // Draws below `low` have ended their walks already.
  cut = static_cast<uint32_t>(std::clamp<uint64_t>(first_not_ended, low, top_draw));
  return true;
}

uint32_t find_cut(const parent_classes& classes, int last, uint32_t low, double cumulative) {
  constexpr uint32_t top = top_draw;
  if (classes.last_takes_rest && last == classes.size - 1) return top;
  const auto ended = [&](uint32_t draw) { return ended_by(classes, draw, last); };
  uint32_t by_sum = 0;
  if (cut_by_sum(cumulative, low, by_sum, ended)) return by_sum;
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



// The four inheritance draws of an offspring as four bits (bit i: draw i is
// not below one half). A raw draw is below one half exactly when it is below
// 2^30, so each bit is bit 30 of its draw.
inline unsigned inheritance_bits(const int32_t* draw) {
  static_assert(half_threshold == 1 << 30);
#if defined(__SSE2__)
  __m128i four;
  std::memcpy(&four, draw, sizeof four);
  return static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(_mm_slli_epi32(four, 1))));
#else
  unsigned bits = 0;
  for (unsigned i = 0; i < 4; ++i) bits |= (static_cast<unsigned>(draw[i]) >> 30) << i;
  return bits;
#endif
}

// The common case, recognised in one pass over a batch: draws from
// `found_below` on find no parent; draws in [common_low, common_low +
// common_span) find the most common class when it is homozygous at both loci
// (span 0 otherwise), whose offspring by two parents of its own are all of
// index `common_index` whatever their inheritance draws.
struct common_case {
  uint32_t found_below = 0;
  uint32_t common_low = 0;
  uint32_t common_span = 0;
  int common_index = 0;
};

// The offspring index of two found parents of the given ranks, `draw`
// pointing at the four inheritance draws. The parent of the lower rank makes
// its two draws first, the first parent first within a rank. With `free`,
// recombination is free (each draw compared with one half on its own);
// otherwise by `linkage`.
template <bool free>
inline int offspring_index(const parent_classes& classes, int first_rank, int second_rank,
                           const int32_t* draw, const linkage_thresholds& linkage) {
  // Bits 0-1 belong to whichever parent draws first, bits 2-3 to the other;
  // shifts rather than a choice, which a processor would mispredict half
  // of the time when the two ranks differ.
  unsigned bits;
  if constexpr (free) {
    bits = inheritance_bits(draw);
  } else {
    bits = linked_bits(draw, linkage) | (linked_bits(draw + 2, linkage) << 2);
  }
  const unsigned second_first = static_cast<unsigned>(first_rank > second_rank) * 2;
  const unsigned first_bits = (bits >> second_first) & 3;
  const unsigned second_bits = (bits >> (2 - second_first)) & 3;
  return classes.as_first[static_cast<size_t>(first_rank)][first_bits] +
         classes.as_second[static_cast<size_t>(second_rank)][second_bits];
}

// Draws `generation_size` offspring into `next`, with `rank_of` mapping a
// raw draw to the rank its walk ends in.
// The offspring of the common case among four, by the bits of their parent
// draws found in the common class (bits 2k and 2k + 1 for offspring k): the
// positions 0..3 of the others, packed as four 16-bit fields, and how many
// there are.
struct others_of_four {
  uint64_t positions = 0;
  uint8_t count = 0;
};

constexpr std::array<others_of_four, 256> make_others_of_four() {
  std::array<others_of_four, 256> table{};
  for (unsigned mask = 0; mask < 256; ++mask) {
    others_of_four entry;
    for (unsigned k = 0; k < 4; ++k) {
      if (((mask >> (2 * k)) & 3) != 3) entry.positions |= uint64_t{k} << (16 * entry.count++);
    }
    table[mask] = entry;
  }
  return table;
}

constexpr std::array<others_of_four, 256> others_among_four = make_others_of_four();

// Room for the lists below: one batch of offspring, and three more entries
// that a list of four may write past its end.
using offspring_list = std::array<uint16_t, draw_block / 6 + 3>;

// Supposing every parent is found, offspring c has its draws at 6c. Takes
// the batch's draws; returns whether that holds for every offspring, and
// lists in `others` (their number in `other_count`) the offspring that are not
// of the common case (none are with `one_class`).
template <bool one_class>
bool sort_out_common(const int32_t* draws, size_t batch, const common_case& common,
                     offspring_list& others, size_t& other_count) {
  uint32_t all_found = 1;
  size_t child = 0;
  // Kept in a register, not behind the reference, while the loops run.
  size_t count = 0;
  uint16_t* const listed = others.data();
#if defined(__SSE2__)
  // Four offspring at a time, the parent draws of two side by side,
  // compared as signed values with the top bit flipped (which orders them
  // as unsigned values).
  const __m128i flip = _mm_set1_epi32(INT32_MIN);
  const __m128i found_limit = _mm_set1_epi32(static_cast<int32_t>(common.found_below ^ 0x80000000u));
  const __m128i common_low = _mm_set1_epi32(static_cast<int32_t>(common.common_low));
  const __m128i span_limit = _mm_set1_epi32(static_cast<int32_t>(common.common_span ^ 0x80000000u));
  const auto parents_of_two = [draws](size_t first_child) {
    return _mm_unpacklo_epi64(
        _mm_loadl_epi64(reinterpret_cast<const __m128i*>(draws + 6 * first_child)),
        _mm_loadl_epi64(reinterpret_cast<const __m128i*>(draws + 6 * first_child + 6)));
  };
  const auto in_common = [&](__m128i parents) {
    const __m128i offset = _mm_xor_si128(_mm_sub_epi32(parents, common_low), flip);
    return static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(_mm_cmpgt_epi32(span_limit, offset))));
  };
  __m128i found = _mm_set1_epi32(-1);
  for (; child + 3 < batch; child += 4) {
    const __m128i first_two = parents_of_two(child);
    const __m128i last_two = parents_of_two(child + 2);
    found = _mm_and_si128(found, _mm_and_si128(_mm_cmpgt_epi32(found_limit, _mm_xor_si128(first_two, flip)),
                                               _mm_cmpgt_epi32(found_limit, _mm_xor_si128(last_two, flip))));
    if constexpr (!one_class) {
      const others_of_four& entry = others_among_four[in_common(first_two) | (in_common(last_two) << 4)];
      const uint64_t entries = child * uint64_t{0x0001000100010001} + entry.positions;
      std::memcpy(listed + count, &entries, sizeof entries);
      count += entry.count;
    }
  }
  all_found = _mm_movemask_ps(_mm_castsi128_ps(found)) == 0xf;
#endif
  for (; child < batch; ++child) {
    const auto t = static_cast<uint32_t>(draws[6 * child]);
    const auto u = static_cast<uint32_t>(draws[6 * child + 1]);
    all_found &= static_cast<uint32_t>(t < common.found_below) &
                 static_cast<uint32_t>(u < common.found_below);
    if constexpr (one_class) continue;
    const bool is_common = (t - common.common_low < common.common_span) &
                           (u - common.common_low < common.common_span);
    listed[count] = static_cast<uint16_t>(child);
    count += !is_common;
  }
  other_count = count;
  return all_found != 0;
}

// With `one_class`, the common class is the only one: every offspring whose
// parents are both found is then of the common case. `free` and `linkage`
// as in offspring_index.
template <bool one_class, bool free, typename rank_function>
void draw_offspring(draw_stream& stream, const parent_classes& classes, int32_t generation_size,
                    const common_case& common, const linkage_thresholds& linkage, population_counts& next,
                    rank_function rank_of) {
  const int none = classes.size;
  // Offspring are tallied in four tables, summed at the end, so that
  // successive increments of one count do not wait on each other.
  std::array<std::array<int32_t, genotype_count>, 4> tally{};
  constexpr int32_t batch_size = static_cast<int32_t>(draw_block / 6);
  offspring_list others{};
  // Sorting out the common case pays when its class finds a good share of
  // the parents (here at least a quarter).
  const bool use_common = one_class || common.common_span >= (uint32_t{1} << 29);
  for (int32_t done = 0; done < generation_size;) {
    const int32_t batch = std::min(generation_size - done, batch_size);
    const int32_t* const first = draws_ahead(stream, 6 * static_cast<size_t>(batch));
    done += batch;
    if (use_common) {
      // Supposing every parent is found, offspring c has its draws at 6c:
      // mark whether that holds and which offspring are not of the common
      // case.
      size_t other_count = 0;
      const bool all_found =
          sort_out_common<one_class>(first, static_cast<size_t>(batch), common, others, other_count);
      if (all_found != 0) {
        tally[0][static_cast<size_t>(common.common_index)] += batch - static_cast<int32_t>(other_count);
        for (size_t k = 0; k < other_count; ++k) {
          const int32_t* draw = first + 6 * size_t{others[k]};
          const int first_rank = rank_of(static_cast<uint32_t>(draw[0]));
          const int second_rank = rank_of(static_cast<uint32_t>(draw[1]));
          ++tally[k & 3][static_cast<size_t>(
              offspring_index<free>(classes, first_rank, second_rank, draw + 2, linkage))];
        }
        skip_draws(stream, 6 * static_cast<size_t>(batch));
        continue;
      }
    }
    // One by one. A parent not found has rank `none`, contributes 0 and
    // makes no draws; the advance is a predicted branch rather than
    // arithmetic on the ranks, so the next offspring's lookups need not wait.
    const int32_t* draw = first;
    for (int32_t child = 0; child < batch; ++child) {
      const int first_rank = rank_of(static_cast<uint32_t>(draw[0]));
      const int second_rank = rank_of(static_cast<uint32_t>(draw[1]));
      ++tally[static_cast<size_t>(child & 3)]
             [static_cast<size_t>(offspring_index<free>(classes, first_rank, second_rank, draw + 2, linkage))];
      draw += 6;
      if (first_rank == none || second_rank == none) [[unlikely]] {
        draw -= 2 * (first_rank == none) + 2 * (second_rank == none);
      }
    }
    skip_draws(stream, static_cast<size_t>(draw - first));
  }
  for (size_t l = 0; l < next.size(); ++l) next[l] = tally[0][l] + tally[1][l] + tally[2][l] + tally[3][l];
}

// Whether a parent of this rank passes on the same alleles whatever its
// inheritance draws (homozygous at both loci).
bool passes_one_genotype(const parent_classes& classes, int rank) {
  const auto& first = classes.as_first[static_cast<size_t>(rank)];
  return first[0] == first[1] && first[0] == first[2] && first[0] == first[3];
}

common_case find_common_case(const parent_classes& classes) {
  common_case common;
  double cumulative = 0;
  int best = -1;
  double best_cumulative = 0;
  for (int rank = 0; rank < classes.size; ++rank) {
    const double f = classes.frequency[static_cast<size_t>(rank)];
    if (passes_one_genotype(classes, rank) &&
        (best < 0 || f > classes.frequency[static_cast<size_t>(best)])) {
      best = rank;
      best_cumulative = cumulative;
    }
    cumulative += f;
  }
  common.found_below = find_cut(classes, classes.size - 1, 0, cumulative);
  if (best >= 0) {
    const double f = classes.frequency[static_cast<size_t>(best)];
    const uint32_t low = best == 0 ? 0 : find_cut(classes, best - 1, 0, best_cumulative);
    const uint32_t high = find_cut(classes, best, low, best_cumulative + f);
    common.common_low = low;
    common.common_span = high - low;
    common.common_index = classes.as_first[static_cast<size_t>(best)][0] +
                          classes.as_second[static_cast<size_t>(best)][0];
  }
  return common;
}

// Draws the offspring of select_and_mate from the parent classes, by
// whichever way of finding a parent's rank pays.
template <bool free>
void mate_classes(draw_stream& stream, const parent_classes& classes, const linkage_thresholds& linkage,
                  int32_t generation_size, population_counts& next) {
  const common_case common = find_common_case(classes);
  if (classes.size == 1 && common.common_span > 0) {
    draw_offspring<true, free>(stream, classes, generation_size, common, linkage, next,
                               [&common](uint32_t draw) { return draw < common.found_below ? 0 : 1; });
  } else if (cuts_pay(classes, generation_size)) {
    cut_table table;
    build_cuts(classes, table);
    draw_offspring<false, free>(stream, classes, generation_size, common, linkage, next,
                                [&table](uint32_t draw) { return cut_rank(table, draw); });
  } else {
    draw_offspring<false, free>(stream, classes, generation_size, common, linkage, next,
                                [&classes](uint32_t draw) {
                                  return walk_rank(classes, static_cast<int32_t>(draw));
                                });
  }
}

parent_classes classes_of(const class_frequencies& frequency, weight_rule rule) {
  parent_classes classes;
  classes.last_takes_rest = rule == weight_rule::exact;
  for (int l = 0; l < genotype_count; ++l) {
    const double f = frequency[static_cast<size_t>(l)];
    if (f > 0) add_class(classes, l, f);
  }
  return classes;
}

}  // namespace

linkage_thresholds recombination_thresholds(double r) {
  return {draw_threshold(1 - r), draw_threshold(r)};
}

void rank_walk_cuts(const double* frequency, int count, weight_rule rule, uint32_t* cut) {
  // By cut_by_sum; by find_cut from the first sum too large for it on.
  uint32_t low = 0;
  double cumulative = 0;
  for (int rank = 0; rank < count; ++rank) {
    cumulative += frequency[rank];
    if (rule == weight_rule::exact && rank == count - 1) {
      low = top_draw;
    } else {
      const auto ended = [frequency, rank](uint32_t draw) {
        double t = draw / static_cast<double>(draw_max);
        for (int r = 0; r <= rank; ++r) t -= frequency[r];
        return t < 0;
      };
      if (!cut_by_sum(cumulative, low, low, ended)) {
        parent_classes classes;
        classes.size = count;
        classes.last_takes_rest = rule == weight_rule::exact;
        std::copy(frequency, frequency + count, classes.frequency.begin());
        for (; rank < count; ++rank) {
          low = find_cut(classes, rank, low, cumulative);
          cut[rank] = low;
          if (rank + 1 < count) cumulative += frequency[rank + 1];
        }
        return;
      }
    }
    cut[rank] = low;
  }
}

void select_and_mate(draw_stream& stream, population_counts& current, population_counts& next,
                     const fitness_table& fitness, int32_t generation_size) {
  select_and_mate(stream, current, next, fitness, weight_rule::floor, linkage_thresholds{}, generation_size);
}

namespace {


// The offspring of select_and_mate_mixed, one by one, with `rank_of`
// mapping a raw draw to the rank its walk ends in. Every offspring takes
// seven draws, whatever its way: its way, two parents, and two inheritance
// draws for each of two gametes; a way uses those it needs. (The
// generator's successive draws are tied at a lag of three, and a number of
// draws that changed with the way would carry the ways into later
// offspring's draws.)
template <typename rank_function>
void draw_mixed_offspring(draw_stream& stream, const parent_classes& classes,
                          const linkage_thresholds& linkage, const reproduction_thresholds& ways,
                          int32_t generation_size, population_counts& next, rank_function rank_of) {
  constexpr int32_t batch_size = static_cast<int32_t>(draw_block / 7);
  for (int32_t done = 0; done < generation_size;) {
    const int32_t batch = std::min(generation_size - done, batch_size);
    const int32_t* draw = draws_ahead(stream, 7 * static_cast<size_t>(batch));
    for (int32_t child = 0; child < batch; ++child, draw += 7) {
      const auto way = static_cast<uint32_t>(draw[0]);
      const int first_rank = rank_of(static_cast<uint32_t>(draw[1]));
      int index = 0;
      if (way < ways.clone) {
        index = classes.genotype[static_cast<size_t>(first_rank)];
      } else if (way < ways.self) {
        index = classes.as_first[static_cast<size_t>(first_rank)][linked_bits(draw + 3, linkage)] +
                classes.as_second[static_cast<size_t>(first_rank)][linked_bits(draw + 5, linkage)];
      } else {
        const int second_rank = rank_of(static_cast<uint32_t>(draw[2]));
        index = classes.as_first[static_cast<size_t>(first_rank)][linked_bits(draw + 3, linkage)] +
                classes.as_second[static_cast<size_t>(second_rank)][linked_bits(draw + 5, linkage)];
      }
      ++next[static_cast<size_t>(index)];
    }
    skip_draws(stream, 7 * static_cast<size_t>(batch));
    done += batch;
  }
}

}  // namespace

void select_and_mate(draw_stream& stream, population_counts& current, population_counts& next,
                     const fitness_table& fitness, weight_rule rule, const linkage_thresholds& linkage,
                     int32_t generation_size) {
  next.fill(0);
  if (generation_size <= 0) return;  // no offspring
  parent_classes classes;
  if (!weighed_classes(current, fitness, rule, classes)) return;  // extinct
  if (linkage.after_slot_1 == half_threshold && linkage.after_slot_2 == half_threshold) {
    mate_classes<true>(stream, classes, linkage, generation_size, next);
  } else {
    mate_classes<false>(stream, classes, linkage, generation_size, next);
  }
}

reproduction_thresholds reproduction_thresholds_of(double cloning, double selfing) {
  const uint32_t clone = draw_threshold(cloning);
  const uint32_t self = draw_threshold(cloning + (1 - cloning) * selfing);
  return {clone, std::max(clone, self)};
}

void select_and_mate_mixed(draw_stream& stream, population_counts& current, population_counts& next,
                           const fitness_table& fitness, weight_rule rule,
                           const linkage_thresholds& linkage, const reproduction_thresholds& ways,
                           int32_t generation_size) {
  next.fill(0);
  if (generation_size <= 0) return;  // no offspring
  parent_classes classes;
  if (!weighed_classes(current, fitness, rule, classes)) return;  // extinct
  if (cuts_pay(classes, generation_size)) {
    cut_table table;
    build_cuts(classes, table);
    draw_mixed_offspring(stream, classes, linkage, ways, generation_size, next,
                         [&table](uint32_t draw) { return cut_rank(table, draw); });
  } else {
    draw_mixed_offspring(stream, classes, linkage, ways, generation_size, next,
                         [&classes](uint32_t draw) { return walk_rank(classes, static_cast<int32_t>(draw)); });
  }
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
  // A bucket starts at the lowest rank whose cut lies above its first draw:
  // rank r starts the buckets from the end of rank r - 1's to the last one
  // whose first draw is below cut[r].
  size_t bucket = 0;
  for (int rank = 0; rank <= classes.size && bucket < bucket_count; ++rank) {
    const uint64_t cut = table.cut[static_cast<size_t>(rank)];
    const auto end = static_cast<size_t>(
        std::min<uint64_t>(bucket_count, (cut + (uint64_t{1} << bucket_shift) - 1) >> bucket_shift));
    if (end > bucket) {
      std::memset(table.bucket_rank.data() + bucket, rank, end - bucket);
      bucket = end;
    }
  }
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


// Takes the mutated counts, the fitness table and the weight rule; fills
// `classes` with the classes of positive weight and their frequencies.
// Returns false for an extinct population (a total weight of 0).
bool weighed_classes(const population_counts& current, const fitness_table& fitness, weight_rule rule,
                     parent_classes& classes) {
  if (rule == weight_rule::floor) {
    // parent_frequencies's floor rule, with a division only for the classes
    // of positive weight (a classic run of a small population spends a good
    // share of its time here).
    class_weights weight{};
    const int64_t total = weigh_classes(current, fitness, weight);
    if (total == 0) return false;
    const double divisor = static_cast<double>(static_cast<float>(total));
    for (int l = 0; l < genotype_count; ++l) {
      const int64_t w = weight[static_cast<size_t>(l)];
      if (w > 0) add_class(classes, l, static_cast<double>(w) / divisor);
    }
    return true;
  }
  class_frequencies frequency;
  if (!parent_frequencies(current, fitness, rule, frequency)) return false;
  classes = classes_of(frequency, rule);
  return true;
}


}  // namespace twolocus
