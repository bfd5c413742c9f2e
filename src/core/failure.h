// The failure record that trapping operations report, and the error type that carries one.
#pragma once

#include <string>
#include <string_view>

#include "platform/error.h"

namespace varnix {

// The type text of every report the node makes, in the log file and on the network.
inline constexpr char kLogType[] = "Korvane";

// A failure as the reports see it: number 0 means none. The line is the number of
// the step that failed, 0 when there was no numbered step.
struct Failure {
  long number = 0;
  std::string description;
  int line = 0;

  bool IsSet() const { return number != 0; }
};

// Turns whatever a step threw into a failure record at the given line.
Failure FailureFromCurrentException(int line);

// The text log report. Implementations never throw.
class ErrorLog {
 public:
  virtual ~ErrorLog() = default;
  virtual void WriteErrorLog(std::string_view type, std::string_view data,
                             const Failure& failure) = 0;
  void WriteErrorLog(std::string_view type, std::string_view data) {
    WriteErrorLog(type, data, Failure{});
  }
};

// The xAP event report. Implementations never throw.
class EventReport {
 public:
  virtual ~EventReport() = default;
  virtual void SendErrorEvent(std::string_view type, std::string_view data,
                              const Failure& failure) = 0;
  void SendErrorEvent(std::string_view type, std::string_view data) {
    SendErrorEvent(type, data, Failure{});
  }
};

// For the programs beside the node, which keep no log and send no events: what they would
// say goes nowhere, and they show their failures themselves.
class QuietReports : public ErrorLog, public EventReport {
 public:
  using ErrorLog::WriteErrorLog;
  using EventReport::SendErrorEvent;
  void WriteErrorLog(std::string_view, std::string_view, const Failure&) override {}
  void SendErrorEvent(std::string_view, std::string_view, const Failure&) override {}
};

}  // namespace varnix
