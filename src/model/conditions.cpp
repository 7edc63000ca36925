#include "model/conditions.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <string>

#include "model/genotype.hpp"

namespace twolocus {
namespace {

constexpr int max_depth = 32;

constexpr std::array<std::string_view, 24> statistic_names = {
    "N",   "a1",  "a2",  "a3",  "b1",     "b2", "b3", "h11", "h12",     "h13",          "h21",    "h22",
    "h23", "h31", "h32", "h33", "D", "Dprime", "r2", "Ha",  "Hb", "classes", "mean_fitness", "extinct"};

// ---------------------------------------------------------------- parsing

struct parse_failure {
  condition_error_kind kind;
  size_t at;
};

enum class token_kind : uint8_t { end, op, open, close, number, name };

struct token {
  token_kind kind;
  std::string_view text;
};

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_name_start(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
bool is_name_char(char c) { return is_name_start(c) || is_digit(c); }

// Takes the text and a position; returns the length of the decimal number
// [+-]?(D+[.D*]|.D+)([eE][+-]?D+)? that starts there, or 0.
size_t number_length(std::string_view text, size_t at) {
  size_t i = at;
  auto digits = [&](size_t& j) {
    const size_t from = j;
    while (j < text.size() && is_digit(text[j])) ++j;
    return j - from;
  };
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  const size_t whole = digits(i);
  if (i < text.size() && text[i] == '.') {
    size_t j = i + 1;
    if (whole == 0 && digits(j) == 0) return 0;
    digits(j);
    i = j;
  } else if (whole == 0) {
    return 0;
  }
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    size_t j = i + 1;
    if (j < text.size() && (text[j] == '+' || text[j] == '-')) ++j;
    if (digits(j) > 0) i = j;
  }
  return i - at;
}

struct parser {
  std::string_view text;
  size_t at = 0;
  int depth = 0;
  condition result;

  [[noreturn]] void fail(condition_error_kind kind) const { throw parse_failure{kind, at}; }

  void skip() {
    while (at < text.size() && is_space(text[at])) ++at;
  }

  // Skips white space; returns the next token without taking it.
  token peek() {
    skip();
    if (at == text.size()) return {token_kind::end, {}};
    const std::string_view rest = text.substr(at);
    const char c = rest[0];
    if (c == '(') return {token_kind::open, rest.substr(0, 1)};
    if (c == ')') return {token_kind::close, rest.substr(0, 1)};
    for (std::string_view op : {"<=", ">=", "==", "!="}) {
      if (rest.starts_with(op)) return {token_kind::op, rest.substr(0, 2)};
    }
    if (c == '<' || c == '>') return {token_kind::op, rest.substr(0, 1)};
    if (const size_t length = number_length(text, at)) return {token_kind::number, rest.substr(0, length)};
    if (is_name_start(c)) {
      size_t length = 1;
      while (length < rest.size() && is_name_char(rest[length])) ++length;
      return {token_kind::name, rest.substr(0, length)};
    }
    fail(condition_error_kind::unexpected_character);
  }

  token take() {
    const token next = peek();
    at += next.text.size();
    return next;
  }

  bool next_is_name(std::string_view name) {
    const token next = peek();
    return next.kind == token_kind::name && next.text == name;
  }

  int add(condition_node node) {
    result.nodes.push_back(node);
    return static_cast<int>(result.nodes.size()) - 1;
  }

  // Takes the word separating the terms and how to read one; returns the
  // node of their and/or, or the single term's node.
  template <typename term_reader>
  int joined(std::string_view word, condition_node_kind kind, term_reader read_term) {
    std::vector<int> terms{read_term()};
    while (next_is_name(word)) {
      take();
      terms.push_back(read_term());
    }
    if (terms.size() == 1) return terms[0];
    condition_node node;
    node.kind = kind;
    node.first_child = static_cast<int>(result.children.size());
    node.child_count = static_cast<int>(terms.size());
    result.children.insert(result.children.end(), terms.begin(), terms.end());
    return add(node);
  }

