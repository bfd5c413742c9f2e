// The log-file line and the Homeseer.Event message of a failure.
#include "node/reports.h"

#include <chrono>
#include <cstdio>
#include <string>

#include "core/steps.h"
#include "core/text.h"
#include "platform/terminal.h"
#include "xap/outgoing_queue.h"
#include "xap/packed_items.h"

namespace varnix {

int64_t FileErrorLog::SteadyMilliseconds() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

FileErrorLog::~FileErrorLog() { WriteRepeats(); }

void FileErrorLog::WriteErrorLog(std::string_view type, std::string_view data,
                                 const Failure& failure) {
  std::string line(type);
  line += ' ';
  line += data;
  line += ' ';
  line += std::to_string(failure.line);
  line += ' ';
  line += failure.description;
  // Whoever wrote it, one line stays one bounded line: a whole log is never rotated away by a
  // few long ones.
  line = ShownSafely(line, kMaxLineBytes);
  const int64_t now = now_();
  if (line == last_line_ && now - last_written_at_ < kRepeatWindowMs) {
    ++repeats_;
    return;
  }
  WriteRepeats();
  last_line_ = line;
  last_written_at_ = now;
  Append(line + "\r\n");
}

void FileErrorLog::WriteRepeats() {
  if (repeats_ == 0) return;
  Append(last_line_ + " (" + std::to_string(repeats_) + " more times)\r\n");
  repeats_ = 0;
}

void FileErrorLog::Append(const std::string& line) {
  const std::string path = values_.LogFile();
  // A lost line, not a lost node; but whoever runs it should learn that the log is lost.
  Steps([this, &path](const Failure& lost) {
    size_.reset();  // known again from the file at the next line
    if (said_lost_) return;
    said_lost_ = true;
    WriteText(stderr, "varnix: cannot write the log " + path + " (" + lost.description +
                          "); log lines are lost\n");
  })(0, [&] {
    if (path != sized_path_) size_.reset();  // the log moved to the user's own folder
    if (!size_) size_ = files_.FileSize(path);
    sized_path_ = path;
    if (*size_ + line.size() > kMaxBytes && *size_ > 0) {
      const std::string old = path.substr(0, path.size() - 4) + ".old.txt";  // "Korvane.old.txt"
      files_.Rename(path, old);
      size_ = 0;
    }
    // UTF-8 on every system: a path of any script is logged as it is, never as "?".
    const std::string written = *size_ == 0 && marked_ ? "\xEF\xBB\xBF" + line : line;
    files_.AppendUtf8(path, written);
    *size_ += written.size();
  });
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
