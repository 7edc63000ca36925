#include "io/numbers.hpp"

#include <cstdlib>
#include <cstring>

namespace twolocus {

int32_t c_atoi(const char* text) {
  const long long value = std::strtoll(text, nullptr, 10);
  // Conversion to a narrower signed type is modular since C++20.
  return static_cast<int32_t>(value);
}

double c_atof(const char* text) { return std::strtod(text, nullptr); }

char* next_token(char*& cursor, const char* delimiters) {
  char* start = cursor + std::strspn(cursor, delimiters);
  if (*start == '\0') {
    cursor = start;
    return nullptr;
  }
  char* end = start + std::strcspn(start, delimiters);
  if (*end != '\0') {
    *end = '\0';
    ++end;
  }
  cursor = end;
  return start;
}

bool read_line(std::FILE* file, line_buffer& line) {
  return std::fgets(line.data(), static_cast<int>(line.size()), file) != nullptr;
}

}  // namespace twolocus
