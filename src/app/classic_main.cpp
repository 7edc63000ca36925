#include "app/messages.hpp"
#include "app/run.hpp"

namespace twolocus {

template <typename engine_type>
int classic_main(int argc, char** argv) {
  const char* program = argc > 0 ? argv[0] : "twolocus";
  say::banner(program, "110303", static_cast<long>(draw_max));
  const int arguments = argc - 1;
  engine_type engine;
  if (arguments == 1 || arguments == 2) return resume_run(engine, argc, argv);
  if (arguments == 13 || arguments == 14) return fresh_run(engine, argc, argv);
  return say::usage(program, program);
}

TWOLOCUS_FOR_EACH_ENGINE(TWOLOCUS_CLASSIC_MAIN)

}  // namespace twolocus
