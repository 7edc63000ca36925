// Tests of the trajectory writer: the header and record bytes, the flush after
// every field, and the reporting of write failures.
#include "io/trajectory.hpp"
#include "support/process.hpp"

#include <gtest/gtest.h>

#include <sys/types.h>

#include <climits>
#include <cstdio>
#include <string>
#include <vector>

namespace twolocus {
namespace {

// Everything written to `file` so far, read back from its start.
std::string contents(std::FILE* file) {
  std::fflush(file);
  std::rewind(file);
  std::string text;
  for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) text += static_cast<char>(c);
  return text;
}

// An output stream that keeps each chunk the C library hands it: one chunk
// per flush of a buffered stream. After `accepted` chunks every write fails.
struct chunk_sink {
  std::vector<std::string> chunks;
  size_t accepted = SIZE_MAX;
};

ssize_t write_chunk(void* cookie, const char* data, size_t size) {
  auto* sink = static_cast<chunk_sink*>(cookie);
  if (sink->chunks.size() >= sink->accepted) return -1;
  sink->chunks.emplace_back(data, size);
  return static_cast<ssize_t>(size);
}

std::FILE* open_sink(chunk_sink& sink) {
  cookie_io_functions_t functions{};
  functions.write = write_chunk;
  std::FILE* file = fopencookie(&sink, "w", functions);
  // A buffer of its own, far larger than a record, so that only flushes
  // hand data over.
  static char buffers[4][1 << 16];
  static size_t next_buffer = 0;
  std::setvbuf(file, buffers[next_buffer++ % 4], _IOFBF, sizeof buffers[0]);
  return file;
}

population_counts sample_counts() {
  population_counts counts{};
  for (size_t j = 0; j < counts.size(); ++j) counts[j] = static_cast<int32_t>(j * j) - 40;
  counts[10] = INT32_MAX;
  counts[11] = INT32_MIN;
  counts[80] = 0;
  return counts;
}

std::vector<std::string> record_fields(int32_t label, const population_counts& counts) {
  std::vector<std::string> fields = {std::to_string(label)};
  for (const int32_t c : counts) {
    std::string field = "\t";
    field += std::to_string(c);
    fields.push_back(field);
  }
  return fields;
}

std::string join(const std::vector<std::string>& parts) {
  std::string text;
  for (const std::string& part : parts) text += part;
  return text;
}

TEST(TrajectoryWriter, HeaderNamesTheGenotypesInIndexOrderIn416Bytes) {
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  write_header(file);
  const std::string text = contents(file);
  std::fclose(file);
  EXPECT_EQ(text.size(), 416u);
  EXPECT_EQ(text, testing::trajectory_header());
  EXPECT_EQ(text.substr(0, 40), "generation\t1111\t2111\t3111\t1211\t2211\t3211");
  EXPECT_EQ(text.substr(10 + 9 * 5, 5), "\t1121") << "index 9";
  EXPECT_EQ(text.substr(10 + 27 * 5, 5), "\t1112") << "index 27";
  EXPECT_EQ(text.substr(text.size() - 6), "\t3333\n");
}

TEST(TrajectoryWriter, RecordIsTheLabelAndEachCountBehindOneTab) {
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  const population_counts counts = sample_counts();
  EXPECT_TRUE(write_record(file, 400, counts));
  population_counts zeros{};
  EXPECT_TRUE(write_record(file, -3, zeros));
  const std::string text = contents(file);
  std::fclose(file);
  std::string expected = join(record_fields(400, counts)) + "\n" + "-3";
  for (int j = 0; j < 81; ++j) expected += "\t0";
  expected += "\n";
  EXPECT_EQ(text, expected);
  EXPECT_NE(text.find("\t2147483647\t-2147483648\t"), std::string::npos);
  EXPECT_EQ(text.substr(0, 12), "400\t-40\t-39\t");
}

TEST(TrajectoryWriter, RecordFlushesAfterTheLabelAndAfterEveryCount) {
  chunk_sink sink;
  std::FILE* file = open_sink(sink);
  ASSERT_NE(file, nullptr);
  const population_counts counts = sample_counts();
  EXPECT_TRUE(write_record(file, 200, counts));
  const std::vector<std::string> fields = record_fields(200, counts);
  // Each of the 82 fields went out by itself, the first before the record
  // was done; only the newline may still wait in the buffer.
  ASSERT_GE(sink.chunks.size(), fields.size());
  for (size_t i = 0; i < fields.size(); ++i) EXPECT_EQ(sink.chunks[i], fields[i]) << i;
  EXPECT_LE(sink.chunks.size(), fields.size() + 1);
  EXPECT_EQ(std::fclose(file), 0);
  EXPECT_EQ(join(sink.chunks), join(fields) + "\n");
}

// The repeated checkpoint record of a resume goes out whole or not at all,
// with the newline that ends the line before it.
TEST(TrajectoryWriter, ResumeRecordGoesOutInOneFlush) {
  chunk_sink sink;
  std::FILE* file = open_sink(sink);
  ASSERT_NE(file, nullptr);
  const population_counts counts = sample_counts();
  EXPECT_TRUE(append_resume_record(file, 1400, counts));
  ASSERT_EQ(sink.chunks.size(), 1u);
  std::string expected = "\n";
  expected += join(record_fields(1400, counts));
  expected += '\n';
  EXPECT_EQ(sink.chunks[0], expected);
  EXPECT_EQ(std::fclose(file), 0);

  chunk_sink failing;
  failing.accepted = 0;
  std::FILE* refused = open_sink(failing);
  EXPECT_FALSE(append_resume_record(refused, 0, counts));
  std::fclose(refused);
}

TEST(TrajectoryWriter, RecordFlushesEveryOutputStream) {
  chunk_sink trajectory_sink;
  chunk_sink other_sink;
  std::FILE* trajectory = open_sink(trajectory_sink);
  std::FILE* other = open_sink(other_sink);
  ASSERT_NE(trajectory, nullptr);
  ASSERT_NE(other, nullptr);
  std::fputs("pending text", other);
  EXPECT_TRUE(other_sink.chunks.empty());
  EXPECT_TRUE(write_record(trajectory, 0, population_counts{}));
  ASSERT_FALSE(other_sink.chunks.empty()) << "the other stream was flushed too";
  EXPECT_EQ(other_sink.chunks[0], "pending text");
  std::fclose(other);
  std::fclose(trajectory);
}

TEST(TrajectoryWriter, RecordReportsAFailedWrite) {
  for (const size_t accepted : {size_t{0}, size_t{1}, size_t{40}, size_t{81}}) {
    chunk_sink sink;
    sink.accepted = accepted;
    std::FILE* file = open_sink(sink);
    ASSERT_NE(file, nullptr);
    EXPECT_FALSE(write_record(file, 0, sample_counts())) << accepted << " fields accepted";
    std::fclose(file);
  }
  std::FILE* full = std::fopen("/dev/full", "w");
  ASSERT_NE(full, nullptr);
  EXPECT_FALSE(write_record(full, 0, population_counts{}));
  std::fclose(full);
}

}  // namespace
}  // namespace twolocus
