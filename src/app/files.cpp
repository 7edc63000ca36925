#include "app/files.hpp"

#include <sys/stat.h>

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

}  // namespace twolocus
