// twolocus-sim: the general two-locus model on either engine, with named
// options (see twolocus-sim --help). TWOLOCUS_RELEASE, the release from the
// file VERSION, is defined by the build.
#include <cstdio>

#include "app/messages.hpp"
#include "app/sim_options.hpp"
#include "app/sim_run.hpp"

int main(int argc, char** argv) {
  using namespace twolocus;
  sim_options options;
  if (const auto status = read_sim_options(argc, argv, options)) return *status;
  switch (options.what) {
    case sim_options::action::help: std::fputs(sim_help_text, stdout); return 0;
    case sim_options::action::version: return say::sim_version(TWOLOCUS_RELEASE);
    case sim_options::action::resume: return sim_resume_run(options);
    case sim_options::action::fresh: break;
  }
  return sim_fresh_run(options);
}
