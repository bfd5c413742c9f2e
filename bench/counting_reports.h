// Failure reports that only count, for benchmarks that must not write logs or send events.
#pragma once

#include "core/failure.h"

namespace varnix {

class CountingReports : public ErrorLog, public EventReport {
 public:
  using ErrorLog::WriteErrorLog;
  using EventReport::SendErrorEvent;
  void WriteErrorLog(std::string_view, std::string_view, const Failure&) override { ++lines; }
  void SendErrorEvent(std::string_view, std::string_view, const Failure&) override { ++events; }

  int lines = 0;
  int events = 0;
};

}  // namespace varnix
