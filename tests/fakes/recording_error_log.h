// The two failure reports, keeping each report they are given as text.
#pragma once

#include <string>
#include <vector>

#include "core/failure.h"

namespace varnix {

class RecordingErrorLog : public ErrorLog {
 public:
  using ErrorLog::WriteErrorLog;
  void WriteErrorLog(std::string_view type, std::string_view data,
                     const Failure& failure) override {
    lines.push_back(std::string(type) + " " + std::string(data) + " " +
                    std::to_string(failure.line) + " " + failure.description);
  }

  std::vector<std::string> lines;
};

// Keeps "data line description" of each event, or the data alone for a plain notice, and the
// type of each apart.
class RecordingEventReport : public EventReport {
 public:
  using EventReport::SendErrorEvent;
  void SendErrorEvent(std::string_view type, std::string_view data,
                      const Failure& failure) override {
    types.emplace_back(type);
    events.push_back(failure.IsSet() ? std::string(data) + " " + std::to_string(failure.line) +
                                           " " + failure.description
                                     : std::string(data));
  }

  std::vector<std::string> types;
  std::vector<std::string> events;
};

}  // namespace varnix
