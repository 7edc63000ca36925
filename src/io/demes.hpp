// Reading a demographic history in the Demes 1.0 format (YAML, or JSON,
// which is YAML too) into its fully resolved form (model/demography.hpp).
//
// Resolution fills in what the format lets a file leave out, in its order:
// time units and generation time; metadata, description and doi; the
// `defaults` of the top level and of each deme (a deme's epoch defaults
// override the top level's field by field); each deme's description,
// ancestors, proportions, start time and epochs (end times, start and end
// sizes, size function, selfing and cloning rates); migrations (a symmetric
// one becomes one migration each way for every pair of its demes, in the
// order a-b, b-a, a-c, c-a, b-c, c-b); pulses, sorted stably from the oldest.
// A model already resolved reads back to itself.
//
// Every rule of the format is checked: types (a quoted "5" is a string, not
// a number), ranges, names that are Python identifiers and unique, demes
// listed after their ancestors, time ordering, proportions summing to 1
// (ancestors) or at most 1 (pulses) within 1e-9, migrations of one pair that
// overlap in time, incoming migration rates summing above 1, and so on.
// Plain YAML scalars are typed by the YAML 1.2 core schema (so `1e-5` is a
// number and `yes` a string); an explicit null is never taken for a missing
// field. Infinity is `.inf` or the string "Infinity", and only a deme's or a
// migration's start_time may be infinite.
//
// YAML's merge keys ("<<: *base") are followed. Hostile input is refused,
// never trusted: text that is not UTF-8 or holds characters YAML does not
// allow, more than one document, nesting deeper than demes_max_depth, more
// than demes_max_nodes values (aliases counted as copies of what they name),
// a text longer than demes_max_text_bytes, and resolved models larger than
// demes_max_resolved_nodes values or demes_max_resolved_bytes as JSON.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "model/demography.hpp"

namespace twolocus {

// Limits on what is read: far above any real model (the largest examples
// are a few kilobytes), low enough that reading stays fast and small. The
// YAML text's limit is the lowest, as yaml-cpp holds all the tokens of a
// flow collection ([...] or {...}), some 280 bytes each, before handing on
// any. The resolved model's limits keep its one-line JSON (io/demes_json.hpp)
// within what read_demography_json reads, so that it always reads back.
inline constexpr std::size_t demes_max_text_bytes = std::size_t{1} << 20;
inline constexpr std::size_t demes_max_json_bytes = std::size_t{16} << 20;
inline constexpr std::size_t demes_max_nodes = 1'000'000;
inline constexpr int demes_max_depth = 64;
inline constexpr std::size_t demes_max_resolved_nodes = 500'000;
inline constexpr std::size_t demes_max_resolved_bytes = std::size_t{8} << 20;

// Takes the text of a Demes document; on success fills `model` with the
// resolved model and returns true. Otherwise returns false with `error`
// set to one line (no line end) saying where and what is wrong, e.g.
// "deme [A] epoch 2: end_time 100 is not below the previous end_time 50";
// `model` is then of no use. Never throws.
bool read_demes(std::string_view text, demography& model, std::string& error);

// Takes a file name; reads the file whole and does as read_demes. A file
// that cannot be opened or read, or is longer than demes_max_text_bytes, is
// refused with its reason in `error`.
bool read_demes_file(const std::string& path, demography& model, std::string& error);

}  // namespace twolocus
