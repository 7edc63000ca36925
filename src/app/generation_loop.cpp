#include <algorithm>
#include <limits>

#include "app/files.hpp"
#include "app/messages.hpp"
#include "app/run.hpp"
#include "io/trajectory.hpp"

namespace twolocus {

namespace {

int32_t record_label(int64_t generation) {
  return static_cast<int32_t>(
      std::min<int64_t>(generation, std::numeric_limits<int32_t>::max()));
}

int write_failure(trajectory_output& trajectory, const std::string& name) {
  cut_back_trajectory(trajectory);
  return say::output_write_failed(name.c_str());
}

bool write_progress(trajectory_output& trajectory, int64_t generation,
                    const population_counts& counts) {
  std::fputc('.', stdout);
  flush_all_streams();
  return add_record(trajectory, record_label(generation), counts);
}

}  // namespace

template <typename engine_type>
int run_generations(engine_type& engine, int64_t first_generation, const run_params& params,
                    population_counts& current, population_counts& next,
                    trajectory_output& trajectory, const std::string& trajectory_name) {
  set_model(engine, general_params(params));
  int64_t generation = first_generation;
  for (; generation < params.n; ++generation) {
    run_generation(engine, current, next, generation);
    if (generation % record_interval == 0 && !write_progress(trajectory, generation, next)) {
      return write_failure(trajectory, trajectory_name);
    }
    current = next;
  }
  if (generation % record_interval != 0 && !write_progress(trajectory, generation, next)) {
    return write_failure(trajectory, trajectory_name);
  }
  if (!finish_trajectory(trajectory)) return write_failure(trajectory, trajectory_name);
  return 0;
}

TWOLOCUS_FOR_EACH_ENGINE(TWOLOCUS_RUN_GENERATIONS)

}  // namespace twolocus
