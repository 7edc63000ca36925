// Opening the run's files by name.
#pragma once

#include <cstdio>
#include <string>

namespace twolocus {

// Takes a file name and an fopen mode; returns the open stream, or nullptr
// when the file cannot be opened in that mode or is a directory.
std::FILE* open_file(const std::string& name, const char* mode);

// Flushes every output stream, as after each progress dot.
void flush_all_streams();

}  // namespace twolocus
