// Tests of the file and process names taken from paths, by each system's rules.
#include "supervision/process_names.h"

#include <gtest/gtest.h>

#include "platform/error.h"

namespace varnix {
namespace {

TEST(ProcessNamesTest, SplitPathsByTheSystemsRules) {
  EXPECT_EQ(filename("C:\\Program Files\\Notes\\notes.exe", PathRules::Windows()), "notes.exe");
  EXPECT_EQ(filename("c:notes.exe", PathRules::Windows()), "notes.exe");
  EXPECT_EQ(filename("notes.exe", PathRules::Windows()), "notes.exe");
  EXPECT_EQ(filename("Unknown", PathRules::Windows()), "Unknown");
  EXPECT_EQ(filename("/usr/bin/sleep", PathRules::Posix()), "sleep");
  EXPECT_EQ(ProcessName("C:\\Program Files\\Notes\\notes.exe", PathRules::Windows()), "notes");
  EXPECT_EQ(ProcessName("notes.exe", PathRules::Windows()), "notes.exe");
  EXPECT_EQ(ProcessName("C:\\tools", PathRules::Windows()), "C:\\tools");
  EXPECT_THROW(ProcessName("C:\\my.tools\\run", PathRules::Windows()), Error);
  EXPECT_EQ(ProcessName("/usr/bin/sleep", PathRules::Posix()), "sleep");
  EXPECT_EQ(ProcessName("/opt/my.app/tool", PathRules::Posix()), "tool");
  EXPECT_EQ(ProcessName("/opt/app/tool.sh", PathRules::Posix()), "tool");
}

}  // namespace
}  // namespace varnix
