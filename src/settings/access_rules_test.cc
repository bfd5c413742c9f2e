// Tests of the access rules: reading them as a user writes them, and what they let through.
#include "settings/access_rules.h"

#include <gtest/gtest.h>

#include "fakes/fake_file_system.h"
#include "fakes/recording_error_log.h"

namespace varnix {
namespace {

using namespace std::string_literals;

constexpr char kPath[] = "/opt/varnix/Config/settings.ini";

class AccessRulesTest : public ::testing::Test {
 protected:
  AccessRules Load(const std::string& text, bool case_blind = false) {
    files_.files[kPath] = text;
    return AccessRules::Load(files_, events_, log_, kPath,
                             case_blind ? PathRules::Windows() : PathRules::Posix());
  }

  FakeFileSystem files_;
  RecordingEventReport events_;
  RecordingErrorLog log_;
};

TEST_F(AccessRulesTest, WithoutTheSectionEverythingIsAllowedAndTheLogSaysSo) {
  const AccessRules rules = Load("[Computer]\r\nCloseWaitSeconds=5\r\n");
  EXPECT_TRUE(rules.AllowsSource("anyone.at.all"));
  EXPECT_TRUE(rules.AllowsProgram("/bin/rm"));
  EXPECT_TRUE(rules.AllowsComputerControl());
  EXPECT_FALSE(rules.RequiresSignature());
  // The notices (the node's start-up test reads them) name the file to change; the last, that
  // programs' output read over the network is readable by the LAN.
  ASSERT_EQ(log_.lines.size(), 3u);
  EXPECT_NE(log_.lines[0].find(kPath), std::string::npos);
  EXPECT_NE(log_.lines[2].find("any host on the LAN can read"), std::string::npos);
  EXPECT_TRUE(rules.AllowsLogsOverNetwork());
  EXPECT_EQ(files_.files[kPath], "[Computer]\r\nCloseWaitSeconds=5\r\n") << "never written";
}

TEST_F(AccessRulesTest, RestrictsSourcesProgramsAndComputerControl) {
  const AccessRules rules = Load(
      "[access]\r\nAllowSources=acme.homeseer.* ; qel.Controller.PC1\r\n"
      "AllowPrograms=/usr/bin/*;/opt/tools/job-?.sh\r\nAllowComputerControl=No\r\n"
      "LogsOverNetwork=no\r\n");
  EXPECT_TRUE(rules.AllowsSource("ACME.HomeSeer.Kitchen"));
  EXPECT_TRUE(rules.AllowsSource("qel.controller.pc1"));
  EXPECT_FALSE(rules.AllowsSource("acme.other.kitchen"));
  EXPECT_FALSE(rules.AllowsSource("evil.homeseer.kitchen"));
  EXPECT_TRUE(rules.AllowsProgram("/usr/bin/xclock"));
  EXPECT_TRUE(rules.AllowsProgram("/opt/tools/job-7.sh"));
  EXPECT_FALSE(rules.AllowsProgram("/opt/tools/job-17.sh"));
  EXPECT_FALSE(rules.AllowsProgram("/USR/BIN/xclock")) << "case counts on Linux";
  EXPECT_FALSE(rules.AllowsComputerControl());
  EXPECT_FALSE(rules.AllowsLogsOverNetwork());
  EXPECT_EQ(log_.lines.size(), 1u) << "only that requests are not authenticated";

  const AccessRules windows = Load("[Access]\r\nAllowPrograms=C:\\Tools\\*.exe\r\n", true);
  EXPECT_TRUE(windows.AllowsProgram("c:\\tools\\Backup.EXE"));
  EXPECT_TRUE(windows.AllowsSource("anyone.at.all")) << "a rule not given restricts nothing";
}

TEST_F(AccessRulesTest, ARuleThatCannotBeUsedRefusesEverythingItGuards) {
  const AccessRules rules = Load(
      "[Access]\r\nAllowSources=acme.home seer.*\r\nAllowComputerControl=maybe\r\n"
      "RequireSignature=ja\r\n");
  EXPECT_FALSE(rules.AllowsSource("acme.homeseer.x"));
  EXPECT_FALSE(rules.AllowsComputerControl());
  EXPECT_TRUE(rules.AllowsProgram("/bin/true")) << "a rule not given restricts nothing";
  ASSERT_EQ(log_.lines.size(), 5u);  // with the notice that output read remotely is the LAN's
  // Signatures required without a key to check them with: none is good.
  EXPECT_TRUE(rules.RequiresSignature());
  EXPECT_EQ(rules.key(), "");
  // An unclear rule is read as the strict one, but named as written.
  EXPECT_NE(log_.lines[2].find("RequireSignature=ja in "), std::string::npos) << log_.lines[2];
  EXPECT_NE(log_.lines[3].find("RequireSignature=ja, but "), std::string::npos) << log_.lines[3];
  EXPECT_NE(log_.lines[0].find("AllowSources=acme.home seer.* in " + std::string(kPath)),
            std::string::npos)
      << log_.lines[0];
  EXPECT_NE(log_.lines[1].find("AllowComputerControl=maybe"), std::string::npos);
}

TEST(WildcardTest, MatchesRunsAndSingleCharactersWithinOneName) {
  const PathRules posix = PathRules::Posix();
  EXPECT_TRUE(MatchesWildcard("*", "", posix));
  EXPECT_TRUE(MatchesWildcard("a*b*c", "aXXbYYc", posix));
  EXPECT_FALSE(MatchesWildcard("a*b*c", "aXXbYY", posix));
  EXPECT_TRUE(MatchesWildcard("*.sh", "x.sh.sh", posix));
  EXPECT_FALSE(MatchesWildcard("?", "", posix));
  EXPECT_FALSE(MatchesWildcard("abc", "abcd", posix));
  EXPECT_FALSE(MatchesWildcard("/opt/*", "/opt/a/b", posix)) << "no separator in a run";
  EXPECT_FALSE(MatchesWildcard("/opt/a?b", "/opt/a/b", posix));
  EXPECT_TRUE(MatchesWildcard("C:\\Tools\\*.exe", "c:/tools/x.EXE", PathRules::Windows()));
  EXPECT_FALSE(MatchesWildcard("C:\\Tools\\*", "C:\\Tools\\a\\x.exe", PathRules::Windows()));
}

// What an allowed folder holds, and nothing a path can reach from it by its text.
TEST_F(AccessRulesTest, AProgramIsJudgedAsTheSystemWouldReadItsPath) {
  const AccessRules rules = Load("[Access]\r\nAllowPrograms=/opt/allowed/*;/opt/jobs/*.sh\r\n");
  for (const std::string allowed :
       {"/opt/allowed/x", "/opt//allowed/./x", "/opt/jobs/../allowed/y", "/opt/jobs/a.sh"}) {
    EXPECT_TRUE(rules.AllowsProgram(allowed)) << allowed;
  }
  for (const std::string& refused : std::vector<std::string>{
           "/opt/allowed/../outside", "/opt/allowed/sub/x", "/opt/allowed/../../bin/sh",
           "/opt/jobs/evil\0.sh"s, "/opt/jobs/a\n.sh", "opt/allowed/x"}) {
    EXPECT_FALSE(rules.AllowsProgram(refused)) << refused;
  }
  const AccessRules windows = Load("[Access]\r\nAllowPrograms=C:\\Tools\\*.exe\r\n", true);
  EXPECT_TRUE(windows.AllowsProgram("C:\\Windows\\..\\Tools\\a.exe"));
  EXPECT_FALSE(windows.AllowsProgram("C:\\Tools\\..\\Windows\\cmd.exe"));
  EXPECT_EQ(LexicallyNormal("\\\\server\\share\\a\\..\\..\\b", PathRules::Windows()),
            "\\\\server\\share\\b");
}

}  // namespace
}  // namespace varnix
