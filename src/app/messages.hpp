// The programs' messages printed: each entry of the table (run/messages.def)
// becomes a function of the same name in namespace `say`, which prints the
// message's text with its arguments to standard output (the classic
// programs) and returns the exit status that goes with it: 1 when the run
// ends after it, 0 when it goes on. So a failure is reported as `return
// say::fitness_unreadable(name);`. twolocus-sim prints them to standard
// error with `say_err::identifier`.
#pragma once

#include <cstdio>
#include <string>

#include "run/messages.hpp"

namespace twolocus {

// Takes a message and a stream; prints the message's text there. Returns
// the exit status that goes with it.
int print_message(const message& said, std::FILE* stream);

namespace say {
#define TWOLOCUS_MESSAGE(identifier, kind, text, meaning) \
  template <typename... Args>                             \
  int identifier(const Args&... args) {                   \
    return print_message(tell::identifier(args...), stdout); \
  }
#include "run/messages.def"
#undef TWOLOCUS_MESSAGE
}  // namespace say

// The same messages on standard error, as twolocus-sim prints them (its
// standard output carries nothing but results).
namespace say_err {
#define TWOLOCUS_MESSAGE(identifier, kind, text, meaning) \
  template <typename... Args>                             \
  int identifier(const Args&... args) {                   \
    return print_message(tell::identifier(args...), stderr); \
  }
#include "run/messages.def"
#undef TWOLOCUS_MESSAGE
}  // namespace say_err

}  // namespace twolocus
