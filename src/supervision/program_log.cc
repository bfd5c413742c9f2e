// Program logs: the line format, the bounded files and their rotation, and reading them back.
#include "supervision/program_log.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "core/steps.h"
#include "core/text.h"
#include "platform/error.h"

namespace varnix {
namespace {

// Days from 1970-01-01 to the given date of the Gregorian calendar.
int64_t DaysFromCivil(int64_t year, int64_t month, int64_t day) {
  year -= month <= 2 ? 1 : 0;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const int64_t of_era = year - era * 400;
  const int64_t of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int64_t of_cycle = of_era * 365 + of_era / 4 - of_era / 100 + of_year;
  return era * 146097 + of_cycle - 719468;
}

int64_t SecondsOf(const std::tm& time) {
  return DaysFromCivil(time.tm_year + 1900, time.tm_mon + 1, time.tm_mday) * 86400 +
         time.tm_hour * 3600 + time.tm_min * 60 + time.tm_sec;
}

// Reads `count` digits at `at`; nothing where any is not a digit.
std::optional<int> Digits(std::string_view text, size_t at, size_t count) {
  int value = 0;
  if (at + count > text.size()) return std::nullopt;
  const auto [end, error] = std::from_chars(text.data() + at, text.data() + at + count, value);
  if (error != std::errc() || end != text.data() + at + count) return std::nullopt;
  return value;
}

// Stamps are this long: "2026-12-08T15:50:01.123+01:00".
constexpr size_t kStampBytes = 29;

bool IsReservedDeviceName(std::string_view name) {
  // The names Windows takes for its devices, whatever follows a dot: "con.log" is the console.
  const std::string base = LowerCase(std::string(name.substr(0, name.find('.'))));
  if (base == "con" || base == "prn" || base == "aux" || base == "nul") return true;
  return base.size() == 4 && (base.starts_with("com") || base.starts_with("lpt")) &&
         base[3] >= '1' && base[3] <= '9';
}

}  // namespace

std::string GroupedDigits(uint64_t number) {
  std::string digits = std::to_string(number);
  for (size_t at = digits.size(); at > 3; at -= 3) digits.insert(at - 3, ",");
  return digits;
}

std::string_view MarkText(LineMark mark) {
  switch (mark) {
    case LineMark::kOutput:
      return "out";
    case LineMark::kErrors:
      return "err";
    case LineMark::kNote:
      break;
  }
  return "---";
}

std::string LogStamp(std::chrono::system_clock::time_point at) {
  const auto milliseconds =
      std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count();
  const auto seconds = static_cast<std::time_t>(milliseconds / 1000 - (milliseconds % 1000 < 0));
  const std::tm* local = std::localtime(&seconds);
  if (local == nullptr) return "";
  const std::tm time = *local;
  const int64_t offset_minutes = (SecondsOf(time) - static_cast<int64_t>(seconds)) / 60;
  const int64_t shown = offset_minutes < 0 ? -offset_minutes : offset_minutes;
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02d:%02d",
                time.tm_year + 1900, time.tm_mon + 1, time.tm_mday, time.tm_hour, time.tm_min,
                time.tm_sec, static_cast<int>(((milliseconds % 1000) + 1000) % 1000),
                offset_minutes < 0 ? '-' : '+', static_cast<int>(shown / 60),
                static_cast<int>(shown % 60));
  return text;
}

std::optional<int64_t> StampMilliseconds(std::string_view stamp) {
  if (stamp.size() != kStampBytes || stamp[4] != '-' || stamp[7] != '-' || stamp[10] != 'T' ||
      stamp[13] != ':' || stamp[16] != ':' || stamp[19] != '.' ||
      (stamp[23] != '+' && stamp[23] != '-') || stamp[26] != ':') {
    return std::nullopt;
  }
  const auto year = Digits(stamp, 0, 4), month = Digits(stamp, 5, 2), day = Digits(stamp, 8, 2),
             hour = Digits(stamp, 11, 2), minute = Digits(stamp, 14, 2),
             second = Digits(stamp, 17, 2), milli = Digits(stamp, 20, 3),
             offset_hours = Digits(stamp, 24, 2), offset_minutes = Digits(stamp, 27, 2);
  if (!year || !month || !day || !hour || !minute || !second || !milli || !offset_hours ||
      !offset_minutes || *month < 1 || *month > 12 || *day < 1 || *day > 31) {
    return std::nullopt;
  }
  const int64_t offset = (*offset_hours * 60 + *offset_minutes) * (stamp[23] == '-' ? -1 : 1);
  const int64_t local =
      DaysFromCivil(*year, *month, *day) * 86400 + *hour * 3600 + *minute * 60 + *second;
  return (local - offset * 60) * 1000 + *milli;
}

