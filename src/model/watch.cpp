#include "model/watch.hpp"

#include <algorithm>

namespace twolocus {

const char* condition_error_words(condition_error_kind kind) {
  switch (kind) {
    case condition_error_kind::none: return "no error";
    case condition_error_kind::unexpected_character: return "an unexpected character";
    case condition_error_kind::unknown_name: return "an unknown name";
    case condition_error_kind::bad_label: return "a genotype label that is not four digits 1 to 3";
    case condition_error_kind::bad_number: return "a number that is not finite";
    case condition_error_kind::expected_operand: return "a missing operand";
    case condition_error_kind::expected_operator: return "a missing comparison operator";
    case condition_error_kind::expected_paren: return "a missing parenthesis";
    case condition_error_kind::trailing_text: return "text after the end of the condition";
    case condition_error_kind::too_deep: return "parentheses nested more than 32 deep";
    case condition_error_kind::bad_deme: return "'@' not followed by a deme's name";
  }
  return "an error";
}

std::optional<conditions_error> set_up_conditions(const std::vector<condition_text>& texts,
                                                  run_conditions& run) {
  run = run_conditions{};
  for (size_t i = 0; i < texts.size(); ++i) {
    parsed_condition parsed = parse_condition(texts[i].text);
    if (parsed.error.kind != condition_error_kind::none) return conditions_error{i, parsed.error};
    size_t column = 0;
    while (column < run.given.size() && run.given[column].text != texts[i].text) ++column;
    if (column < run.given.size()) {
      run.given[column].stops = run.given[column].stops || texts[i].stops;
      continue;
    }
    run.given.push_back(texts[i]);
    run.compiled.push_back(std::move(parsed.value));
  }
  reset_conditions(run);
  return std::nullopt;
}

void reset_conditions(run_conditions& run) {
  run.first.assign(run.given.size(), not_reached);
  run.pending = run.given.size();
  run.stopped_by = -1;
}

std::optional<unknown_deme> bind_condition_demes(run_conditions& run, const std::vector<std::string>& names) {
  run.deme_places.assign(run.compiled.size(), {});
  size_t most = 0;
  for (size_t i = 0; i < run.compiled.size(); ++i) {
    for (const std::string& deme : run.compiled[i].demes) {
      size_t place = 0;
      while (place < names.size() && names[place] != deme) ++place;
      if (place == names.size()) return unknown_deme{i, deme};
      run.deme_places[i].push_back(static_cast<uint32_t>(place));
    }
    most = std::max(most, run.compiled[i].demes.size());
  }
  run.deme_counts.assign(most, nullptr);
  run.deme_tables.assign(most, nullptr);
  return std::nullopt;
}

condition_check check_conditions(run_conditions& run, const population_counts& counts,
                                 std::span<const population_counts> demes, const fitness_table* fitness,
                                 int64_t label, std::span<const fitness_table* const> deme_fitness) {
  condition_check check;
  if (run.pending == 0) return check;
  for (size_t i = 0; i < run.given.size(); ++i) {
    if (run.first[i] != not_reached) continue;
    // A deme not bound (or beyond the counts given) reads as no individuals.
    size_t named = 0;
    if (i < run.deme_places.size()) {
      named = run.deme_places[i].size();
      for (size_t d = 0; d < named; ++d) {
        const uint32_t place = run.deme_places[i][d];
        run.deme_counts[d] = place < demes.size() ? &demes[place] : nullptr;
        run.deme_tables[d] = place < deme_fitness.size() ? deme_fitness[place] : fitness;
      }
    }
    if (!evaluate_condition(run.compiled[i], counts, deme_fitness.empty() ? fitness : nullptr,
                            std::span<const population_counts* const>(run.deme_counts.data(), named),
                            std::span<const fitness_table* const>(run.deme_tables.data(),
                                                                   deme_fitness.empty() ? 0 : named))) {
      continue;
    }
    run.first[i] = label;
    --run.pending;
    ++check.reached;
    if (run.given[i].stops && !check.stop) {
      check.stop = true;
      if (run.stopped_by < 0) run.stopped_by = static_cast<int>(i);
    }
  }
  return check;
}

void restore_reached(run_conditions& run, size_t index, int64_t label) {
  if (index >= run.given.size()) return;
  int64_t& first = run.first[index];
  if (first != not_reached && first <= label) return;
  if (first == not_reached) --run.pending;
  first = label;
  if (!run.given[index].stops) return;
  const int stopped = run.stopped_by;
  if (stopped < 0 || label < run.first[static_cast<size_t>(stopped)] ||
      (label == run.first[static_cast<size_t>(stopped)] && static_cast<int>(index) < stopped)) {
    run.stopped_by = static_cast<int>(index);
  }
}

}  // namespace twolocus
