// Parameter files that fuzzing found mishandled (tests/fuzz/regressions/params/),
// fed to the reader in the normal and sanitizer builds. Each of them reads,
// and what the program writes from the parameters read must read back to
// the same bytes, as it must for the .params.new of a resume.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>

#include "io/params.hpp"
#include "support/process.hpp"

namespace twolocus {
namespace {

struct params_reading {
  bool read = false;
  run_params params;
  std::optional<int32_t> seed;
};

params_reading read_params_file(const std::filesystem::path& path) {
  params_reading result;
  std::FILE* file = std::fopen(path.c_str(), "r");
  if (file == nullptr) return result;
  ::testing::internal::CaptureStdout();
  result.read = read_params_head(file, result.params) &&
                read_params_body(file, result.params, result.seed).result ==
                    params_body_reading::outcome::read;
  ::testing::internal::GetCapturedStdout();
  std::fclose(file);
  return result;
}

std::string written(const params_reading& reading, const std::filesystem::path& path) {
  std::FILE* file = std::fopen(path.c_str(), "w");
  if (file == nullptr) return {};
  write_params(file, reading.params);
  if (reading.seed) write_params_seed(file, *reading.seed);
  std::fclose(file);
  return testing::read_file(path);
}

TEST(ParamsFuzzRegressions, EachFileReadsAndWhatIsWrittenFromItReadsBackToTheSameBytes) {
  const auto folder = testing::source_path("tests/fuzz/regressions/params");
  testing::temp_dir dir;
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    SCOPED_TRACE(entry.path().filename().string());
    ++files;
    const params_reading first = read_params_file(entry.path());
    ASSERT_TRUE(first.read);
    const std::string text = written(first, dir / "first.params");
    const params_reading again = read_params_file(dir / "first.params");
    ASSERT_TRUE(again.read);
    EXPECT_EQ(again.seed, first.seed);
    EXPECT_EQ(written(again, dir / "again.params"), text);
  }
  EXPECT_GT(files, 0);
}

}  // namespace
}  // namespace twolocus
