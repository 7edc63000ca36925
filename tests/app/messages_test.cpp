// The table of messages: one entry a line of messages.def (as the Python
// tools and the documentation read it), unique identifiers, one line each
// (the banner and the usage: two), and every entry printed by the programs
// (made by the run library or the programs' command lines) or raised by the
// Python module.
#include "app/messages.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>

#include "support/process.hpp"

namespace twolocus {
namespace {

using testing::read_file;
using testing::source_path;

TEST(Messages, TheTableIsOneEntryALineEachPrintedByTheProgramsAndOneLineLong) {
  const std::string table = read_file(source_path("src/run/messages.def"));
  std::string program;
  for (const char* folder : {"src/app", "src/run", "src/python"}) {
    for (const auto& unit : std::filesystem::directory_iterator(source_path(folder))) {
      if (unit.path().extension() == ".cpp") program += read_file(unit.path());
    }
  }
  std::set<std::string_view> identifiers;
  size_t lines = 0;
  for (size_t at = table.find("\nTWOLOCUS_MESSAGE("); at != std::string::npos;
       at = table.find("\nTWOLOCUS_MESSAGE(", at + 1)) {
    ++lines;
  }
  EXPECT_EQ(lines, message_table.size());
  for (const message_entry& entry : message_table) {
    SCOPED_TRACE(std::string(entry.identifier));
    EXPECT_TRUE(identifiers.insert(entry.identifier).second);
    EXPECT_NE(table.find("\nTWOLOCUS_MESSAGE(" + std::string(entry.identifier) + ", "),
              std::string::npos);
    const std::string id(entry.identifier);
    EXPECT_TRUE(program.find("say::" + id + "(") != std::string::npos ||
                program.find("say_err::" + id + "(") != std::string::npos ||
                program.find("tell::" + id + "(") != std::string::npos);
    ASSERT_FALSE(entry.text.empty());
    EXPECT_EQ(entry.text.back(), '\n');
    const auto newlines = std::count(entry.text.begin(), entry.text.end(), '\n');
    const bool two_lines = entry.identifier == "banner" || entry.identifier == "usage";
    EXPECT_EQ(newlines, two_lines ? 2 : 1);
  }
}

TEST(Messages, AFatalMessageEndsTheRunWithStatusOne) {
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(say::output_in_use("run.out"), 1);
  EXPECT_EQ(say::new_n(5), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "Output file [run.out] is in use by another run.\nNew n is [5].\n");
}

}  // namespace
}  // namespace twolocus
