// The log-file line and the Homeseer.Event message of a failure.
#include "core/reports.h"

#include <string>

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
  try {
    files_.Append(values_.LogFile(), line);
  } catch (...) {
  }
}

void XapEventReport::SendErrorEvent(std::string_view type, std::string_view data,
                                    const Failure& failure) {
  try {
    std::string text(data);
    if (failure.IsSet()) {
      text += " Line " + std::to_string(failure.line) + " " + failure.description;
    }
    const std::string time = machine_.GeneralDateText();
    queue_.SendXap("", "Homeseer.Event", "Event.Log",
                   PackItems({{"Time", time}, {"Type", type}, {"Data", text}}));
  } catch (...) {
    // A report must never take its caller down with it.
  }
}

}  // namespace varnix
