// Reading a Demes document in three steps: the text is checked to be UTF-8
// that YAML allows; yaml-cpp's parser events build a plain tree of typed
// values (within the size limits, aliases copied); the tree is resolved and
// checked by the rules of the Demes 1.0 format into a `demography`.
//
// A broken rule anywhere throws a `refusal` carrying the one-line reason;
// read_demes catches it (and anything yaml-cpp or the allocator throws), so
// no exception leaves this file. Throwing keeps the hundred or so checks
// one line each, and is the only way to stop yaml-cpp's parser midway from
// its event handler when a limit is reached.
#include "io/demes.hpp"

#include <yaml-cpp/eventhandler.h>
#include <yaml-cpp/exceptions.h>
#include <yaml-cpp/parser.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <initializer_list>
#include <limits>
#include <map>
#include <new>
#include <optional>
#include <set>
#include <sstream>
#include <unordered_map>
#include <utility>

#include "io/demes_json.hpp"

namespace twolocus {
namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();
// How far from 1 a sum of proportions or rates may be and still count as 1.
constexpr double sum_tolerance = 1e-9;

struct refusal {
  std::string reason;
};

[[noreturn]] void refuse(std::string reason) { throw refusal{std::move(reason)}; }

// ---------------------------------------------------------------------------
// UTF-8 and names

struct code_point_range {
  char32_t first;
  char32_t last;
};
#include "io/demes_identifier_ranges.inc"

// Takes text and a position in it; decodes the well-formed UTF-8 character
// there (no overlong forms, surrogates or values above U+10FFFF) into
// `code` and moves `pos` past it. Returns false, leaving `pos`, when the
// bytes there are not one.
bool next_code_point(std::string_view text, std::size_t& pos, char32_t& code) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(pos);
  std::size_t length = 0;
  char32_t value = 0;
  char32_t least = 0;
  if (lead < 0x80) {
    code = lead;
    ++pos;
    return true;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, value = lead & 0x1Fu, least = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, value = lead & 0x0Fu, least = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, value = lead & 0x07u, least = 0x10000;
  } else {
    return false;
  }
  if (text.size() - pos < length) return false;
  for (std::size_t i = 1; i < length; ++i) {
    const unsigned char next = byte(pos + i);
    if ((next & 0xC0u) != 0x80u) return false;
    value = (value << 6) | (next & 0x3Fu);
  }
  if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return false;
  code = value;
  pos += length;
  return true;
}

bool in_ranges(char32_t code, const code_point_range* first, const code_point_range* last) {
  const auto* found = std::upper_bound(first, last, code, [](char32_t c, const code_point_range& r) {
    return c < r.first;
  });
  return found != first && code <= (found - 1)->last;
}

// Takes UTF-8 text; returns whether Python takes it for an identifier.
bool is_identifier(std::string_view name) {
  std::size_t pos = 0;
  bool first = true;
  while (pos < name.size()) {
    char32_t code = 0;
    if (!next_code_point(name, pos, code)) return false;
    const bool ok = first ? in_ranges(code, std::begin(identifier_start), std::end(identifier_start))
                          : in_ranges(code, std::begin(identifier_continue),
                                      std::end(identifier_continue));
    if (!ok) return false;
    first = false;
  }
  return !first;
}

// The characters YAML allows in its text.
bool yaml_printable(char32_t code) {
  return code == 0x9 || code == 0xA || code == 0xD || (code >= 0x20 && code <= 0x7E) ||
         code == 0x85 || (code >= 0xA0 && code <= 0xD7FF) || (code >= 0xE000 && code <= 0xFFFD) ||
         code >= 0x10000;
}

// Takes the whole text; refuses it unless it is UTF-8 of characters YAML
// allows, saying at which line it is not.
void check_text(std::string_view text) {
  std::size_t pos = 0;
  long line = 1;
  while (pos < text.size()) {
    char32_t code = 0;
    if (!next_code_point(text, pos, code))
      refuse("line " + std::to_string(line) + " is not UTF-8 text (byte " + std::to_string(pos + 1) +
             ")");
    if (!yaml_printable(code)) {
      char hex[16];
      std::snprintf(hex, sizeof hex, "U+%04X", static_cast<unsigned>(code));
      refuse("line " + std::to_string(line) + " holds the character " + hex +
             ", which YAML does not allow");
    }
    if (code == '\n') ++line;
  }
}

// Takes text from the file; returns it fit for a one-line message: control
// characters and backslashes escaped, cut after about 60 bytes.
std::string shown(std::string_view text) {
  constexpr std::size_t most = 60;
  std::string out;
  std::size_t pos = 0;
  while (pos < text.size()) {
    if (out.size() >= most) {
      out += "...";
      break;
    }
    char32_t code = 0;
    const std::size_t start = pos;
    if (!next_code_point(text, pos, code)) {
      out += "\\x";
      constexpr const char* digits = "0123456789abcdef";
      const auto byte = static_cast<unsigned char>(text[pos]);
      out += digits[byte >> 4];
      out += digits[byte & 15];
      ++pos;
    } else if (code == '\\') {
      out += "\\\\";
    } else if (code < 0x20 || code == 0x7F || (code >= 0x80 && code < 0xA0) || code == 0x2028 ||
               code == 0x2029) {
      char escape[16];
      std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(code));
      out += escape;
    } else {
      out.append(text.substr(start, pos - start));
    }
  }
  return out;
}

// ---------------------------------------------------------------------------
// The tree of YAML values

enum class ykind : unsigned char { null, boolean, number, string, sequence, mapping };

struct ynode {
  ykind kind = ykind::null;
  bool flag = false;         // a boolean's value
  double number = 0.0;       // a number's value
  std::string text;          // a scalar as written (after escapes)
  std::vector<ynode> items;  // a sequence's items; a mapping's keys and values, alternately
  long line = 0;             // where it starts, from 1
  bool merge = false;        // the plain key "<<", which merges mappings into its own
};

std::size_t count_nodes(const ynode& node) {
  std::size_t count = 1;
  for (const ynode& item : node.items) count += count_nodes(item);
  return count;
}

bool all_digits(std::string_view text, std::string_view digits) {
  return !text.empty() && text.find_first_not_of(digits) == std::string_view::npos;
}

// Takes a whole number in base 8 or 16 (digits only); returns its value.
double based_number(std::string_view digits, int base) {
  double value = 0.0;
  for (char c : digits) {
    const int digit = c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
    value = value * base + digit;
  }
  return value;
}

// Takes a decimal number of the YAML 1.2 core schema (checked by the
// caller); returns its value, beyond the double range as an infinity or 0,
// as Python reads it.
double decimal_number(std::string_view text) {
  const bool negative = !text.empty() && text[0] == '-';
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) text.remove_prefix(1);
  double value = 0.0;
  const auto [end, problem] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (problem == std::errc::result_out_of_range) {
    // The value is beyond the range of doubles: its magnitude decides which end.
    const std::size_t e = text.find_first_of("eE");
    const std::string_view mantissa = text.substr(0, e);
    long long exponent = 0;
    if (e != std::string_view::npos) {
      std::string_view digits = text.substr(e + 1);
      const bool minus = !digits.empty() && digits[0] == '-';
      if (!digits.empty() && (digits[0] == '+' || digits[0] == '-')) digits.remove_prefix(1);
      for (char c : digits) exponent = std::min(exponent * 10 + (c - '0'), 1'000'000'000'000LL);
      if (minus) exponent = -exponent;
    }
    const std::size_t point = std::min(mantissa.find('.'), mantissa.size());
    const std::size_t first = mantissa.find_first_not_of("0.");
    const long long magnitude =
        first == std::string_view::npos
            ? 0
            : exponent + (first < point ? static_cast<long long>(point - first) - 1
                                        : -static_cast<long long>(first - point));
    value = magnitude > 0 ? infinity : 0.0;
  }
  return negative ? -value : value;
}

