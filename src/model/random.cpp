#include "model/random.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace twolocus {

namespace {

constexpr size_t degree = 31;  // words of state
constexpr size_t history = draw_history;
constexpr size_t generated = draw_generated;

#if defined(__SSE2__)
// The two middle words of two consecutive groups of four: lanes 2 and 3 of
// `low`, then lanes 0 and 1 of `high`.
inline __m128i middle(__m128i low, __m128i high) {
  return _mm_castpd_si128(_mm_shuffle_pd(_mm_castsi128_pd(low), _mm_castsi128_pd(high), 1));
}
#endif

// Appends one block of outputs. Word i is w[i-3] + w[i-31]; applying that
// rule to w[i-3] and to w[i-31] gives
//   w[i] = w[i-6] + 2 w[i-34] + w[i-62],
// in which every lag is 2 more than a multiple of 4: taken in aligned groups
// of four, each term is the middle of two whole groups computed before, so
// four words are computed side by side from whole stored groups (which the
// processor forwards from its store buffer) and from the two groups before
// them, kept in registers. The state holds words whose index is at least 65,
// where both forms agree.
void generate_block(draw_stream& stream) {
  uint32_t* w = stream.words.data();
  int32_t* out = stream.outputs.data() + stream.end;
#if defined(__SSE2__)
  const auto group = [w](size_t i) {
    __m128i four;
    std::memcpy(&four, w + i, sizeof four);
    return four;
  };
  __m128i before_last = group(history - 8), last = group(history - 4);
  __m128i at_36 = group(history - 36), at_64 = group(history - 64);
  for (size_t i = history; i < history + generated; i += 4) {
    const __m128i at_32 = group(i - 32), at_60 = group(i - 60);
    const __m128i lag_34 = middle(at_36, at_32);
    const __m128i lag_62 = middle(at_64, at_60);
    const __m128i lag_6 = middle(before_last, last);
    const __m128i words = _mm_add_epi32(_mm_add_epi32(_mm_add_epi32(lag_34, lag_34), lag_62), lag_6);
    std::memcpy(w + i, &words, sizeof words);
    const __m128i draws = _mm_srli_epi32(words, 1);
    std::memcpy(out + (i - history), &draws, sizeof draws);
    at_36 = at_32;
    at_64 = at_60;
    before_last = last;
    last = words;
  }
#else
  for (size_t i = history; i < history + generated; ++i) {
    w[i] = w[i - 3] + w[i - 31];
    out[i - history] = static_cast<int32_t>(w[i] >> 1);
  }
#endif
  stream.end += generated;
  std::memmove(w, w + generated, history * sizeof(uint32_t));
}

void refill(draw_stream& stream) {
  // The left-over draws move to the front, placed so that the new block
  // starts on a whole group of four.
  const size_t left = stream.end - stream.next;
  const size_t start = (4 - left % 4) % 4;
  std::memmove(stream.outputs.data() + start, stream.outputs.data() + stream.next,
               left * sizeof(int32_t));
  stream.consumed_before += stream.next;
  stream.consumed_before -= start;
  stream.next = start;
  stream.end = start + left;
  generate_block(stream);
}

// The first 34 words of a seeded stream: 31 from the seed by a
// multiplicative congruential step (16807 modulo 2^31 - 1), and the first
// three again. Every later word is w[i - 31] + w[i - 3].
std::array<uint32_t, degree + 3> seeded_words(int32_t seed) {
  std::array<uint32_t, degree + 3> w{};
  int32_t word = seed == 0 ? 1 : seed;
  w[0] = static_cast<uint32_t>(word);
  for (size_t i = 1; i < degree; ++i) {
    // 16807 * word mod (2^31 - 1), without leaving 32 bits (Schrage's method).
    const int32_t hi = word / 127773;
    const int32_t lo = word % 127773;
    word = 16807 * lo - 2836 * hi;
    if (word < 0) word += 2147483647;
    w[i] = static_cast<uint32_t>(word);
  }
  for (size_t i = degree; i < degree + 3; ++i) w[i] = w[i - degree];
  return w;
}

// Polynomials modulo x^31 - x^28 - 1 with coefficients modulo 2^32. From
// word 3 on the words obey w[i + 31] = w[i + 28] + w[i], so when x^k
// reduces to sum c_j x^j, w[3 + k] = sum c_j w[3 + j].
using word_polynomial = std::array<uint32_t, degree>;

word_polynomial multiply(const word_polynomial& a, const word_polynomial& b) {
  std::array<uint32_t, 2 * degree - 1> product{};
  for (size_t i = 0; i < degree; ++i) {
    for (size_t j = 0; j < degree; ++j) product[i + j] += a[i] * b[j];
  }
  // x^d = x^(d - 3) + x^(d - 31), from the top down.
  for (size_t d = product.size() - 1; d >= degree; --d) {
    product[d - 3] += product[d];
    product[d - degree] += product[d];
  }
  word_polynomial result{};
  std::copy(product.begin(), product.begin() + degree, result.begin());
  return result;
}

word_polynomial times_x(const word_polynomial& a) {
  word_polynomial result{};
  std::copy(a.begin(), a.end() - 1, result.begin() + 1);
  result[0] += a[degree - 1];
  result[degree - 3] += a[degree - 1];
  return result;
}

word_polynomial power_of_x(uint64_t exponent) {
  word_polynomial result{}, square{};
  result[0] = 1;
  square[1] = 1;
  for (; exponent != 0; exponent >>= 1) {
    if (exponent & 1) result = multiply(result, square);
    square = multiply(square, square);
  }
  return result;
}

}  // namespace

