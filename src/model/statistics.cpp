#include "model/statistics.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <vector>

namespace twolocus {
namespace {

__extension__ typedef unsigned __int128 u128;
__extension__ typedef __int128 i128;

constexpr std::array<std::string_view, statistic_count> statistic_names = {
    "N",   "a1",  "a2",  "a3", "b1",     "b2", "b3", "h11", "h12",     "h13",          "h21",    "h22",
    "h23", "h31", "h32", "h33", "D", "Dprime", "r2", "Ha",  "Hb", "classes", "mean_fitness", "extinct"};

// ---------------------------------------------------------------- wide integers

void trim(wide& w) {
  while (w.size > 0 && w.limb[static_cast<size_t>(w.size - 1)] == 0) --w.size;
}

void set_wide(wide& w, u128 value) {
  w.size = 0;
  while (value != 0) {
    w.limb[static_cast<size_t>(w.size++)] = static_cast<uint64_t>(value);
    value >>= 64;
  }
}

int bit_length(const wide& w) {
  if (w.size == 0) return 0;
  return (w.size - 1) * 64 + 64 - std::countl_zero(w.limb[static_cast<size_t>(w.size - 1)]);
}

int compare(const wide& a, const wide& b) {
  if (a.size != b.size) return a.size < b.size ? -1 : 1;
  for (size_t i = static_cast<size_t>(a.size); i-- > 0;) {
    if (a.limb[i] != b.limb[i]) return a.limb[i] < b.limb[i] ? -1 : 1;
  }
  return 0;
}

void check_room(int limbs) {
  if (limbs > wide_limbs) std::abort();  // cannot happen within the bounds above
}

void multiply(const wide& a, const wide& b, wide& out) {
  const int size = a.size + b.size;
  check_room(size);
  std::fill_n(out.limb.begin(), size, 0);
  for (size_t i = 0; i < static_cast<size_t>(a.size); ++i) {
    u128 carry = 0;
    for (size_t j = 0; j < static_cast<size_t>(b.size); ++j) {
      const u128 t = static_cast<u128>(a.limb[i]) * b.limb[j] + out.limb[i + j] + carry;
      out.limb[i + j] = static_cast<uint64_t>(t);
      carry = t >> 64;
    }
    out.limb[i + static_cast<size_t>(b.size)] = static_cast<uint64_t>(carry);
  }
  out.size = size;
  trim(out);
}

void shift_left(const wide& a, int bits, wide& out) {
  const int limbs = bits / 64, shift = bits % 64;
  check_room(a.size + limbs + 1);
  std::fill_n(out.limb.begin(), a.size + limbs + 1, 0);
  for (int i = 0; i < a.size; ++i) {
    const u128 moved = static_cast<u128>(a.limb[static_cast<size_t>(i)]) << shift;
    out.limb[static_cast<size_t>(i + limbs)] |= static_cast<uint64_t>(moved);
    out.limb[static_cast<size_t>(i + limbs + 1)] |= static_cast<uint64_t>(moved >> 64);
  }
  out.size = a.size + limbs + 1;
  trim(out);
}

// Adds value * 2^bits to acc, whose limbs are zeroed up to its size.
void add_shifted(wide& acc, u128 value, int bits) {
  const int shift = bits % 64;
  const u128 low = value << shift;
  const std::array<uint64_t, 3> parts = {static_cast<uint64_t>(low), static_cast<uint64_t>(low >> 64),
                                         shift == 0 ? 0 : static_cast<uint64_t>(value >> (128 - shift))};
  uint64_t carry = 0;
  for (size_t i = static_cast<size_t>(bits / 64), k = 0; k < 3 || carry != 0; ++i, ++k) {
    const u128 t = static_cast<u128>(acc.limb[i]) + (k < 3 ? parts[k] : 0) + carry;
    acc.limb[i] = static_cast<uint64_t>(t);
    carry = static_cast<uint64_t>(t >> 64);
  }
}

// big - small into out (which may be big), big >= small.
void subtract(const wide& big, const wide& small, wide& out) {
  uint64_t borrow = 0;
  for (size_t i = 0; i < static_cast<size_t>(big.size); ++i) {
    const uint64_t b = i < static_cast<size_t>(small.size) ? small.limb[i] : 0;
    const uint64_t d = big.limb[i] - b - borrow;
    borrow = (big.limb[i] < b || (big.limb[i] == b && borrow)) ? 1 : 0;
    out.limb[i] = d;
  }
  out.size = big.size;
  trim(out);
}

// Doubles w in place.
void double_in_place(wide& w) {
  uint64_t carry = 0;
  for (size_t i = 0; i < static_cast<size_t>(w.size); ++i) {
    const uint64_t top = w.limb[i] >> 63;
    w.limb[i] = (w.limb[i] << 1) | carry;
    carry = top;
  }
  if (carry != 0) {
    check_room(w.size + 1);
    w.limb[static_cast<size_t>(w.size++)] = carry;
  }
}

// ---------------------------------------------------------------- exact values

void set_undefined(exact_value& v) { v.defined = false; }

void set_ratio(exact_value& v, int sign, u128 num, u128 den) {
  v.defined = true;
  v.sign = num == 0 ? 0 : sign;
  v.exponent = 0;
  set_wide(v.num, num);
  set_wide(v.den, den);
}

u128 magnitude(i128 x) { return static_cast<u128>(x < 0 ? -x : x); }

// Splits a finite non-zero |x| into m * 2^e with m an integer below 2^53.
void split_double(double x, uint64_t& m, int& e) {
  int q = 0;
  const double f = std::frexp(std::fabs(x), &q);
  m = static_cast<uint64_t>(std::ldexp(f, 53));
  e = q - 53;
}

void mean_fitness_value(const population_counts& counts, const population_sums& sums,
                        const fitness_table* fitness, exact_value& v) {
  const int64_t n = sums.total;
  if (fitness == nullptr || n == 0) return set_undefined(v);
  const fitness_table& w = *fitness;
  int low = 0, high = 0;
  bool any = false;
  for (size_t g = 0; g < genotype_count; ++g) {
    if (counts[g] == 0) continue;
    if (!std::isfinite(w[g])) return set_undefined(v);
    if (w[g] == 0.0) continue;
    uint64_t m = 0;
    int exponent = 0;
    split_double(w[g], m, exponent);
    low = any ? std::min(low, exponent) : exponent;
    high = any ? std::max(high, exponent) : exponent;
    any = true;
  }
  set_wide(v.den, magnitude(n));
  v.defined = true;
  v.exponent = low;
  if (!any) {
    v.sign = 0;
    v.num.size = 0;
    return;
  }
  // Terms below 2^(31 + 53), 81 of them: 91 bits above the highest shift.
  const int size = (high - low + 91) / 64 + 2;
  check_room(size);
  wide positive, negative;
  positive.size = negative.size = size;
  std::fill_n(positive.limb.begin(), size, 0);
  std::fill_n(negative.limb.begin(), size, 0);
  for (size_t g = 0; g < genotype_count; ++g) {
    if (counts[g] == 0 || w[g] == 0.0) continue;
    uint64_t m = 0;
    int exponent = 0;
    split_double(w[g], m, exponent);
    const int64_t count = counts[g];
    const bool adds = (w[g] > 0) == (count > 0);
    add_shifted(adds ? positive : negative, static_cast<u128>(m) * magnitude(count), exponent - low);
  }
  trim(positive);
  trim(negative);
  const int order = compare(positive, negative);
  v.sign = n < 0 ? -order : order;
  if (order >= 0) {
    subtract(positive, negative, v.num);
  } else {
    subtract(negative, positive, v.num);
  }
}

// Python's math.fsum of finite values: their sum, exact, then rounded once.
double exact_sum(const std::array<double, genotype_count>& values) {
  std::vector<double> partials;
  partials.reserve(8);
  for (double x : values) {
    size_t i = 0;
    for (double y : partials) {
      if (std::fabs(x) < std::fabs(y)) std::swap(x, y);
      const double hi = x + y;
      const double lo = y - (hi - x);
      if (lo != 0.0) partials[i++] = lo;
      x = hi;
    }
    partials.resize(i);
    if (x != 0.0) partials.push_back(x);
  }
  size_t n = partials.size();
  double hi = 0.0;
  double lo = 0.0;
  if (n > 0) {
    hi = partials[--n];
    while (n > 0) {
      const double x = hi;
      const double y = partials[--n];
      hi = x + y;
      const double yr = hi - x;
      lo = y - yr;
      if (lo != 0.0) break;
    }
    if (n > 0 && ((lo < 0.0 && partials[n - 1] < 0.0) || (lo > 0.0 && partials[n - 1] > 0.0))) {
      const double y = lo * 2.0;
      const double x = hi + y;
      const double yr = x - hi;
      if (y == yr) hi = x;
    }
  }
  return hi;
}

}  // namespace

std::string_view statistic_name(population_statistic which) {
  return statistic_names[static_cast<size_t>(which)];
}

// The haplotypes of slots 1 and 3 and those of slots 2 and 4 (index = d1 +
// 3 d2 + 9 d3 + 27 d4), then the alleles from the haplotypes.
void add_copies(const population_counts& counts, population_sums& s) {
  std::array<int64_t, 9> first{}, second{};
  for (size_t d4 = 0; d4 < 3; ++d4) {
    for (size_t d3 = 0; d3 < 3; ++d3) {
      for (size_t d2 = 0; d2 < 3; ++d2) {
        for (size_t d1 = 0; d1 < 3; ++d1) {
          const int64_t count = counts[d1 + 3 * d2 + 9 * d3 + 27 * d4];
          first[3 * d1 + d3] += count;
          second[3 * d2 + d4] += count;
        }
      }
    }
  }
  for (size_t i = 0; i < 3; ++i) {
    for (size_t j = 0; j < 3; ++j) {
      const int64_t copies = first[3 * i + j] + second[3 * i + j];
      s.copies[6 + 3 * i + j] = copies;
      s.copies[i] += copies;
      s.copies[3 + j] += copies;
      s.total += first[3 * i + j];
    }
  }
}

population_sums sums_of(const population_counts& counts) {
  population_sums sums;
  add_copies(counts, sums);
  for (const int32_t count : counts) sums.classes += count > 0 ? 1 : 0;
  return sums;
}

void set_quotient(exact_value& v, exact_int numerator, exact_int denominator) {
  const bool negative = (numerator < 0) != (denominator < 0);
  set_ratio(v, negative ? -1 : 1, magnitude(numerator), magnitude(denominator));
}

void set_double(exact_value& v, double x) {
  v.defined = true;
  v.den.size = 1;
  v.den.limb[0] = 1;
  if (x == 0.0) {
    v.sign = 0;
    v.exponent = 0;
    v.num.size = 0;
    return;
  }
  uint64_t m = 0;
  split_double(x, m, v.exponent);
  v.sign = x < 0 ? -1 : 1;
  set_wide(v.num, m);
}

void statistic_value(const population_counts& counts, const population_sums& s,
                     const fitness_table* fitness, population_statistic which, exact_value& v) {
  const int64_t n = s.total;
  switch (which) {
    case population_statistic::n: return set_quotient(v, n, 1);
    case population_statistic::classes: return set_quotient(v, s.classes, 1);
    case population_statistic::extinct: return set_quotient(v, n == 0 ? 1 : 0, 1);
    default: break;
  }
  if (n == 0) return set_undefined(v);
  if (which == population_statistic::mean_fitness) return mean_fitness_value(counts, s, fitness, v);
  const i128 total = 2 * static_cast<i128>(n);
  const auto position = static_cast<size_t>(which) - 1;
  if (position < 15) return set_quotient(v, s.copies[position], total);
  const i128 a = s.copies[0], b = s.copies[3], h11 = s.copies[6];
  // D = h11 - a1 b1, in copies: h11 / 2N - (a / 2N) (b / 2N).
  const i128 d = h11 * total - a * b;
  switch (which) {
    case population_statistic::d: return set_quotient(v, d, total * total);
    case population_statistic::dprime: {
      const i128 d_max = d > 0 ? std::min(a * (total - b), (total - a) * b)
                               : std::min(a * b, (total - a) * (total - b));
      if (d_max == 0) return set_undefined(v);
      return set_quotient(v, d, d_max);
    }
    case population_statistic::r2: {
      const i128 spread_a = a * (total - a), spread_b = b * (total - b);
      if (spread_a == 0 || spread_b == 0) return set_undefined(v);
      wide x, y;
      set_ratio(v, (spread_a < 0) != (spread_b < 0) ? -1 : 1, magnitude(d), 1);
      x = v.num;
      multiply(x, x, v.num);
      set_wide(x, magnitude(spread_a));
      set_wide(y, magnitude(spread_b));
      multiply(x, y, v.den);
      return;
    }
    default: {
      const size_t first = which == population_statistic::ha ? 0 : 3;
      i128 squares = 0;
      for (size_t i = first; i < first + 3; ++i) squares += static_cast<i128>(s.copies[i]) * s.copies[i];
      return set_quotient(v, total * total - squares, total * total);
    }
  }
}

int compare_values(const exact_value& a, const exact_value& b) {
  if (a.sign != b.sign) return a.sign < b.sign ? -1 : 1;
  if (a.sign == 0) return 0;
  wide left, right, shifted;
  multiply(a.num, b.den, left);
  multiply(b.num, a.den, right);
  // |a| <=> |b| is left * 2^ea <=> right * 2^eb, that is left <=> right * 2^k.
  const int k = b.exponent - a.exponent;
  const int left_bits = bit_length(left), right_bits = bit_length(right) + k;
  int order = 0;
  if (left_bits != right_bits) {
    order = left_bits < right_bits ? -1 : 1;
  } else if (k > 0) {
    shift_left(right, k, shifted);
    order = compare(left, shifted);
  } else if (k < 0) {
    shift_left(left, -k, shifted);
    order = compare(shifted, right);
  } else {
    order = compare(left, right);
  }
  return a.sign > 0 ? order : -order;
}

double nearest_double(const exact_value& v) {
  if (!v.defined) return std::numeric_limits<double>::quiet_NaN();
  if (v.sign == 0) return 0.0;
  constexpr uint64_t exact_below = uint64_t{1} << 53;
  if (v.exponent == 0 && v.num.size == 1 && v.den.size == 1 && v.num.limb[0] < exact_below &&
      v.den.limb[0] < exact_below) {
    // Both are doubles exactly, and one division rounds their ratio once.
    const double ratio = static_cast<double>(v.num.limb[0]) / static_cast<double>(v.den.limb[0]);
    return v.sign < 0 ? -ratio : ratio;
  }
  // 2^e <= top / bottom < 2^(e + 1); scaled so that 1 <= top / bottom < 2.
  wide top, bottom;
  int e = bit_length(v.num) - bit_length(v.den);
  if (e >= 0) {
    top = v.num;
    shift_left(v.den, e, bottom);
  } else {
    shift_left(v.num, -e, top);
    bottom = v.den;
  }
  if (compare(top, bottom) < 0) {
    double_in_place(top);
    --e;
  }
  // 54 quotient bits, then whether anything is left.
  uint64_t bits = 1;
  wide rest;
  subtract(top, bottom, rest);
  for (int i = 0; i < 53; ++i) {
    double_in_place(rest);
    bits <<= 1;
    if (compare(rest, bottom) >= 0) {
      subtract(rest, bottom, rest);
      bits |= 1;
    }
  }
  const bool sticky = rest.size != 0;
  const bool half = (bits & 1) != 0;
  uint64_t mantissa = bits >> 1;
  if (half && (sticky || (mantissa & 1) != 0)) ++mantissa;
  const double value = std::ldexp(static_cast<double>(mantissa), e - 52 + v.exponent);
  return v.sign < 0 ? -value : value;
}

double summed_mean_fitness(const population_counts& counts, const fitness_table& fitness) {
  std::array<double, genotype_count> products{};
  int64_t n = 0;
  for (size_t i = 0; i < genotype_count; ++i) {
    products[i] = static_cast<double>(counts[i]) * fitness[i];
    n += counts[i];
  }
  return exact_sum(products) / static_cast<double>(n);
}

void population_statistic_values(const population_counts& counts, const fitness_table* fitness,
                                 statistic_values& values) {
  const population_sums sums = sums_of(counts);
  exact_value value;
  for (int i = 0; i < statistic_count; ++i) {
    const auto which = static_cast<population_statistic>(i);
    if (which == population_statistic::mean_fitness) {
      values[static_cast<size_t>(i)] = fitness == nullptr || sums.total == 0
                                           ? std::nullopt
                                           : std::optional<double>(summed_mean_fitness(counts, *fitness));
      continue;
    }
    statistic_value(counts, sums, fitness, which, value);
    values[static_cast<size_t>(i)] = value.defined ? std::optional<double>(nearest_double(value)) : std::nullopt;
    // A frequency is copies / 2N as a division of doubles gives it: no copies
    // of a negative N (a hand-made record) is -0.
    if (i >= 1 && i <= 15 && sums.copies[static_cast<size_t>(i - 1)] == 0 && sums.total < 0) {
      values[static_cast<size_t>(i)] = -0.0;
    }
  }
}

}  // namespace twolocus