// Takes a scalar's text; returns true and its value when the YAML 1.2 core
// schema reads it as a number (integers in base 10, 0o8 and 0x16, decimals,
// .inf and .nan in their three spellings).
bool core_number(std::string_view text, double& value) {
  if (text.size() > 2 && text.substr(0, 2) == "0o" && all_digits(text.substr(2), "01234567")) {
    value = based_number(text.substr(2), 8);
    return true;
  }
  if (text.size() > 2 && text.substr(0, 2) == "0x" &&
      all_digits(text.substr(2), "0123456789abcdefABCDEF")) {
    value = based_number(text.substr(2), 16);
    return true;
  }
  std::string_view rest = text;
  const bool negative = !rest.empty() && rest[0] == '-';
  if (!rest.empty() && (rest[0] == '+' || rest[0] == '-')) rest.remove_prefix(1);
  if (rest == ".inf" || rest == ".Inf" || rest == ".INF") {
    value = negative ? -infinity : infinity;
    return true;
  }
  if (text == ".nan" || text == ".NaN" || text == ".NAN") {
    value = std::numeric_limits<double>::quiet_NaN();
    return true;
  }
  // [0-9]+ ( . [0-9]* )?  or  . [0-9]+ , then an optional exponent.
  std::size_t i = 0;
  const auto digits_from = [&](std::size_t at) {
    std::size_t j = at;
    while (j < rest.size() && rest[j] >= '0' && rest[j] <= '9') ++j;
    return j;
  };
  std::size_t j = digits_from(i);
  const bool whole_digits = j > i;
  i = j;
  if (i < rest.size() && rest[i] == '.') {
    j = digits_from(i + 1);
    if (!whole_digits && j == i + 1) return false;
    i = j;
  } else if (!whole_digits) {
    return false;
  }
  if (i < rest.size() && (rest[i] == 'e' || rest[i] == 'E')) {
    std::size_t k = i + 1;
    if (k < rest.size() && (rest[k] == '+' || rest[k] == '-')) ++k;
    j = digits_from(k);
    if (j == k) return false;
    i = j;
  }
  if (i != rest.size()) return false;
  value = decimal_number(text);
  return true;
}

bool core_boolean(std::string_view text, bool& value) {
  if (text == "true" || text == "True" || text == "TRUE") return value = true, true;
  if (text == "false" || text == "False" || text == "FALSE") return value = false, true;
  return false;
}

bool core_null(std::string_view text) {
  return text.empty() || text == "~" || text == "null" || text == "Null" || text == "NULL";
}

constexpr std::string_view core_tag = "tag:yaml.org,2002:";

// Takes a scalar's tag ("?" when plain and untagged, "!" when quoted or a
// block) and text; returns it typed by the YAML 1.2 core schema.
ynode typed_scalar(const std::string& tag, const std::string& value, long line) {
  ynode node;
  node.line = line;
  node.text = value;
  std::size_t pos = 0;
  char32_t code = 0;
  while (pos < value.size())
    if (!next_code_point(value, pos, code))
      refuse("line " + std::to_string(line) +
             ": a string escape gives text that is not UTF-8 (a surrogate, or beyond U+10FFFF)");
  const std::string_view kind =
      tag.size() > core_tag.size() && tag.compare(0, core_tag.size(), core_tag) == 0
          ? std::string_view(tag).substr(core_tag.size())
          : std::string_view();
  if (tag == "!" || kind == "str") {
    node.kind = ykind::string;
  } else if (tag == "?") {
    if (core_null(value))
      node.kind = ykind::null;
    else if (core_boolean(value, node.flag))
      node.kind = ykind::boolean;
    else if (core_number(value, node.number))
      node.kind = ykind::number;
    else
      node.kind = ykind::string;
    node.merge = value == "<<";
  } else if (kind == "int" || kind == "float") {
    if (!core_number(value, node.number))
      refuse("line " + std::to_string(line) + ": [" + shown(value) + "] is not a number");
    node.kind = ykind::number;
  } else if (kind == "bool") {
    if (!core_boolean(value, node.flag))
      refuse("line " + std::to_string(line) + ": [" + shown(value) + "] is not true or false");
    node.kind = ykind::boolean;
  } else if (kind == "null") {
    if (!core_null(value))
      refuse("line " + std::to_string(line) + ": [" + shown(value) + "] is not null");
  } else {
    refuse("line " + std::to_string(line) + ": the YAML tag [" + shown(tag) +
           "] is not one of the core schema's");
  }
  return node;
}

// Takes a scalar key; returns it as a text that tells it apart from any
// other key of another kind or value.
std::string key_identity(const ynode& key) {
  switch (key.kind) {
    case ykind::null: return "n";
    case ykind::boolean: return key.flag ? "t" : "f";
    case ykind::number: return "#" + json_number_text(key.number);
    case ykind::string: return "s" + key.text;
    case ykind::sequence:
    case ykind::mapping: break;
  }
  return "";
}

// Takes a finished mapping; replaces its merge key ("<<: *base", or a list
// of mappings), as YAML's merge keys do: the keys of the merged mappings that
// the mapping does not have itself are added, the first mapping listed
// winning over the later ones.
void merge_into(ynode& map) {
  bool any = false;
  for (std::size_t i = 0; i < map.items.size(); i += 2) any = any || map.items[i].merge;
  if (!any) return;
  std::vector<ynode> own;
  std::vector<ynode> merged;
  bool seen = false;
  for (std::size_t i = 0; i + 1 < map.items.size(); i += 2) {
    if (!map.items[i].merge) {
      own.push_back(std::move(map.items[i]));
      own.push_back(std::move(map.items[i + 1]));
      continue;
    }
    const long line = map.items[i].line;
    if (seen) refuse("line " + std::to_string(line) + ": a second merge key (<<) in one mapping");
    seen = true;
    ynode& value = map.items[i + 1];
    if (value.kind == ykind::mapping) {
      merged.push_back(std::move(value));
    } else if (value.kind == ykind::sequence) {
      for (ynode& item : value.items) {
        if (item.kind != ykind::mapping)
          refuse("line " + std::to_string(line) + ": a merge key (<<) must name mappings");
        merged.push_back(std::move(item));
      }
    } else {
      refuse("line " + std::to_string(line) + ": a merge key (<<) must name a mapping or a list of them");
    }
  }
  std::set<std::string> keys;
  for (std::size_t i = 0; i < own.size(); i += 2) keys.insert(key_identity(own[i]));
  for (ynode& source : merged)
    for (std::size_t i = 0; i + 1 < source.items.size(); i += 2) {
      const std::string identity = key_identity(source.items[i]);
      if (!identity.empty() && !keys.insert(identity).second) continue;
      own.push_back(std::move(source.items[i]));
      own.push_back(std::move(source.items[i + 1]));
    }
  map.items = std::move(own);
}

// Builds the tree from yaml-cpp's events, within the limits: at most
// `max_nodes` values (an alias adds a copy of what it names; keeping an
// anchored value counts it once more) and `max_depth` levels.
class tree_builder final : public YAML::EventHandler {
 public:
  tree_builder(std::size_t max_nodes, int max_depth) : max_nodes_(max_nodes), max_depth_(max_depth) {}

  bool has_root() const { return has_root_; }
  ynode take_root() { return std::move(root_); }

  void OnDocumentStart(const YAML::Mark&) override {
    if (documents_++ > 0) refuse("the text holds more than one YAML document");
  }
  void OnDocumentEnd() override {}

  void OnNull(const YAML::Mark& mark, YAML::anchor_t anchor) override {
    ynode node;
    node.line = mark.line + 1;
    add(std::move(node), anchor, 1);
  }

  void OnAlias(const YAML::Mark& mark, YAML::anchor_t anchor) override {
    const auto found = anchors_.find(anchor);
    if (found == anchors_.end())
      refuse("line " + std::to_string(mark.line + 1) + ": an alias to a value that contains it");
    add(ynode(found->second), 0, count_nodes(found->second));
  }

  void OnScalar(const YAML::Mark& mark, const std::string& tag, YAML::anchor_t anchor,
                const std::string& value) override {
    add(typed_scalar(tag, value, mark.line + 1), anchor, 1);
  }

  void OnSequenceStart(const YAML::Mark& mark, const std::string& tag, YAML::anchor_t anchor,
                       YAML::EmitterStyle::value) override {
    open(mark, tag, anchor, ykind::sequence, "seq");
  }
  void OnSequenceEnd() override { close(); }

  void OnMapStart(const YAML::Mark& mark, const std::string& tag, YAML::anchor_t anchor,
                  YAML::EmitterStyle::value) override {
    open(mark, tag, anchor, ykind::mapping, "map");
  }
  void OnMapEnd() override { close(); }

