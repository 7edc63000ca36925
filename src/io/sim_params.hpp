// The parameter file of twolocus-sim, OUT.params: a first line
// "twolocus-sim parameters 1", then one "KEY = VALUE" line per parameter,
// numbers written with %.17g so that they read back exactly. Read strictly:
// every key once, nothing else, every value whole and in range; a line end
// of "\r\n" counts as "\n". A run with stop or watch conditions has, after
// the keys, one "stop = TEXT" or "watch = TEXT" line per distinct condition
// in the order of its summary's columns: each text a condition, without a
// tab or a carriage return, and given once.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "model/changes.hpp"
#include "model/coefficients.hpp"
#include "model/model.hpp"
#include "model/watch.hpp"
#include "io/parameters.hpp"

namespace twolocus {

// The first line of every twolocus-sim parameter file.
inline constexpr const char* sim_params_first_line = "twolocus-sim parameters 1";

// Which engine runs the generations. (The literal engine runs only the
// reference build of twolocus; a parameter file never names it.)
enum class engine_kind { exact, multinomial, literal };

// A deme's own starting population.
struct deme_start {
  int deme = 0;
  population_counts counts{};
};

// Everything a twolocus-sim run is made of: with the trajectory's last
// complete record and its checkpoint line, what a resume needs.
struct sim_params {
  std::string version = "110303";
  engine_kind engine = engine_kind::multinomial;
  int32_t seed = 2222;
  int32_t population_size = 0;
  int32_t generations = 0;
  int32_t record_every = 200;
  double recombination = 0.5;
  weight_rule weights = weight_rule::exact;
  mutation_matrix mutation_a{};
  mutation_matrix mutation_b{};
  fitness_table fitness{};
  population_counts initial{};
  // The stop and watch conditions, distinct, in the order of their columns.
  std::vector<condition_text> conditions;
  // With a demography: the resolved model as one line of JSON (empty: none;
  // the run library reads it) and the run's start in generations before
  // time 0. Written, and required, only then.
  std::string demography;
  int32_t history_start = 0;
  // A fitness given by coefficients: the table above is the one they make.
  // Written, and read, only then (all their keys or none), and checked
  // against the table on reading.
  std::optional<fitness_coefficients> coefficients;
  // The changes of the environment (--change), resolved: sorted by their
  // first generation, each with the whole new value. Written as one
  // "change = FIRST DEME WHAT VALUES" line each after the conditions, and
  // read back in that order.
  std::vector<model_change> changes;
  // The demes given a start of their own (--initial NAME=FILE), by their
  // place in the model, in that order: written as one "start = DEME COUNTS"
  // line each after the changes. Every other deme starts from `initial`
  // (all 0: from its size in 1111).
  std::vector<deme_start> starts;
};

// Takes a change; returns its parameter file value: the first generation,
// the deme (-1: all), then "fitness" and the 81 values, "mu_a12" (...) and
// the rate, or "recombination" and r, numbers with %.17g.
std::string change_text(const model_change& change);

// Takes a parameter file value of a change; returns the change when it is
// one (every number whole and in range: a generation from 0, a deme from -1
// to 999, a fitness of at least 0, a probability, r at most 0.5).
std::optional<model_change> read_change_text(const std::string& text);

// Takes a deme's start; returns its parameter file value: the deme's place
// and the 81 counts.
std::string start_text(const deme_start& start);

// Takes a parameter file value of a start; returns it when it is one (a
// place from 0 to 999, 81 counts from 0 summing to at most 2147483647).
std::optional<deme_start> read_start_text(const std::string& text);

// Takes an entry; returns whether it is a coefficient of a fitness given by
// coefficients (s2_a ... h3_b, combine, epistasis).
bool coefficient_parameter(const parameter_entry& entry);

// Takes coefficients, an entry of them and its value (a real, or the word's
// place for combine); stores it.
void set_coefficient(fitness_coefficients& coefficients, const parameter_entry& entry, double value);

// Takes coefficients and an entry of them; returns its value (the word's
// place for combine).
double coefficient_value(const fitness_coefficients& coefficients, const parameter_entry& entry);

// Takes an open file and the parameters; writes the whole parameter file.
void write_sim_params(std::FILE* file, const sim_params& params);

// How reading a parameter file went: read; a classic twolocus file; a line
// that is not "KEY = VALUE" with a known key and a good value (`line`, its
// number from 1, and `key`); a key given twice; a key missing; a rule broken
// across keys (a mutation row summing above 1, initial counts above
// 2147483647 in total), with `key` naming the first key concerned.
struct sim_params_reading {
  enum class outcome { read, classic, first_line, bad_line, repeated, missing, inconsistent };
  outcome result = outcome::read;
  long long line = 0;
  std::string key;
};

// Takes a parameter file open at its start; reads it whole into `params`.
sim_params_reading read_sim_params(std::FILE* file, sim_params& params);

// The names of the keys of the mutation changes, by locus (0: a, 1: b) and
// change (from allele i + 1 to j + 1): "a12", "b31", ...
std::string mutation_change_name(int locus, int from, int to);

}  // namespace twolocus
