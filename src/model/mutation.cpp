// The mutation step, computed on raw draws: each uniform comparison of the
// step becomes a comparison of the raw draw with a precomputed integer
// threshold, which decides the same way for every draw value.
#include <algorithm>
#include <cstring>
#include <limits>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "model/genotype.hpp"
#include "model/random.hpp"
#include "model/steps.hpp"

namespace twolocus {

namespace {

// Below this a draw may change a slot holding the given digit.
uint32_t change_threshold(int digit, const locus_thresholds& t) {
  const auto& below = t.below[static_cast<size_t>(digit)];
  return std::max(below[0], below[1]);
}

// The change of a slot's digit that a draw makes (new digit - old digit).
int digit_change(int digit, uint32_t draw, const locus_thresholds& t) {
  const auto& below = t.below[static_cast<size_t>(digit)];
  if (draw < below[0]) return digit == 2 ? -2 : 1;
  if (draw < below[1]) return digit == 0 ? 2 : -1;
  return 0;
}

// Whether an individual's four draws may change any of its slots: one vector
// comparison where the processor has them (the unsigned order is the signed
// order of values with the top bit flipped).
struct change_test {
#if defined(__SSE2__)
  __m128i flipped_thresholds;
  explicit change_test(const std::array<uint32_t, 4>& may_change) {
    std::array<uint32_t, 4> flipped{};
    for (size_t slot = 0; slot < 4; ++slot) flipped[slot] = may_change[slot] ^ 0x80000000u;
    std::memcpy(&flipped_thresholds, flipped.data(), sizeof flipped_thresholds);
  }
  __m128i below(const uint32_t* draw) const {
    __m128i four;
    std::memcpy(&four, draw, sizeof four);
    return _mm_cmpgt_epi32(flipped_thresholds, _mm_xor_si128(four, _mm_set1_epi32(INT32_MIN)));
  }
  bool operator()(const uint32_t* draw) const { return _mm_movemask_epi8(below(draw)) != 0; }
  // The same for four individuals at once.
  bool any_of_four(const uint32_t* draw) const {
    const __m128i some = _mm_or_si128(_mm_or_si128(below(draw), below(draw + 4)),
                                      _mm_or_si128(below(draw + 8), below(draw + 12)));
    return _mm_movemask_epi8(some) != 0;
  }
#else
  std::array<uint32_t, 4> thresholds;
  explicit change_test(const std::array<uint32_t, 4>& may_change) : thresholds(may_change) {}
  bool operator()(const uint32_t* draw) const {
    return ((draw[0] < thresholds[0]) | (draw[1] < thresholds[1]) | (draw[2] < thresholds[2]) |
            (draw[3] < thresholds[3])) != 0;
  }
  bool any_of_four(const uint32_t* draw) const {
    return (*this)(draw) || (*this)(draw + 4) || (*this)(draw + 8) || (*this)(draw + 12);
  }
#endif
};

void discard_draws(draw_stream& stream, int64_t count) {
  while (count > 0) {
    const auto take = static_cast<size_t>(std::min<int64_t>(count, draw_block));
    draws_ahead(stream, take);
    skip_draws(stream, take);
    count -= static_cast<int64_t>(take);
  }
}

}  // namespace

locus_thresholds matrix_thresholds(const mutation_matrix& matrix) {
  locus_thresholds t;
  for (size_t d = 0; d < 3; ++d) {
    const double c1 = matrix[d][(d + 1) % 3];
    const double c2 = c1 + matrix[d][(d + 2) % 3];
    t.below[d] = {draw_threshold(c1), draw_threshold(c2)};
  }
  return t;
}

locus_thresholds mutation_thresholds(const mutation_rates& rates) {
  return matrix_thresholds(classic_matrix(rates));
}

void mutate_by_matrices(draw_stream& stream, population_counts& current, population_counts& next,
                        const mutation_matrix& matrix_a, const mutation_matrix& matrix_b) {
  mutate_with_thresholds(stream, current, next, matrix_thresholds(matrix_a), matrix_thresholds(matrix_b));
}

void mutate_population(draw_stream& stream, population_counts& current, population_counts& next,
                       const mutation_rates& rates_a, const mutation_rates& rates_b) {
  mutate_with_thresholds(stream, current, next, mutation_thresholds(rates_a),
                         mutation_thresholds(rates_b));
}

void mutate_with_thresholds(draw_stream& stream, population_counts& current,
                            population_counts& next, const locus_thresholds& locus_a,
                            const locus_thresholds& locus_b) {
  constexpr int64_t count_max = std::numeric_limits<int32_t>::max();
  // Counts move in 64 bits. Before its own turn a class only gains
  // individuals, during it only loses them, and after it (which only back
  // mutation brings) only gains again; so holding it at the 32-bit maximum
  // when its turn comes and at the end equals holding every single gain.
  std::array<int64_t, genotype_count> moved{};
  std::copy(current.begin(), current.end(), moved.begin());
  // Whether some individual moved to a class of lower index (only back
  // mutation can), which may then need holding at the end.
  bool moved_back = false;

  for (int j = 0; j < genotype_count; ++j) {
    const auto class_j = static_cast<size_t>(j);
    moved[class_j] = std::min(moved[class_j], count_max);
    const int32_t count = current[class_j];
    if (count <= 0) continue;
    const std::array<int, 4> digit = {index_digit(j, 1), index_digit(j, 2), index_digit(j, 3),
                                      index_digit(j, 4)};
    const std::array<const locus_thresholds*, 4> locus = {&locus_a, &locus_a, &locus_b, &locus_b};
    std::array<uint32_t, 4> may_change{};
    for (size_t slot = 0; slot < 4; ++slot) may_change[slot] = change_threshold(digit[slot], *locus[slot]);
    if (may_change[0] == 0 && may_change[1] == 0 && may_change[2] == 0 && may_change[3] == 0) {
      discard_draws(stream, 4 * static_cast<int64_t>(count));
      continue;
    }
    const change_test may_change_any(may_change);
    for (int32_t done = 0; done < count;) {
      const int32_t batch = std::min<int32_t>(count - done, static_cast<int32_t>(draw_block / 4));
      const auto* draw = reinterpret_cast<const uint32_t*>(draws_ahead(stream, 4 * static_cast<size_t>(batch)));
      // Mutations are rare: most groups of four individuals are passed over
      // after one vector comparison of their sixteen draws.
      for (int32_t group = 0; group < batch; group += 4) {
        const uint32_t* group_draws = draw + 4 * group;
        const int32_t members = std::min(4, batch - group);
        if (members == 4 && !may_change_any.any_of_four(group_draws)) [[likely]] continue;
        for (const uint32_t* own = group_draws; own < group_draws + 4 * members; own += 4) {
          if (!may_change_any(own)) continue;
          int target = j;
          for (size_t slot = 0; slot < 4; ++slot) {
            target += digit_change(digit[slot], own[slot], *locus[slot]) * slot_weight[slot];
          }
          if (target != j) {
            --moved[class_j];
            ++moved[static_cast<size_t>(target)];
            moved_back |= target < j;
          }
        }
      }
      skip_draws(stream, 4 * static_cast<size_t>(batch));
      done += batch;
    }
  }
  if (moved_back) {
    for (size_t l = 0; l < next.size(); ++l) next[l] = static_cast<int32_t>(std::min(moved[l], count_max));
  } else {
    for (size_t l = 0; l < next.size(); ++l) next[l] = static_cast<int32_t>(moved[l]);
  }
  current = next;
}

}  // namespace twolocus
