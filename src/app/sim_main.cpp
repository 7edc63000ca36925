// twolocus-sim: the general two-locus model on either engine, with named
// options (see twolocus-sim --help). TWOLOCUS_RELEASE, the release from the
// file VERSION, is defined by the build.
#include <cstdio>
#include <new>

#include "app/messages.hpp"
#include "app/sim_options.hpp"
#include "app/sim_run.hpp"

namespace {

int run(int argc, char** argv) {
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

}  // namespace

int main(int argc, char** argv) {
  // A failed allocation anywhere (the batch's threads catch their own) is
  // one line and status 1; what the run recorded is kept.
  try {
    return run(argc, argv);
  } catch (const std::bad_alloc&) {
    return twolocus::say_err::sim_out_of_memory();
  }
}
