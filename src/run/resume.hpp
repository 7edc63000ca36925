// The resume of a twolocus-sim run: the lock of OUT taken, then the batch
// resumed (run/batch.hpp) or the single run continued from its last
// complete record and its checkpoint line, extended to a new n, run again
// from its start when it holds no record, or left as it is with its
// summary written when its records are complete.
#pragma once

#include <optional>

#include "run/messages.hpp"
#include "run/observer.hpp"
#include "run/request.hpp"

namespace twolocus {

// Takes a resume's request (OUT and an optional new n) and the observer;
// resumes the run or batch OUT. Returns the failure, or nothing.
std::optional<message> resume_run(const run_request& request, const run_observer& observer);

}  // namespace twolocus
