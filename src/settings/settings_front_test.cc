// Tests of the settings look-up: whole numbers are read whole, or refused by name.
#include "settings/settings_front.h"

#include <gtest/gtest.h>

#include "fakes/fake_file_system.h"
#include "fakes/recording_error_log.h"

namespace varnix {
namespace {

TEST(SettingsFrontTest, AWholeNumberIsReadWholeOrRefusedByNameWithTheDefaultUsed) {
  FakeFileSystem files;
  RecordingEventReport events;
  RecordingErrorLog log;
  const SettingsFront hs(files, events, "/opt/varnix/Config/", PathRules::Posix());
  const auto read = [&](const std::string& value) {
    files.files["/opt/varnix/Config/settings.ini"] =
        "[Supervision]\r\nMaxRecords=" + value + "\r\n";
    log.lines.clear();
    return hs.GetWholeSetting("Supervision", "MaxRecords", 1000, 1, 1000000, log);
  };
  EXPECT_EQ(read(" 250 "), 250);
  EXPECT_EQ(read("1000000"), 1000000);
  EXPECT_TRUE(log.lines.empty());
  // A thousands separator, a word, a unit, out of range, past 64 bits.
  for (const std::string refused :
       {"1,000", "zehn", "10s", "0", "-5", "1000001", "99999999999999999999"}) {
    EXPECT_EQ(read(refused), 1000) << refused;
    ASSERT_EQ(log.lines.size(), 1u) << refused;
    EXPECT_NE(log.lines[0].find("MaxRecords=" + refused +
                                " in /opt/varnix/Config/settings.ini, section [Supervision]"),
              std::string::npos)
        << log.lines[0];
  }
  files.files.clear();
  log.lines.clear();
  EXPECT_EQ(hs.GetWholeSetting("Computer", "CloseWaitSeconds", 10, 0, 600, log), 10);
  EXPECT_TRUE(log.lines.empty()) << "a setting not given is no fault";
}

}  // namespace
}  // namespace varnix
