// Number and token reading shared by the command line and the text formats.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>

namespace twolocus {

// A line buffer: a longer line arrives in pieces of at most 4095 characters.
using line_buffer = std::array<char, 4096>;

// Takes a NUL-terminated text; returns what the GNU C library's atoi gives
// on 64-bit Linux: strtol's value (saturated at the 64-bit range), then its
// low 32 bits as a two's-complement integer. "7.5" gives 7, a word gives 0.
int32_t c_atoi(const char* text);

// Takes a NUL-terminated text; returns its leading floating-point number as
// strtod reads it (0 when there is none).
double c_atof(const char* text);

// Takes a cursor into a writable NUL-terminated text and a set of delimiter
// characters. Skips delimiters, ends the token that follows with a NUL (in
// place) and moves the cursor past it; returns the token, or nullptr when
// only delimiters are left. Runs of delimiters separate like one.
char* next_token(char*& cursor, const char* delimiters);

// Takes an open file and a buffer; reads one line or piece of a line as
// fgets does. Returns false at the end of the file.
bool read_line(std::FILE* file, line_buffer& line);

}  // namespace twolocus