size_t LineSplitter::Take(std::string_view bytes, std::string& lines) {
  size_t count = 0;
  while (!bytes.empty()) {
    const void* found = std::memchr(bytes.data(), '\n', bytes.size());
    const size_t end =
        found == nullptr ? bytes.size() : static_cast<const char*>(found) - bytes.data();
    const std::string_view piece = bytes.substr(0, end);
    if (found != nullptr && pending_.empty() && cut_ == 0 && piece.size() <= kMaxLineBytes) {
      // The common case, a whole short line in one piece: no copy on the way.
      lines.append(piece.ends_with('\r') ? piece.substr(0, piece.size() - 1) : piece);
      lines += '\n';
    } else {
      const size_t room = kMaxLineBytes - pending_.size();
      pending_.append(piece.substr(0, room));
      if (piece.size() > room) cut_ += piece.size() - room;
      if (found == nullptr) break;
      Complete(lines);
    }
    ++count;
    bytes.remove_prefix(end + 1);
  }
  return count;
}

size_t LineSplitter::Finish(std::string& lines) {
  if (pending_.empty() && cut_ == 0) return 0;
  Complete(lines);
  return 1;
}

void LineSplitter::Complete(std::string& lines) {
  std::string_view text = pending_;
  if (cut_ == 0) {
    if (text.ends_with('\r')) text.remove_suffix(1);
    lines.append(text);
  } else {
    // Cut at a character's edge: a character begun at the end but not finished goes too.
    size_t keep = text.size();
    for (size_t back = 1; back <= 3 && back <= text.size(); ++back) {
      const auto byte = static_cast<unsigned char>(text[text.size() - back]);
      if ((byte & 0xC0) == 0x80) continue;  // within a character
      if (byte >= 0xC0 && Utf8Length(text.substr(text.size() - back)) == 0) keep -= back;
      break;
    }
    cut_ += text.size() - keep;
    lines.append(text.substr(0, keep));
    lines += " [... " + GroupedDigits(cut_) + " bytes cut]";
  }
  lines += '\n';
  pending_.clear();
  cut_ = 0;
}

LogFile::LogFile(FileSystem& files, std::string path, LogLimits limits)
    : files_(files), path_(std::move(path)), limits_(limits) {}

size_t LogFile::Write(std::string_view lines) {
  size_t lost = 0;
  const auto lose = [&](std::string_view what) {
    lost += static_cast<size_t>(std::count(what.begin(), what.end(), '\n'));
  };
  while (!lines.empty()) {
    // Asked at every write, never kept: another writer of the same file may have grown it.
    uint64_t size = 0;
    Quietly([&] { size = files_.FileSize(path_); });
    const uint64_t room = limits_.max_bytes > size ? limits_.max_bytes - size : 0;
    size_t end = lines.size();
    if (end > room) {
      const size_t last = room == 0 ? std::string_view::npos : lines.rfind('\n', room - 1);
      end = last == std::string_view::npos ? 0 : last + 1;
    }
    if (end == 0 && size > 0) {
      // Tried once, then again only after a while: a folder that takes no rename must not
      // keep the relay spinning.
      const auto now = std::chrono::steady_clock::now();
      if (!rotation_failed_at_ || now - *rotation_failed_at_ >= kRotateAgain) {
        if (Rotate()) {
          rotation_failed_at_.reset();
          continue;
        }
        rotation_failed_at_ = now;
      }
      lose(lines);  // no room, and none to be made yet: the bound holds, the loss is counted
      break;
    }
    if (end == 0) end = std::min(lines.size(), lines.find('\n') + 1);  // longer than a file
    try {
      files_.AppendUtf8(path_, lines.substr(0, end));
    } catch (const Error&) {
      lose(lines.substr(0, end));  // a full disk: lost, never the program's time
    }
    lines.remove_prefix(end);
  }
  return lost;
}

