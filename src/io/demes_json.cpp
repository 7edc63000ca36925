// The resolved Demes model as JSON. The model is first written on one line
// with ", " and ": " between values (the metadata is already kept in that
// form); the indented layout is then made from that text by breaking it
// after each opening bracket and comma.
#include "io/demes_json.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>

namespace twolocus {

std::string json_number_text(double value) {
  if (std::isnan(value)) return "\"NaN\"";
  if (std::isinf(value)) return value > 0 ? "\"Infinity\"" : "\"-Infinity\"";
  char buffer[64];
  std::to_chars_result written{};
  if (value == std::trunc(value) && std::fabs(value) < 9007199254740992.0 &&
      !(value == 0.0 && std::signbit(value))) {
    written = std::to_chars(buffer, buffer + sizeof buffer, static_cast<int64_t>(value));
  } else {
    written = std::to_chars(buffer, buffer + sizeof buffer, value);
  }
  return std::string(buffer, written.ptr);
}

std::string json_string_text(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    // U+0080 to U+009F (C1 controls) are 0xC2 0x80 to 0xC2 0x9F in UTF-8.
    const bool c1 = byte == 0xC2 && i + 1 < text.size() &&
                    static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                    static_cast<unsigned char>(text[i + 1]) <= 0x9F;
    // U+FFFE and U+FFFF, which YAML does not allow raw either.
    const bool non_character = byte == 0xEF && i + 2 < text.size() && text[i + 1] == '\xBF' &&
                               (text[i + 2] == '\xBE' || text[i + 2] == '\xBF');
    if (byte == '"') {
      out += "\\\"";
    } else if (byte == '\\') {
      out += "\\\\";
    } else if (byte == '\n') {
      out += "\\n";
    } else if (byte == '\t') {
      out += "\\t";
    } else if (byte == '\r') {
      out += "\\r";
    } else if (non_character) {
      out += text[i + 2] == '\xBE' ? "\\ufffe" : "\\uffff";
      i += 2;
    } else if (byte < 0x20 || byte == 0x7F || c1) {
      const unsigned code = c1 ? static_cast<unsigned char>(text[++i]) : byte;
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", code);
      out += escape;
    } else {
      out += static_cast<char>(byte);
    }
  }
  out += '"';
  return out;
}

namespace {

void append_strings(const std::vector<std::string>& list, std::string& out) {
  out += '[';
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (i > 0) out += ", ";
    out += json_string_text(list[i]);
  }
  out += ']';
}

void append_numbers(const std::vector<double>& list, std::string& out) {
  out += '[';
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (i > 0) out += ", ";
    out += json_number_text(list[i]);
  }
  out += ']';
}

// Appends `"key": ` after a comma unless it is the mapping's first key.
void key(std::string& out, const char* name, bool first = false) {
  if (!first) out += ", ";
  out += '"';
  out += name;
  out += "\": ";
}

void append_epoch(const deme_epoch& e, std::string& out) {
  out += '{';
  key(out, "end_time", true);
  out += json_number_text(e.end_time);
  key(out, "start_size");
  out += json_number_text(e.start_size);
  key(out, "end_size");
  out += json_number_text(e.end_size);
  key(out, "size_function");
  out += json_string_text(e.size_function);
  key(out, "selfing_rate");
  out += json_number_text(e.selfing_rate);
  key(out, "cloning_rate");
  out += json_number_text(e.cloning_rate);
  out += '}';
}

void append_deme(const deme& d, std::string& out) {
  out += '{';
  key(out, "name", true);
  out += json_string_text(d.name);
  key(out, "description");
  out += json_string_text(d.description);
  key(out, "start_time");
  out += json_number_text(d.start_time);
  key(out, "epochs");
  out += '[';
  for (std::size_t i = 0; i < d.epochs.size(); ++i) {
    if (i > 0) out += ", ";
    append_epoch(d.epochs[i], out);
  }
  out += ']';
  key(out, "proportions");
  append_numbers(d.proportions, out);
  key(out, "ancestors");
  append_strings(d.ancestors, out);
  out += '}';
}

void append_migration(const deme_migration& m, std::string& out) {
  out += '{';
  key(out, "rate", true);
  out += json_number_text(m.rate);
  key(out, "start_time");
  out += json_number_text(m.start_time);
  key(out, "end_time");
  out += json_number_text(m.end_time);
  key(out, "source");
  out += json_string_text(m.source);
  key(out, "dest");
  out += json_string_text(m.dest);
  out += '}';
}

void append_pulse(const deme_pulse& p, std::string& out) {
  out += '{';
  key(out, "sources", true);
  append_strings(p.sources, out);
  key(out, "dest");
  out += json_string_text(p.dest);
  key(out, "time");
  out += json_number_text(p.time);
  key(out, "proportions");
  append_numbers(p.proportions, out);
  out += '}';
}

template <typename T, typename Append>
void append_list(const std::vector<T>& list, Append append, std::string& out) {
  out += '[';
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (i > 0) out += ", ";
    append(list[i], out);
  }
  out += ']';
}

// Takes JSON on one line as written above (", " and ": " between values);
// returns it indented by two spaces a level, one value a line, an empty
// list or mapping kept as [] or {}, and a line end at the end.
std::string indented(const std::string& line) {
  std::string out;
  out.reserve(line.size() * 2);
  std::size_t depth = 0;
  const auto new_line = [&] {
    out += '\n';
    out.append(2 * depth, ' ');
  };
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (c == '"') {
      // Copy the string whole, escapes included.
      const std::size_t start = i;
      for (++i; i < line.size() && line[i] != '"'; ++i)
        if (line[i] == '\\') ++i;
      out.append(line, start, i - start + 1);
    } else if ((c == '[' || c == '{') && i + 1 < line.size() &&
               (line[i + 1] == ']' || line[i + 1] == '}')) {
      out += c;
      out += line[++i];
    } else if (c == '[' || c == '{') {
      out += c;
      ++depth;
      new_line();
    } else if (c == ']' || c == '}') {
      --depth;
      new_line();
      out += c;
    } else if (c == ',') {
      out += ',';
      new_line();
      ++i;  // the space after the comma
    } else {
      out += c;
    }
  }
  out += '\n';
  return out;
}

}  // namespace

std::string demography_json(const demography& model, json_layout layout) {
  std::string out;
  out += '{';
  key(out, "time_units", true);
  out += json_string_text(model.time_units);
  key(out, "generation_time");
  out += json_number_text(model.generation_time);
  key(out, "doi");
  append_strings(model.doi, out);
  key(out, "description");
  out += json_string_text(model.description);
  key(out, "metadata");
  out += model.metadata_json;
  key(out, "demes");
  append_list(model.demes, append_deme, out);
  key(out, "migrations");
  append_list(model.migrations, append_migration, out);
  key(out, "pulses");
  append_list(model.pulses, append_pulse, out);
  out += '}';
  return layout == json_layout::one_line ? out : indented(out);
}

}  // namespace twolocus
