// Opening a run's files by name, and the lock that keeps two runs from
// writing one output.
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "io/trajectory.hpp"

namespace twolocus {

// Takes a file name and an fopen mode; returns the open stream, or nullptr
// when the file cannot be opened in that mode or is a directory.
std::FILE* open_file(const std::string& name, const char* mode);

// Flushes every output stream, as after each progress dot.
void flush_all_streams();

// How opening a trajectory file for a run went.
enum class trajectory_opening { opened, cannot_open, in_use, not_regular };

// Takes a fresh run's trajectory file name; opens it without truncating it
// (creating it if needed), takes the run's lock, and only then truncates it.
// Fills `output` (stream and guard) when opened; returns in_use, having
// changed nothing, when another run holds the lock.
trajectory_opening open_fresh_trajectory(const std::string& name, trajectory_output& output);

// Takes a resumed run's trajectory file name; opens it for reading and
// update ("r+") and takes the run's lock. Fills `output` when opened.
trajectory_opening open_resumed_trajectory(const std::string& name, trajectory_output& output);

// Takes an open stream and a file name; returns whether the name, symbolic
// links followed, is the very file the stream reads (same device and inode).
bool names_open_file(std::FILE* file, const std::string& name);

// twolocus-sim's files. None of these ever waits: a FIFO is opened without
// blocking and refused, as is anything else that is not a regular file (a
// device such as /dev/zero, a folder).

// A file opened by open_regular: the stream, or nullptr with `not_regular`
// telling whether the name was there but not a regular file.
struct regular_opening {
  std::FILE* file = nullptr;
  bool not_regular = false;
};

// Takes a file name and an fopen mode ("r", "r+", "w" or "a"); opens the
// file when it is a regular file (or, but for "r" and "r+", missing: then it
// is created). "w" truncates only once the file is known to be regular.
regular_opening open_regular(const std::string& name, const char* mode);

// Takes a file name; returns whether it names nothing, or a regular file
// (symbolic links followed).
bool regular_or_missing(const std::string& name);

// Takes a run's output name OUT, whether the run is fresh and, for a
// resume, whether a missing OUT may be created; opens OUT as a regular file
// (fresh: created if needed; resumed: for reading and update) and takes the
// lock that covers every file of the name: every twolocus-sim run, single
// or batch, holds it while it runs. A fresh OUT is truncated once locked.
// Fills `output` when opened; returns in_use, having changed nothing, when
// another run holds the lock.
trajectory_opening open_locked_output(const std::string& name, bool fresh, bool create,
                                      trajectory_output& output);

// A file's identity: its device and inode.
struct file_identity {
  dev_t device = 0;
  ino_t inode = 0;
  bool operator==(const file_identity&) const = default;
};

// Takes a file name; returns the identity of the file it names (symbolic
// links followed), or nothing when there is none.
std::optional<file_identity> identity_of(const std::string& name);

// Takes an open stream; returns the identity of its file, or nothing.
std::optional<file_identity> identity_of(std::FILE* file);

// An input a run read: its name as given and its file's identity, so that
// no output is written over it (also through a link).
struct input_file {
  std::string name;
  file_identity identity;
};

// Takes a file name and the inputs; returns the input it names, or nullptr.
const input_file* input_named_by(const std::string& name, const std::vector<input_file>& inputs);

}  // namespace twolocus
