#include "model/conditions.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <string>

#include "model/genotype.hpp"

namespace twolocus {
namespace {

constexpr int max_depth = 32;


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
      condition_operand alone = statistic(condition_statistic::extinct);
      deme_suffix(alone);
      if (peek().kind != token_kind::op) {
        node.left = alone;
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

  // Reads '@' DEME right after an operand of a population, when there is
  // one (no white space on either side of '@').
  void deme_suffix(condition_operand& operand) {
    if (at == text.size() || text[at] != '@') return;
    ++at;
    size_t length = 0;
    if (at < text.size() && is_name_start(text[at])) {
      length = 1;
      while (at + length < text.size() && is_name_char(text[at + length])) ++length;
    }
    if (length == 0) fail(condition_error_kind::bad_deme);
    const std::string_view name = text.substr(at, length);
    at += length;
    size_t place = 0;
    while (place < result.demes.size() && result.demes[place] != name) ++place;
    if (place == result.demes.size()) result.demes.emplace_back(name);
    operand.deme = static_cast<uint32_t>(place + 1);
  }

  condition_operand operand() {
    condition_operand read = population_operand();
    if (read.kind != condition_operand_kind::number) deme_suffix(read);
    return read;
  }

  condition_operand population_operand() {
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
    for (int i = 0; i < statistic_count; ++i) {
      const auto which = static_cast<condition_statistic>(i);
      if (statistic_name(which) == next.text) {
        take();
        return statistic(which);
      }
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

// ---------------------------------------------------------------- evaluation

// The population of a deme that does not exist.
constexpr population_counts no_individuals{};

struct evaluation {
  const condition& compiled;
  const population_counts& counts;
  const fitness_table* fitness;
  std::span<const population_counts* const> demes;
  std::span<const fitness_table* const> deme_fitness;  // none: every deme's is `fitness`
  population_sums sums;
};

// Takes a deme's counts (nullptr: the deme has no individuals) and its
// sums, zero; works them out and returns the counts.
const population_counts& deme_population_of(const population_counts* counts, population_sums& sums) {
  if (counts == nullptr) return no_individuals;
  add_copies(*counts, sums);
  for (const int32_t count : *counts) sums.classes += count > 0 ? 1 : 0;
  return *counts;
}

// Takes an evaluation and an operand of one deme; returns that deme's
// counts (nullptr when it has none).
const population_counts* deme_counts_of(const evaluation& e, const condition_operand& operand) {
  const size_t place = operand.deme - 1;
  return place < e.demes.size() ? e.demes[place] : nullptr;
}

// Takes an evaluation and an operand of one deme; returns that deme's
// fitness table.
const fitness_table* deme_fitness_of(const evaluation& e, const condition_operand& operand) {
  const size_t place = operand.deme - 1;
  return place < e.deme_fitness.size() ? e.deme_fitness[place] : e.fitness;
}

// Takes a population, its sums, the fitness and an operand of a population;
// sets `v` to the operand's value there.
void population_value(const population_counts& counts, const population_sums& sums, const fitness_table* fitness,
                      const condition_operand& operand, exact_value& v) {
  switch (operand.kind) {
    case condition_operand_kind::count: return set_quotient(v, counts[operand.index], 1);
    case condition_operand_kind::freq:
      if (sums.total == 0) {
        v.defined = false;
        return;
      }
      return set_quotient(v, counts[operand.index], sums.total);
    default:
      return statistic_value(counts, sums, fitness, static_cast<population_statistic>(operand.index), v);
  }
}

void operand_value(const evaluation& e, const condition_operand& operand, exact_value& v) {
  if (operand.kind == condition_operand_kind::number) return set_double(v, operand.number);
  // The demes together: their sums were worked out once for the evaluation.
  if (operand.deme == 0) return population_value(e.counts, e.sums, e.fitness, operand, v);
  population_sums sums;
  const population_counts& counts = deme_population_of(deme_counts_of(e, operand), sums);
  population_value(counts, sums, deme_fitness_of(e, operand), operand, v);
}

// Takes a population, its size and the fitness, and a number; returns the
// order of the population's mean_fitness and the number (-1, 0, 1) when a
// sum in doubles, with its error bound, decides it, 2 when it does not, and
// 3 when mean_fitness is undefined.
int mean_fitness_order(const population_counts& counts, int64_t n, const fitness_table* fitness, double number) {
  if (fitness == nullptr || n == 0) return 3;
  double sum = 0.0, magnitude = 0.0;
  for (size_t g = 0; g < genotype_count; ++g) {
    const double term = static_cast<double>(counts[g]) * (*fitness)[g];
    sum += term;
    magnitude += std::fabs(term);
  }
  if (!std::isfinite(magnitude)) {
    for (size_t g = 0; g < genotype_count; ++g) {
      if (counts[g] != 0 && !std::isfinite((*fitness)[g])) return 3;
    }
    return 2;
  }
  // 83 roundings of at most 2^-53 relative each, generously, plus what
  // subnormal terms can lose.
  const double mean = sum / static_cast<double>(n);
  const double bound = (magnitude / std::fabs(static_cast<double>(n))) * 1e-13 + 1e-300;
  if (mean - number > bound) return 1;
  if (number - mean > bound) return -1;
  return 2;
}

// The same for a mean_fitness operand of an evaluation.
int mean_fitness_order(const evaluation& e, const condition_operand& operand, double number) {
  if (operand.deme == 0) return mean_fitness_order(e.counts, e.sums.total, e.fitness, number);
  population_sums sums;
  const population_counts& counts = deme_population_of(deme_counts_of(e, operand), sums);
  return mean_fitness_order(counts, sums.total, deme_fitness_of(e, operand), number);
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
    const int order = mean_fitness_order(e, node.left, node.right.number);
    if (order == 3) return false;
    if (order != 2) return order_holds(node.op, order);
  } else if (is_mean_fitness(node.right) && node.left.kind == condition_operand_kind::number) {
    const int order = mean_fitness_order(e, node.right, node.left.number);
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
    case condition_error_kind::bad_deme: return "bad_deme";
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

bool evaluate_condition(const condition& compiled, const population_counts& counts, const fitness_table* fitness,
                        std::span<const population_counts* const> demes,
                        std::span<const fitness_table* const> deme_fitness) {
  if (compiled.nodes.empty()) return false;
  evaluation e{compiled, counts, fitness, demes, deme_fitness, {}};
  population_sums& s = e.sums;
  if (compiled.needs_copies) {
    add_copies(counts, s);
  } else if (compiled.needs_total) {
    for (const int32_t count : counts) s.total += count;
  }
  if (compiled.needs_classes) {
    for (const int32_t count : counts) s.classes += count > 0 ? 1 : 0;
  }
  return node_holds(e, static_cast<int>(compiled.nodes.size()) - 1);
}

}  // namespace twolocus