 private:
  void spend(std::size_t count) {
    nodes_ += count;
    if (nodes_ > max_nodes_)
      refuse("the text holds more than " + std::to_string(max_nodes_) +
             " values (counting what aliases repeat)");
  }

  void open(const YAML::Mark& mark, const std::string& tag, YAML::anchor_t anchor, ykind kind,
            std::string_view core_name) {
    if (tag != "?" && tag != "!" && tag != std::string(core_tag) + std::string(core_name))
      refuse("line " + std::to_string(mark.line + 1) + ": the YAML tag [" + shown(tag) +
             "] is not one of the core schema's");
    if (static_cast<int>(open_.size()) >= max_depth_)
      refuse("line " + std::to_string(mark.line + 1) + ": values nested more than " +
             std::to_string(max_depth_) + " levels deep");
    spend(1);
    ynode node;
    node.kind = kind;
    node.line = mark.line + 1;
    open_.push_back(std::move(node));
    open_anchors_.push_back(anchor);
  }

  void close() {
    ynode node = std::move(open_.back());
    if (node.kind == ykind::mapping) merge_into(node);
    const YAML::anchor_t anchor = open_anchors_.back();
    open_.pop_back();
    open_anchors_.pop_back();
    add(std::move(node), anchor, 0);
  }

  // Puts a finished value in its container (or makes it the root), having
  // spent `cost` of the budget on it, and keeps a copy under its anchor.
  void add(ynode node, YAML::anchor_t anchor, std::size_t cost) {
    spend(cost);
    if (anchor != 0) {
      spend(count_nodes(node));
      anchors_[anchor] = node;
    }
    if (open_.empty()) {
      root_ = std::move(node);
      has_root_ = true;
    } else {
      open_.back().items.push_back(std::move(node));
    }
  }

  std::size_t max_nodes_;
  int max_depth_;
  std::size_t nodes_ = 0;
  int documents_ = 0;
  bool has_root_ = false;
  ynode root_;
  std::vector<ynode> open_;
  std::vector<YAML::anchor_t> open_anchors_;
  std::map<YAML::anchor_t, ynode> anchors_;
};

ynode parse_yaml(std::string_view text) {
  if (text.size() > demes_max_text_bytes)
    refuse("the text is longer than " + std::to_string(demes_max_text_bytes) + " bytes");
  check_text(text);
  std::istringstream stream{std::string(text)};
  tree_builder builder(demes_max_nodes, demes_max_depth);
  try {
    YAML::Parser parser(stream);
    while (parser.HandleNextDocument(builder)) {
    }
  } catch (const YAML::Exception& problem) {
    refuse("not valid YAML at line " + std::to_string(problem.mark.line + 1) + ", column " +
           std::to_string(problem.mark.column + 1) + ": " + shown(problem.msg));
  }
  if (!builder.has_root()) refuse("the text holds no YAML document");
  return builder.take_root();
}

// A strict JSON (RFC 8259) reader into the same tree, for the resolved model
// as demography_json writes it. yaml-cpp reads JSON too, but holds all the
// tokens of a flow collection (some 280 bytes each) before its first event,
// and the resolved model is one flow collection.
struct json_cursor {
  std::string_view text;
  std::size_t pos = 0;
  long line = 1;
  std::size_t nodes = 0;
};

[[noreturn]] void json_refuse(const json_cursor& c, const std::string& what) {
  refuse("not valid JSON at line " + std::to_string(c.line) + ": " + what);
}

void json_space(json_cursor& c) {
  while (c.pos < c.text.size()) {
    const char ch = c.text[c.pos];
    if (ch == '\n') ++c.line;
    if (ch != ' ' && ch != '\t' && ch != '\n' && ch != '\r') return;
    ++c.pos;
  }
}

bool json_take(json_cursor& c, char expected) {
  json_space(c);
  if (c.pos < c.text.size() && c.text[c.pos] == expected) {
    ++c.pos;
    return true;
  }
  return false;
}

int hex_digit(char ch) {
  if (ch >= '0' && ch <= '9') return ch - '0';
  if ((ch | 0x20) >= 'a' && (ch | 0x20) <= 'f') return (ch | 0x20) - 'a' + 10;
  return -1;
}

char32_t json_hex4(json_cursor& c) {
  if (c.text.size() - c.pos < 4) json_refuse(c, "a \\u escape without four hex digits");
  char32_t value = 0;
  for (int i = 0; i < 4; ++i) {
    const int digit = hex_digit(c.text[c.pos++]);
    if (digit < 0) json_refuse(c, "a \\u escape without four hex digits");
    value = value * 16 + static_cast<char32_t>(digit);
  }
  return value;
}

void append_utf8(char32_t code, std::string& out) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

// Takes the cursor just after an opening quote; returns the string's text.
std::string json_string(json_cursor& c) {
  std::string out;
  while (true) {
    if (c.pos >= c.text.size()) json_refuse(c, "a string without its closing quote");
    const auto ch = static_cast<unsigned char>(c.text[c.pos++]);
    if (ch == '"') return out;
    if (ch < 0x20) json_refuse(c, "a control character inside a string");
    if (ch != '\\') {
      out += static_cast<char>(ch);
      continue;
    }
    if (c.pos >= c.text.size()) json_refuse(c, "a string without its closing quote");
    const char escape = c.text[c.pos++];
    switch (escape) {
      case '"': out += '"'; break;
      case '\\': out += '\\'; break;
      case '/': out += '/'; break;
      case 'b': out += '\b'; break;
      case 'f': out += '\f'; break;
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      case 'u': {
        char32_t code = json_hex4(c);
        if (code >= 0xD800 && code <= 0xDBFF) {
          if (c.text.substr(c.pos, 2) != "\\u") json_refuse(c, "a lone surrogate escape");
          c.pos += 2;
          const char32_t low = json_hex4(c);
          if (low < 0xDC00 || low > 0xDFFF) json_refuse(c, "a lone surrogate escape");
          code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
        } else if (code >= 0xDC00 && code <= 0xDFFF) {
          json_refuse(c, "a lone surrogate escape");
        }
        append_utf8(code, out);
        break;
      }
      default: json_refuse(c, "an unknown escape in a string");
    }
  }
}

ynode json_value(json_cursor& c, int depth) {
  json_space(c);
  if (c.pos >= c.text.size()) json_refuse(c, "a value is missing");
  if (++c.nodes > demes_max_nodes)
    refuse("the text holds more than " + std::to_string(demes_max_nodes) + " values");
  ynode node;
  node.line = c.line;
  const char ch = c.text[c.pos];
  if (ch == '{' || ch == '[') {
    if (depth >= demes_max_depth)
      json_refuse(c, "values nested more than " + std::to_string(demes_max_depth) + " levels deep");
    ++c.pos;
    const char close = ch == '{' ? '}' : ']';
    node.kind = ch == '{' ? ykind::mapping : ykind::sequence;
    if (json_take(c, close)) return node;
    do {
      if (node.kind == ykind::mapping) {
        if (!json_take(c, '"')) json_refuse(c, "a key that is not a string");
        ynode key;
        key.kind = ykind::string;
        key.line = c.line;
        key.text = json_string(c);
        if (++c.nodes > demes_max_nodes)
          refuse("the text holds more than " + std::to_string(demes_max_nodes) + " values");
        if (!json_take(c, ':')) json_refuse(c, "a key without a colon after it");
        node.items.push_back(std::move(key));
      }
      node.items.push_back(json_value(c, depth + 1));
    } while (json_take(c, ','));
    if (!json_take(c, close)) json_refuse(c, std::string("a missing comma or ") + close);
    return node;
  }
  if (ch == '"') {
    ++c.pos;
    node.kind = ykind::string;
    node.text = json_string(c);
    return node;
  }
  // A literal or a number: the longest run of their characters.
  const std::size_t start = c.pos;
  while (c.pos < c.text.size() && std::string_view("+-.0123456789eEtruefalsn").find(c.text[c.pos]) !=
                                      std::string_view::npos)
    ++c.pos;
  const std::string_view word = c.text.substr(start, c.pos - start);
  node.text = std::string(word);
  if (word == "null") return node;
  if (word == "true" || word == "false") {
    node.kind = ykind::boolean;
    node.flag = word == "true";
    return node;
  }
  // -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?, which the YAML reading of
  // numbers then takes whole.
  std::size_t i = word.substr(0, 1) == "-" ? 1 : 0;
  const auto digits = [&] {
    const std::size_t first = i;
    while (i < word.size() && word[i] >= '0' && word[i] <= '9') ++i;
    return i - first;
  };
  const std::size_t whole = i;
  bool good = digits() > 0 && !(word[whole] == '0' && i - whole > 1);
  if (good && i < word.size() && word[i] == '.') ++i, good = digits() > 0;
  if (good && i < word.size() && (word[i] == 'e' || word[i] == 'E')) {
    ++i;
    if (i < word.size() && (word[i] == '+' || word[i] == '-')) ++i;
    good = digits() > 0;
  }
  if (!good || i != word.size() || !core_number(word, node.number))
    json_refuse(c, word.empty() ? "an unexpected character" : "[" + shown(word) + "] is not a JSON value");
  node.kind = ykind::number;
  return node;
}

