// Tests of programs.ini: every setting read, bad ones named and their program left out, and
// the boot order with its cycles.
#include "settings/declared_programs.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fakes/fake_file_system.h"
#include "fakes/recording_error_log.h"

namespace varnix {
namespace {

using ::testing::HasSubstr;

class DeclaredProgramsTest : public ::testing::Test {
 protected:
  std::vector<DeclaredProgram> Read(const std::string& text) {
    files_.files["/etc/varnix/programs.ini"] = text;
    return ReadDeclaredPrograms(files_, events_, log_, "/etc/varnix/programs.ini",
                                PathRules::Posix());
  }
  static std::vector<std::string> Names(const std::vector<const DeclaredProgram*>& order) {
    std::vector<std::string> names;
    for (const DeclaredProgram* program : order) names.push_back(program->name);
    return names;
  }

  FakeFileSystem files_;
  RecordingEventReport events_;
  RecordingErrorLog log_;
};

TEST_F(DeclaredProgramsTest, ReadsEverySettingAndLeavesOutWhatIsBad) {
  const auto programs = Read(
      "[Program Backup]\r\nPath=/opt/backup\r\nParameter=--all \"two words\"\r\n"
      "Folder=/var/backup\r\nPriority=below_normal\r\nWindow=0\r\nRestart=Always\r\n"
      "Start=manual\r\nAfter=Database\r\n"
      "[Program Database]\r\nPath=/opt/db\r\n"
      "[Program Viewer]\r\nPath=/opt/viewer\r\nWindow= Minimized \r\n"
      "[Program Odd]\r\nPath=/opt/odd\r\nRestart=sometimes\r\n"
      "[Program Nameless]\r\n"
      "[Program Tiny]\r\nPath=/opt/tiny\r\nWindow=12\r\n"
      "[Program Twin]\r\nPath=/opt/./db\r\n"
      "[Other]\r\nPath=/opt/other\r\n");
  ASSERT_EQ(programs.size(), 3u);
  EXPECT_EQ(programs[2].window, "2") << "the word varnixctl takes too";
  const DeclaredProgram& backup = programs[0];
  EXPECT_EQ(backup.name, "Backup");
  EXPECT_EQ(backup.path, "/opt/backup");
  EXPECT_EQ(backup.parameter, "--all \"two words\"");
  EXPECT_EQ(backup.folder, "/var/backup");
  EXPECT_EQ(backup.priority, "BELOW_NORMAL");
  EXPECT_EQ(backup.window, "0");
  EXPECT_EQ(backup.restart, RestartPolicy::kAlways);
  EXPECT_FALSE(backup.at_boot);
  EXPECT_EQ(backup.after, "Database");
  // The defaults: kept running after a failure, started with the node, in a normal window.
  const DeclaredProgram& database = programs[1];
  EXPECT_EQ(database.restart, RestartPolicy::kOnFailure);
  EXPECT_TRUE(database.at_boot);
  EXPECT_EQ(database.window, "1");
  EXPECT_EQ(FindDeclared(programs, "DATABASE"), &database);
  // Each left-out program is named with the file, section and key.
  ASSERT_EQ(log_.lines.size(), 4u) << ::testing::PrintToString(log_.lines);
  EXPECT_THAT(log_.lines[0],
              HasSubstr("Restart=sometimes in /etc/varnix/programs.ini, section "
                        "[Program Odd], is none of no, on-failure, always: the program "
                        "Odd is left out"));
  EXPECT_THAT(log_.lines[1], HasSubstr("[Program Nameless], names no program file"));
  EXPECT_THAT(log_.lines[2], HasSubstr("Window=12 in"));
  EXPECT_THAT(log_.lines[3], HasSubstr("is the path of Database already"));

  log_.lines.clear();
  files_.files.clear();
  EXPECT_TRUE(
      ReadDeclaredPrograms(files_, events_, log_, "/nowhere/programs.ini", PathRules::Posix())
          .empty());
  EXPECT_TRUE(log_.lines.empty()) << "no file is no program, and nothing to say";
}

TEST_F(DeclaredProgramsTest, ServiceSettingsAreReadAndAnUnknownKeyIsNamedNotDropped) {
  files_.files["/etc/varnix/app.env"] = "# the app's\nMODE=\"quiet; please\"\n\nLEVEL=3\n";
  const auto programs = Read(
      "[Program App1]\nPath=/usr/bin/python3\nParameter=app1.py\nUser=nobody\n"
      "EnvironmentFile=/etc/varnix/app.env\n"
      "Environment=LEVEL=4; GREETING=\"hello; there\" ;EMPTY=\n"
      "StopSignal=sigint\nStopSeconds=8\nExitCodes=0, 2\nStartSeconds=3\nGiveUpAfter=0\n"
      "Group=web\nUsr=nobody\n"
      "[Program App2]\nPath=/usr/bin/python3\nParameter=app2.py\n"
      "[Program App3]\nPath=/usr/bin/./python3\nParameter= app2.py\n"
      "[Program Bad1]\nPath=/b\nEnvironment=1X=y\n"
      "[Program Bad2]\nPath=/b\nStopSignal=KILL\n"
      "[Program Bad3]\nPath=/b\nExitCodes=0,300\n"
      "[Program Bad4]\nPath=/b\nEnvironmentFile=/nowhere\n"
      "[Program Bad5]\nPath=/b\nGroup=a:b\n");
  ASSERT_EQ(programs.size(), 2u) << ::testing::PrintToString(log_.lines);
  const DeclaredProgram& app = programs[0];
  // Each name once; the file's value wins, as systemd has it.
  EXPECT_EQ(app.environment, (std::vector<std::string>{"LEVEL=3", "GREETING=hello; there",
                                                       "EMPTY=", "MODE=quiet; please"}));
  EXPECT_EQ(app.user, "nobody");
  EXPECT_EQ(app.stop_signal, EndSignal::kInterrupt);
  EXPECT_EQ(app.stop_seconds, 8);
  EXPECT_EQ(app.exit_codes, (std::vector<int>{0, 2}));
  EXPECT_EQ(app.start_seconds, 3);
  EXPECT_EQ(app.give_up_after, 0);
  EXPECT_EQ(app.group, "web");
  // Two scripts of one interpreter are two programs; the same script twice is one.
  EXPECT_EQ(programs[1].name, "App2");
  EXPECT_EQ(programs[1].stop_seconds, 5);
  EXPECT_EQ(programs[1].exit_codes, std::vector<int>{0});
  std::string said;
  for (const std::string& line : log_.lines) said += line + "\n";
  EXPECT_THAT(said,
              HasSubstr("The setting USR in /etc/varnix/programs.ini, section [Program App1], is "
                        "not one the node knows: it is ignored"));
  EXPECT_THAT(said, HasSubstr("is the path of App2 already, with the same parameters"));
  for (const char* key : {"Environment=1X", "StopSignal=KILL", "ExitCodes=0,300",
                          "EnvironmentFile=/nowhere", "Group=a:b"}) {
    EXPECT_THAT(said, HasSubstr(key)) << key;
  }
  EXPECT_EQ(log_.lines.size(), 7u) << said;
}

TEST_F(DeclaredProgramsTest, BootOrderPutsEachAfterItsFirstAndLeavesCyclesOut) {
  const auto programs = Read(
      "[Program Web]\nPath=/w\nAfter=db\n"
      "[Program Db]\nPath=/d\n"
      "[Program Manual]\nPath=/m\nStart=manual\n"
      "[Program Report]\nPath=/r\nAfter=Manual\n"
      "[Program A]\nPath=/a\nAfter=B\n"
      "[Program B]\nPath=/b\nAfter=A\n"
      "[Program Lost]\nPath=/l\nAfter=Nobody\n"
      "[Program Later]\nPath=/x\nAfter=Lost\n");
  ASSERT_EQ(programs.size(), 8u);
  // A manual program is not started with the node; one after it waits to see it running.
  EXPECT_EQ(Names(BootOrder(programs, log_)), (std::vector<std::string>{"Db", "Web", "Report"}));
  std::string said;
  for (const std::string& line : log_.lines) said += line + "\n";
  EXPECT_THAT(said, HasSubstr("form a cycle"));
  EXPECT_THAT(said, HasSubstr("The program Lost is declared After=Nobody, which is not declared"));
}

}  // namespace
}  // namespace varnix