bool LogFile::Rotate() {
  const auto older = [&](int number) { return path_ + "." + std::to_string(number); };
  if (limits_.files == 0) return Quietly([&] { files_.Empty(path_); });
  // The newest is moved first, to a name of its own: where it cannot be (a folder gone
  // read-only), nothing has moved.
  const std::string moving = path_ + ".rotating";
  if (!Quietly([&] { files_.Rename(path_, moving); })) {
    // A viewer on Windows that holds the file sharing reads and writes but not renames: its
    // lines are copied aside and the file emptied in place, so that none is lost.
    if (!Quietly([&] {
          files_.Copy(path_, moving);
          files_.Empty(path_);
        })) {
      return false;
    }
  }
  Quietly([&] {
    for (int number = limits_.files; number >= 2; --number) {
      if (files_.FileExists(older(number - 1))) files_.Rename(older(number - 1), older(number));
    }
  });
  Quietly([&] { files_.Rename(moving, older(1)); });
  return true;
}

LogLine ParseLogLine(std::string_view line) {
  LogLine parsed;
  if (line.size() >= kStampBytes + 5 && line[kStampBytes] == ' ' && line[kStampBytes + 4] == ' ' &&
      StampMilliseconds(line.substr(0, kStampBytes))) {
    parsed.stamp = line.substr(0, kStampBytes);
    parsed.mark = line.substr(kStampBytes + 1, 3);
    parsed.text = line.substr(kStampBytes + 5);
  } else {
    parsed.mark = "out";
    parsed.text = line;
  }
  return parsed;
}

std::vector<LogLine> LastLogLines(FileSystem& files, const std::string& path, int older_files,
                                  size_t count, std::optional<int64_t> after_ms) {
  std::vector<LogLine> newest_first;
  bool before_after = false;  // reached a line older than `after`
  for (int number = 0; number <= older_files && newest_first.size() < count && !before_after;
       ++number) {
    const std::string file = number == 0 ? path : path + "." + std::to_string(number);
    std::vector<std::string_view> lines;
    std::string tail;
    try {
      if (!files.FileExists(file)) continue;
      const uint64_t size = files.FileSize(file);
      const size_t needed = count - newest_first.size();
      const size_t most = needed * (kMaxLineBytes + 64) + 65536;
      for (size_t want = 65536;; want *= 4) {
        tail = files.ReadEnd(file, std::min(want, most));
        const bool whole = tail.size() >= size;
        lines.clear();
        std::string_view rest = tail;
        if (rest.ends_with('\n')) rest.remove_suffix(1);
        while (!rest.empty()) {
          const size_t last = rest.rfind('\n');
          // The first piece of a part read from the middle of a file is no whole line.
          if (last == std::string_view::npos && !whole) break;
          lines.push_back(last == std::string_view::npos ? rest : rest.substr(last + 1));
          rest = last == std::string_view::npos ? std::string_view() : rest.substr(0, last);
        }
        if (whole || lines.size() >= needed || want >= most) break;
      }
    } catch (const Error&) {
      continue;  // rotated away while read: the next file holds its lines
    }
    for (const std::string_view line : lines) {
      if (newest_first.size() >= count) break;
      LogLine parsed = ParseLogLine(line);
      if (after_ms) {
        const std::optional<int64_t> at = StampMilliseconds(parsed.stamp);
        if (at && *at < *after_ms) {
          before_after = true;
          break;
        }
      }
      newest_first.push_back(std::move(parsed));
    }
  }
  std::reverse(newest_first.begin(), newest_first.end());
  return newest_first;
}

