// The resolved Demes model (model/demography.hpp) as JSON, in the layout of
// the Demes 1.0 format's resolved examples: the top level's fields in the
// order time_units, generation_time, doi, description, metadata, demes,
// migrations, pulses; a deme's as name, description, start_time, epochs,
// proportions, ancestors; an epoch's as end_time, start_size, end_size,
// size_function, selfing_rate, cloning_rate; a migration's as rate,
// start_time, end_time, source, dest; a pulse's as sources, dest, time,
// proportions. Numbers are written as the shortest text that reads back to
// the same double (whole numbers below 2^53 without an exponent); an
// infinite time is the string "Infinity". The text is UTF-8; control
// characters in strings are escaped.
#pragma once

#include <string>
#include <string_view>

#include "model/demography.hpp"

namespace twolocus {

// Indented: two spaces a level, one value a line, a line end at the end (for
// people, as `--resolve` prints it). One line: no line end at all, anywhere
// (for a parameter file's "KEY = VALUE" line).
enum class json_layout { indented, one_line };

// Takes a resolved model; returns it as JSON in the given layout.
std::string demography_json(const demography& model, json_layout layout);

// Takes JSON text (strict RFC 8259, at most demes_max_json_bytes), such as
// demography_json writes; on success fills `model` and returns true,
// otherwise returns false with a one-line reason in `error`, as read_demes
// does. The JSON goes through the same resolution and checks as a Demes
// file (a resolved model resolves to itself), so a damaged text cannot give
// a model read_demes would refuse. The one-line JSON of any model read_demes
// gives reads back to an equal model. Never throws. (Defined with the reader,
// in demes.cpp, whose tree and resolution it shares.)
bool read_demography_json(std::string_view json, demography& model, std::string& error);

// Takes a double; returns the shortest text that reads back to it, whole
// numbers below 2^53 in magnitude without an exponent ("100", "0.00015",
// "1e+300"); infinities and NaN as "Infinity", "-Infinity" and "NaN".
std::string json_number_text(double value);

// Takes UTF-8 text; returns it as a JSON string, quotes included, with the
// quote, the backslash and the characters YAML does not allow raw (controls,
// DEL, C1 controls) escaped.
std::string json_string_text(std::string_view text);

}  // namespace twolocus
