// The programs' messages as values, from their one table (messages.def):
// each entry becomes a function of the same name in namespace `tell`, which
// returns the message with its arguments written into its text; nothing is
// printed. The run library reports every failure, and every note of a run
// that goes on, as such a value; the programs print it (see
// app/messages.hpp) and the Python module raises it.
#pragma once

#include <array>
#include <string>
#include <string_view>

namespace twolocus {

enum class message_id {
#define TWOLOCUS_MESSAGE(identifier, kind, text, meaning) identifier,
#include "run/messages.def"
#undef TWOLOCUS_MESSAGE
};

// One entry of the table, as data (for tests and tools).
struct message_entry {
  std::string_view identifier;
  bool fatal = false;
  std::string_view text;
};

namespace message_kind {
inline constexpr bool fatal = true;
inline constexpr bool goes_on = false;
}  // namespace message_kind

inline constexpr std::array message_table = {
#define TWOLOCUS_MESSAGE(identifier, kind, text, meaning) \
  message_entry{#identifier, message_kind::kind, text},
#include "run/messages.def"
#undef TWOLOCUS_MESSAGE
};

// A message of the table with its arguments: its identifier, whether the
// run ends after it (exit status 1) and its whole text, line end included.
struct message {
  message_id id{};
  bool fatal = false;
  std::string text;
};

// Takes a printf format and its arguments; returns the text they make.
std::string formatted_text(const char* format, ...) __attribute__((format(printf, 1, 2)));

namespace tell {
// Each message's text stays a literal in the call, so the compiler checks
// the arguments against it.
#define TWOLOCUS_MESSAGE(identifier, kind, text, meaning)                          \
  template <typename... Args>                                                    \
  message identifier(const Args&... args) {                                      \
    return {message_id::identifier, message_kind::kind, formatted_text(text, args...)}; \
  }
#include "run/messages.def"
#undef TWOLOCUS_MESSAGE
}  // namespace tell

}  // namespace twolocus
