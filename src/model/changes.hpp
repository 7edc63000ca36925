// Changes of a run's environment over time: from a given generation on, a
// new fitness table, mutation rate or recombination fraction, for the
// whole population or one deme. A run's schedule applies them, in order,
// before the generation they first act in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "model/model.hpp"

namespace twolocus {

struct model_change {
  enum class what { fitness, mutation, recombination };
  int64_t first = 0;  // the first generation it acts in
  int deme = -1;      // -1: every deme
  what kind = what::fitness;
  fitness_table fitness{};     // what::fitness: the whole new table
  int locus = 0;               // what::mutation: locus (0: a, 1: b), alleles
  int from = 0;
  int to = 0;
  double value = 0.0;          // what::mutation: the rate; what::recombination: r
};

// Takes a model and a change; applies the change to it.
void apply_change(model_params& model, const model_change& change);

// Where a schedule stands in a run's changes: the changes (sorted by their
// first generation, in the order given within one) and the next to apply.
struct change_cursor {
  const std::vector<model_change>* changes = nullptr;
  size_t next = 0;
};

// Takes a cursor, a generation and the models of the demes (one for a run
// without demes); applies every change not applied yet that acts by that
// generation, to its deme's model or to all. Returns whether one was
// applied.
bool apply_changes_by(change_cursor& cursor, int64_t generation, std::vector<model_params>& models);

// The same for a run without demes: every change applies to its model.
bool apply_changes_by(change_cursor& cursor, int64_t generation, model_params& model);

}  // namespace twolocus
