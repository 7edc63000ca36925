#include "run/files.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>


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

bool names_open_file(std::FILE* file, const std::string& name) {
  struct stat named {};
  struct stat opened {};
  return stat(name.c_str(), &named) == 0 && fstat(fileno(file), &opened) == 0 &&
         named.st_dev == opened.st_dev && named.st_ino == opened.st_ino;
}

namespace {

// Takes an open descriptor; returns whether it is a regular file, and makes
// its later reads and writes wait as usual.
bool keep_if_regular(int descriptor) {
  struct stat status {};
  if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) return false;
  const int flags = fcntl(descriptor, F_GETFL);
  return flags >= 0 && fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

}  // namespace

regular_opening open_regular(const std::string& name, const char* mode) {
  const std::string how = mode;
  int flags = O_CLOEXEC | O_NONBLOCK;
  if (how == "r") {
    flags |= O_RDONLY;
  } else if (how == "r+") {
    flags |= O_RDWR;
  } else if (how == "w") {
    flags |= O_WRONLY | O_CREAT;
  } else {
    flags |= O_WRONLY | O_CREAT | O_APPEND;
  }
  regular_opening opening;
  const int descriptor = open(name.c_str(), flags, 0666);
  if (descriptor < 0) {
    // A FIFO without a reader cannot be opened for writing without waiting.
    opening.not_regular = errno == ENXIO || errno == EISDIR;
    return opening;
  }
  if (!keep_if_regular(descriptor)) {
    close(descriptor);
    opening.not_regular = true;
    return opening;
  }
  if (how == "w" && ftruncate(descriptor, 0) != 0) {
    close(descriptor);
    return opening;
  }
  opening.file = fdopen(descriptor, how == "r" ? "r" : how == "r+" ? "r+" : how == "w" ? "w" : "a");
  if (opening.file == nullptr) close(descriptor);
  return opening;
}

bool regular_or_missing(const std::string& name) {
  struct stat status {};
  if (stat(name.c_str(), &status) != 0) return errno == ENOENT;
  return S_ISREG(status.st_mode);
}

trajectory_opening open_locked_output(const std::string& name, bool fresh, bool create,
                                      trajectory_output& output) {
  const int flags = O_CLOEXEC | O_NONBLOCK | (fresh ? O_WRONLY | O_CREAT : O_RDWR) |
                    (create ? O_CREAT : 0);
  const int guard = open(name.c_str(), flags, 0666);
  if (guard < 0) {
    return errno == ENXIO || errno == EISDIR ? trajectory_opening::not_regular
                                             : trajectory_opening::cannot_open;
  }
  if (!keep_if_regular(guard)) {
    close(guard);
    return trajectory_opening::not_regular;
  }
  if (!lock_trajectory(guard)) {
    close(guard);
    return trajectory_opening::in_use;
  }
  if (fresh && ftruncate(guard, 0) != 0) {
    close(guard);
    return trajectory_opening::cannot_open;
  }
  // The stream gets a descriptor of its own, so that closing it keeps the lock.
  const int stream_descriptor = fcntl(guard, F_DUPFD_CLOEXEC, 0);
  std::FILE* file = stream_descriptor < 0 ? nullptr : fdopen(stream_descriptor, fresh ? "w" : "r+");
  if (file == nullptr) {
    if (stream_descriptor >= 0) close(stream_descriptor);
    close(guard);
    return trajectory_opening::cannot_open;
  }
  output.file = file;
  output.guard = guard;
  return trajectory_opening::opened;
}

std::optional<file_identity> identity_of(const std::string& name) {
  struct stat status {};
  if (stat(name.c_str(), &status) != 0) return std::nullopt;
  return file_identity{status.st_dev, status.st_ino};
}

std::optional<file_identity> identity_of(std::FILE* file) {
  struct stat status {};
  if (fstat(fileno(file), &status) != 0) return std::nullopt;
  return file_identity{status.st_dev, status.st_ino};
}

const input_file* input_named_by(const std::string& name, const std::vector<input_file>& inputs) {
  const auto identity = identity_of(name);
  if (!identity) return nullptr;
  for (const input_file& input : inputs) {
    if (input.identity == *identity) return &input;
  }
  return nullptr;
}

}  // namespace twolocus
