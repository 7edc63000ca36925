// A batch's description, OUT.batch: a first line "twolocus-sim batch 1",
// then first_replicate, replicates, threads and trajectories as "KEY =
// VALUE" lines in that order (keys and ranges from the table of
// parameters), each ended by a line end. Read strictly: exactly those
// lines, every value whole and in range.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace twolocus {

// The first line of every batch file.
inline constexpr const char* batch_first_line = "twolocus-sim batch 1";

// What a batch is: replicates F to F + R - 1, on T threads, with each
// replicate's files in a folder (empty: none).
struct batch_description {
  int64_t first = 0;
  int64_t replicates = 0;
  int threads = 1;
  std::string trajectories;
};

// Takes an open file and a batch; writes the description, flushes and
// closes the file. Returns whether it was written whole.
bool write_batch_file(std::FILE* file, const batch_description& batch);

// Takes a batch file's whole text; reads it into `batch`. Returns false
// when it is not what write_batch_file writes (a kill while it was being
// written leaves such a file).
bool read_batch_text(std::string_view text, batch_description& batch);

// Takes a batch file open at its start; reads at most 64 KiB of it as
// read_batch_text does.
bool read_batch_file(std::FILE* file, batch_description& batch);

}  // namespace twolocus
