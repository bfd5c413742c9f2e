// Program logs: lines cut whole, stamps read back, files rotated within their bound.
#include "supervision/program_log.h"

#include <gtest/gtest.h>

#include "fakes/fake_file_system.h"
#include "platform/error.h"
#include "temp_folder.h"

namespace varnix {
namespace {

TEST(LineSplitterTest, LinesComeWholeHoweverTheBytesArriveAndLongOnesAreCut) {
  LineSplitter splitter;
  std::string lines;
  EXPECT_EQ(splitter.Take("one\r\ntw", lines), 1u);
  EXPECT_EQ(splitter.Take("o\n\nthr", lines), 2u);
  EXPECT_EQ(splitter.Finish(lines), 1u);
  EXPECT_EQ(lines, "one\ntwo\n\nthr\n");
  EXPECT_EQ(splitter.Finish(lines), 0u);

  // Cut at 4 KiB, not inside the two-byte letter that straddles it, saying how much went.
  lines.clear();
  const std::string long_line = std::string(kMaxLineBytes - 1, 'a') + "\xC3\xA9" + "tail";
  splitter.Take(long_line.substr(0, 3000), lines);
  splitter.Take(long_line.substr(3000) + "\nnext\n", lines);
  EXPECT_EQ(lines, std::string(kMaxLineBytes - 1, 'a') + " [... 6 bytes cut]\nnext\n");
}

TEST(LogStampTest, AStampNamesTheInstantItWasMadeAt) {
  const auto at = std::chrono::system_clock::time_point(std::chrono::milliseconds(1765207801123));
  const std::string stamp = LogStamp(at);
  ASSERT_EQ(stamp.size(), 29u) << stamp;
  EXPECT_EQ(StampMilliseconds(stamp), 1765207801123);
  EXPECT_EQ(StampMilliseconds("2026-12-08T15:50:01.123+01:00"), 1796741401123);
  EXPECT_EQ(StampMilliseconds("2026-12-08T14:50:01.123-00:00"), 1796741401123);
  for (const char* bad : {"", "2026-12-08 15:50:01.123+01:00", "2026-13-08T15:50:01.123+01:00",
                          "2026-12-08T15:50:01.12x+01:00"}) {
    EXPECT_EQ(StampMilliseconds(bad), std::nullopt) << bad;
  }
  const LogLine line = ParseLogLine("2026-12-08T15:50:01.123+01:00 err disk full");
  EXPECT_EQ(line.stamp, "2026-12-08T15:50:01.123+01:00");
  EXPECT_EQ(line.mark, "err");
  EXPECT_EQ(line.text, "disk full");
  EXPECT_EQ(ParseLogLine("no stamp here").text, "no stamp here");
}

TEST(LogFileTest, RotatesBeforeALineWouldPassTheBoundAndKeepsSoManyOldFiles) {
  TempFolder folder;
  StdFileSystem files;
  const std::string path = folder.path("prog.log");
  LogLimits limits{LogLimits::kLeastMaxBytes, 2, ""};
  LogFile log(files, path, limits);
  const std::string line = std::string(99, 'x') + "\n";
  std::string batch;
  for (int i = 0; i < 1000; ++i) batch += line;  // 100,000 bytes: more than a file holds
  for (int round = 0; round < 5; ++round) EXPECT_EQ(log.Write(batch), 0u);
  uint64_t total = 0;
  for (const std::string& file : {path, path + ".1", path + ".2"}) {
    const uint64_t size = files.FileSize(file);
    EXPECT_GT(size, 0u) << file;
    EXPECT_LE(size, limits.max_bytes) << file;
    EXPECT_EQ(size % line.size(), 0u) << "a line cut in two in " << file;
    total += size;
  }
  EXPECT_FALSE(files.FileExists(path + ".3"));
  EXPECT_LE(total, limits.max_bytes * 3);

  // With no old files kept, the file starts again.
  LogFile alone(files, folder.path("alone.log"), {LogLimits::kLeastMaxBytes, 0, ""});
  for (int round = 0; round < 3; ++round) alone.Write(batch);
  EXPECT_LE(files.FileSize(folder.path("alone.log")), LogLimits::kLeastMaxBytes);
  EXPECT_FALSE(files.FileExists(folder.path("alone.log.1")));
}

// A file a reader holds on Windows cannot be renamed, but can be copied and emptied: every
// line is kept and the older files move on. A folder remounted read-only takes neither: the
// lines past the bound are lost and counted, the bound holds, the rotation is not tried again
// at once (which spun the relay), and no older file moves (which left holes in their numbers).
TEST(LogFileTest, ARotationThatCannotRenameCopiesOrLosesOnlyCountedLinesPastTheBound) {
  struct NoRenames : FakeFileSystem {
    bool writable = true;
    int renames = 0;
    void Rename(const std::string& from, const std::string& to) override {
      ++renames;
      if (!writable || from == "p.log") throw Error(30, "Cannot rename: sharing violation");
      FakeFileSystem::Rename(from, to);
    }
    void Copy(const std::string& from, const std::string& to) override {
      if (!writable) throw Error(30, "Read-only file system");
      FakeFileSystem::Copy(from, to);
    }
  };
  const std::string line = std::string(99, 'x') + "\n";
  std::string batch;
  for (int i = 0; i < 1000; ++i) batch += line;
  const size_t kept = LogLimits::kLeastMaxBytes / line.size();
  {
    NoRenames held;
    held.files["p.log.1"] = "older\n";
    LogFile log(held, "p.log", {LogLimits::kLeastMaxBytes, 3, ""});
    EXPECT_EQ(log.Write(batch), 0u);
    EXPECT_EQ(held.files["p.log"].size() + held.files["p.log.1"].size(), 1000 * line.size());
    EXPECT_EQ(held.files["p.log.2"], "older\n");
    EXPECT_FALSE(held.FileExists("p.log.rotating"));
  }
  NoRenames files;
  files.writable = false;
  files.files["p.log.1"] = "older\n";
  LogFile log(files, "p.log", {LogLimits::kLeastMaxBytes, 2, ""});
  size_t lost = 0;
  for (int round = 0; round < 5; ++round) lost += log.Write(batch);
  EXPECT_EQ(files.files["p.log"].size(), kept * line.size());
  EXPECT_EQ(lost, 5000 - kept) << "every line not kept is counted";
  EXPECT_EQ(files.renames, 1) << "tried once, and not again within a second";
  EXPECT_EQ(files.files["p.log.1"], "older\n");
  log.RotateAgainNow();
  log.Write(line);
  EXPECT_EQ(files.renames, 2) << "tried again when asked";
}

TEST(LastLogLinesTest, TheLastLinesComeFromTheOlderFileTooAndFromAStampOn) {
  FakeFileSystem files;
  const auto line = [](int second, const char* text) {
    return "2026-12-08T15:50:0" + std::to_string(second) + ".000+01:00 out " + text + "\n";
  };
  files.files["p.log.1"] = line(1, "a") + line(2, "b");
  files.files["p.log"] = line(3, "c") + line(3, "d") + line(4, "e");
  const auto texts = [](const std::vector<LogLine>& lines) {
    std::string all;
    for (const LogLine& each : lines) all += each.text;
    return all;
  };
  EXPECT_EQ(texts(LastLogLines(files, "p.log", 3, 4)), "bcde");
  EXPECT_EQ(texts(LastLogLines(files, "p.log", 0, 4)), "cde");
  EXPECT_EQ(texts(LastLogLines(files, "p.log", 3, 10)), "abcde");
  EXPECT_EQ(
      texts(LastLogLines(files, "p.log", 3, 10, StampMilliseconds(line(3, "").substr(0, 29)))),
      "cde");
  EXPECT_EQ(texts(LastLogLines(files, "none.log", 3, 10)), "");
}

TEST(ProgramLogsTest, NamesThatCouldReachOutsideTheFolderGetNoLog) {
  EXPECT_EQ(ProgramLogs::FileNameFor("Backup"), "Backup.log");
  EXPECT_EQ(ProgramLogs::FileNameFor("notepad.exe"), "notepad.exe.log");
  for (const char* bad : {"", ".", "..", "a/b", "..\\x", "c:x", "con", "NUL.txt", "com1", "a\nb"}) {
    EXPECT_EQ(ProgramLogs::FileNameFor(bad), "") << bad;
  }
  FakeFileSystem files;
  ProgramLogs logs(files, "/d/Logs/", "/opt/varnix/varnix", {});
  const OutputRelay relay = logs.RelayFor("Backup");
  EXPECT_EQ(relay.program, "/opt/varnix/varnix");
  const std::optional<RelayOrder> order = ReadRelayArguments(relay.arguments);
  ASSERT_TRUE(order);
  EXPECT_EQ(order->log_path, "/d/Logs/Backup.log");
  EXPECT_EQ(order->limits.max_bytes, LogLimits::kDefaultMaxBytes);
  EXPECT_TRUE(files.FolderExists("/d/Logs"));
  EXPECT_TRUE(logs.RelayFor("..").program.empty());
  EXPECT_FALSE(ReadRelayArguments({kRelayWord, "/x.log", "100", "3"})) << "under the least";
  EXPECT_FALSE(ReadRelayArguments({"--help"}));
}

}  // namespace
}  // namespace varnix
