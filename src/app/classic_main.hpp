// The classic command line of twolocus and twolocus-multinomial: the
// banner, then a fresh run (13 or 14 arguments) or a resume (1 or 2), or
// the usage. Every message goes to standard output, flushed as it is
// printed, and a progress dot comes before each record.
#pragma once

#include "io/sim_params.hpp"

namespace twolocus {

// Takes the whole command line and the engine of the program's entry
// point; runs it. Returns the exit status.
int classic_main(int argc, char** argv, engine_kind engine);

}  // namespace twolocus
