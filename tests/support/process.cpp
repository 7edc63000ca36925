#include "support/process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

namespace twolocus::testing {

std::string trajectory_header() {
  std::string header = "generation";
  for (int index = 0; index < 81; ++index) {
    header += '\t';
    header += std::to_string(index % 3 + 1);
    header += std::to_string(index / 3 % 3 + 1);
    header += std::to_string(index / 9 % 3 + 1);
    header += std::to_string(index / 27 + 1);
  }
  header += '\n';
  return header;
}

std::string binary_path() { return TWOLOCUS_BINARY; }

std::string literal_binary_path() { return TWOLOCUS_LITERAL_BINARY; }

std::string multinomial_binary_path() { return TWOLOCUS_MULTINOMIAL_BINARY; }

std::string sim_binary_path() { return TWOLOCUS_SIM_BINARY; }

std::filesystem::path source_path(const std::string& relative) {
  return std::filesystem::path(TWOLOCUS_SOURCE_DIR) / relative;
}

namespace {

std::string drain(int fd) {
  std::string text;
  char buffer[4096];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got <= 0) break;
    text.append(buffer, static_cast<size_t>(got));
  }
  ::close(fd);
  return text;
}

int wait_status(pid_t pid) {
  int raw = 0;
  while (::waitpid(pid, &raw, 0) < 0) {
  }
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

started_run spawn(const std::string& binary, const std::vector<std::string>& args,
                  const std::filesystem::path& cwd, const std::string& program_name, int err_fd,
                  long long file_size_limit = -1) {
  int out_pipe[2];
  if (::pipe(out_pipe) != 0) throw std::runtime_error("pipe failed");
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    ::dup2(out_pipe[1], 1);
    if (err_fd >= 0) ::dup2(err_fd, 2);
    ::close(out_pipe[0]);
    ::close(out_pipe[1]);
    if (::chdir(cwd.c_str()) != 0) ::_exit(127);
    if (file_size_limit >= 0) {
      ::signal(SIGXFSZ, SIG_IGN);
      const rlimit limit{static_cast<rlim_t>(file_size_limit), static_cast<rlim_t>(file_size_limit)};
      if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(127);
    }
    std::vector<char*> argv;
    std::string name = program_name;
    argv.push_back(name.data());
    std::vector<std::string> copies = args;
    for (auto& arg : copies) argv.push_back(arg.data());
    argv.push_back(nullptr);
    ::execv(binary.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(out_pipe[1]);
  return {pid, out_pipe[0]};
}

}  // namespace

run_result run_program(const std::vector<std::string>& args, const std::filesystem::path& cwd,
                       const std::string& program_name) {
  return run_program_at(binary_path(), args, cwd, program_name);
}

namespace {

run_result run_and_wait(const std::string& binary, const std::vector<std::string>& args,
                        const std::filesystem::path& cwd, const std::string& program_name,
                        long long file_size_limit) {
  char err_name[] = "/tmp/twolocus-err-XXXXXX";
  const int err_fd = ::mkstemp(err_name);
  const started_run run = spawn(binary, args, cwd, program_name, err_fd, file_size_limit);
  run_result result;
  result.out = drain(run.out_fd);
  result.status = wait_status(run.pid);
  ::close(err_fd);
  result.err = read_file(err_name);
  ::unlink(err_name);
  return result;
}

}  // namespace

run_result run_program_at(const std::string& binary, const std::vector<std::string>& args,
                          const std::filesystem::path& cwd, const std::string& program_name) {
  return run_and_wait(binary, args, cwd, program_name, -1);
}

run_result run_program_limited(const std::vector<std::string>& args,
                               const std::filesystem::path& cwd, long long file_size_limit) {
  return run_and_wait(binary_path(), args, cwd, "twolocus", file_size_limit);
}

run_result run_program_limited_at(const std::string& binary, const std::vector<std::string>& args,
                                  const std::filesystem::path& cwd, long long file_size_limit) {
  return run_and_wait(binary, args, cwd, "twolocus-sim", file_size_limit);
}

started_run start_program(const std::vector<std::string>& args, const std::filesystem::path& cwd,
                          const std::string& program_name) {
  return spawn(binary_path(), args, cwd, program_name, -1);
}

started_run start_program_at(const std::string& binary, const std::vector<std::string>& args,
                             const std::filesystem::path& cwd, const std::string& program_name) {
  return spawn(binary, args, cwd, program_name, -1);
}

run_result finish_program(const started_run& run) {
  run_result result;
  result.out = drain(run.out_fd);
  result.status = wait_status(run.pid);
  return result;
}

run_result run_program_with(const std::string& binary, const std::vector<std::string>& args,
                            const std::filesystem::path& cwd, const std::string& program_name,
                            const run_limits& limits) {
  int master = -1;
  int err_fd = -1;
  char err_name[] = "/tmp/twolocus-err-XXXXXX";
  if (limits.terminal) {
    master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
      throw std::runtime_error("no pseudo-terminal");
    }
    err_fd = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
  } else {
    err_fd = ::mkstemp(err_name);
  }
  if (err_fd < 0) throw std::runtime_error("no standard error for the run");
  int out_pipe[2];
  if (::pipe(out_pipe) != 0) throw std::runtime_error("pipe failed");
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    ::dup2(out_pipe[1], 1);
    ::dup2(err_fd, 2);
    ::close(out_pipe[0]);
    ::close(out_pipe[1]);
    if (master >= 0) ::close(master);
    if (::chdir(cwd.c_str()) != 0) ::_exit(127);
    if (limits.address_space >= 0) {
      const rlimit limit{static_cast<rlim_t>(limits.address_space),
                         static_cast<rlim_t>(limits.address_space)};
      if (::setrlimit(RLIMIT_AS, &limit) != 0) ::_exit(127);
    }
    if (limits.open_files >= 0) {
      const rlimit limit{static_cast<rlim_t>(limits.open_files),
                         static_cast<rlim_t>(limits.open_files)};
      if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) ::_exit(127);
    }
    std::vector<char*> argv;
    std::string name = program_name;
    argv.push_back(name.data());
    std::vector<std::string> copies = args;
    for (auto& arg : copies) argv.push_back(arg.data());
    argv.push_back(nullptr);
    ::execv(binary.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(out_pipe[1]);
  if (limits.terminal) ::close(err_fd);
  // Both outputs are read as they come (a terminal's buffer is small), until
  // the run ends or its deadline passes.
  run_result result;
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::duration<double>(limits.seconds);
  pollfd watched[2] = {{out_pipe[0], POLLIN, 0}, {master, POLLIN, 0}};
  int raw = 0;
  rusage usage{};
  bool ended = false;
  for (;;) {
    if (!ended && ::wait4(pid, &raw, WNOHANG, &usage) == pid) ended = true;
    if (!ended && limits.seconds > 0 && std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::wait4(pid, &raw, 0, &usage);
      ended = true;
      result.timed_out = true;
    }
    const int ready = ::poll(watched, 2, ended ? 0 : 10);
    bool got = false;
    for (int i = 0; i < 2 && ready > 0; ++i) {
      if (watched[i].fd < 0 || watched[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t read = ::read(watched[i].fd, buffer, sizeof buffer);
      if (read > 0) {
        (i == 0 ? result.out : result.err).append(buffer, static_cast<size_t>(read));
        got = true;
      } else {
        ::close(watched[i].fd);
        watched[i].fd = -1;
      }
    }
    if (ended && !got) break;
  }
  for (const pollfd& fd : watched) {
    if (fd.fd >= 0) ::close(fd.fd);
  }
  result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  result.max_rss_kb = usage.ru_maxrss;
  if (!limits.terminal) {
    ::close(err_fd);
    result.err = read_file(err_name);
    ::unlink(err_name);
  }
  return result;
}

std::chrono::microseconds kill_moment(std::mt19937& random, std::chrono::microseconds span) {
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  const bool early = random() % 8 == 0;
  const double us = unit(random) * (early ? 3000.0 : static_cast<double>(span.count()));
  return std::chrono::microseconds(static_cast<long long>(us));
}

temp_dir::temp_dir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "twolocus-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path = pattern;
}

temp_dir::~temp_dir() {
  std::error_code ignored;
  std::filesystem::permissions(path, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(path, ignored);
}

run_result run_sim(const std::vector<std::string>& args, const temp_dir& dir) {
  return run_program_at(sim_binary_path(), args, dir.path, "twolocus-sim");
}

std::vector<std::string> with(std::vector<std::string> args, const std::vector<std::string>& more) {
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

std::string read_file(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_file(const std::filesystem::path& file, const std::string& text) {
  std::ofstream out(file, std::ios::binary);
  out << text;
}

std::string uniform_fitness_table(int code_column1, int code_column2) {
  std::ostringstream table;
  for (int index = 0; index < 81; ++index) {
    table << (index % 3 + 1) << '\t' << (index / 3 % 3 + 1) << '\t' << (index / 9 % 3 + 1)
          << '\t' << (index / 27 + 1) << '\t' << code_column1 << '\t' << code_column2 << '\n';
  }
  return table.str();
}

}  // namespace twolocus::testing
