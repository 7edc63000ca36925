#include "app/classic_main.hpp"

#include <cstdio>
#include <string>

#include "app/messages.hpp"
#include "io/numbers.hpp"
#include "run/classic.hpp"

namespace twolocus {

namespace {

// Takes a count of the command line (whole percent or units of 10^-10) and
// its unit; returns the value in double precision.
double scaled(const char* argument, double unit) { return c_atoi(argument) / unit; }

// The classic programs' observer: notes printed as they come, a dot before
// each record; every stream flushed after each, so that a killed run's
// output and files end where it stopped.
run_observer console() {
  run_observer observer;
  observer.note = [](const message& note) {
    print_message(note, stdout);
    std::fflush(nullptr);
  };
  observer.generations = [](int64_t, int64_t) {
    std::fputc('.', stdout);
    std::fflush(nullptr);
  };
  return observer;
}

int ended(const std::optional<message>& failure) {
  return failure ? print_message(*failure, stdout) : 0;
}

}  // namespace

int classic_main(int argc, char** argv, engine_kind engine) {
  const char* program = argc > 0 ? argv[0] : "twolocus";
  say::banner(program, "110303", static_cast<long>(draw_max));
  const int arguments = argc - 1;
  const run_observer observer = console();
  if (arguments == 1 || arguments == 2) {
    std::optional<int32_t> new_n;
    if (arguments == 2) new_n = c_atoi(argv[2]);
    return ended(classic_resume(engine, argv[1], new_n, observer));
  }
  if (arguments != 13 && arguments != 14) return say::usage(program, program);
  classic_request request;
  request.fitness_name = argv[1];
  request.column = static_cast<int8_t>(c_atoi(argv[2]));
  request.output = argv[13];
  run_params& params = request.params;
  params.s = static_cast<float>(scaled(argv[3], 100.0));
  params.k = static_cast<float>(scaled(argv[4], 100.0));
  params.n = c_atoi(argv[5]);
  params.generation_size = c_atoi(argv[6]);
  params.rates_a = {scaled(argv[7], 1e10), scaled(argv[8], 1e10), scaled(argv[9], 1e10)};
  params.rates_b = {scaled(argv[10], 1e10), scaled(argv[11], 1e10), scaled(argv[12], 1e10)};
  params.seed = arguments == 14 ? c_atoi(argv[14]) : 2222;
  return ended(classic_fresh_run(engine, request, observer));
}

}  // namespace twolocus
