// Conditions on a population, as given to the stop, watch and --first
// options: parsed once, then evaluated exactly on a population's counts.
//
// Grammar (white space is free between tokens):
//
//   expr    := or
//   or      := and ('or' and)*
//   and     := atom ('and' atom)*
//   atom    := '(' expr ')' | operand OP operand | 'extinct'
//   OP      := '<' | '<=' | '>' | '>=' | '==' | '!='
//   operand := (STAT | 'count(' LABEL ')' | 'freq(' LABEL ')') ['@' DEME] | NUMBER
//
// Comparisons bind tightest, then 'and', then 'or'; parentheses nest at
// most 32 deep. STAT is a column of twolocus-stats: N a1 a2 a3 b1 b2 b3
// h11 h12 h13 h21 h22 h23 h31 h32 h33 D Dprime r2 Ha Hb classes
// mean_fitness extinct. LABEL is an ordered genotype's four digits 1..3 as
// in the trajectory header (2122 and 1221 are different classes);
// count(LABEL) is its individuals and freq(LABEL) = count / N. NUMBER is
// decimal, [+-]?(D+[.D*]|.D+)([eE][+-]?D+)?, read by strtod, finite (an
// underflow reads as 0 or a subnormal). 'extinct' alone means extinct == 1;
// followed by OP it is a statistic.
//
// A run of several demes: `STAT@DEME`, `count(LABEL)@DEME`,
// `freq(LABEL)@DEME` and `extinct@DEME` read one deme's population (DEME a
// deme's name: a letter or '_', then letters, digits or '_'); without '@'
// an operand reads the demes together, their counts summed. A deme that
// does not exist in a generation has no individuals there (extinct, N 0).
//
// Values are exact: a statistic is its exact value (model/statistics: a
// ratio of the integer counts, which twolocus-stats rounds), mean_fitness is
// sum(count * fitness) / N with each fitness double taken exactly, a number
// is its double taken exactly, and a comparison compares those rationals
// without rounding. An undefined value (a frequency, D, Ha... of an extinct
// population; D' and r2 with allele 1 fixed or lost at a locus;
// mean_fitness without a fitness table or with a non-finite fitness of an
// occupied class) makes every comparison it is in false, so `Dprime < 0.5`
// and `Dprime >= 0.5` are both false on a monomorphic population.
//
// The Python tools (twolocus-stats --first, the stop and watch keywords,
// Run.holds) read and evaluate conditions with these functions, through the
// compiled module; tests/cases/conditions/cases.tsv holds the cases that
// the C++ tests and the Python tests pass.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "model/model.hpp"
#include "model/statistics.hpp"

namespace twolocus {

enum class condition_error_kind : uint8_t {
  none,
  unexpected_character,  // a character that starts no token ('=', '&', '-' alone...)
  unknown_name,          // a name that is no statistic, count or freq
  bad_label,             // count( or freq( not followed by four digits 1..3
  bad_number,            // a number out of the doubles' range
  expected_operand,      // an operand or '(' missing (also an empty text)
  expected_operator,     // an operand not followed by a comparison
  expected_paren,        // '(' after count/freq, or a closing ')', missing
  trailing_text,         // a whole condition followed by more text
  too_deep,              // parentheses nested more than 32 deep
  bad_deme,              // '@' not followed by a deme's name
};

// Takes an error kind; returns its name, as in the shared cases
// ("unknown_name"...), or "none".
std::string_view condition_error_name(condition_error_kind kind);

struct condition_error {
  condition_error_kind kind = condition_error_kind::none;
  int position = 0;  // 1-based character (byte) of the text; 0 when none
};

// The statistics, in the order of twolocus-stats' columns (model/statistics).
using condition_statistic = population_statistic;

enum class condition_operand_kind : uint8_t { number, statistic, count, freq };

struct condition_operand {
  condition_operand_kind kind = condition_operand_kind::number;
  uint8_t index = 0;  // a condition_statistic or a genotype index
  uint32_t deme = 0;  // 0: the demes together; d: the condition's demes[d - 1]
  double number = 0.0;
};

enum class condition_op : uint8_t { lt, le, gt, ge, eq, ne };

enum class condition_node_kind : uint8_t { compare, all_of, any_of };

// A comparison, or the 'and' (all_of) or 'or' (any_of) of the nodes
// children[first_child, first_child + child_count) of its condition.
struct condition_node {
  condition_node_kind kind = condition_node_kind::compare;
  condition_op op = condition_op::eq;
  condition_operand left, right;
  int first_child = 0;
  int child_count = 0;
};

// A compiled condition: its nodes, the root last.
struct condition {
  std::vector<condition_node> nodes;
  std::vector<int> children;
  bool needs_total = false;    // N or anything divided by it
  bool needs_copies = false;   // allele or haplotype copies
  bool needs_classes = false;  // the classes occupied
  // The demes named after '@', each once, in the order first named.
  std::vector<std::string> demes;
};

struct parsed_condition {
  condition value;
  condition_error error;  // kind none when the text was read
};

// Takes a condition's text; returns it compiled, or the first error found
// with its kind and position.
parsed_condition parse_condition(std::string_view text);

// Takes a compiled condition, a population (the demes together), its run's
// fitness table (nullptr when there is none) and, for a condition naming
// demes, each named deme's population in the order of `compiled.demes`
// (nullptr, or a deme beyond the span: no individuals) and, when the demes
// have fitness tables of their own, each one's (none: the run's); returns
// whether the condition holds. Exact, allocates nothing, and computes only the sums the
// condition needs.
bool evaluate_condition(const condition& compiled, const population_counts& counts,
                        const fitness_table* fitness,
                        std::span<const population_counts* const> demes = {},
                        std::span<const fitness_table* const> deme_fitness = {});

}  // namespace twolocus
