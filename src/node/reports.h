// The two failure reports: a line in the log file, and a Homeseer.Event message.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "core/app_values.h"
#include "core/failure.h"
#include "platform/file_system.h"
#include "platform/machine.h"

namespace varnix {

class OutgoingQueue;

// Appends "type data line description" and CR LF to the log file in the data folder, in UTF-8.
// A log that cannot be written loses the line, and says so once on standard error. Bounded
// against whatever the network sends: a line repeated within a minute is written once, then
// once more with its count; past kMaxBytes the log becomes Korvane.old.txt and starts anew.
class FileErrorLog : public ErrorLog {
 public:
  static constexpr uint64_t kMaxBytes = 1024 * 1024;
  static constexpr size_t kMaxLineBytes = 2048;  // a line, past which it is cut, saying so
  static constexpr int64_t kRepeatWindowMs = 60000;
  using Clock = std::function<int64_t()>;  // milliseconds, monotonic

  // `values` is read at every report: before start-up fixes AppPath, lines go to the root's Data.
  // `marked`: each new log file starts with UTF-8's mark, by which every Notepad reads it as
  // UTF-8 (Windows), where an older one takes the code page.
  FileErrorLog(FileSystem& files, const AppValues& values, bool marked = false,
               Clock now = SteadyMilliseconds)
      : files_(files), values_(values), marked_(marked), now_(std::move(now)) {}
  ~FileErrorLog() override;

  using ErrorLog::WriteErrorLog;
  void WriteErrorLog(std::string_view type, std::string_view data, const Failure& failure) override;

  static int64_t SteadyMilliseconds();

 private:
  // Writes the count of the repeats held back, if any.
  void WriteRepeats();
  // Appends one line, starting a new log first when it would pass kMaxBytes.
  void Append(const std::string& line);

  FileSystem& files_;
  const AppValues& values_;
  bool marked_;
  Clock now_;
  bool said_lost_ = false;
  std::string last_line_;
  int64_t last_written_at_ = 0;
  uint64_t repeats_ = 0;          // of last_line_, held back since it was written
  std::optional<uint64_t> size_;  // of the log at sized_path_, once known
  std::string sized_path_;
};

// Sends the failure, or a plain notice, as an Event.Log section through the outgoing queue.
class XapEventReport : public EventReport {
 public:
  XapEventReport(OutgoingQueue& queue, Machine& machine) : queue_(queue), machine_(machine) {}

  using EventReport::SendErrorEvent;
  void SendErrorEvent(std::string_view type, std::string_view data,
                      const Failure& failure) override;

 private:
  OutgoingQueue& queue_;
  Machine& machine_;
};

}  // namespace varnix
