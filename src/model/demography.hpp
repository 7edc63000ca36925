// A demographic history in the Demes 1.0 format's fully resolved form: every
// value given, nothing left to defaults, symmetric migrations split into one
// migration each way, pulses from the oldest to the most recent. Times count
// back from 0 (now) in `time_units`; dividing by `generation_time` gives
// generations. An infinite time is std::numeric_limits<double>::infinity().
// Filled in by read_demes (io/demes.hpp); no reading or writing here.
#pragma once

#include <string>
#include <vector>

namespace twolocus {

// One period of a deme with one set of parameters, from the previous epoch's
// end_time (or the deme's start_time) down to its own end_time.
struct deme_epoch {
  double end_time = 0.0;
  double start_size = 0.0;  // at the epoch's start (its older end)
  double end_size = 0.0;    // at its end_time
  // "constant", "exponential", or any other word a model uses (kept as read).
  std::string size_function;
  double selfing_rate = 0.0;  // of the offspring not cloned
  double cloning_rate = 0.0;

  bool operator==(const deme_epoch&) const = default;
};

// One population, existing from start_time (exclusive) down to its last
// epoch's end_time (inclusive).
struct deme {
  std::string name;  // a Python-style identifier, unique in the model
  std::string description;
  double start_time = 0.0;  // infinite exactly when there are no ancestors
  std::vector<std::string> ancestors;
  std::vector<double> proportions;  // one per ancestor, summing to 1
  std::vector<deme_epoch> epochs;   // at least one, end times decreasing

  bool operator==(const deme&) const = default;
};

// Continuous migration from `source` into `dest` between start_time (may be
// infinite) and end_time: the per-generation probability that a parent in
// `dest` comes from `source`.
struct deme_migration {
  std::string source;
  std::string dest;
  double start_time = 0.0;
  double end_time = 0.0;
  double rate = 0.0;

  bool operator==(const deme_migration&) const = default;
};

// An instantaneous replacement, at `time`, of the given proportions of
// `dest` by individuals with parents in each of `sources`.
struct deme_pulse {
  std::vector<std::string> sources;
  std::string dest;
  double time = 0.0;
  std::vector<double> proportions;  // one per source, summing to at most 1

  bool operator==(const deme_pulse&) const = default;
};

// A whole resolved model.
struct demography {
  std::string time_units;  // "generations", "years", ... (any word)
  double generation_time = 1.0;
  std::vector<std::string> doi;
  std::string description;
  // The model's free-form metadata as one line of JSON (an object, "{}" when
  // there is none), kept as text so that it can be written back unchanged.
  std::string metadata_json = "{}";
  std::vector<deme> demes;
  std::vector<deme_migration> migrations;
  std::vector<deme_pulse> pulses;

  bool operator==(const demography&) const = default;
};

}  // namespace twolocus
