#include "model/demes.hpp"

#include <algorithm>

namespace twolocus {

void sum_demes(deme_population& population) {
  population.total.fill(0);
  for (const population_counts& deme : population.demes) {
    for (size_t l = 0; l < deme.size(); ++l) {
      const int64_t sum = int64_t{population.total[l]} + deme[l];
      population.total[l] = static_cast<int32_t>(std::min<int64_t>(sum, 2147483647));
    }
  }
}

bool source_thresholds(const std::vector<double>& probability, const std::vector<uint8_t>& has_parents,
                       std::vector<uint32_t>& below) {
  below.assign(probability.size(), 0);
  double total = 0;
  size_t last = probability.size();
  for (size_t k = 0; k < probability.size(); ++k) {
    if (has_parents[k] != 0 && probability[k] > 0) {
      total += probability[k];
      last = k;
    }
  }
  if (last == probability.size()) return false;
  double cumulative = 0;
  for (size_t k = 0; k < probability.size(); ++k) {
    if (has_parents[k] != 0 && probability[k] > 0) cumulative += probability[k];
    below[k] = k >= last ? uint32_t{1} << 31 : draw_threshold(cumulative / total);
  }
  return true;
}

void select_and_mate_sources(draw_stream& stream, source_workspace& workspace,
                             const reproduction_thresholds& ways, int32_t generation_size,
                             population_counts& next) {
  next.fill(0);
  const std::vector<source_parents>& sources = workspace.sources;
  if (generation_size <= 0 || sources.empty()) return;
  const size_t count = sources.size();
  if (workspace.classes.size() < count) {
    workspace.classes.resize(count);
    workspace.cuts.resize(count);
    workspace.cut.resize(count);
  }
  std::vector<double>& probability = workspace.probability;
  std::vector<uint8_t>& has_parents = workspace.has_parents;
  probability.resize(count);
  has_parents.resize(count);
  for (size_t k = 0; k < count; ++k) {
    parent_classes& classes = workspace.classes[k];
    classes = parent_classes{};
    has_parents[k] = static_cast<uint8_t>(
        weighed_classes(*sources[k].parents, *sources[k].fitness, sources[k].rule, classes));
    probability[k] = sources[k].probability;
    workspace.cut[k] = has_parents[k] != 0 && cuts_pay(classes, generation_size);
    if (workspace.cut[k] != 0) build_cuts(classes, workspace.cuts[k]);
  }
  if (!source_thresholds(probability, has_parents, workspace.below)) return;  // no parents anywhere
  const auto rank_in = [&workspace](size_t k, uint32_t draw) {
    const parent_classes& classes = workspace.classes[k];
    if (workspace.cut[k] != 0) return cut_rank(workspace.cuts[k], draw);
    return walk_rank(classes, static_cast<int32_t>(draw));
  };
  constexpr int32_t batch_size = static_cast<int32_t>(draw_block / 8);
  for (int32_t done = 0; done < generation_size;) {
    const int32_t batch = std::min(generation_size - done, batch_size);
    const int32_t* draw = draws_ahead(stream, 8 * static_cast<size_t>(batch));
    for (int32_t child = 0; child < batch; ++child, draw += 8) {
      size_t k = 0;
      while (k + 1 < count && static_cast<uint32_t>(draw[0]) >= workspace.below[k]) ++k;
      const parent_classes& classes = workspace.classes[k];
      const linkage_thresholds& linkage = sources[k].linkage;
      const auto way = static_cast<uint32_t>(draw[1]);
      const int first = rank_in(k, static_cast<uint32_t>(draw[2]));
      int index = 0;
      if (way < ways.clone) {
        index = classes.genotype[static_cast<size_t>(first)];
      } else {
        const int second = way < ways.self ? first : rank_in(k, static_cast<uint32_t>(draw[3]));
        index = classes.as_first[static_cast<size_t>(first)][linked_bits(draw + 4, linkage)] +
                classes.as_second[static_cast<size_t>(second)][linked_bits(draw + 6, linkage)];
      }
      ++next[static_cast<size_t>(index)];
    }
    skip_draws(stream, 8 * static_cast<size_t>(batch));
    done += batch;
  }
}

}  // namespace twolocus