ynode parse_json(std::string_view text) {
  if (text.size() > demes_max_json_bytes)
    refuse("the text is longer than " + std::to_string(demes_max_json_bytes) + " bytes");
  std::size_t pos = 0;
  long line = 1;
  while (pos < text.size()) {
    char32_t code = 0;
    if (!next_code_point(text, pos, code))
      refuse("line " + std::to_string(line) + " is not UTF-8 text (byte " + std::to_string(pos + 1) +
             ")");
    if (code == '\n') ++line;
  }
  json_cursor c;
  c.text = text;
  ynode root = json_value(c, 0);
  json_space(c);
  if (c.pos != text.size()) json_refuse(c, "more text after the value");
  return root;
}

// ---------------------------------------------------------------------------
// Fields of the Demes mappings

std::string at(const std::string& where) { return where.empty() ? std::string() : where + ": "; }

std::string number_text(double value) {
  if (std::isinf(value)) return value > 0 ? "Infinity" : "-Infinity";
  if (std::isnan(value)) return "NaN";
  return json_number_text(value);
}

// Takes a value; returns how a message names it: "null", "a list", "a
// mapping", "true", a number as written, or "the string [TEXT]".
std::string described(const ynode& value) {
  switch (value.kind) {
    case ykind::null: return "null";
    case ykind::boolean: return value.flag ? "true" : "false";
    case ykind::number: return shown(value.text);
    case ykind::string: return "the string [" + shown(value.text) + "]";
    case ykind::sequence: return "a list";
    case ykind::mapping: return "a mapping";
  }
  return "?";
}

// Takes a mapping of Demes fields; refuses keys that are not field names,
// names not in `allowed`, and names given twice.
void check_fields(const ynode& map, std::initializer_list<std::string_view> allowed,
                  const std::string& where) {
  std::set<std::string_view> seen;
  for (std::size_t i = 0; i < map.items.size(); i += 2) {
    const ynode& key = map.items[i];
    if (key.kind != ykind::string)
      refuse(at(where) + "a field name must be a string, not " + described(key) + " (line " +
             std::to_string(key.line) + ")");
    if (std::find(allowed.begin(), allowed.end(), key.text) == allowed.end())
      refuse(at(where) + "unknown field [" + shown(key.text) + "] (line " +
             std::to_string(key.line) + ")");
    if (!seen.insert(key.text).second)
      refuse(at(where) + "field [" + shown(key.text) + "] is given twice (line " +
             std::to_string(key.line) + ")");
  }
}

// Takes a mapping; returns the value of field `name`, or nullptr without it.
const ynode* field(const ynode& map, std::string_view name) {
  for (std::size_t i = 0; i + 1 < map.items.size(); i += 2)
    if (map.items[i].text == name && map.items[i].kind == ykind::string) return &map.items[i + 1];
  return nullptr;
}

const ynode& as_mapping(const ynode& value, const std::string& where, std::string_view name) {
  if (value.kind != ykind::mapping)
    refuse(at(where) + std::string(name) + " must be a mapping, not " + described(value));
  return value;
}

const ynode& as_list(const ynode& value, const std::string& where, std::string_view name) {
  if (value.kind != ykind::sequence)
    refuse(at(where) + std::string(name) + " must be a list, not " + described(value));
  return value;
}

std::string string_value(const ynode& value, const std::string& where, std::string_view name) {
  if (value.kind != ykind::string)
    refuse(at(where) + std::string(name) + " must be a string, not " + described(value));
  return value.text;
}

// The ranges numbers of the Demes format must be in.
enum class range {
  positive,     // sizes, generation_time: finite and above 0
  end_time,     // finite and at least 0
  rate,         // from 0 to 1
  proportion,   // above 0 and at most 1
  start_time,   // above 0, infinity allowed (also as the string "Infinity")
  pulse_time,   // finite and above 0
};

const char* range_text(range r) {
  switch (r) {
    case range::positive: return "a finite number above 0";
    case range::end_time: return "a finite number of at least 0";
    case range::rate: return "a number from 0 to 1";
    case range::proportion: return "a number above 0 and at most 1";
    case range::start_time: return "a number above 0, or Infinity";
    case range::pulse_time: return "a finite number above 0";
  }
  return "?";
}

bool in_range(double x, range r) {
  switch (r) {
    case range::positive:
    case range::pulse_time: return x > 0 && x < infinity;
    case range::end_time: return x >= 0 && x < infinity;
    case range::rate: return x >= 0 && x <= 1;
    case range::proportion: return x > 0 && x <= 1;
    case range::start_time: return x > 0;
  }
  return false;
}

double number_value(const ynode& value, const std::string& where, std::string_view name, range r) {
  double x = 0.0;
  if (value.kind == ykind::number)
    x = value.number;
  else if (r == range::start_time && value.kind == ykind::string && value.text == "Infinity")
    x = infinity;
  else
    refuse(at(where) + std::string(name) + " must be " + range_text(r) + ", not " + described(value));
  if (!in_range(x, r))
    refuse(at(where) + std::string(name) + " must be " + range_text(r) + ", not " + described(value));
  return x;
}

std::vector<std::string> string_list(const ynode& value, const std::string& where,
                                     std::string_view name) {
  as_list(value, where, name);
  std::vector<std::string> list;
  for (const ynode& item : value.items) {
    if (item.kind != ykind::string)
      refuse(at(where) + std::string(name) + " must list strings, not " + described(item));
    list.push_back(item.text);
  }
  return list;
}

std::vector<double> number_list(const ynode& value, const std::string& where, std::string_view name,
                                range r) {
  as_list(value, where, name);
  std::vector<double> list;
  for (const ynode& item : value.items) {
    if (item.kind != ykind::number || !in_range(item.number, r))
      refuse(at(where) + std::string(name) + " must list numbers, each " + range_text(r) +
             ", not " + described(item));
    list.push_back(item.number);
  }
  return list;
}

std::optional<std::string> optional_string(const ynode& map, std::string_view name,
                                           const std::string& where) {
  const ynode* value = field(map, name);
  if (value == nullptr) return std::nullopt;
  return string_value(*value, where, name);
}

std::optional<double> optional_number(const ynode& map, std::string_view name, range r,
                                      const std::string& where) {
  const ynode* value = field(map, name);
  if (value == nullptr) return std::nullopt;
  return number_value(*value, where, name, r);
}

std::optional<std::vector<std::string>> optional_strings(const ynode& map, std::string_view name,
                                                         const std::string& where) {
  const ynode* value = field(map, name);
  if (value == nullptr) return std::nullopt;
  return string_list(*value, where, name);
}

std::optional<std::vector<double>> optional_proportions(const ynode& map, std::string_view name,
                                                        const std::string& where) {
  const ynode* value = field(map, name);
  if (value == nullptr) return std::nullopt;
  return number_list(*value, where, name, range::proportion);
}

// Refuses a name listed twice in `names`.
void check_unique(const std::vector<std::string>& names, const std::string& where,
                  std::string_view what) {
  std::set<std::string_view> seen;
  for (const std::string& name : names)
    if (!seen.insert(name).second)
      refuse(at(where) + std::string(what) + " lists [" + shown(name) + "] twice");
}

double sum_of(const std::vector<double>& values) {
  double sum = 0.0;
  for (double v : values) sum += v;
  return sum;
}