void seed_draws(draw_stream& stream, int32_t seed) { seed_draws_after(stream, seed, 0); }

void seed_draws_after(draw_stream& stream, int32_t seed, uint64_t consumed) {
  // The stream starts with the `history` words before word 344 + consumed:
  // 310 outputs are discarded as warm-up, and output k is word 344 + k
  // shifted right by one bit.
  const std::array<uint32_t, degree + 3> w = seeded_words(seed);
  const uint64_t first = 344 + consumed - history;
  word_polynomial c = power_of_x(first - 3);
  uint32_t* words = stream.words.data();
  for (size_t j = 0; j < degree; ++j) {
    uint32_t word = 0;
    for (size_t i = 0; i < degree; ++i) word += c[i] * w[3 + i];
    words[j] = word;
    c = times_x(c);
  }
  for (size_t j = degree; j < history; ++j) words[j] = words[j - 31] + words[j - 3];
  stream.next = stream.end = 0;
  stream.consumed_before = consumed;
}

const int32_t* draws_ahead(draw_stream& stream, size_t count) {
  if (stream.end - stream.next < count) refill(stream);
  return stream.outputs.data() + stream.next;
}

void override_upcoming_draws(draw_stream& stream, const int32_t* values, size_t count) {
  draws_ahead(stream, count);
  std::memcpy(stream.outputs.data() + stream.next, values, count * sizeof(int32_t));
}

int32_t raw_draw(draw_stream& stream) {
  if (stream.next == stream.end) refill(stream);
  return stream.outputs[stream.next++];
}

double uniform_draw(draw_stream& stream) { return raw_draw(stream) / static_cast<double>(draw_max); }

uint32_t draw_threshold(double p) {
  // The smallest x in [0, 2^31) whose uniform value is not below p: 0 for
  // a p not above 0 (or not a number), found at once.
  if (!(p > 0)) return 0;
  uint32_t low = 0;
  uint32_t high = 1u << 31;
  while (low < high) {
    const uint32_t middle = low + (high - low) / 2;
    if (middle / static_cast<double>(draw_max) < p) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  return low;
}

int32_t replicate_seed(int32_t seed, int64_t replicate) {
  uint64_t x = (static_cast<uint64_t>(static_cast<uint32_t>(seed)) << 32) +
               static_cast<uint64_t>(replicate);
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  x ^= x >> 31;
  return static_cast<int32_t>(1 + x % 2147483647ULL);
}

int32_t deme_seed(int32_t seed, size_t deme) {
  if (deme == 0) return seed;
  return replicate_seed(seed, (int64_t{1} << 32) - static_cast<int64_t>(deme));
}

}  // namespace twolocus
