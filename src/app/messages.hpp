// The programs' messages, from their one table (messages.def): each entry
// becomes a function of the same name in namespace `say`, which prints the
// exact text with its arguments to standard output and returns the exit
// status that goes with the message: 1 when the run ends after it, 0 when it
// goes on. So a failure is reported as `return say::fitness_unreadable(name);`.
// twolocus-sim prints them to standard error with `say_err::identifier`.
#pragma once

#include <array>
#include <cstdio>
#include <string>
#include <string_view>

namespace twolocus {

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
#include "app/messages.def"
#undef TWOLOCUS_MESSAGE
};

namespace say {
// Each message's text stays a literal in its printf call, so the compiler
// checks the arguments against it.
#define TWOLOCUS_MESSAGE(identifier, kind, text, meaning)             \
  template <typename... Args>                                       \
  int identifier(const Args&... args) {                             \
    std::printf(text, args...);                                     \
    return message_kind::kind ? 1 : 0;                              \
  }
#include "app/messages.def"
#undef TWOLOCUS_MESSAGE
}  // namespace say

// The same messages on standard error, as twolocus-sim prints them (its
// standard output carries nothing but results). While a thread's `capture`
// points to a string, that thread's messages go there instead (the Python
// module raises them as exceptions).
namespace say_err {
inline thread_local std::string* capture = nullptr;
#define TWOLOCUS_MESSAGE(identifier, kind, text, meaning)             \
  template <typename... Args>                                       \
  int identifier(const Args&... args) {                             \
    if (capture != nullptr) {                                       \
      const int size = std::snprintf(nullptr, 0, text, args...);    \
      capture->resize(static_cast<size_t>(size > 0 ? size : 0));    \
      std::snprintf(capture->data(), capture->size() + 1, text, args...); \
    } else {                                                        \
      std::fprintf(stderr, text, args...);                          \
    }                                                               \
    return message_kind::kind ? 1 : 0;                              \
  }
#include "app/messages.def"
#undef TWOLOCUS_MESSAGE
}  // namespace say_err

}  // namespace twolocus
