// Tests of settings.ini's sensors: every setting read, bad ones named and left out, the bound.
#include "settings/declared_sensors.h"

#include <gtest/gtest.h>

#include "fakes/fake_file_system.h"
#include "fakes/recording_error_log.h"

namespace varnix {
namespace {

TEST(DeclaredSensorsTest, ReadsEverySettingLeavesOutWhatIsBadAndKeepsToTheBound) {
  FakeFileSystem files;
  RecordingEventReport events;
  RecordingErrorLog log;
  std::string text =
      "[Computer]\r\nCloseWaitSeconds=5\r\n"
      "[Sensor Fan speed]\r\nCommand=/usr/local/bin/fan\r\nParameter=--rpm \"cpu fan\"\r\n"
      "Interval=30\r\nTimeout=3\r\nUnit=rpm\r\nKind=Number\r\nColour=blue\r\n"
      "[Sensor Door]\r\nCommand=door\r\nKind=on-off\r\n"
      "[Sensor Fast]\r\nCommand=/bin/true\r\nInterval=4\r\n"
      "[Sensor Odd]\r\nCommand=/bin/true\r\nKind=colour\r\n"
      "[Sensor Empty]\r\nParameter=x\r\n"
      "[Sensor Near]\r\nCommand=scripts/near.sh\r\n";
  for (int i = 0; i < 31; ++i) {
    text += "[Sensor S" + std::to_string(i) + "]\r\nCommand=/bin/true\r\n";
  }
  files.files["/etc/varnix/settings.ini"] = text;
  const auto sensors =
      ReadDeclaredSensors(files, events, log, "/etc/varnix/settings.ini", PathRules::Posix());
  ASSERT_EQ(sensors.size(), UserSensors::kMostSensors);
  const SensorDeclaration& fan = sensors[0];
  EXPECT_EQ(fan.name, "Fan speed");
  EXPECT_EQ(fan.command, "/usr/local/bin/fan");
  EXPECT_EQ(fan.parameter, "--rpm \"cpu fan\"");
  EXPECT_EQ(fan.interval_seconds, 30);
  EXPECT_EQ(fan.timeout_seconds, 3);
  EXPECT_EQ(fan.unit, "rpm");
  EXPECT_EQ(fan.kind, SensorKind::kNumber);
  // The defaults: a text read every minute, ended after ten seconds.
  EXPECT_EQ(sensors[1].kind, SensorKind::kOnOff);
  EXPECT_EQ(sensors[1].interval_seconds, 60);
  EXPECT_EQ(sensors[1].timeout_seconds, 10);
  EXPECT_EQ(sensors[2].name, "S0");

  std::string said;
  for (const std::string& line : log.lines) said += line + "\n";
  EXPECT_NE(said.find("COLOUR in /etc/varnix/settings.ini, section [Sensor Fan speed], is not one "
                      "the node knows"),
            std::string::npos)
      << said;
  EXPECT_NE(said.find("Interval=4 in /etc/varnix/settings.ini, section [Sensor Fast], is not a "
                      "whole number of seconds from 5 to 86400: the sensor Fast is left out"),
            std::string::npos);
  EXPECT_NE(said.find("Kind=colour"), std::string::npos);
  EXPECT_NE(said.find("[Sensor Empty], names no program file"), std::string::npos);
  EXPECT_NE(said.find("Command=scripts/near.sh in /etc/varnix/settings.ini, section [Sensor "
                      "Near], is a relative path"),
            std::string::npos)
      << said;
  EXPECT_NE(said.find("The sensor S30 in /etc/varnix/settings.ini is left out: a computer reads "
                      "at most 32 sensors"),
            std::string::npos);
}

}  // namespace
}  // namespace varnix
