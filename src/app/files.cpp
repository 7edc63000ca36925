#include "app/files.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "app/messages.hpp"

namespace twolocus {

std::FILE* open_file(const std::string& name, const char* mode) {
  std::FILE* file = std::fopen(name.c_str(), mode);
  if (file == nullptr) return nullptr;
  // Reading a directory "succeeds" on some systems and then yields nothing.
  struct stat status {};
  if (fstat(fileno(file), &status) == 0 && S_ISDIR(status.st_mode)) {
    std::fclose(file);
    return nullptr;
  }
  return file;
}

void flush_all_streams() { std::fflush(nullptr); }

namespace {

// Takes a descriptor of the trajectory file; takes an exclusive lock on its
// open file, held until the descriptor closes at exit. Returns false only
// when another run holds it: where the file system keeps no locks (ENOLCK,
// ENOSYS, EOPNOTSUPP, EINVAL and the like), the run goes on unlocked.
bool lock_trajectory(int descriptor) {
  int result = 0;
  do {
    result = flock(descriptor, LOCK_EX | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  return result == 0 || errno != EWOULDBLOCK;
}

}  // namespace

trajectory_opening open_fresh_trajectory(const std::string& name, trajectory_output& output) {
  const int guard = open(name.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (guard < 0) return trajectory_opening::cannot_open;
  if (!lock_trajectory(guard)) {
    close(guard);
    return trajectory_opening::in_use;
  }
  struct stat status {};
  if (fstat(guard, &status) != 0 || (S_ISREG(status.st_mode) && ftruncate(guard, 0) != 0)) {
    close(guard);
    return trajectory_opening::cannot_open;
  }
  // The stream gets a descriptor of its own, so that closing it keeps the lock.
  const int stream_descriptor = fcntl(guard, F_DUPFD_CLOEXEC, 0);
  std::FILE* file = stream_descriptor < 0 ? nullptr : fdopen(stream_descriptor, "w");
  if (file == nullptr) {
    if (stream_descriptor >= 0) close(stream_descriptor);
    close(guard);
    return trajectory_opening::cannot_open;
  }
  output.file = file;
  output.guard = guard;
  return trajectory_opening::opened;
}

trajectory_opening open_resumed_trajectory(const std::string& name, trajectory_output& output) {
  std::FILE* file = open_file(name, "r+");
  if (file == nullptr) return trajectory_opening::cannot_open;
  const int guard = fcntl(fileno(file), F_DUPFD_CLOEXEC, 0);
  if (guard < 0) {
    std::fclose(file);
    return trajectory_opening::cannot_open;
  }
  if (!lock_trajectory(guard)) {
    std::fclose(file);
    close(guard);
    return trajectory_opening::in_use;
  }
  output.file = file;
  output.guard = guard;
  return trajectory_opening::opened;
}

bool opened_or_reported(trajectory_opening opening, const std::string& name,
                        void (*report_cannot_open)(const char* name)) {
  switch (opening) {
    case trajectory_opening::opened: return true;
    case trajectory_opening::in_use:
      say::output_in_use(name.c_str());
      return false;
    case trajectory_opening::cannot_open: break;
  }
  report_cannot_open(name.c_str());
  return false;
}

bool names_open_file(std::FILE* file, const std::string& name) {
  struct stat named {};
  struct stat opened {};
  return stat(name.c_str(), &named) == 0 && fstat(fileno(file), &opened) == 0 &&
         named.st_dev == opened.st_dev && named.st_ino == opened.st_ino;
}

}  // namespace twolocus
