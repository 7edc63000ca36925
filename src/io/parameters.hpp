// The table of a twolocus-sim run's parameters (parameters.def) as data,
// and the reading of one parameter's value from text by its entry: every
// reader of parameters (the command line, the parameter file, the batch
// file, the Python keywords) takes its names, kinds and ranges from here,
// so that one range is written once.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace twolocus {

enum class parameter_kind {
  integer, real, probability, word, label, file, folder, start, condition, change, six, flag
};

enum class parameter_scope { model, run, batch, command };

enum class parameter_id {
#define TWOLOCUS_PARAMETER(identifier, kind, low, high, words, fallback, options, key, keyword, \
                           column, scope, meaning)                                              \
  identifier,
#include "io/parameters.def"
#undef TWOLOCUS_PARAMETER
  count  // not a parameter: the number of entries
};

// One entry of the table (see parameters.def for the fields).
struct parameter_entry {
  parameter_id id;
  std::string_view identifier;
  parameter_kind kind;
  double low;
  double high;
  std::string_view words;
  std::string_view fallback;
  std::string_view options;
  std::string_view key;
  std::string_view keyword;
  std::string_view column;
  parameter_scope scope;
  std::string_view meaning;
};

// The table, in the order of parameters.def (read-only data, defined once).
extern const std::array<parameter_entry, static_cast<size_t>(parameter_id::count)> parameter_table;

// Takes an identifier; returns its entry.
inline const parameter_entry& parameter(parameter_id id) {
  return parameter_table[static_cast<size_t>(id)];
}

// Takes a command-line option's name ("-N", "--seed"); returns its entry,
// or nullptr for a name no entry has.
const parameter_entry* parameter_by_option(std::string_view option);

// Takes a Python keyword ("N", "mu_a12"); returns its entry, or nullptr.
const parameter_entry* parameter_by_keyword(std::string_view keyword);

// Takes a parameter file's key; returns its entry, or nullptr. A genotype
// array's key is its prefix and a label ("fitness_2131"): `index` is then
// set to the genotype's index.
const parameter_entry* parameter_by_key(std::string_view key, int& index);

// Takes an entry; returns its parameter file key (without the "?" of an
// optional one), and whether it is optional: written and read only in the
// runs that have it.
std::string_view parameter_key(const parameter_entry& entry);
bool optional_key(const parameter_entry& entry);

// Takes an entry; returns its first (short) and its long option name.
std::string_view short_option(const parameter_entry& entry);
std::string_view long_option(const parameter_entry& entry);

// Takes an entry; returns what its values are, as messages say it: "a
// whole number from 1 to 2147483647", "a probability from 0 to 0.5",
// "exact or floor", "a file name", ...
std::string parameter_wants(const parameter_entry& entry);

// Takes an entry of kind integer and a text; returns the value when the
// text is a whole decimal number (an optional sign and at most 19 digits)
// within the entry's range.
std::optional<int64_t> read_integer(const parameter_entry& entry, std::string_view text);

// Takes an entry of kind real or probability and a text; returns the value
// when strtod reads the text whole as a finite decimal number (no leading
// blank, no hexadecimal form, no nan or inf) within the entry's range.
std::optional<double> read_real(const parameter_entry& entry, std::string_view text);

// Takes an entry of kind six and a text; returns its six values when the
// text is six real numbers, each read as read_real reads one, separated by
// commas.
std::optional<std::array<double, 6>> read_six(const parameter_entry& entry, std::string_view text);

// Takes an entry of kind word and a text; returns the word's place in the
// entry's words (0 for the first), when it is one of them.
std::optional<int> read_word(const parameter_entry& entry, std::string_view text);

// Takes an entry of kind word and a place; returns that word.
std::string_view parameter_word(const parameter_entry& entry, int place);

// Takes a mutation change's locus (0: a, 1: b) and alleles (0 to 2, i to
// j); returns its entry (mu_a12 ...).
const parameter_entry& mutation_parameter(int locus, int from, int to);

}  // namespace twolocus
