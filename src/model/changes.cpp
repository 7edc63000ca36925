#include "model/changes.hpp"

namespace twolocus {

void apply_change(model_params& model, const model_change& change) {
  switch (change.kind) {
    case model_change::what::fitness: model.fitness = change.fitness; return;
    case model_change::what::mutation: {
      mutation_matrix& m = change.locus == 0 ? model.mutation_a : model.mutation_b;
      m[static_cast<size_t>(change.from)][static_cast<size_t>(change.to)] = change.value;
      return;
    }
    case model_change::what::recombination: model.recombination = change.value; return;
  }
}

bool apply_changes_by(change_cursor& cursor, int64_t generation, std::vector<model_params>& models) {
  bool applied = false;
  if (cursor.changes == nullptr) return false;
  while (cursor.next < cursor.changes->size() && (*cursor.changes)[cursor.next].first <= generation) {
    const model_change& change = (*cursor.changes)[cursor.next++];
    for (size_t d = 0; d < models.size(); ++d) {
      if (change.deme < 0 || static_cast<size_t>(change.deme) == d) apply_change(models[d], change);
    }
    applied = true;
  }
  return applied;
}

bool apply_changes_by(change_cursor& cursor, int64_t generation, model_params& model) {
  bool applied = false;
  if (cursor.changes == nullptr) return false;
  while (cursor.next < cursor.changes->size() && (*cursor.changes)[cursor.next].first <= generation) {
    apply_change(model, (*cursor.changes)[cursor.next++]);
    applied = true;
  }
  return applied;
}

}  // namespace twolocus