// Takes the first of the given values that is there.
template <typename T>
std::optional<T> first_of(const std::optional<T>& own, const std::optional<T>& fallback) {
  return own ? own : fallback;
}

// An epoch as written, or the epoch defaults: each field there or not.
struct epoch_fields {
  std::optional<double> end_time, start_size, end_size;
  std::optional<std::string> size_function;
  std::optional<double> selfing_rate, cloning_rate;
};

epoch_fields read_epoch_fields(const ynode& value, const std::string& where) {
  const ynode& map = as_mapping(value, "", where);
  check_fields(map, {"end_time", "start_size", "end_size", "size_function", "selfing_rate",
                     "cloning_rate"},
               where);
  epoch_fields fields;
  fields.end_time = optional_number(map, "end_time", range::end_time, where);
  fields.start_size = optional_number(map, "start_size", range::positive, where);
  fields.end_size = optional_number(map, "end_size", range::positive, where);
  fields.size_function = optional_string(map, "size_function", where);
  fields.selfing_rate = optional_number(map, "selfing_rate", range::rate, where);
  fields.cloning_rate = optional_number(map, "cloning_rate", range::rate, where);
  return fields;
}

// The fields `over` has replace those of `base`.
epoch_fields overlay(const epoch_fields& base, const epoch_fields& over) {
  return {first_of(over.end_time, base.end_time),         first_of(over.start_size, base.start_size),
          first_of(over.end_size, base.end_size),         first_of(over.size_function, base.size_function),
          first_of(over.selfing_rate, base.selfing_rate), first_of(over.cloning_rate, base.cloning_rate)};
}

struct migration_fields {
  std::optional<std::string> source, dest;
  std::optional<std::vector<std::string>> demes;
  std::optional<double> start_time, end_time, rate;
};

migration_fields read_migration_fields(const ynode& value, const std::string& where) {
  const ynode& map = as_mapping(value, "", where);
  check_fields(map, {"source", "dest", "demes", "start_time", "end_time", "rate"}, where);
  migration_fields fields;
  fields.source = optional_string(map, "source", where);
  fields.dest = optional_string(map, "dest", where);
  fields.demes = optional_strings(map, "demes", where);
  fields.start_time = optional_number(map, "start_time", range::start_time, where);
  fields.end_time = optional_number(map, "end_time", range::end_time, where);
  fields.rate = optional_number(map, "rate", range::rate, where);
  // What can never be right, whatever the fields' other values (so also in
  // the defaults, even unused).
  if (fields.demes && fields.demes->size() < 2)
    refuse(at(where) + "demes must list at least two demes");
  if (fields.demes) check_unique(*fields.demes, where, "demes");
  if (fields.demes && (fields.source || fields.dest))
    refuse(at(where) + "demes (a symmetric migration) cannot go with source or dest");
  if (fields.source && fields.dest && *fields.source == *fields.dest)
    refuse(at(where) + "source and dest are the same deme [" + shown(*fields.source) + "]");
  if (fields.start_time && fields.end_time && !(*fields.start_time > *fields.end_time))
    refuse(at(where) + "start_time " + number_text(*fields.start_time) + " is not above end_time " +
           number_text(*fields.end_time));
  return fields;
}

struct pulse_fields {
  std::optional<std::vector<std::string>> sources;
  std::optional<std::string> dest;
  std::optional<double> time;
  std::optional<std::vector<double>> proportions;
};

pulse_fields read_pulse_fields(const ynode& value, const std::string& where) {
  const ynode& map = as_mapping(value, "", where);
  check_fields(map, {"sources", "dest", "time", "proportions"}, where);
  pulse_fields fields;
  fields.sources = optional_strings(map, "sources", where);
  fields.dest = optional_string(map, "dest", where);
  fields.time = optional_number(map, "time", range::pulse_time, where);
  fields.proportions = optional_proportions(map, "proportions", where);
  // What can never be right, whatever the fields' other values.
  if (fields.sources && fields.sources->empty())
    refuse(at(where) + "sources is empty; a pulse needs at least one source");
  if (fields.sources) check_unique(*fields.sources, where, "sources");
  if (fields.proportions && fields.proportions->empty())
    refuse(at(where) + "proportions is empty; a pulse needs one for each of its sources");
  if (fields.proportions && !(sum_of(*fields.proportions) <= 1.0 + sum_tolerance))
    refuse(at(where) + "proportions sum to " + number_text(sum_of(*fields.proportions)) +
           ", more than 1");
  if (fields.sources && fields.dest &&
      std::find(fields.sources->begin(), fields.sources->end(), *fields.dest) != fields.sources->end())
    refuse(at(where) + "dest [" + shown(*fields.dest) + "] is among its sources");
  return fields;
}

struct deme_defaults {
  std::optional<std::string> description;
  std::optional<std::vector<std::string>> ancestors;
  std::optional<std::vector<double>> proportions;
  std::optional<double> start_time;
};

struct all_defaults {
  epoch_fields epoch;
  migration_fields migration;
  pulse_fields pulse;
  deme_defaults deme;
};

all_defaults read_defaults(const ynode& value) {
  const std::string where = "defaults";
  const ynode& map = as_mapping(value, "", where);
  check_fields(map, {"epoch", "migration", "pulse", "deme"}, where);
  all_defaults defaults;
  if (const ynode* epoch = field(map, "epoch"))
    defaults.epoch = read_epoch_fields(*epoch, "defaults.epoch");
  if (const ynode* migration = field(map, "migration"))
    defaults.migration = read_migration_fields(*migration, "defaults.migration");
  if (const ynode* pulse = field(map, "pulse"))
    defaults.pulse = read_pulse_fields(*pulse, "defaults.pulse");
  if (const ynode* deme = field(map, "deme")) {
    const std::string inner = "defaults.deme";
    as_mapping(*deme, "", inner);
    check_fields(*deme, {"description", "ancestors", "proportions", "start_time"}, inner);
    defaults.deme.description = optional_string(*deme, "description", inner);
    defaults.deme.ancestors = optional_strings(*deme, "ancestors", inner);
    defaults.deme.proportions = optional_proportions(*deme, "proportions", inner);
    defaults.deme.start_time = optional_number(*deme, "start_time", range::start_time, inner);
    if (defaults.deme.ancestors) check_unique(*defaults.deme.ancestors, inner, "ancestors");
    const auto& proportions = defaults.deme.proportions;
    if (proportions && !proportions->empty() &&
        !(std::fabs(sum_of(*proportions) - 1.0) <= sum_tolerance))
      refuse(at(inner) + "proportions sum to " + number_text(sum_of(*proportions)) + ", not 1");
  }
  return defaults;
}

// ---------------------------------------------------------------------------
// Metadata: kept as one line of JSON

std::string metadata_key(const ynode& key) {
  switch (key.kind) {
    case ykind::null: return "null";
    case ykind::boolean: return key.flag ? "true" : "false";
    case ykind::number: return number_text(key.number);
    case ykind::string: return key.text;
    case ykind::sequence:
    case ykind::mapping: break;
  }
  refuse("metadata: a key that is a list or a mapping (line " + std::to_string(key.line) + ")");
}

void append_metadata(const ynode& value, std::string& out) {
  switch (value.kind) {
    case ykind::null: out += "null"; return;
    case ykind::boolean: out += value.flag ? "true" : "false"; return;
    case ykind::number: out += json_number_text(value.number); return;
    case ykind::string: out += json_string_text(value.text); return;
    case ykind::sequence:
      out += '[';
      for (std::size_t i = 0; i < value.items.size(); ++i) {
        if (i > 0) out += ", ";
        append_metadata(value.items[i], out);
      }
      out += ']';
      return;
    case ykind::mapping: {
      out += '{';
      std::set<std::string> keys;
      for (std::size_t i = 0; i < value.items.size(); i += 2) {
        std::string key = metadata_key(value.items[i]);
        if (!keys.insert(key).second)
          refuse("metadata: key [" + shown(key) + "] is given twice (line " +
                 std::to_string(value.items[i].line) + ")");
        if (i > 0) out += ", ";
        out += json_string_text(key);
        out += ": ";
        append_metadata(value.items[i + 1], out);
      }
      out += '}';
      return;
    }
  }
}

// ---------------------------------------------------------------------------
// Resolution

