// Tests of the file system service on real files.
#include "platform/file_system.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "platform/error.h"
#include "platform/platform.h"
#include "temp_folder.h"

namespace varnix {
namespace {

TEST(FileSystemTest, ReadsWritesAppendsAndCopiesBytesUnchanged) {
  TempFolder folder;
  Platform platform = MakePlatform();
  FileSystem& files = *platform.files;
  const std::string path = folder.path("a.txt");
  EXPECT_FALSE(files.FileExists(path));
  files.Append(path, "one\r\n");
  files.Append(path, std::string("two\0\n", 5));
  EXPECT_TRUE(files.FileExists(path));
  EXPECT_FALSE(files.FolderExists(path));
  EXPECT_EQ(files.ReadAll(path), std::string("one\r\ntwo\0\n", 10));

  files.WriteAll(path, "short");
  files.Copy(path, folder.path("b.txt"));
  files.WriteAll(path, "");
  EXPECT_EQ(files.ReadAll(folder.path("b.txt")), "short");
  files.Copy(path, folder.path("b.txt"));
  EXPECT_EQ(files.ReadAll(folder.path("b.txt")), "") << "a copy replaces an older one";
  files.WriteAll(path, "0123456789");
  EXPECT_EQ(files.ReadEnd(path, 4), "6789");
  EXPECT_EQ(files.ReadStart(path, 4), "0123");
#ifdef __linux__
  // A file that tells no size is read to its end all the same.
  EXPECT_NE(files.ReadAll("/proc/self/status").find("\nPid:"), std::string::npos);
#endif

  const std::string sub = folder.path("sub");
  files.CreateFolder(sub);
  EXPECT_TRUE(files.FolderExists(sub));
  EXPECT_NO_THROW(files.CreateFolder(sub));
}

TEST(FileSystemTest, AFileIsReplacedWholeNeverSeenHalfWritten) {
  TempFolder folder;
  Platform platform = MakePlatform();
  FileSystem& files = *platform.files;
  const std::string path = folder.path("state.txt");
  files.WriteAll(path, "old state\n");
#ifndef _WIN32
  // A reader that opened the file before the write still reads all of the old text: the new
  // file took the name, the old one was not cut short under the reader.
  std::ifstream reader(path, std::ios::binary);
  files.WriteAll(path, "new state\n");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(reader), {}), "old state\n");
#endif
  files.WriteAll(path, "newer\n");
  EXPECT_EQ(files.ReadAll(path), "newer\n");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path()), {}), 1)
      << "nothing is left beside it";
}

TEST(FileSystemTest, FailuresCarryANumber) {
  TempFolder folder;
  Platform platform = MakePlatform();
  FileSystem& files = *platform.files;
  const std::string missing = folder.path("no") + platform.machine->Paths().separator() + "file";
  try {
    files.ReadAll(missing);
    FAIL() << "read of a missing file succeeded";
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), 53);
    EXPECT_NE(e.description().find(missing), std::string::npos);
  }
  EXPECT_THROW(files.WriteAll(missing, "x"), Error);
  EXPECT_THROW(files.Copy(missing, folder.path("c")), Error);
  EXPECT_THROW(files.CreateFolder(missing), Error);
}

}  // namespace
}  // namespace varnix
