// twolocus-sim's starting population (--initial FILE[:LABEL]): the counts of
// a trajectory file's record (the last complete one, or the last labelled
// LABEL), or a file of "LABEL<TAB>COUNT" lines (a genotype label such as
// 1213, then a count from 0 to 2147483647; unlisted genotypes are 0; "#"
// lines are comments, blank lines are skipped).
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "model/model.hpp"

namespace twolocus {

// How reading went: read; a line that is not a record or a LABEL<TAB>COUNT
// line (`line`); a genotype listed twice (`line`, `label`); a trajectory
// with no complete record; no complete record labelled LABEL; counts whose
// total is above 2147483647; a LABEL given for a file of counts; a file
// that lists no genotype (empty, blank or comments only).
struct initial_reading {
  enum class outcome {
    read, bad_line, repeated, no_record, no_label, too_many, label_for_counts, no_counts
  };
  outcome result = outcome::read;
  long long line = 0;
  std::string label;
};

// Takes an open file and the record label asked for (if any); reads the
// starting counts into `counts` (the file stays open). Returns how it went.
initial_reading read_initial(std::FILE* file, const std::optional<int32_t>& record,
                             population_counts& counts);

// Takes a genotype label ("1111" .. "3333"); returns its index, or nothing.
std::optional<int> genotype_of_label(const std::string& label);

}  // namespace twolocus