std::string deme_place(const std::string& name) { return "deme [" + shown(name) + "]"; }

double deme_end_time(const deme& d) { return d.epochs.back().end_time; }

// "from START down to END", the time a deme exists.
std::string lifetime(const deme& d) {
  return "from " + number_text(d.start_time) + " down to " + number_text(deme_end_time(d));
}

// Names the resolved demes by name, for ancestors, migrations and pulses.
struct deme_index {
  std::unordered_map<std::string, std::size_t> by_name;
  const std::vector<deme>* demes = nullptr;

  const deme* find(const std::string& name) const {
    const auto found = by_name.find(name);
    return found == by_name.end() ? nullptr : &(*demes)[found->second];
  }
};

void resolve_epochs(const ynode& node, const epoch_fields& defaults, const std::string& where,
                    deme& d) {
  const ynode* given = field(node, "epochs");
  std::vector<epoch_fields> written;
  if (given == nullptr) {
    written.emplace_back();
  } else {
    as_list(*given, where, "epochs");
    if (given->items.empty()) refuse(at(where) + "epochs is empty; a deme needs at least one epoch");
    for (std::size_t j = 0; j < given->items.size(); ++j) {
      const std::string place = where + " epoch " + std::to_string(j + 1);
      written.push_back(read_epoch_fields(given->items[j], place));
    }
  }
  for (std::size_t j = 0; j < written.size(); ++j) {
    const std::string place = where + " epoch " + std::to_string(j + 1);
    const epoch_fields fields = overlay(defaults, written[j]);
    deme_epoch epoch;
    if (fields.end_time)
      epoch.end_time = *fields.end_time;
    else if (j + 1 == written.size())
      epoch.end_time = 0.0;
    else
      refuse(at(place) + "end_time is missing (only the last epoch's end_time may be left out)");
    if (j == 0 && !(epoch.end_time < d.start_time))
      refuse(at(place) + "end_time " + number_text(epoch.end_time) +
             " is not below the deme's start_time " + number_text(d.start_time));
    if (j > 0 && !(epoch.end_time < d.epochs.back().end_time))
      refuse(at(place) + "end_time " + number_text(epoch.end_time) +
             " is not below the previous epoch's end_time " +
             number_text(d.epochs.back().end_time));
    if (j == 0) {
      if (!fields.start_size && !fields.end_size)
        refuse(at(place) + "start_size and end_size are both missing (the first epoch needs one)");
      epoch.start_size = fields.start_size ? *fields.start_size : *fields.end_size;
      epoch.end_size = fields.end_size ? *fields.end_size : epoch.start_size;
      if (std::isinf(d.start_time) && epoch.start_size != epoch.end_size)
        refuse(at(place) + "start_size " + number_text(epoch.start_size) + " and end_size " +
               number_text(epoch.end_size) +
               " differ, but the epoch starts at Infinity, where the size must be constant");
    } else {
      epoch.start_size = fields.start_size ? *fields.start_size : d.epochs.back().end_size;
      epoch.end_size = fields.end_size ? *fields.end_size : epoch.start_size;
    }
    if (fields.size_function)
      epoch.size_function = *fields.size_function;
    else
      epoch.size_function = epoch.start_size == epoch.end_size ? "constant" : "exponential";
    if (j == 0 && std::isinf(d.start_time) && epoch.size_function != "constant")
      refuse(at(place) + "size_function must be constant in an epoch that starts at Infinity, not [" +
             shown(epoch.size_function) + "]");
    if (epoch.size_function == "constant" && epoch.start_size != epoch.end_size)
      refuse(at(place) + "size_function is constant, but start_size " +
             number_text(epoch.start_size) + " and end_size " + number_text(epoch.end_size) +
             " differ");
    epoch.selfing_rate = fields.selfing_rate.value_or(0.0);
    epoch.cloning_rate = fields.cloning_rate.value_or(0.0);
    d.epochs.push_back(std::move(epoch));
  }
}

void resolve_deme(const ynode& node, std::size_t number, const all_defaults& defaults,
                  const ynode& all_demes, deme_index& index, std::vector<deme>& demes) {
  const std::string numbered = "deme " + std::to_string(number);
  as_mapping(node, "", numbered);
  // The deme's name is its place in messages as soon as it is a string.
  const ynode* name_node = field(node, "name");
  check_fields(node, {"name", "description", "ancestors", "proportions", "start_time", "epochs",
                      "defaults"},
               name_node != nullptr && name_node->kind == ykind::string ? deme_place(name_node->text)
                                                                        : numbered);
  if (name_node == nullptr) refuse(at(numbered) + "name is missing");
  deme d;
  d.name = string_value(*name_node, numbered, "name");
  if (!is_identifier(d.name))
    refuse(at(numbered) + "name [" + shown(d.name) +
           "] is not a valid name (it must be a Python identifier)");
  if (index.by_name.count(d.name) != 0)
    refuse(at(numbered) + "name [" + shown(d.name) + "] is already deme " +
           std::to_string(index.by_name.at(d.name) + 1) + "'s");
  const std::string where = deme_place(d.name);

  epoch_fields epoch_defaults = defaults.epoch;
  if (const ynode* own = field(node, "defaults")) {
    const std::string place = where + " defaults";
    as_mapping(*own, where, "defaults");
    check_fields(*own, {"epoch"}, place);
    if (const ynode* epoch = field(*own, "epoch"))
      epoch_defaults = overlay(epoch_defaults, read_epoch_fields(*epoch, place + ".epoch"));
  }

  d.description = first_of(optional_string(node, "description", where), defaults.deme.description)
                      .value_or(std::string());
  d.ancestors = first_of(optional_strings(node, "ancestors", where), defaults.deme.ancestors)
                    .value_or(std::vector<std::string>());
  check_unique(d.ancestors, where, "ancestors");
  for (const std::string& ancestor : d.ancestors) {
    if (ancestor == d.name) refuse(at(where) + "the deme is listed among its own ancestors");
    if (index.find(ancestor) != nullptr) continue;
    // Not among the demes before it: either listed later or not at all.
    bool later = false;
    for (const ynode& other : all_demes.items) {
      if (other.kind != ykind::mapping) continue;
      const ynode* other_name = field(other, "name");
      if (other_name != nullptr && other_name->kind == ykind::string && other_name->text == ancestor)
        later = true;
    }
    refuse(at(where) + "ancestor [" + shown(ancestor) + "] " +
           (later ? "is listed after it (ancestors must come first)" : "is not a deme of the model"));
  }

  std::optional<std::vector<double>> proportions =
      first_of(optional_proportions(node, "proportions", where), defaults.deme.proportions);
  if (proportions)
    d.proportions = *proportions;
  else if (d.ancestors.size() == 1)
    d.proportions = {1.0};
  else if (!d.ancestors.empty())
    refuse(at(where) + "proportions is missing (needed with more than one ancestor)");
  if (d.proportions.size() != d.ancestors.size())
    refuse(at(where) + "proportions has " + std::to_string(d.proportions.size()) +
           " values for " + std::to_string(d.ancestors.size()) + " ancestors");
  if (!d.proportions.empty() && !(std::fabs(sum_of(d.proportions) - 1.0) <= sum_tolerance))
    refuse(at(where) + "proportions sum to " + number_text(sum_of(d.proportions)) + ", not 1");

  std::optional<double> start_time =
      first_of(optional_number(node, "start_time", range::start_time, where),
               defaults.deme.start_time);
  if (start_time) {
    d.start_time = *start_time;
  } else if (d.ancestors.size() == 1) {
    const deme* ancestor = index.find(d.ancestors[0]);
    if (!(deme_end_time(*ancestor) > 0))
      refuse(at(where) + "start_time is missing, and ancestor [" + shown(ancestor->name) +
             "] lasts until 0, so it cannot be taken from its end");
    d.start_time = deme_end_time(*ancestor);
  } else if (d.ancestors.empty()) {
    d.start_time = infinity;
  } else {
    refuse(at(where) + "start_time is missing (needed with more than one ancestor)");
  }
  if (std::isinf(d.start_time) && !d.ancestors.empty())
    refuse(at(where) + "start_time is Infinity, but the deme has ancestors");
  if (!std::isinf(d.start_time) && d.ancestors.empty())
    refuse(at(where) + "start_time " + number_text(d.start_time) +
           " is finite, but the deme has no ancestors (only a deme with ancestors starts at a "
           "finite time)");
  for (const std::string& name : d.ancestors) {
    const deme& ancestor = *index.find(name);
    if (!(d.start_time < ancestor.start_time && d.start_time >= deme_end_time(ancestor)))
      refuse(at(where) + "start_time " + number_text(d.start_time) + " must be below ancestor [" +
             shown(name) + "]'s start_time " + number_text(ancestor.start_time) +
             " and at or above its end_time " + number_text(deme_end_time(ancestor)));
  }

  resolve_epochs(node, epoch_defaults, where, d);
  index.by_name.emplace(d.name, demes.size());
  demes.push_back(std::move(d));
}

