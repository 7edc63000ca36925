// twolocus-sim: the general two-locus model on either engine, with named
// options (see twolocus-sim --help). TWOLOCUS_RELEASE, the release from the
// file VERSION, is defined by the build.
#include <cstdio>
#include <new>

#include "app/messages.hpp"
#include "app/progress.hpp"
#include "app/sim_options.hpp"
#include "run/demography.hpp"
#include "run/inputs.hpp"
#include "run/resume.hpp"
#include "run/single.hpp"

namespace {

int run(int argc, char** argv) {
  using namespace twolocus;
  sim_options options;
  if (const auto problem = read_sim_options(argc, argv, options)) return print_message(*problem, stderr);
  progress_line line;
  const run_observer observer = terminal_observer(line);
  std::optional<message> failure;
  switch (options.what) {
    case sim_options::action::help: std::fputs(sim_help_text, stdout); return 0;
    case sim_options::action::version: return say::sim_version(TWOLOCUS_RELEASE);
    case sim_options::action::resolve: {
      std::string json;
      failure = resolve_demography(options.run, json);
      if (!failure) std::fputs(json.c_str(), stdout);
      break;
    }
    case sim_options::action::print_fitness: {
      std::string text;
      failure = fitness_table_text(options.run, text);
      if (!failure) std::fputs(text.c_str(), stdout);
      break;
    }
    case sim_options::action::resume: failure = resume_run(options.run, observer); break;
    case sim_options::action::fresh: failure = start_run(options.run, observer); break;
  }
  return failure ? print_message(*failure, stderr) : 0;
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