  int expression() {
    return joined("or", condition_node_kind::any_of, [this] {
      return joined("and", condition_node_kind::all_of, [this] { return atom(); });
    });
  }

  int atom() {
    const token next = peek();
    if (next.kind == token_kind::open) {
      if (++depth > max_depth) fail(condition_error_kind::too_deep);
      take();
      const int inner = expression();
      if (peek().kind != token_kind::close) fail(condition_error_kind::expected_paren);
      take();
      --depth;
      return inner;
    }
    condition_node node;
    if (next.kind == token_kind::name && next.text == "extinct") {
      const size_t start = at;
      take();
      if (peek().kind != token_kind::op) {
        node.left = statistic(condition_statistic::extinct);
        node.right.number = 1.0;
        return add(node);
      }
      at = start;
    }
    node.left = operand();
    const token op = peek();
    if (op.kind != token_kind::op) fail(condition_error_kind::expected_operator);
    take();
    node.op = op.text == "<"    ? condition_op::lt
              : op.text == "<=" ? condition_op::le
              : op.text == ">"  ? condition_op::gt
              : op.text == ">=" ? condition_op::ge
              : op.text == "==" ? condition_op::eq
                                : condition_op::ne;
    node.right = operand();
    return add(node);
  }

  condition_operand statistic(condition_statistic which) {
    switch (which) {
      case condition_statistic::classes: result.needs_classes = true; break;
      case condition_statistic::n:
      case condition_statistic::extinct:
      case condition_statistic::mean_fitness: result.needs_total = true; break;
      default: result.needs_total = result.needs_copies = true;
    }
    condition_operand operand;
    operand.kind = condition_operand_kind::statistic;
    operand.index = static_cast<uint8_t>(which);
    return operand;
  }

