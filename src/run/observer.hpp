// What a caller of the run library hears of a run while it goes: the
// notes of a run that goes on (messages that are not failures), its
// progress, and whether to go on. Any of them may be left empty.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "run/messages.hpp"

namespace twolocus {

struct run_observer {
  // A note (resuming, stopped, nothing to do...), when it happens.
  std::function<void(const message& note)> note;
  // A single run's generations done of its n: after each record (and once
  // more at a finished run's end); the classic programs hear it before each
  // record is written (their progress dot comes first).
  std::function<void(int64_t done, int64_t total)> generations;
  // A batch's replicates done of its R: at the start and the end (`now`:
  // to be shown whatever the time since the last), and after replicates.
  std::function<void(int64_t done, int64_t total, bool now)> replicates;
  // The progress shown so far ends (its line is over): after a single run
  // that ran a generation, and after a batch.
  std::function<void()> progress_end;
  // Before each generation: false interrupts the run, which then ends with
  // no message (the Python module's Ctrl-C). Called on any thread of a batch.
  std::function<bool()> proceed;
};

// How a run of the library ended: finished (no failure), failed (with its
// message), or interrupted by the observer's `proceed` (no message).
struct run_end {
  std::optional<message> failure;
  bool interrupted = false;
  bool finished() const { return !failure && !interrupted; }
};

// Takes an observer and a note; passes it on when the observer hears notes.
inline void tell_note(const run_observer& observer, const message& note) {
  if (observer.note) observer.note(note);
}

}  // namespace twolocus
