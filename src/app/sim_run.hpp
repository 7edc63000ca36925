// twolocus-sim's runs: the fresh run, the resume, and the generation loop
// they share, a template over the engine (exact_engine or
// multinomial_engine), chosen at run time from the parameters.
#pragma once

#include "app/sim_options.hpp"

namespace twolocus {

// Takes the read command line of a fresh run; reads the inputs, opens and
// locks the files, writes OUT.params and runs generations 0 to n - 1.
// Returns the exit status.
int sim_fresh_run(const sim_options& options);

// Takes the read command line of a resume; continues the run OUT from its
// last complete record and its checkpoint line. Returns the exit status.
int sim_resume_run(const sim_options& options);

}  // namespace twolocus
