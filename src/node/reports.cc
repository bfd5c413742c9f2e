// The log-file line and the Homeseer.Event message of a failure.
#include "node/reports.h"

#include <cstdio>
#include <string>

#include "core/steps.h"
#include "xap/outgoing_queue.h"
#include "xap/packed_items.h"

namespace varnix {

void FileErrorLog::WriteErrorLog(std::string_view type, std::string_view data,
                                 const Failure& failure) {
  std::string line(type);
  line += ' ';
  line += data;
  line += ' ';
  line += std::to_string(failure.line);
  line += ' ';
  line += failure.description;
  line += "\r\n";
  // A lost line, not a lost node; but whoever runs it should learn that the log is lost.
  Steps([this](const Failure& lost) {
    if (said_lost_) return;
    said_lost_ = true;
    std::fprintf(stderr, "varnix: cannot write the log %s (%s); log lines are lost\n",
                 values_.LogFile().c_str(), lost.description.c_str());
  })(0, [&] { files_.Append(values_.LogFile(), line); });
}

void XapEventReport::SendErrorEvent(std::string_view type, std::string_view data,
                                    const Failure& failure) {
  // A report must never take its caller down with it.
  Quietly([&] {
    std::string text(data);
    if (failure.IsSet()) {
      text += " Line " + std::to_string(failure.line) + " " + failure.description;
    }
    const std::string time = machine_.GeneralDateText();
    queue_.SendXap("", "Homeseer.Event", "Event.Log",
                   PackItems({{"Time", time}, {"Type", type}, {"Data", text}}));
  });
}

}  // namespace varnix