const deme& named_deme(const deme_index& index, const std::string& name, const std::string& where,
                       std::string_view role) {
  const deme* found = index.find(name);
  if (found == nullptr)
    refuse(at(where) + std::string(role) + " [" + shown(name) + "] is not a deme of the model");
  return *found;
}

// A migration as resolved, with the place of the entry it comes from.
struct placed_migration {
  deme_migration migration;
  std::size_t entry = 0;  // from 1
};

std::string migration_place(std::size_t entry, const deme_migration& m) {
  return "migration " + std::to_string(entry) + " ([" + shown(m.source) + "] to [" + shown(m.dest) +
         "])";
}

std::size_t resolved_migrations_most() { return demes_max_resolved_nodes / 11; }

void resolve_migrations(const ynode& list, const migration_fields& defaults, const deme_index& index,
                        std::vector<placed_migration>& out) {
  for (std::size_t k = 0; k < list.items.size(); ++k) {
    const std::string where = "migration " + std::to_string(k + 1);
    const migration_fields own = read_migration_fields(list.items[k], where);
    migration_fields m;
    m.rate = first_of(own.rate, defaults.rate);
    m.source = first_of(own.source, defaults.source);
    m.dest = first_of(own.dest, defaults.dest);
    m.demes = first_of(own.demes, defaults.demes);
    m.start_time = first_of(own.start_time, defaults.start_time);
    m.end_time = first_of(own.end_time, defaults.end_time);
    if (!m.rate) refuse(at(where) + "rate is missing");
    std::vector<std::pair<std::string, std::string>> pairs;
    if (!m.demes && m.source && m.dest) {
      pairs.emplace_back(*m.source, *m.dest);
    } else if (m.demes && !m.source && !m.dest) {
      const std::vector<std::string>& names = *m.demes;
      check_unique(names, where, "demes");
      for (const std::string& name : names) named_deme(index, name, where, "deme");
      if (out.size() + names.size() * (names.size() - 1) > resolved_migrations_most())
        refuse(at(where) + "the model has more than " + std::to_string(resolved_migrations_most()) +
               " migrations (one each way for every pair of a symmetric migration's demes)");
      for (std::size_t a = 0; a < names.size(); ++a)
        for (std::size_t b = a + 1; b < names.size(); ++b) {
          pairs.emplace_back(names[a], names[b]);
          pairs.emplace_back(names[b], names[a]);
        }
    } else if (m.demes) {
      refuse(at(where) + "has both demes (symmetric) and " + (m.source ? "source" : "dest") +
             " (asymmetric); give one kind");
    } else {
      refuse(at(where) + (m.source ? "dest is missing" : "source is missing") +
             " (give source and dest, or demes)");
    }
    for (const auto& [source_name, dest_name] : pairs) {
      const deme& source = named_deme(index, source_name, where, "source");
      const deme& dest = named_deme(index, dest_name, where, "dest");
      if (source_name == dest_name)
        refuse(at(where) + "source and dest are the same deme [" + shown(source_name) + "]");
      placed_migration placed;
      deme_migration& r = placed.migration;
      placed.entry = k + 1;
      r.source = source_name;
      r.dest = dest_name;
      r.rate = *m.rate;
      r.start_time = m.start_time ? *m.start_time : std::min(source.start_time, dest.start_time);
      r.end_time = m.end_time ? *m.end_time : std::max(deme_end_time(source), deme_end_time(dest));
      const std::string place = migration_place(k + 1, r);
      if (!(r.start_time > r.end_time))
        refuse(at(place) + "start_time " + number_text(r.start_time) + " is not above end_time " +
               number_text(r.end_time));
      for (const deme* d : {&source, &dest})
        if (!(r.start_time <= d->start_time && r.end_time >= deme_end_time(*d)))
          refuse(at(place) + "the time from " + number_text(r.start_time) + " down to " +
                 number_text(r.end_time) + " is not within the time of deme [" + shown(d->name) +
                 "], " + lifetime(*d));
      if (out.size() >= resolved_migrations_most())
        refuse("the model has more than " + std::to_string(resolved_migrations_most()) + " migrations");
      out.push_back(std::move(placed));
    }
  }
}

// Refuses two migrations of one pair whose times overlap, and migration
// rates into one deme that sum above 1 at some time.
void check_migration_overlaps(const std::vector<placed_migration>& all) {
  std::map<std::pair<std::string_view, std::string_view>, std::vector<const placed_migration*>> pairs;
  std::map<std::string_view, std::vector<const placed_migration*>> into;
  for (const placed_migration& m : all) {
    pairs[{m.migration.source, m.migration.dest}].push_back(&m);
    into[m.migration.dest].push_back(&m);
  }
  for (auto& [pair, list] : pairs) {
    std::sort(list.begin(), list.end(), [](const auto* a, const auto* b) {
      return a->migration.start_time > b->migration.start_time ||
             (a->migration.start_time == b->migration.start_time && a->entry < b->entry);
    });
    for (std::size_t i = 1; i < list.size(); ++i) {
      if (!(list[i]->migration.start_time > list[i - 1]->migration.end_time)) continue;
      const deme_migration* one = &list[i - 1]->migration;
      const deme_migration* other = &list[i]->migration;
      std::size_t one_entry = list[i - 1]->entry, other_entry = list[i]->entry;
      if (other_entry < one_entry) std::swap(one, other), std::swap(one_entry, other_entry);
      refuse("migrations " + std::to_string(one_entry) + " and " + std::to_string(other_entry) +
             " from [" + shown(one->source) + "] to [" + shown(one->dest) + "] overlap in time (from " +
             number_text(one->start_time) + " down to " + number_text(one->end_time) +
             ", and from " + number_text(other->start_time) + " down to " +
             number_text(other->end_time) + ")");
    }
  }
  for (const auto& [dest, list] : into) {
    if (list.size() < 2) continue;
    // Sweep from the oldest time: at each boundary the migrations ending
    // there stop and those starting there begin; the sum holds until the next.
    std::vector<std::pair<double, double>> changes;  // (time, rate change)
    for (const placed_migration* m : list) {
      changes.emplace_back(m->migration.start_time, m->migration.rate);
      changes.emplace_back(m->migration.end_time, -m->migration.rate);
    }
    std::sort(changes.begin(), changes.end(),
              [](const auto& a, const auto& b) { return a.first > b.first; });
    long double sum = 0.0L;
    for (std::size_t i = 0; i < changes.size(); ++i) {
      sum += changes[i].second;
      if (i + 1 < changes.size() && changes[i + 1].first != changes[i].first &&
          sum > 1.0L + sum_tolerance)
        refuse("the migration rates into deme [" + shown(std::string(dest)) + "] sum to " +
               number_text(static_cast<double>(sum)) + ", above 1, from time " +
               number_text(changes[i].first) + " down to " + number_text(changes[i + 1].first));
    }
  }
}

