// Shared by the fuzz targets: the readers take a FILE*, so each input is
// handed to them as a read-only memory stream, and their console messages
// (which go to standard output) are sent to /dev/null once, so that the
// fuzzer spends its time in the readers rather than in terminal writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace twolocus::fuzz {

// Sends standard output to /dev/null; called from LLVMFuzzerInitialize.
inline void silence_stdout() {
  if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
}

// Takes bytes; returns a stream that reads exactly them (an empty input
// reads as an empty file), or aborts when no stream can be made.
inline std::FILE* stream_of(const uint8_t* data, size_t size) {
  // fmemopen wants a writable buffer even in read mode, and refuses size 0.
  std::FILE* file = size == 0 ? std::fopen("/dev/null", "r")
                              : fmemopen(const_cast<uint8_t*>(data), size, "r");
  if (file == nullptr) std::abort();
  return file;
}

}  // namespace twolocus::fuzz