  condition_operand operand() {
    const token next = peek();
    condition_operand operand;
    if (next.kind == token_kind::number) {
      const std::string digits(next.text);
      operand.number = std::strtod(digits.c_str(), nullptr);
      if (!std::isfinite(operand.number)) fail(condition_error_kind::bad_number);
      take();
      return operand;
    }
    if (next.kind != token_kind::name || next.text == "and" || next.text == "or") {
      fail(condition_error_kind::expected_operand);
    }
    const auto found = std::find(statistic_names.begin(), statistic_names.end(), next.text);
    if (found != statistic_names.end()) {
      take();
      return statistic(static_cast<condition_statistic>(found - statistic_names.begin()));
    }
    if (next.text != "count" && next.text != "freq") fail(condition_error_kind::unknown_name);
    take();
    operand.kind = next.text == "count" ? condition_operand_kind::count : condition_operand_kind::freq;
    if (operand.kind == condition_operand_kind::freq) result.needs_total = true;
    if (peek().kind != token_kind::open) fail(condition_error_kind::expected_paren);
    take();
    skip();
    size_t length = 0;
    while (at + length < text.size() && is_name_char(text[at + length])) ++length;
    const std::string_view label = text.substr(at, length);
    if (length != 4 || !std::all_of(label.begin(), label.end(), [](char c) { return c >= '1' && c <= '3'; })) {
      fail(condition_error_kind::bad_label);
    }
    operand.index = static_cast<uint8_t>(compose_index(label[0] - '1', label[1] - '1', label[2] - '1', label[3] - '1'));
    at += length;
    if (peek().kind != token_kind::close) fail(condition_error_kind::expected_paren);
    take();
    return operand;
  }
};

// ---------------------------------------------------------------- exact values

// A non-negative integer of up to 40 64-bit limbs, least significant first,
// without leading zero limbs (size 0 is zero). The largest operand is a
// mean fitness numerator over the doubles' whole exponent range (about 2140
// bits) times an r2 denominator (under 160 bits).
constexpr int wide_limbs = 40;
__extension__ typedef unsigned __int128 u128;
__extension__ typedef __int128 i128;

struct wide {
  int size;
  std::array<uint64_t, wide_limbs> limb;
};

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

// big - small into out, big >= small.
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

// sign * num / den * 2^exponent, den > 0; every comparison with an
// undefined value is false.
struct exact_value {
  bool defined;
  int sign;
  int exponent;
  wide num;
  wide den;
};

void set_undefined(exact_value& v) { v.defined = false; }

void set_ratio(exact_value& v, int sign, u128 num, u128 den) {
  v.defined = true;
  v.sign = num == 0 ? 0 : sign;
  v.exponent = 0;
  set_wide(v.num, num);
  set_wide(v.den, den);
}

// Splits a finite non-zero |x| into m * 2^e with m an integer below 2^53.
void split_double(double x, uint64_t& m, int& e) {
  int q = 0;
  const double f = std::frexp(std::fabs(x), &q);
  m = static_cast<uint64_t>(std::ldexp(f, 53));
  e = q - 53;
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

struct population_sums {
  uint64_t total = 0;  // N
  uint64_t classes = 0;
  std::array<uint64_t, 15> copies{};
};

// Fills s.copies and s.total from the counts: the haplotypes of slots 1 and
// 3 and those of slots 2 and 4 (index = d1 + 3 d2 + 9 d3 + 27 d4), then the
// alleles from the haplotypes.
void add_copies(const population_counts& counts, population_sums& s) {
  std::array<uint64_t, 9> first{}, second{};
  for (size_t d4 = 0; d4 < 3; ++d4) {
    for (size_t d3 = 0; d3 < 3; ++d3) {
      for (size_t d2 = 0; d2 < 3; ++d2) {
        for (size_t d1 = 0; d1 < 3; ++d1) {
          const auto count = static_cast<uint64_t>(counts[d1 + 3 * d2 + 9 * d3 + 27 * d4]);
          first[3 * d1 + d3] += count;
          second[3 * d2 + d4] += count;
        }
      }
    }
  }
  for (size_t i = 0; i < 3; ++i) {
    for (size_t j = 0; j < 3; ++j) {
      const uint64_t copies = first[3 * i + j] + second[3 * i + j];
      s.copies[6 + 3 * i + j] = copies;
      s.copies[i] += copies;
      s.copies[3 + j] += copies;
      s.total += first[3 * i + j];
    }
  }
}

struct evaluation {
  const condition& compiled;
  const population_counts& counts;
  const fitness_table* fitness;
  population_sums sums;
};

void mean_fitness_value(const evaluation& e, exact_value& v) {
  const uint64_t n = e.sums.total;
  if (e.fitness == nullptr || n == 0) return set_undefined(v);
  const fitness_table& w = *e.fitness;
  int low = 0, high = 0;
  bool any = false;
  for (size_t g = 0; g < genotype_count; ++g) {
    if (e.counts[g] == 0) continue;
    if (!std::isfinite(w[g])) return set_undefined(v);
    if (w[g] == 0.0) continue;
    uint64_t m = 0;
    int exponent = 0;
    split_double(w[g], m, exponent);
    low = any ? std::min(low, exponent) : exponent;
    high = any ? std::max(high, exponent) : exponent;
    any = true;
  }
  set_wide(v.den, n);
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
    if (e.counts[g] == 0 || w[g] == 0.0) continue;
    uint64_t m = 0;
    int exponent = 0;
    split_double(w[g], m, exponent);
    add_shifted(w[g] > 0 ? positive : negative, static_cast<u128>(m) * static_cast<uint64_t>(e.counts[g]),
                exponent - low);
  }
  trim(positive);
  trim(negative);
  const int order = compare(positive, negative);
  v.sign = order;
  if (order >= 0) {
    subtract(positive, negative, v.num);
  } else {
    subtract(negative, positive, v.num);
  }
}

void statistic_value(const evaluation& e, condition_statistic which, exact_value& v) {
  const population_sums& s = e.sums;
  const uint64_t n = s.total;
  switch (which) {
    case condition_statistic::n: return set_ratio(v, 1, n, 1);
    case condition_statistic::classes: return set_ratio(v, 1, s.classes, 1);
    case condition_statistic::extinct: return set_ratio(v, 1, n == 0 ? 1 : 0, 1);
    default: break;
  }
  if (n == 0) return set_undefined(v);
  if (which == condition_statistic::mean_fitness) return mean_fitness_value(e, v);
  const u128 total = 2 * static_cast<u128>(n);
  const auto position = static_cast<size_t>(which) - 1;
  if (position < 15) return set_ratio(v, 1, s.copies[position], total);
  const u128 a = s.copies[0], b = s.copies[3], h11 = s.copies[6];
  const i128 d = static_cast<i128>(h11 * total) - static_cast<i128>(a * b);
  const u128 magnitude = static_cast<u128>(d < 0 ? -d : d);
  const int sign = d < 0 ? -1 : 1;
  switch (which) {
    case condition_statistic::d: return set_ratio(v, sign, magnitude, total * total);
    case condition_statistic::dprime: {
      const u128 d_max = d > 0 ? std::min(a * (total - b), (total - a) * b) : std::min(a * b, (total - a) * (total - b));
      if (d_max == 0) return set_undefined(v);
      return set_ratio(v, sign, magnitude, d_max);
    }
    case condition_statistic::r2: {
      const u128 spread_a = a * (total - a), spread_b = b * (total - b);
      if (spread_a == 0 || spread_b == 0) return set_undefined(v);
      wide x, y;
      set_ratio(v, 1, magnitude, 1);
      x = v.num;
      multiply(x, x, v.num);
      set_wide(x, spread_a);
      set_wide(y, spread_b);
      multiply(x, y, v.den);
      return;
    }
    default: {
      const size_t first = which == condition_statistic::ha ? 0 : 3;
      u128 squares = 0;
      for (size_t i = first; i < first + 3; ++i) squares += static_cast<u128>(s.copies[i]) * s.copies[i];
      return set_ratio(v, 1, total * total - squares, total * total);
    }
  }
}

void operand_value(const evaluation& e, const condition_operand& operand, exact_value& v) {
  switch (operand.kind) {
    case condition_operand_kind::number: return set_double(v, operand.number);
    case condition_operand_kind::count: return set_ratio(v, 1, static_cast<u128>(e.counts[operand.index]), 1);
    case condition_operand_kind::freq:
      if (e.sums.total == 0) return set_undefined(v);
      return set_ratio(v, 1, static_cast<u128>(e.counts[operand.index]), e.sums.total);
    default: return statistic_value(e, static_cast<condition_statistic>(operand.index), v);
  }
}

// Takes two defined values; returns -1, 0 or 1 as a <, == or > b.
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

// Takes an evaluation and a number; returns the order of mean_fitness and
// the number (-1, 0, 1) when a sum in doubles, with its error bound, decides
// it, 2 when it does not, and 3 when mean_fitness is undefined.
int mean_fitness_order(const evaluation& e, double number) {
  const uint64_t n = e.sums.total;
  if (e.fitness == nullptr || n == 0) return 3;
  double sum = 0.0, magnitude = 0.0;
  for (size_t g = 0; g < genotype_count; ++g) {
    const double term = static_cast<double>(e.counts[g]) * (*e.fitness)[g];
    sum += term;
    magnitude += std::fabs(term);
  }
  if (!std::isfinite(magnitude)) {
    for (size_t g = 0; g < genotype_count; ++g) {
      if (e.counts[g] != 0 && !std::isfinite((*e.fitness)[g])) return 3;
    }
    return 2;
  }
  // 83 roundings of at most 2^-53 relative each, generously, plus what
  // subnormal terms can lose.
  const double mean = sum / static_cast<double>(n);
  const double bound = (magnitude / static_cast<double>(n)) * 1e-13 + 1e-300;
  if (mean - number > bound) return 1;
  if (number - mean > bound) return -1;
  return 2;
}

bool order_holds(condition_op op, int order) {
  switch (op) {
    case condition_op::lt: return order < 0;
    case condition_op::le: return order <= 0;
    case condition_op::gt: return order > 0;
    case condition_op::ge: return order >= 0;
    case condition_op::eq: return order == 0;
    default: return order != 0;
  }
}

bool is_mean_fitness(const condition_operand& operand) {
  return operand.kind == condition_operand_kind::statistic &&
         operand.index == static_cast<uint8_t>(condition_statistic::mean_fitness);
}

[[gnu::noinline]] bool comparison_holds(const evaluation& e, const condition_node& node) {
  // mean_fitness against a number: decided in doubles when far enough apart.
  if (is_mean_fitness(node.left) && node.right.kind == condition_operand_kind::number) {
    const int order = mean_fitness_order(e, node.right.number);
    if (order == 3) return false;
    if (order != 2) return order_holds(node.op, order);
  } else if (is_mean_fitness(node.right) && node.left.kind == condition_operand_kind::number) {
    const int order = mean_fitness_order(e, node.left.number);
    if (order == 3) return false;
    if (order != 2) return order_holds(node.op, -order);
  }
  exact_value left, right;
  operand_value(e, node.left, left);
  if (!left.defined) return false;
  operand_value(e, node.right, right);
  if (!right.defined) return false;
  return order_holds(node.op, compare_values(left, right));
}

bool node_holds(const evaluation& e, int index) {
  const condition_node& node = e.compiled.nodes[static_cast<size_t>(index)];
  if (node.kind == condition_node_kind::compare) return comparison_holds(e, node);
  const bool all = node.kind == condition_node_kind::all_of;
  for (int i = 0; i < node.child_count; ++i) {
    if (node_holds(e, e.compiled.children[static_cast<size_t>(node.first_child + i)]) != all) return !all;
  }
  return all;
}

}  // namespace

std::string_view condition_error_name(condition_error_kind kind) {
  switch (kind) {
    case condition_error_kind::unexpected_character: return "unexpected_character";
    case condition_error_kind::unknown_name: return "unknown_name";
    case condition_error_kind::bad_label: return "bad_label";
    case condition_error_kind::bad_number: return "bad_number";
    case condition_error_kind::expected_operand: return "expected_operand";
    case condition_error_kind::expected_operator: return "expected_operator";
    case condition_error_kind::expected_paren: return "expected_paren";
    case condition_error_kind::trailing_text: return "trailing_text";
    case condition_error_kind::too_deep: return "too_deep";
    default: return "none";
  }
}

parsed_condition parse_condition(std::string_view text) {
  parser p{text, 0, 0, {}};
  try {
    p.expression();
    if (p.peek().kind != token_kind::end) p.fail(condition_error_kind::trailing_text);
  } catch (const parse_failure& failure) {
    return {{}, {failure.kind, static_cast<int>(failure.at) + 1}};
  }
  return {std::move(p.result), {}};
}

bool evaluate_condition(const condition& compiled, const population_counts& counts, const fitness_table* fitness) {
  if (compiled.nodes.empty()) return false;
  evaluation e{compiled, counts, fitness, {}};
  population_sums& s = e.sums;
  if (compiled.needs_copies) {
    add_copies(counts, s);
  } else if (compiled.needs_total) {
    for (const int32_t count : counts) s.total += static_cast<uint64_t>(count);
  }
  if (compiled.needs_classes) {
    for (const int32_t count : counts) s.classes += count != 0 ? 1 : 0;
  }
  return node_holds(e, static_cast<int>(compiled.nodes.size()) - 1);
}

}  // namespace twolocus
