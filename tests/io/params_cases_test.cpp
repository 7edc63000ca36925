// The shared parameter-file cases (tests/cases/params/): each file with the
// verdict twolocus prints for it (the reader's outcome as the program
// reports it), "ok" or its one line with the file's name
// written {file}. The Python reader's tests run the same table, so the two
// readers cannot drift apart.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <optional>
#include <string>

#include "run/classic.hpp"
#include "io/params.hpp"
#include "support/process.hpp"

namespace twolocus {
namespace {

// The parameter file's reading as the classic resume reports it, printed.
bool read_params_head_reported(std::FILE* file, const char* name, run_params& params) {
  const auto failure = read_classic_params_head(file, name, params);
  if (failure) std::fputs(failure->text.c_str(), stdout);
  return !failure;
}
bool read_params_body_reported(std::FILE* file, const char* name, run_params& params,
                               std::optional<int32_t>& seed) {
  const auto failure = read_classic_params_body(file, name, params, seed);
  if (failure) std::fputs(failure->text.c_str(), stdout);
  return !failure;
}


// Takes a case's path; returns "ok" or the line the reader printed (without
// its newline), with the path written {file}.
std::string verdict_of(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "r");
  if (file == nullptr) return "cannot open " + path;
  run_params params;
  std::optional<int32_t> seed;
  ::testing::internal::CaptureStdout();
  const bool read = read_params_head_reported(file, path.c_str(), params) &&
                    read_params_body_reported(file, path.c_str(), params, seed);
  std::string out = ::testing::internal::GetCapturedStdout();
  std::fclose(file);
  if (read) return out.empty() ? "ok" : "ok, but printed " + out;
  if (!out.empty() && out.back() == '\n') out.pop_back();
  for (size_t at = out.find(path); at != std::string::npos; at = out.find(path, at)) {
    out.replace(at, path.size(), "{file}");
  }
  return out;
}

TEST(ParamsCases, EachCaseGetsItsVerdict) {
  const auto folder = testing::source_path("tests/cases/params");
  std::ifstream table(folder / "verdicts.tsv");
  std::string line;
  std::getline(table, line);  // the column names
  int cases = 0;
  while (std::getline(table, line)) {
    const size_t tab = line.find('\t');
    ASSERT_NE(tab, std::string::npos) << line;
    const std::string name = line.substr(0, tab);
    EXPECT_EQ(verdict_of((folder / name).string()), line.substr(tab + 1)) << name;
    ++cases;
  }
  EXPECT_GT(cases, 30);
}

}  // namespace
}  // namespace twolocus
