// Populations of several demes: each deme's generation (whether offspring
// are born in it, how many, and the demes their parents come from) and the
// steps of a generation whose offspring have parents in other demes.
//
// An offspring's parents all come from one source deme (as for an
// individual that migrated before mating): a clone's parent, a selfed
// offspring's parent and an outcrossed offspring's two parents. Parents are
// weighed by the fitness of their own deme and pass gametes by its
// recombination fraction; the offspring's way (clone, selfed, outcrossed)
// follows its own deme's rates.
#pragma once

#include <cstdint>
#include <vector>

#include "model/model.hpp"
#include "model/parent_classes.hpp"
#include "model/random.hpp"
#include "model/steps.hpp"

namespace twolocus {

// One source of a deme's parents in one generation: the deme and the
// probability that an offspring's parents come from it.
struct parent_source {
  int deme = 0;
  double probability = 0.0;
};

// One deme's generation: whether offspring are born in it, how many, and
// where their parents come from: its own parents only (`sources` empty), or
// the demes listed, whose probabilities sum to 1.
struct deme_generation {
  bool exists = false;
  int32_t size = 0;
  std::vector<parent_source> sources;
};

// A structured population: the counts of each deme (all 0 where a deme does
// not exist), and their sum over the demes.
struct deme_population {
  std::vector<population_counts> demes;
  population_counts total{};
  bool operator==(const deme_population&) const = default;
};

// Takes a population; sets its total to the sum of its demes' counts.
void sum_demes(deme_population& population);

// One source deme as the exact engine draws parents from it: its mutated
// counts, its fitness, weight rule and linkage, and the probability that an
// offspring's parents come from it.
struct source_parents {
  const population_counts* parents = nullptr;
  const fitness_table* fitness = nullptr;
  weight_rule rule = weight_rule::exact;
  linkage_thresholds linkage{};
  double probability = 0.0;
};

// The tables of select_and_mate_sources, kept between generations so that
// a generation allocates nothing once they have grown.
struct source_workspace {
  std::vector<source_parents> sources;  // filled by the caller
  std::vector<parent_classes> classes;
  std::vector<cut_table> cuts;
  std::vector<uint8_t> cut;      // whether a source's cut table is used
  std::vector<uint32_t> below;   // the raw draws below which a source is chosen
  std::vector<double> probability;
  std::vector<uint8_t> has_parents;
};

// Takes the sources' probabilities, the sources that have parents, and a
// vector to fill; fills it with the thresholds of the cumulative
// probabilities of the sources with parents (in proportion: their sum is
// 1), 0 for the others, the last with parents 2^31 (it takes what is left).
// Returns false when no source has parents.
bool source_thresholds(const std::vector<double>& probability, const std::vector<uint8_t>& has_parents,
                       std::vector<uint32_t>& below);

// The step of select_and_mate for offspring whose parents come from several
// demes. Every offspring makes eight draws, whatever it becomes: its
// source, its way, a first and a second parent, and two inheritance draws
// for each of its two gametes (see select_and_mate_mixed). A source whose
// parents all weigh 0 has none to give: the others take its probability in
// proportion to theirs; when no source has parents the deme has no
// offspring (no draws). The sources are the workspace's; `next` is filled.
void select_and_mate_sources(draw_stream& stream, source_workspace& workspace,
                             const reproduction_thresholds& ways, int32_t generation_size,
                             population_counts& next);

}  // namespace twolocus
