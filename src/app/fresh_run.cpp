#include <cstdint>

#include "app/files.hpp"
#include "app/run.hpp"
#include "io/fitness_table.hpp"
#include "io/numbers.hpp"
#include "io/params.hpp"
#include "io/trajectory.hpp"
#include "model/generation.hpp"

namespace twolocus {

namespace {

// Takes a count of the command line (whole percent or units of 10^-10) and
// its unit; returns the value in double precision.
double scaled(const char* argument, double unit) { return c_atoi(argument) / unit; }

}  // namespace

int fresh_run(int argc, char** argv) {
  const std::string fitness_name = argv[1];
  const std::string trajectory_name = argv[13];
  const std::string params_name = trajectory_name + ".params";

  std::FILE* fitness_file = open_file(fitness_name, "r");
  if (fitness_file == nullptr) {
    std::printf("Could not open fitness file [%s] to read.\n", fitness_name.c_str());
    return 1;
  }
  // Writing over the fitness table would destroy it before it is read.
  if (names_open_file(fitness_file, trajectory_name)) {
    std::printf("Output file [%s] is the fitness file.\n", trajectory_name.c_str());
    return 1;
  }
  if (names_open_file(fitness_file, params_name)) {
    std::printf("Param file [%s] is the fitness file.\n", params_name.c_str());
    return 1;
  }
  trajectory_output trajectory;
  if (!opened_or_reported(open_fresh_trajectory(trajectory_name, trajectory), trajectory_name,
                          "Could not open output file [%s] to write.\n")) {
    return 1;
  }
  std::FILE* params_file = open_file(params_name, "w");
  if (params_file == nullptr) {
    std::printf("Could not open param file [%s] to write.\n", params_name.c_str());
    return 1;
  }

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
  const int unassigned =
      read_fitness_table(fitness_file, column, params.s, params.k, params.fitness);
  if (unassigned > 0) {
    std::printf("Fitness file [%s] gives no fitness for [%d] genotypes; they get fitness 0.\n",
                fitness_name.c_str(), unassigned);
  }
  write_params_fitness(params_file, params.fitness);
  if (engine_keeps_seed()) write_params_seed(params_file, params.seed);
  if (std::ferror(params_file) != 0 || std::fclose(params_file) != 0) {
    std::printf("Could not write param file [%s].\n", params_name.c_str());
    return 1;
  }

  population_counts current{};
  population_counts next{};
  current[0] = params.generation_size;
  start_trajectory(trajectory);
  seed_generation(params.seed);
  std::printf("Doing the evolution (each dot = [%d] generations)...\n", record_interval);
  return run_generations(0, params, current, next, trajectory, trajectory_name);
}

}  // namespace twolocus
