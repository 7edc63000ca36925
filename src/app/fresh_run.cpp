#include <cstdint>

#include "app/files.hpp"
#include "app/messages.hpp"
#include "app/readers.hpp"
#include "app/run.hpp"
#include "io/fitness_table.hpp"
#include "io/numbers.hpp"
#include "io/params.hpp"
#include "io/trajectory.hpp"

namespace twolocus {

namespace {

// Takes a count of the command line (whole percent or units of 10^-10) and
// its unit; returns the value in double precision.
double scaled(const char* argument, double unit) { return c_atoi(argument) / unit; }

}  // namespace

template <typename engine_type>
int fresh_run(engine_type& engine, int argc, char** argv) {
  const std::string fitness_name = argv[1];
  const std::string trajectory_name = argv[13];
  const std::string params_name = trajectory_name + ".params";

  std::FILE* fitness_file = open_file(fitness_name, "r");
  if (fitness_file == nullptr) return say::fitness_unreadable(fitness_name.c_str());
  // Writing over the fitness table would destroy it before it is read.
  if (names_open_file(fitness_file, trajectory_name)) {
    return say::output_is_fitness(trajectory_name.c_str());
  }
  if (names_open_file(fitness_file, params_name)) return say::params_is_fitness(params_name.c_str());
  trajectory_output trajectory;
  if (!opened_or_reported(open_fresh_trajectory(trajectory_name, trajectory), trajectory_name,
                          [](const char* name) { say::output_unwritable(name); })) {
    return 1;
  }
  std::FILE* params_file = open_file(params_name, "w");
  if (params_file == nullptr) return say::params_unwritable(params_name.c_str());

  run_params params;
  params.s = static_cast<float>(scaled(argv[3], 100.0));
  params.k = static_cast<float>(scaled(argv[4], 100.0));
  params.n = c_atoi(argv[5]);
  params.generation_size = c_atoi(argv[6]);
  params.rates_a = {scaled(argv[7], 1e10), scaled(argv[8], 1e10), scaled(argv[9], 1e10)};
  params.rates_b = {scaled(argv[10], 1e10), scaled(argv[11], 1e10), scaled(argv[12], 1e10)};
  params.seed = argc == 15 ? c_atoi(argv[14]) : 2222;

  write_params_head(params_file, params);
  const auto column = static_cast<int8_t>(c_atoi(argv[2]));
  const int unassigned = read_fitness_table(fitness_file, column, params.s, params.k,
                                            params.fitness, report_unknown_code);
  if (unassigned > 0) say::fitness_missing(fitness_name.c_str(), unassigned);
  write_params_fitness(params_file, params.fitness);
  if (engine_type::keeps_seed) write_params_seed(params_file, params.seed);
  if (std::ferror(params_file) != 0 || std::fclose(params_file) != 0) {
    return say::params_write_failed(params_name.c_str());
  }

  population_counts current{};
  population_counts next{};
  current[0] = params.generation_size;
  start_trajectory(trajectory);
  seed_engine(engine, params.seed);
  say::evolution_banner(record_interval);
  return run_generations(engine, 0, params, current, next, trajectory, trajectory_name);
}

TWOLOCUS_FOR_EACH_ENGINE(TWOLOCUS_FRESH_RUN)

}  // namespace twolocus
