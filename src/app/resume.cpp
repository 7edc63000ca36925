#include <cstdint>

#include "app/files.hpp"
#include "app/messages.hpp"
#include "app/readers.hpp"
#include "app/run.hpp"
#include "io/numbers.hpp"
#include "io/params.hpp"
#include "io/trajectory.hpp"

namespace twolocus {

namespace {

// A new n of -1 stands for none given.
constexpr int32_t no_new_n = -1;

// The seed an engine that does not keep its seed resumes with: the state an
// unseeded rand() starts from.
constexpr int32_t unseeded = 1;

// Takes the parameters in force, the seed line to write (if any) and the
// refreshed copy's name; writes the copy, or reports why it could not be
// written. The run goes on either way.
void write_refreshed_params(const run_params& params, std::optional<int32_t> seed,
                            const std::string& name) {
  std::FILE* file = open_file(name, "w");
  if (file == nullptr) {
    say::refreshed_unwritable(name.c_str());
    return;
  }
  write_params(file, params);
  if (seed) write_params_seed(file, *seed);
  const bool written = std::ferror(file) == 0;
  if (std::fclose(file) != 0 || !written) say::refreshed_write_failed(name.c_str());
}

}  // namespace

template <typename engine_type>
int resume_run(engine_type& engine, int argc, char** argv) {
  const std::string trajectory_name = argv[1];
  const std::string params_name = trajectory_name + ".params";
  const std::string refreshed_name = params_name + ".new";

  trajectory_output trajectory;
  if (!opened_or_reported(open_resumed_trajectory(trajectory_name, trajectory), trajectory_name,
                          [](const char* name) { say::output_unmodifiable(name); })) {
    return 1;
  }
  std::FILE* params_file = open_file(params_name, "r");
  if (params_file == nullptr) return say::params_unreadable(params_name.c_str());
  if (is_sim_params_file(params_file)) {
    std::fclose(params_file);
    return say::params_is_sim(params_name.c_str());
  }
  int32_t new_n = no_new_n;
  if (argc == 3) {
    new_n = c_atoi(argv[2]);
    say::new_n(new_n);
  }

  population_counts current{};
  population_counts next{};
  const auto checkpoint =
      restore_checkpoint(trajectory.file, trajectory_name.c_str(), current, next);
  if (!checkpoint) return 1;
  const int32_t m = *checkpoint;

  run_params params;
  if (!read_params_head_reported(params_file, params_name.c_str(), params)) return 1;
  if (new_n != no_new_n && new_n != params.n) {
    say::switching_n(params.n, new_n, params_name.c_str(), ".new");
    params.n = new_n;
  }
  int32_t seed = unseeded;
  if (params.n <= m) {
    say::nothing_to_do(params.n, params_name.c_str(), m, trajectory_name.c_str());
  } else {
    say::working_on(m, params.n);
    std::optional<int32_t> recorded_seed;
    if (!read_params_body_reported(params_file, params_name.c_str(), params, recorded_seed)) {
      return 1;
    }
    if (engine_type::keeps_seed) {
      if (!recorded_seed) say::no_seed(params_name.c_str(), params.seed);
      seed = params.seed = recorded_seed.value_or(params.seed);
      recorded_seed = seed;
    }
    // The copy keeps the seed line of the file it refreshes, whichever
    // program reads it next.
    write_refreshed_params(params, recorded_seed, refreshed_name);
  }

  // The newline ends a partial last line (or leaves an empty line after a
  // complete one), so the repeated checkpoint record starts a line of its own.
  if (!add_resume_record(trajectory, m, current)) {
    cut_back_trajectory(trajectory);
    return say::output_write_failed(trajectory_name.c_str());
  }
  std::fclose(params_file);
  seed_engine(engine, seed);
  return run_generations(engine, static_cast<int64_t>(m) + 1, params, current, next, trajectory,
                         trajectory_name);
}

TWOLOCUS_FOR_EACH_ENGINE(TWOLOCUS_RESUME_RUN)

}  // namespace twolocus
