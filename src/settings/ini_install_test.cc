// Tests of the install operations on real files in a temporary folder.
#include <gtest/gtest.h>

#include <filesystem>

#include "fakes/recording_error_log.h"
#include "platform/error.h"
#include "platform/platform.h"
#include "settings/ini_tool.h"
#include "temp_folder.h"

namespace varnix {
namespace {

class IniInstallTest : public ::testing::Test {
 protected:
  void SetUpIni(const std::string& folder_name, const std::string& text) {
    const std::string folder = folder_.path(folder_name);
    std::filesystem::create_directories(folder);
    ini_path_ = folder + platform_.machine->Paths().separator() + "setup.ini";
    files_.WriteAll(ini_path_, text);
    ini_.Load(ini_path_);
    stamp_ = "\t'Installed From .ini dated " +
             platform_.machine->DateText(files_.LastModified(ini_path_));
  }
  std::string Source(const std::string& text) {
    const std::string path = folder_.path("module.bas");
    files_.WriteAll(path, text);
    return path;
  }
  std::string Log() const { return ini_path_.substr(0, ini_path_.find('.')) + "_IniLog.txt"; }

  TempFolder folder_;
  Platform platform_ = MakePlatform();
  FileSystem& files_ = *platform_.files;
  RecordingEventReport events_;
  IniTool ini_{files_, events_, platform_.machine->Paths(), platform_.machine.get()};
  std::string ini_path_;
  std::string stamp_;
};

TEST_F(IniInstallTest, RewritesConstantsAndAssignmentsKeepingTheNamesCase) {
  SetUpIni("conf", "[Setup]\r\nTimeout=30\r\nHost=\"pc1\"\r\n");
  const std::string source = Source(
      "Attribute VB_Name = \"Module\"\r\n"
      "Public Const timeout = 5 ' old comment\r\n"
      "  TimeOut = Other + 1\r\n"
      "Const TIMEOUT=7\r\n"
      "Dim x\r\n"
      "host = \"old\"");
  ini_.InstallKeys(source, "setup");
  EXPECT_EQ(files_.ReadAll(source),
            "Attribute VB_Name = \"Module\"\r\n"
            "Public Const timeout = 30" +
                stamp_ +
                "\r\n"
                "  TimeOut = 30" +
                stamp_ +
                "\r\n"
                "Const TIMEOUT= 30" +
                stamp_ +
                "\r\n"
                "Dim x\r\n"
                "host = \"pc1\"" +
                stamp_);
}

TEST_F(IniInstallTest, InstallConstantSetsOneName) {
  SetUpIni("conf", "[S]\r\n");
  const std::string source = Source("Const Port = 1\r\nPort = 2\r\nConst Other = 3\r\n");
  ini_.InstallConstant(source, "port", "3639");
  EXPECT_EQ(files_.ReadAll(source),
            "Const Port = 3639" + stamp_ + "\r\nPort = 3639" + stamp_ + "\r\nConst Other = 3\r\n");
  const std::string before = files_.ReadAll(source);
  ini_.InstallConstant(source, "", "x");
  EXPECT_EQ(files_.ReadAll(source), before);
}

TEST_F(IniInstallTest, InstallStringsReplacesTheRestOfTheLineWithoutAStamp) {
  SetUpIni("conf", "[Text]\r\nGreeting= = \"Hello\"\r\n");
  const std::string source = Source("x = 1\r\n  greeting = \"Hi\" ' old\r\nGreeting");
  ini_.InstallStrings(source, "Text");
  EXPECT_EQ(files_.ReadAll(source), "x = 1\r\n  greeting = \"Hello\"\r\nGreeting = \"Hello\"");
  EXPECT_EQ(SplitLines(files_.ReadAll(Log())).size(), 2u) << "the log still gets its line";
}

TEST_F(IniInstallTest, InstallArrayWritesNameAndValueLists) {
  SetUpIni("conf", "[Rooms]\r\nKitchen= 1 ' first\r\nHall=2\r\n[Empty]\r\n");
  const std::string source =
      Source("Names = Array(\"old\") ' x\r\nValues = Array(9)\r\nOther = Array(1)\r\n");
  ini_.InstallArray(source, "Rooms", "Names", "Values");
  EXPECT_EQ(files_.ReadAll(source), "Names = Array(\"KITCHEN\",\"HALL\")" + stamp_ +
                                        "\r\nValues = Array(1,2)" + stamp_ +
                                        "\r\nOther = Array(1)\r\n");
  ini_.InstallArray(source, "Empty", "Names", "Values");
  EXPECT_EQ(files_.ReadAll(source), "Names = Array(\"\")" + stamp_ + "\r\nValues = Array()" +
                                        stamp_ + "\r\nOther = Array(1)\r\n");
}

TEST_F(IniInstallTest, TheLogKeepsItsHeadingAndGrowsByARunEach) {
  SetUpIni("conf", "[S]\r\nA=1\r\n");
  const std::string source = Source("A = 0\r\n");
  ini_.InstallKeys(source, "S");
  ini_.InstallConstant(source, "A", "2");
  std::vector<std::string> log = SplitLines(files_.ReadAll(Log()));
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0],
            "Run Date   /   Ini File   /   Date of Ini File    /   File Modified    /  Header "
            "Modified");
  const std::string ini_date = stamp_.substr(stamp_.find("dated ") + 6);
  EXPECT_NE(log[1].find("\t" + ini_path_ + "\t" + ini_date + "\t" + source + "\tS"),
            std::string::npos)
      << log[1];
  EXPECT_EQ(log[2].substr(log[2].rfind('\t')), "\tA");
  std::filesystem::remove(Log());
  ini_.InstallKeys(source, "S");
  EXPECT_EQ(SplitLines(files_.ReadAll(Log())).size(), 2u) << "a deleted log starts afresh";
}

TEST_F(IniInstallTest, ADotInTheFolderNamesTheLogAfterTheFolder) {
  SetUpIni("my.conf", "[S]\r\nA=1\r\n");
  ini_.InstallKeys(Source("A = 0\r\n"), "S");
  EXPECT_TRUE(files_.FileExists(folder_.path("my_IniLog.txt")));
}

TEST_F(IniInstallTest, FailuresLeaveTheTargetUnchanged) {
  SetUpIni("conf", "[S]\r\nBad(=1\r\n");
  const std::string source = Source("Const A = 0\r\n");
  EXPECT_THROW(ini_.InstallKeys(source, "S"), Error);
  EXPECT_THROW(ini_.InstallConstant(source, "(", "1"), Error);
  EXPECT_THROW(ini_.InstallArray(source, "S", "[", "B"), Error);
  EXPECT_EQ(files_.ReadAll(source), "Const A = 0\r\n");
  EXPECT_FALSE(files_.FileExists(Log())) << "refused before anything was written";
  // A name that would make the search take exponential time is refused at once.
  SetUpIni("conf", "[S]\r\n(a*)*b=1\r\n");
  EXPECT_THROW(ini_.InstallKeys(Source(std::string(40, 'a') + "\r\n"), "S"), Error);
  EXPECT_THROW(ini_.InstallKeys(folder_.path("missing.bas"), "S"), Error);
  EXPECT_FALSE(files_.FileExists(folder_.path("missing.bas")));
}

}  // namespace
}  // namespace varnix
