// The two failure reports: a line in the log file, and a Homeseer.Event message.
#pragma once

#include "core/app_values.h"
#include "core/failure.h"
#include "platform/file_system.h"
#include "platform/machine.h"

namespace varnix {

class OutgoingQueue;

// Appends "type data line description" and CR LF to the log file in the data folder.
// A log that cannot be written loses the line, and says so once on standard error.
class FileErrorLog : public ErrorLog {
 public:
  // `values` is read at every report: before start-up fixes AppPath, lines go to the root's Data.
  FileErrorLog(FileSystem& files, const AppValues& values) : files_(files), values_(values) {}

  using ErrorLog::WriteErrorLog;
  void WriteErrorLog(std::string_view type, std::string_view data, const Failure& failure) override;

 private:
  FileSystem& files_;
  const AppValues& values_;
  bool said_lost_ = false;
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
