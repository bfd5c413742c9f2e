// The protocol test console as a user sees it: a real window, its boxes read back from the toolkit.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "dispatch_until.h"
#include "helper.h"
#include "hostile_traffic.h"
#include "platform/child_process.h"
#include "platform/platform.h"
#include "platform/text_encoding.h"
#include "temp_folder.h"

#ifdef VARNIX_CONSOLE_BINARY

namespace varnix {
namespace {

// Needs a desktop: an X display on Linux (run under Xvfb), any session on Windows.
TEST(ConsoleDesktopTest, ShowsAMessageFieldByField) {
  Platform platform = MakePlatform();
  const char separator = platform.machine->Paths().separator();
  TempFolder folder;
  // Saved as Notepad saves: UTF-8 with its mark and CR LF, in a folder of any script.
  platform.files->CreateFolder(folder.path("Надзор"));
  const std::string message = folder.path("Надзор") + separator + "message.txt";
  std::string text = XapRequest("qel.Process.PC1",
                                "Process.Control\n{\nPath=C:\\Übung\\editor.exe\nAction=start\n}\n",
                                "Computer.Process", "acme.tester.pc2");
  for (size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 2)) {
    text.insert(at, "\r");
  }
  std::ofstream(PathFromText(message), std::ios::binary) << "\xEF\xBB\xBF" << text;
  const std::string fields = folder.path("fields.txt");
  auto console = StartChildProcess(NativePath(VARNIX_CONSOLE_BINARY, separator),
                                   {message, "--print-fields", fields});

  const WindowHandle window = WaitForWindow(platform, "Xap Protocol Test", milliseconds(10000));
  ASSERT_NE(window, 0u) << "no window titled \"Xap Protocol Test\"";
  ASSERT_TRUE(DispatchUntil(*platform.loop, milliseconds(10000),
                            [&] { return platform.files->FileExists(fields); }));
  platform.loop->DispatchPending(milliseconds(200));  // the file is written whole

  std::map<std::string, std::string> shown;
  std::ifstream in(fields, std::ios::binary);
  for (std::string line; std::getline(in, line);) {
    const auto equals = line.find('=');
    if (equals != std::string::npos && line.rfind("a", 0) == 0) {
      shown.emplace(line.substr(0, equals), line.substr(equals + 1));
    }
  }
  EXPECT_EQ(shown["aSource"], "acme.tester.pc2");
  EXPECT_EQ(shown["aTarget"], "qel.Process.PC1");
  EXPECT_EQ(shown["aUID"], "FF123400");
  EXPECT_EQ(shown["aClass"], "Computer.Process");
  EXPECT_EQ(shown["aSection"], "process.control");
  EXPECT_EQ(shown["aKey"], "Path");
  EXPECT_EQ(shown["aValue"], "C:\\Übung\\editor.exe");
  EXPECT_EQ(shown["aMessage"].rfind("xap-header", 0), 0u);

  if (separator == '/') {
    // What a person would see, left in the build folder.
    const std::string shot = platform.machine->ProgramFolder() + "/console-screenshot";
    StartChildProcess("/usr/bin/xwd", {"-root", "-silent", "-out", shot + ".xwd"})
        ->WaitForExit(milliseconds(10000));
    StartChildProcess("/usr/bin/convert", {shot + ".xwd", shot + ".png"})
        ->WaitForExit(milliseconds(20000));
    EXPECT_TRUE(std::filesystem::exists(shot + ".png"));
  }

  platform.desktop->PostClose(window);
  EXPECT_EQ(console->WaitForExit(milliseconds(10000)), 0) << "closing the window ends it";
}

// Needs a desktop on Windows, where the console's message box is the only way a user learns of
// a failure; on Linux it writes to standard error, as a terminal program does.
TEST(ConsoleDesktopTest, TellsTheUserWhenAFileCannotBeRead) {
  Platform platform = MakePlatform();
  const char separator = platform.machine->Paths().separator();
  TempFolder folder;
  auto console =
      StartChildProcess(NativePath(VARNIX_CONSOLE_BINARY, separator), {folder.path("missing.txt")});
  if (separator == '\\') {
    const WindowHandle box = WaitForWindow(platform, "varnix-console", milliseconds(10000));
    ASSERT_NE(box, 0u) << "no message box titled \"varnix-console\"";
    EXPECT_EQ(console->WaitForExit(milliseconds(300)), std::nullopt) << "it waits for the user";
    platform.desktop->PostClose(box);
  }
  EXPECT_EQ(console->WaitForExit(milliseconds(10000)), 2);
}

}  // namespace
}  // namespace varnix

#endif
