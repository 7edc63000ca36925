// Opening the run's files by name, and the lock that keeps two runs from
// writing one trajectory file.
#pragma once

#include <cstdio>
#include <string>

#include "io/trajectory.hpp"

namespace twolocus {

// Takes a file name and an fopen mode; returns the open stream, or nullptr
// when the file cannot be opened in that mode or is a directory.
std::FILE* open_file(const std::string& name, const char* mode);

// Flushes every output stream, as after each progress dot.
void flush_all_streams();

// How opening a trajectory file for a run went.
enum class trajectory_opening { opened, cannot_open, in_use };

// Takes a fresh run's trajectory file name; opens it without truncating it
// (creating it if needed), takes the run's lock, and only then truncates it.
// Fills `output` (stream and guard) when opened; returns in_use, having
// changed nothing, when another run holds the lock.
trajectory_opening open_fresh_trajectory(const std::string& name, trajectory_output& output);

// Takes a resumed run's trajectory file name; opens it for reading and
// update ("r+") and takes the run's lock. Fills `output` when opened.
trajectory_opening open_resumed_trajectory(const std::string& name, trajectory_output& output);

// Takes how opening a trajectory file went, its name and what prints the
// message for a file that cannot be opened. Prints that message, or "Output
// file [%s] is in use by another run.\n"; returns whether the file was
// opened (and nothing was printed).
bool opened_or_reported(trajectory_opening opening, const std::string& name,
                        void (*report_cannot_open)(const char* name));

// Takes an open stream and a file name; returns whether the name, symbolic
// links followed, is the very file the stream reads (same device and inode).
bool names_open_file(std::FILE* file, const std::string& name);

}  // namespace twolocus
