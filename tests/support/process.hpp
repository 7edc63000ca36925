// Test support: running the built program, temporary folders and files.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace twolocus::testing {

// What a finished run of the program printed and how it ended.
struct run_result {
  std::string out;   // standard output
  std::string err;   // standard error
  int status = -1;   // exit status, or -1 when it did not exit normally
  long max_rss_kb = 0;     // peak resident memory (run_program_with only)
  bool timed_out = false;  // killed at its deadline (run_program_with only)
};

// What every invocation of a program named "twolocus" prints first.
inline const std::string banner = "Called [twolocus] version 110303\nrand_max=[2147483647].\n";

// The trajectory header line: "generation", then a tab and the label of each
// genotype in index order (first allele digit fastest), then a newline.
std::string trajectory_header();

// Path of the program under test.
std::string binary_path();

// Path of the same program built with the literal steps and the C library's
// rand().
std::string literal_binary_path();

// Path of the class-count program, twolocus-multinomial.
std::string multinomial_binary_path();

// Path of the general program, twolocus-sim.
std::string sim_binary_path();

// Path of a file of the source tree, given relative to its top.
std::filesystem::path source_path(const std::string& relative);

// Runs the program under test with `args` (argv[0] is `program_name`) in the
// folder `cwd` and waits for it.
run_result run_program(const std::vector<std::string>& args,
                       const std::filesystem::path& cwd = std::filesystem::current_path(),
                       const std::string& program_name = "twolocus");

// A started run: its process id and the read end of its standard output.
struct started_run {
  pid_t pid = -1;
  int out_fd = -1;
};

// Runs another build of the program, at `binary`, like run_program.
run_result run_program_at(const std::string& binary, const std::vector<std::string>& args,
                          const std::filesystem::path& cwd,
                          const std::string& program_name = "twolocus");

// Runs the program under test like run_program, with files limited to
// `file_size_limit` bytes and SIGXFSZ ignored, so that a write beyond the
// limit fails as on a full disk.
run_result run_program_limited(const std::vector<std::string>& args,
                               const std::filesystem::path& cwd, long long file_size_limit);

// The same for another build of the program, at `binary`.
run_result run_program_limited_at(const std::string& binary, const std::vector<std::string>& args,
                                  const std::filesystem::path& cwd, long long file_size_limit);

// Starts the program under test like run_program, without waiting.
started_run start_program(const std::vector<std::string>& args, const std::filesystem::path& cwd,
                          const std::string& program_name = "twolocus");

// Starts another build of the program, at `binary`, like start_program.
started_run start_program_at(const std::string& binary, const std::vector<std::string>& args,
                             const std::filesystem::path& cwd,
                             const std::string& program_name = "twolocus");

// Reads the rest of a started run's output and waits for it; `status` is -1
// when it was killed.
run_result finish_program(const started_run& run);

// What run_program_with puts on a run: a limit on its address space in
// bytes and on its open files (-1: none), a deadline in seconds after which
// it is killed (0: none), and whether its standard error is a terminal (a
// pseudo-terminal, whose output is then the result's `err`).
struct run_limits {
  long long address_space = -1;
  long long open_files = -1;
  double seconds = 0;
  bool terminal = false;
};

// Runs the program at `binary` like run_program_at, under `limits`; the
// result also has its peak resident memory.
run_result run_program_with(const std::string& binary, const std::vector<std::string>& args,
                            const std::filesystem::path& cwd, const std::string& program_name,
                            const run_limits& limits);

// A moment to kill a run at, counted from its start: one time in eight,
// within its first 3 ms (before its files are whole, or inside them);
// otherwise anywhere in `span`. Tests give a share of how long the
// uninterrupted run took on this machine, so that kills land inside the run
// however slow or loaded the machine is.
std::chrono::microseconds kill_moment(std::mt19937& random, std::chrono::microseconds span);

// Runs `run` and returns how long it took.
template <typename run_type>
std::chrono::microseconds time_of(run_type&& run) {
  const auto started = std::chrono::steady_clock::now();
  run();
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() -
                                                               started);
}

// A fresh empty folder, removed with everything in it at destruction.
struct temp_dir {
  temp_dir();
  ~temp_dir();
  temp_dir(const temp_dir&) = delete;
  temp_dir& operator=(const temp_dir&) = delete;
  std::filesystem::path path;
  std::filesystem::path operator/(const std::string& name) const { return path / name; }
};

std::string read_file(const std::filesystem::path& file);
void write_file(const std::filesystem::path& file, const std::string& text);

// Runs twolocus-sim with `args` in `dir`; returns its status and output.
run_result run_sim(const std::vector<std::string>& args, const temp_dir& dir);

// `args` followed by `more`.
std::vector<std::string> with(std::vector<std::string> args, const std::vector<std::string>& more);

// A fitness table of all 81 genotypes in index order, with two code
// columns holding the same code on every line.
std::string uniform_fitness_table(int code_column1, int code_column2);

}  // namespace twolocus::testing
