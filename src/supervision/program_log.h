// What programs say, kept: each line stamped and marked, in files of bounded size, read back.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_system.h"
#include "platform/process_table.h"

namespace varnix {

// How much of one program's output is kept: its file grows to `max_bytes`, then becomes the
// newest of `files` older ones. Together they never pass max_bytes x (files + 1).
struct LogLimits {
  static constexpr uint64_t kDefaultMaxBytes = 1048576;
  static constexpr int kDefaultFiles = 3;
  // Below this a file would hold less than a few cut lines.
  static constexpr uint64_t kLeastMaxBytes = 65536;
  static constexpr int kMostFiles = 100;

  uint64_t max_bytes = kDefaultMaxBytes;
  int files = kDefaultFiles;
  std::string group;  // may read the logs too; "" for the node's user alone
};

// A longer line is cut here, saying how much was left out.
constexpr size_t kMaxLineBytes = 4096;

// What a line of a log is: said on standard output or on standard error, or a note of the
// keeper's own (lines dropped).
enum class LineMark { kOutput, kErrors, kNote };

// "1,204": a count as the notes in a log give it.
std::string GroupedDigits(uint64_t number);

// "out", "err" or "---", as each line of a log carries it.
std::string_view MarkText(LineMark mark);

// "2026-12-08T15:50:01.123+01:00": local time with its offset, readable where the computer is
// and ordered across a change of the clocks.
std::string LogStamp(std::chrono::system_clock::time_point at);
// The instant a stamp names, in milliseconds since 1970; nothing for a text that is no stamp.
std::optional<int64_t> StampMilliseconds(std::string_view stamp);

// Cuts a stream's bytes into lines, whatever pieces they come in. A line ends at "\n" (a "\r"
// before it is dropped); one longer than kMaxLineBytes is cut at a character's edge and ends
// with how many bytes were left out.
class LineSplitter {
 public:
  // Appends the lines that `bytes` completes to `lines`, each ended by "\n"; returns how many.
  size_t Take(std::string_view bytes, std::string& lines);
  // At the stream's end: its last line, if it had no "\n"; returns 0 or 1.
  size_t Finish(std::string& lines);

 private:
  void Complete(std::string& lines);

  std::string pending_;  // the line begun, at most kMaxLineBytes of it
  uint64_t cut_ = 0;     // bytes of it left out
};

// One program's log file, appended to in whole lines and rotated. Safe with a second writer
// of the same file (an old relay still draining): lines stay whole, the bound holds within a
// line or two.
class LogFile {
 public:
  // A rotation that failed (a read-only folder, a file a reader holds) is tried again after
  // this long; meanwhile the lines past the bound are lost, and counted.
  static constexpr std::chrono::milliseconds kRotateAgain{1000};

  LogFile(FileSystem& files, std::string path, LogLimits limits);
  // Appends `lines`, each ended by "\n". Before a line that would take the file past its
  // bound, the file is rotated. Returns how many lines could not be kept.
  size_t Write(std::string_view lines);
  // The next write that needs a rotation tries it at once, however recently one failed.
  void RotateAgainNow() { rotation_failed_at_.reset(); }

 private:
  // True when the file was moved aside (or emptied, where no older files are kept). Nothing
  // moves unless the newest does: the older files' numbers never get a hole.
  bool Rotate();

  FileSystem& files_;
  std::string path_;
  LogLimits limits_;
  std::optional<std::chrono::steady_clock::time_point> rotation_failed_at_;
};

struct LogLine {
  std::string stamp;  // "" for a line that carries none
  std::string mark;   // "out", "err" or "---"
  std::string text;
};

// A line as a log holds it, without its "\n".
LogLine ParseLogLine(std::string_view line);

// The last `count` lines of the log at `path` and of its `older_files` rotated ones (at most
// so many as one request may carry), oldest first. With `after`, only lines stamped at that
// instant or later: a reader that follows asks from the stamp of the last line it has.
std::vector<LogLine> LastLogLines(FileSystem& files, const std::string& path, int older_files,
                                  size_t count, std::optional<int64_t> after_ms = std::nullopt);

// The programs' logs of one node: where each is, how its relay is started, and reading them.
class ProgramLogs {
 public:
  // `relay_program` is the program that relays when started so (RelayArguments): varnix-relay,
  // or the node's own, which does too.
  ProgramLogs(FileSystem& files, std::string folder, std::string relay_program, LogLimits limits);

  // The log's file name for a program: its declared name, or its file's name, and ".log";
  // "" for a name that could reach outside the folder.
  static std::string FileNameFor(std::string_view name);
  // Why a program called `name` keeps no log, in words; "" when it keeps one.
  static std::string WhyNoLogFor(std::string_view name);
  // What starts the relay of a program called `name`; no relay where the name makes no file
  // name or the folder cannot be made.
  OutputRelay RelayFor(std::string_view name);
  // Makes the folder, the node's user's alone or shared with the group of the limits: why it
  // could not be made so ("" when it was). Done by the first relay otherwise.
  std::string Prepare();
  // Whether `name` has a log, current or rotated.
  bool Has(std::string_view name);
  // The size of its current file, 0 for none: it changes as lines are kept and at a rotation.
  uint64_t SizeOf(std::string_view name);
  // Adds a note of the node's own to the log of `name`, stamped now, as the relay notes.
  void Note(std::string_view name, const std::string& text);
  std::vector<LogLine> Last(std::string_view name, size_t count,
                            std::optional<int64_t> after_ms = std::nullopt);
  const LogLimits& limits() const { return limits_; }
  const std::string& relay_program() const { return relay_program_; }

 private:
  std::string PathFor(std::string_view name) const;

  FileSystem& files_;
  std::string folder_;  // ends with the separator
  std::string relay_program_;
  LogLimits limits_;
  bool private_ = false;  // the folder made the node's own, once a run
};

// The words the node's program is started with to relay: the word, the log, the limits; and
// reading them back. The word is unlike any a person would give.
inline constexpr char kRelayWord[] = "--keep-output";
std::vector<std::string> RelayArguments(const std::string& log_path, LogLimits limits);
struct RelayOrder {
  std::string log_path;
  LogLimits limits;
};
std::optional<RelayOrder> ReadRelayArguments(const std::vector<std::string>& words);

}  // namespace varnix
