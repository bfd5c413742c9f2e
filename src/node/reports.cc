// The log-file line and the Homeseer.Event message of a failure.
#include "node/reports.h"

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
  Quietly([&] { files_.Append(values_.LogFile(), line); });  // a lost line, not a lost node
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
