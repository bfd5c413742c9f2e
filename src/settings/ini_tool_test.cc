// Tests of the INI store and the settings look-up on real files.
#include "settings/ini_tool.h"

#include <gtest/gtest.h>

#include <fstream>

#include "fakes/recording_error_log.h"
#include "platform/platform.h"
#include "settings/settings_front.h"
#include "temp_folder.h"

namespace varnix {
namespace {

using Names = std::vector<std::string>;

class IniToolTest : public ::testing::Test {
 protected:
  IniTool LoadText(const std::string& text) {
    files_.WriteAll(path_, text);
    IniTool ini(files_, events_, paths_);
    ini.Load(path_);
    return ini;
  }
  std::string FileText() { return files_.ReadAll(path_); }

  TempFolder folder_;
  Platform platform_ = MakePlatform();
  FileSystem& files_ = *platform_.files;
  PathRules paths_ = platform_.machine->Paths();
  char separator_ = paths_.separator();
  std::string path_ = folder_.path("settings.ini");
  RecordingEventReport events_;
};

TEST_F(IniToolTest, LooksUpWithoutRegardToLetterCase) {
  const IniTool ini = LoadText(
      "top=before\r\n"
      "  [Main]  \r\n"
      "; a comment=not a key\r\n"
      "Name=first\r\n"
      "name=second\r\n"
      "Empty=\r\n"
      "Spaced = yes\r\n"
      "no equal sign\r\n"
      "semi=a;b\r\n"
      "[MAIN]\n"
      "Later=1\n"
      "[Other.Section]\n"
      "k=v=w");
  EXPECT_EQ(ini.Read("", "TOP", "d"), "before");
  EXPECT_EQ(ini.Read("main", "NAME", "d"), "first");
  EXPECT_EQ(ini.Read("MAIN", "empty", "d"), "d") << "an empty value reads as missing";
  EXPECT_EQ(ini.Read("Main", "missing", "d"), "d");
  EXPECT_EQ(ini.Read("Main", "Spaced", "d"), "d");
  EXPECT_EQ(ini.Read("Main", "Spaced ", "d"), " yes");
  EXPECT_EQ(ini.Read("Main", "semi", "d"), "a;b");
  EXPECT_EQ(ini.Read("main", "later", "d"), "1");
  EXPECT_EQ(ini.Read("other.section", "K", "d"), "v=w");
  EXPECT_EQ(ini.Headers(), (Names{"Main", "Other.Section"}));
  EXPECT_EQ(ini.Keys("Main"), (Names{"NAME", "EMPTY", "SPACED ", "SEMI", "LATER"}));
  EXPECT_EQ(ini.Keys("Other.Section"), Names{"K"});
  EXPECT_EQ(ini.Keys("Other"), Names{""}) << "no section of that name";
  EXPECT_EQ(events_.events, Names{" Equal sign not found on line no equal sign"});
  EXPECT_EQ(events_.types, Names{"IniTool"});
}

// A settings file as Notepad saves it: UTF-8 with its mark and CR LF (the mark must not glue
// itself to the first section's name), "Unicode" (UTF-16 with its mark, either byte order);
// one that is none of these is named, not half read.
TEST_F(IniToolTest, ReadsAFileInEveryFormNotepadSavesIt) {
  const auto utf16 = [](const std::string& ascii, bool big_endian) {
    std::string bytes = big_endian ? "\xFE\xFF" : "\xFF\xFE";
    for (const char c : ascii) {
      bytes += big_endian ? std::string{'\0', c} : std::string{c, '\0'};
    }
    return bytes;
  };
  const std::string text = "[Access]\r\nRequireSignature=yes\r\n[Other]\r\nName=x\r\n";
  for (const std::string& bytes : {"\xEF\xBB\xBF" + text, utf16(text, false), utf16(text, true)}) {
    std::ofstream(path_, std::ios::binary) << bytes;
    IniTool ini(files_, events_, paths_);
    ini.Load(path_);
    EXPECT_EQ(ini.Read("Access", "RequireSignature", "no"), "yes") << bytes.substr(0, 4);
    EXPECT_EQ(ini.Read("Other", "Name", ""), "x");
  }
  EXPECT_TRUE(events_.events.empty());
  std::ofstream(path_, std::ios::binary) << utf16(text, false).substr(0, 7);  // cut short
  IniTool cut(files_, events_, paths_);
  cut.Load(path_);
  EXPECT_EQ(cut.Read("Access", "RequireSignature", "no"), "no");
  ASSERT_EQ(events_.events.size(), 1u);
  EXPECT_NE(events_.events[0].find("neither UTF-8, UTF-16"), std::string::npos)
      << events_.events[0];
}

TEST_F(IniToolTest, KeysTakesTheNameAsAPattern) {
  const IniTool ini = LoadText("[a.b]\r\nx=1\r\n[aXb]\r\ny=2\r\n[Empty]\r\n");
  EXPECT_EQ(ini.Keys("a.b"), (Names{"X", "Y"}));
  EXPECT_EQ(ini.Keys("Empty"), Names{""});
  EXPECT_EQ(ini.Headers().size(), 3u);
  EXPECT_THROW(ini.Keys("a(b"), Error);
}

TEST_F(IniToolTest, MissingFileIsCreatedWithItsFolders) {
  const std::string nested = folder_.path("one") + separator_ + "two" + separator_ + "x.ini";
  IniTool ini(files_, events_, paths_);
  ini.Load(nested);
  EXPECT_TRUE(files_.FileExists(nested));
  EXPECT_EQ(ini.Read("s", "k", "dflt"), "dflt");
  EXPECT_TRUE(ini.Headers().empty());
}

TEST_F(IniToolTest, SaveKeepsLayoutAndBacksUp) {
  const std::string original =
      "; settings\r\n"
      "[First]\r\n"
      "Alpha=1\r\n"
      "beta = 2\r\n"
      "alpha=dup\r\n"
      "\r\n"
      "  Indented=3\r\n"
      "[Second]\r\n"
      "Gamma=4\r\n";
  IniTool ini = LoadText(original);
  ini.WriteKey("first", "ALPHA", "one");
  ini.WriteKey("First", "New", "n");
  ini.Remove("Second", "gamma");
  ini.WriteKey("Second", "Late", "l");
  ini.WriteKey("Zeta", "z", "26");
  ini.WriteKey("Eta", "e", "7");
  ini.Save();
  EXPECT_EQ(files_.ReadAll(path_ + "_bck"), original);
  EXPECT_EQ(FileText(),
            "; settings\r\n"
            "[First]\r\n"
            "Alpha=one\r\n"
            "beta = 2\r\n"
            ";alpha=dup\r\n"
            "\r\n"
            ";  Indented=3\r\n"
            "INDENTED=3\r\n"  // keys new to the file end their section
            "NEW=n\r\n"
            "[Second]\r\n"
            ";Gamma=4\r\n"
            "[ETA]\r\n"
            "E=7\r\n"
            "[SECOND]\r\n"
            "LATE=l\r\n"
            "[ZETA]\r\n"
            "Z=26\r\n");

  // Saved again, removed keys stay comments and the repeated section reads as one.
  const std::string first_save = FileText();
  IniTool again(files_, events_, paths_);
  again.Load(path_);
  EXPECT_EQ(again.Read("second", "late", "d"), "l");
  again.Save();
  EXPECT_EQ(files_.ReadAll(path_ + "_bck"), first_save);
}

TEST_F(IniToolTest, ClearCommentsOutEveryKey) {
  IniTool ini = LoadText("[S]\r\nk=v\r\n; keep\r\n\r\n[T]\r\nj=w");
  ini.Clear();
  ini.Save();
  EXPECT_EQ(FileText(), "[S]\r\n;k=v\r\n; keep\r\n\r\n[T]\r\n;j=w\r\n");
}

TEST_F(IniToolTest, NewFileGetsSortedSections) {
  IniTool ini(files_, events_, paths_);
  ini.Load(path_);
  ini.WriteKey("b", "y", "2");
  ini.WriteKey("a", "z", "3");
  ini.WriteKey("b", "x", "1");
  ini.Save();
  EXPECT_EQ(FileText(), "[A]\r\nZ=3\r\n[B]\r\nX=1\r\nY=2\r\n");
}

TEST_F(IniToolTest, SaveRefusesOverlongNamesBeforeTouchingAnyFile) {
  const std::string original = "[S]\r\nk=v\r\n";
  for (const auto& [section, key, value] :
       {std::tuple{std::string(101, 's'), std::string("k"), std::string("v")},
        std::tuple{std::string("S"), std::string(66, 'k'), std::string("v")},
        std::tuple{std::string("S"), std::string("k"), std::string(256, 'v')}}) {
    IniTool ini = LoadText(original);
    ini.WriteKey(section, key, value);
    EXPECT_THROW(ini.Save(), Error);
    EXPECT_EQ(FileText(), original);
    EXPECT_FALSE(files_.FileExists(path_ + "_bck"));
  }
  IniTool fits = LoadText(original);
  fits.WriteKey(std::string(100, 's'), std::string(65, 'k'), std::string(255, 'v'));
  EXPECT_NO_THROW(fits.Save());
}

TEST_F(IniToolTest, GetINISettingReadsTheConfigurationFolder) {
  const std::string config = folder_.path() + separator_;
  files_.WriteAll(config + "qelXap.ini", "[Interface]\r\nBroadcastAddress=127.0.0.1\r\n");
  const SettingsFront hs(files_, events_, config, paths_);
  EXPECT_EQ(hs.GetINISetting("interface", "broadcastaddress", "Default", "qelXap.ini"),
            "127.0.0.1");
  EXPECT_EQ(hs.GetINISetting("Interface", "InterfaceAddress", "Default", "qelXap.ini"), "Default");
  EXPECT_EQ(hs.GetINISetting("Interface", "BroadcastAddress", "Default"), "Default");
  EXPECT_FALSE(files_.FileExists(config + "settings.ini"));
}

}  // namespace
}  // namespace varnix