void resolve_pulses(const ynode& list, const pulse_fields& defaults, const deme_index& index,
                    std::vector<deme_pulse>& out) {
  for (std::size_t k = 0; k < list.items.size(); ++k) {
    const std::string where = "pulse " + std::to_string(k + 1);
    const pulse_fields own = read_pulse_fields(list.items[k], where);
    deme_pulse p;
    const auto sources = first_of(own.sources, defaults.sources);
    if (!sources) refuse(at(where) + "sources is missing");
    const auto proportions = first_of(own.proportions, defaults.proportions);
    if (!proportions) refuse(at(where) + "proportions is missing");
    const auto dest = first_of(own.dest, defaults.dest);
    if (!dest) refuse(at(where) + "dest is missing");
    const auto time = first_of(own.time, defaults.time);
    if (!time) refuse(at(where) + "time is missing");
    p.sources = *sources;
    p.proportions = *proportions;
    p.dest = *dest;
    p.time = *time;
    if (p.sources.empty()) refuse(at(where) + "sources is empty; a pulse needs at least one source");
    check_unique(p.sources, where, "sources");
    if (p.proportions.size() != p.sources.size())
      refuse(at(where) + "proportions has " + std::to_string(p.proportions.size()) +
             " values for " + std::to_string(p.sources.size()) + " sources");
    if (!(sum_of(p.proportions) <= 1.0 + sum_tolerance))
      refuse(at(where) + "proportions sum to " + number_text(sum_of(p.proportions)) +
             ", more than 1");
    const deme& dest_deme = named_deme(index, p.dest, where, "dest");
    for (const std::string& source : p.sources) {
      if (source == p.dest) refuse(at(where) + "dest [" + shown(p.dest) + "] is among its sources");
      const deme& d = named_deme(index, source, where, "source");
      if (!(p.time < d.start_time && p.time >= deme_end_time(d)))
        refuse(at(where) + "time " + number_text(p.time) + " must be below source [" +
               shown(source) + "]'s start_time " + number_text(d.start_time) +
               " and at or above its end_time " + number_text(deme_end_time(d)));
    }
    if (!(p.time <= dest_deme.start_time && p.time > deme_end_time(dest_deme)))
      refuse(at(where) + "time " + number_text(p.time) + " must be at or below dest [" +
             shown(p.dest) + "]'s start_time " + number_text(dest_deme.start_time) +
             " and above its end_time " + number_text(deme_end_time(dest_deme)));
    out.push_back(std::move(p));
  }
  // From the oldest; pulses at one time keep their order (sorted on the time,
  // then the place: std::stable_sort's buffer comes from the nothrow operator
  // new, which test programs that replace operator new do not replace).
  std::vector<std::size_t> order(out.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return out[a].time > out[b].time || (out[a].time == out[b].time && a < b);
  });
  std::vector<deme_pulse> sorted;
  sorted.reserve(out.size());
  for (std::size_t i : order) sorted.push_back(std::move(out[i]));
  out = std::move(sorted);
}

// Takes a resolved model; refuses it when its JSON would be larger than the
// limits under which JSON is read back, by counting its values exactly as the
// tree builder counts them (keys included) and bounding its bytes.
void check_resolved_size(const demography& model, std::size_t metadata_nodes) {
  // The top mapping, its 8 keys, 4 scalar or list values, the doi, the
  // metadata and the three lists; then each item's.
  std::size_t nodes = 1 + 8 + 4 + model.doi.size() + metadata_nodes + 3;
  std::size_t bytes = 256 + model.time_units.size() * 6 + model.description.size() * 6 +
                      model.metadata_json.size();
  for (const std::string& doi : model.doi) bytes += doi.size() * 6 + 8;
  for (const deme& d : model.demes) {
    nodes += 13 + d.ancestors.size() + d.proportions.size() + d.epochs.size() * 13;
    bytes += 128 + (d.name.size() + d.description.size()) * 6 + d.proportions.size() * 32 +
             d.epochs.size() * 256;
    for (const std::string& a : d.ancestors) bytes += a.size() * 6 + 8;
    for (const deme_epoch& e : d.epochs) bytes += e.size_function.size() * 6;
  }
  for (const deme_migration& m : model.migrations) {
    nodes += 11;
    bytes += 192 + (m.source.size() + m.dest.size()) * 6;
  }
  for (const deme_pulse& p : model.pulses) {
    nodes += 9 + p.sources.size() + p.proportions.size();
    bytes += 128 + p.dest.size() * 6 + p.proportions.size() * 32;
    for (const std::string& s : p.sources) bytes += s.size() * 6 + 8;
  }
  if (nodes > demes_max_resolved_nodes)
    refuse("the resolved model is too large: more than " + std::to_string(demes_max_resolved_nodes) +
           " values");
  if (bytes > demes_max_resolved_bytes)
    refuse("the resolved model is too large: more than " + std::to_string(demes_max_resolved_bytes) +
           " bytes as JSON");
}

void resolve(const ynode& root, demography& model) {
  if (root.kind != ykind::mapping)
    refuse("the document must be a mapping of Demes fields, not " + described(root));
  check_fields(root, {"description", "doi", "time_units", "generation_time", "metadata", "defaults",
                      "demes", "pulses", "migrations"},
               "");
  const ynode* time_units = field(root, "time_units");
  if (time_units == nullptr) refuse("time_units is missing");
  model.time_units = string_value(*time_units, "", "time_units");
  const std::optional<double> generation_time =
      optional_number(root, "generation_time", range::positive, "");
  if (model.time_units == "generations") {
    if (generation_time && *generation_time != 1.0)
      refuse("generation_time must be 1 when time_units is generations, not " +
             number_text(*generation_time));
    model.generation_time = 1.0;
  } else {
    if (!generation_time)
      refuse("generation_time is missing (needed when time_units is not generations)");
    model.generation_time = *generation_time;
  }
  std::size_t metadata_nodes = 1;
  if (const ynode* metadata = field(root, "metadata")) {
    as_mapping(*metadata, "", "metadata");
    model.metadata_json.clear();
    append_metadata(*metadata, model.metadata_json);
    metadata_nodes = count_nodes(*metadata);
  } else {
    model.metadata_json = "{}";
  }
  model.description = optional_string(root, "description", "").value_or(std::string());
  model.doi = optional_strings(root, "doi", "").value_or(std::vector<std::string>());

  all_defaults defaults;
  if (const ynode* given = field(root, "defaults")) defaults = read_defaults(*given);

  const ynode* demes = field(root, "demes");
  if (demes == nullptr) refuse("demes is missing");
  as_list(*demes, "", "demes");
  if (demes->items.empty()) refuse("demes is empty; a model needs at least one deme");
  deme_index index;
  index.demes = &model.demes;
  model.demes.clear();
  for (std::size_t i = 0; i < demes->items.size(); ++i)
    resolve_deme(demes->items[i], i + 1, defaults, *demes, index, model.demes);

  std::vector<placed_migration> migrations;
  if (const ynode* list = field(root, "migrations"))
    resolve_migrations(as_list(*list, "", "migrations"), defaults.migration, index, migrations);
  check_migration_overlaps(migrations);
  model.migrations.clear();
  for (placed_migration& m : migrations) model.migrations.push_back(std::move(m.migration));

  model.pulses.clear();
  if (const ynode* list = field(root, "pulses"))
    resolve_pulses(as_list(*list, "", "pulses"), defaults.pulse, index, model.pulses);
  check_resolved_size(model, metadata_nodes);
}

// Takes a text and how to parse it; resolves what it holds as read_demes
// says, catching every refusal and failure.
bool read_with(ynode (*parse)(std::string_view), std::string_view text, demography& model,
               std::string& error) {
  try {
    const ynode root = parse(text);
    model = demography{};
    resolve(root, model);
    error.clear();
    return true;
  } catch (const refusal& problem) {
    error = problem.reason;
  } catch (const std::bad_alloc&) {
    error = "not enough memory to read it";
  } catch (...) {
    error = "it could not be read (an unexpected failure in the YAML library)";
  }
  return false;
}

}  // namespace

bool read_demes(std::string_view text, demography& model, std::string& error) {
  return read_with(parse_yaml, text, model, error);
}

bool read_demography_json(std::string_view json, demography& model, std::string& error) {
  return read_with(parse_json, json, model, error);
}

bool read_demes_file(const std::string& path, demography& model, std::string& error) {
  try {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
      error = "could not open it to read";
      return false;
    }
    std::string text;
    char buffer[65536];
    while (file.read(buffer, sizeof buffer) || file.gcount() > 0) {
      text.append(buffer, static_cast<std::size_t>(file.gcount()));
      if (text.size() > demes_max_text_bytes) {
        error = "the text is longer than " + std::to_string(demes_max_text_bytes) + " bytes";
        return false;
      }
    }
    if (file.bad()) {
      error = "could not read it";
      return false;
    }
    return read_demes(text, model, error);
  } catch (...) {
    error = "could not read it";
    return false;
  }
}

}  // namespace twolocus