ProgramLogs::ProgramLogs(FileSystem& files, std::string folder, std::string relay_program,
                         LogLimits limits)
    : files_(files),
      folder_(std::move(folder)),
      relay_program_(std::move(relay_program)),
      limits_(limits) {}

std::string ProgramLogs::WhyNoLogFor(std::string_view name) {
  if (IsReservedDeviceName(name)) {
    return "Windows keeps the name " + std::string(name.substr(0, name.find('.'))) +
           " for a device, so no file can be called so; declare the program under another name";
  }
  if (name.size() > 200) return "its name is longer than a file's may be";
  if (name.empty() || name == "." || name == ".." ||
      name.find_first_of("<>:\"/\\|?*") != std::string_view::npos ||
      std::any_of(name.begin(), name.end(), IsControlByte)) {
    return "its name holds what a file's name cannot";
  }
  return "";
}

std::string ProgramLogs::FileNameFor(std::string_view name) {
  return WhyNoLogFor(name).empty() ? std::string(name) + ".log" : "";
}

void ProgramLogs::Note(std::string_view name, const std::string& text) {
  const std::string path = PathFor(name);
  if (path.empty()) return;
  Quietly([&] {
    files_.AppendUtf8(path, LogStamp(std::chrono::system_clock::now()) + " --- ... " + text + "\n");
  });
}

std::string ProgramLogs::PathFor(std::string_view name) const {
  const std::string file = FileNameFor(name);
  return file.empty() ? "" : folder_ + file;
}

OutputRelay ProgramLogs::RelayFor(std::string_view name) {
  const std::string path = PathFor(name);
  if (path.empty() || relay_program_.empty()) return {};
  if (!private_) Prepare();
  if (!private_) return {};
  return {relay_program_, RelayArguments(path, limits_)};
}

std::string ProgramLogs::Prepare() {
  const std::string folder = folder_.substr(0, folder_.size() - 1);
  try {
    if (!files_.FolderExists(folder)) files_.CreateFolder(folder);
    // What a program prints may hold its secrets: for the node's user alone, also a folder
    // an earlier version made readable, or for the group named.
    std::string problem;
    if (!limits_.group.empty()) {
      try {
        files_.ShareFolderWithGroup(folder, limits_.group);
        private_ = true;
        return "";
      } catch (const Error& e) {
        problem = "[Logs] Group=" + limits_.group + " is not used (" + e.description() +
                  "): the logs are the node's user's alone";
      }
    }
    files_.MakeFolderPrivate(folder);
    private_ = true;
    return problem;
  } catch (const Error& e) {
    return e.description();
  }
}

uint64_t ProgramLogs::SizeOf(std::string_view name) {
  const std::string path = PathFor(name);
  return path.empty() || !files_.FileExists(path) ? 0 : files_.FileSize(path);
}

bool ProgramLogs::Has(std::string_view name) {
  const std::string path = PathFor(name);
  return !path.empty() && (files_.FileExists(path) || files_.FileExists(path + ".1"));
}

std::vector<LogLine> ProgramLogs::Last(std::string_view name, size_t count,
                                       std::optional<int64_t> after_ms) {
  const std::string path = PathFor(name);
  if (path.empty()) return {};
  return LastLogLines(files_, path, limits_.files, count, after_ms);
}

std::vector<std::string> RelayArguments(const std::string& log_path, LogLimits limits) {
  return {kRelayWord, log_path, std::to_string(limits.max_bytes), std::to_string(limits.files)};
}

std::optional<RelayOrder> ReadRelayArguments(const std::vector<std::string>& words) {
  if (words.size() != 4 || words[0] != kRelayWord || words[1].empty()) return std::nullopt;
  RelayOrder order{words[1], {}};
  const auto number = [](const std::string& text, auto& value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size();
  };
  if (!number(words[2], order.limits.max_bytes) || !number(words[3], order.limits.files) ||
      order.limits.max_bytes < LogLimits::kLeastMaxBytes || order.limits.files < 0 ||
      order.limits.files > LogLimits::kMostFiles) {
    return std::nullopt;
  }
  return order;
}

}  // namespace varnix
