#include <cstdint>

#include "app/files.hpp"
#include "app/run.hpp"
#include "io/numbers.hpp"
#include "io/params.hpp"
#include "io/trajectory.hpp"
#include "model/generation.hpp"

namespace twolocus {

namespace {

// A new n of -1 stands for none given.
constexpr int32_t no_new_n = -1;

// Takes the parameters in force and the refreshed copy's name; writes the
// copy, or reports why it could not be written. The run goes on either way.
void write_refreshed_params(const run_params& params, const std::string& name) {
  std::FILE* file = open_file(name, "w");
  if (file == nullptr) {
    std::printf("Could not open [%s] to write.\n", name.c_str());
    return;
  }
  write_params(file, params);
  if (engine_keeps_seed()) write_params_seed(file, params.seed);
  const bool written = std::ferror(file) == 0;
  if (std::fclose(file) != 0 || !written) std::printf("Could not write [%s].\n", name.c_str());
}

}  // namespace

int resume_run(int argc, char** argv) {
  const std::string trajectory_name = argv[1];
  const std::string params_name = trajectory_name + ".params";
  const std::string refreshed_name = params_name + ".new";

  trajectory_output trajectory;
  if (!opened_or_reported(open_resumed_trajectory(trajectory_name, trajectory), trajectory_name,
                          "Could not open output file [%s] to read and modify.\n")) {
    return 1;
  }
  std::FILE* params_file = open_file(params_name, "r");
  if (params_file == nullptr) {
    std::printf("Could not open param file [%s] to read.\n", params_name.c_str());
    return 1;
  }
  int32_t new_n = no_new_n;
  if (argc == 3) {
    new_n = c_atoi(argv[2]);
    std::printf("New n is [%d].\n", new_n);
  }

  population_counts current{};
  population_counts next{};
  const auto checkpoint = read_checkpoint(trajectory.file, trajectory_name.c_str(), current, next);
  if (!checkpoint) return 1;
  const int32_t m = *checkpoint;

  run_params params;
  if (!read_params_head(params_file, params_name.c_str(), params)) return 1;
  if (new_n != no_new_n && new_n != params.n) {
    std::printf(
        "Switching n from [%d] (param file version) to [%d] (command line version). (Upon "
        "completion, look in \"%s%s\" for a parameter set reflecting this change)\n",
        params.n, new_n, params_name.c_str(), ".new");
    params.n = new_n;
  }
  if (params.n <= m) {
    std::printf(
        "%d (n, according to the param file [%s]) <= %d (where we left off according to the "
        "output file [%s]). Nothing to do.\n",
        params.n, params_name.c_str(), m, trajectory_name.c_str());
  } else {
    std::printf("Working on generations [%d] through [%d].\n", m, params.n);
    std::optional<int32_t> seed;
    if (!read_params_body(params_file, params_name.c_str(), params, seed)) return 1;
    if (engine_keeps_seed()) {
      if (!seed) std::printf("No seed in [%s]; using [%d].\n", params_name.c_str(), params.seed);
      params.seed = seed.value_or(params.seed);
      seed_generation(params.seed);
    }
    write_refreshed_params(params, refreshed_name);
  }

  // The newline ends a partial last line (or leaves an empty line after a
  // complete one), so the repeated checkpoint record starts a line of its own.
  if (!add_resume_record(trajectory, m, current)) {
    cut_back_trajectory(trajectory);
    std::printf("Could not write output file [%s].\n", trajectory_name.c_str());
    return 1;
  }
  std::fclose(params_file);
  return run_generations(static_cast<int64_t>(m) + 1, params, current, next, trajectory,
                         trajectory_name);
}

}  // namespace twolocus
