// An error log that keeps each line it is given, formatted as the log file would hold it.
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

}  // namespace varnix
