// Tests of a record's names; its figures are checked against the kernel's in the process-table
// tests.
#include "supervision/status.h"

#include <gtest/gtest.h>

#include "fakes/fake_processes.h"

namespace varnix {
namespace {

TEST(StatusTest, ARecordStartsUnknownAndIsNamedByItsTitle) {
  FakeProcessTable table;
  Status record(table, PathRules::Posix());
  EXPECT_EQ(record.Path(), "Unknown");
  EXPECT_EQ(record.Title(), "Unknown");
  EXPECT_EQ(record.Priority(), "Unknown");
  EXPECT_EQ(record.PID(), 0);
  EXPECT_EQ(record.process(), "");
  EXPECT_EQ(record.CPU(), 0);
  EXPECT_EQ(record.RAM(), 0u);

  record.Path("/usr/bin/sleep");
  EXPECT_EQ(record.process(), "sleep");
  record.Title("");
  record.Title("Unknown");
  EXPECT_EQ(record.process(), "sleep");
  record.Title("Sleeper");
  EXPECT_EQ(record.process(), "Sleeper");
}

}  // namespace
}  // namespace varnix
