// libFuzzer target of the batch file reader (OUT.batch): the input is the
// whole file. A file that reads is written back and read again, to the same
// batch, so that writing it again gives the same bytes.
#include <cstdlib>
#include <string>
#include <string_view>

#include "io/batch_file.hpp"

namespace {

std::string written(const twolocus::batch_description& batch) {
  char* buffer = nullptr;
  size_t size = 0;
  std::FILE* file = open_memstream(&buffer, &size);
  if (file == nullptr || !twolocus::write_batch_file(file, batch)) std::abort();
  std::string text(buffer, size);
  std::free(buffer);
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  twolocus::batch_description batch;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (!twolocus::read_batch_text(text, batch)) return 0;
  const std::string first = written(batch);
  twolocus::batch_description again;
  if (!twolocus::read_batch_text(first, again) || written(again) != first) std::abort();
  return 0;
}
