// Report figures in units people read, aligned in columns, or as JSON.
#include "ctl/report_view.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <optional>

#include "core/text.h"
#include "core/wire_text.h"
#include "xap/sealed_items.h"

namespace varnix {
namespace {

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  while (!text.empty()) {
    const char c = text.front();
    const size_t length = Utf8Length(text);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (IsControlByte(c) || IsC1Control(text.substr(0, length))) {
      // C1 controls too: an 8-bit terminal obeys them wherever the JSON is shown.
      char escaped[8];
      std::snprintf(
          escaped, sizeof escaped, "\\u%04x",
          length == 2 ? static_cast<unsigned char>(text[1]) : static_cast<unsigned char>(c));
      out += escaped;
    } else if (length == 0) {
      out += "\xEF\xBF\xBD";  // U+FFFD, the replacement character
    } else {
      out.append(text.substr(0, length));
    }
    text.remove_prefix(std::max<size_t>(length, 1));
  }
  return out + "\"";
}

}  // namespace

std::string NodeName(const std::string& source) { return source.substr(source.rfind('.') + 1); }

std::string Mebibytes(const std::string& bytes) {
  const auto value = WholeNumber(bytes);
  if (!value) return "-";
  char text[32];
  std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(*value) / (1024.0 * 1024.0));
  return text;
}

std::string RunningTime(const std::string& seconds) {
  const auto value = WholeNumber(seconds);
  if (!value) return "-";
  char text[32];
  std::snprintf(text, sizeof text, "%llu:%02llu:%02llu",
                static_cast<unsigned long long>(*value / 3600),
                static_cast<unsigned long long>(*value / 60 % 60),
                static_cast<unsigned long long>(*value % 60));
  return text;
}

std::string Span(int64_t seconds) {
  if (seconds < 0) return "-";
  char text[48];
  const auto s = static_cast<unsigned long long>(seconds);
  if (s >= 86400) {
    std::snprintf(text, sizeof text, "%llu d %llu h", s / 86400, s / 3600 % 24);
  } else if (s >= 3600) {
    std::snprintf(text, sizeof text, "%llu h %02llu min", s / 3600, s / 60 % 60);
  } else {
    std::snprintf(text, sizeof text, "%llu min", s / 60);
  }
  return text;
}

std::string Gibibytes(const std::string& bytes) {
  const auto value = WholeNumber(bytes);
  if (!value) return "-";
  if (*value < (uint64_t{1} << 30)) return Mebibytes(bytes);
  char text[32];
  std::snprintf(text, sizeof text, "%.1f GiB", static_cast<double>(*value) / (1 << 30));
  return text;
}

std::vector<std::vector<std::string>> StatusRows(const Heard& status, int64_t now_seconds) {
  const std::string cpu = status.Item("CPU");
  const auto used = WholeNumber(status.Item("MemoryUsed"));
  const auto total = WholeNumber(status.Item("MemoryTotal"));
  std::string memory =
      Gibibytes(status.Item("MemoryUsed")) + " of " + Gibibytes(status.Item("MemoryTotal"));
  if (used && total && *total > 0) memory += " (" + std::to_string(*used * 100 / *total) + "%)";
  const auto booted = WholeNumber(status.Item("Booted"));
  const std::string mac = status.Item("MAC");
  const std::string temperature = status.Item("CPUTemperature");
  // Who is at it: the user, locked or idle a while; nobody; or not known.
  std::string at_it = "-";
  if (StillSealed(status.items)) {
    at_it = "sealed";  // with the node's access key, which this varnixctl lacks
  } else if (!status.Item("Presence").empty()) {
    at_it = "not known";
  } else if (status.Item("Session") == "none") {
    at_it = "nobody";
  } else if (const std::string user = status.Item("User"); !user.empty()) {
    at_it = user;
    if (status.Item("Locked") == "yes") at_it += ", locked";
    const auto idle = WholeNumber(status.Item("IdleSeconds"));
    if (idle && *idle >= 60) at_it += ", idle " + Span(static_cast<int64_t>(*idle));
  }
  return {{"NODE", "CPU", "MEMORY USED", "UP", "DISK FREE", "MAC", "CPU TEMP", "AT IT"},
          {NodeName(status.source), cpu.empty() ? "-" : cpu + "%", memory,
           booted ? Span(now_seconds - static_cast<int64_t>(*booted)) : "-",
           Gibibytes(status.Item("DiskFree")), mac.empty() ? "-" : mac,
           temperature.empty() ? "-" : temperature + " C", at_it}};
}

std::string ProgramState(const Heard& report) {
  if (report.Item("PID", "0") != "0") {
    // Its output lost since its relay ended: said beside it, as the node tells it.
    const std::string output = report.Item("Output");
    return output.empty() ? "running" : "running, output " + output;
  }
  // Given up by the node: not an ordinary end, and not to be started again by it.
  if (EqualsIgnoringCase(report.Item("GaveUp"), "yes")) {
    const std::string code = report.Item("ExitCode");
    const std::string last = !code.empty()                    ? "exit " + code
                             : !report.Item("Signal").empty() ? report.Item("Signal")
                                                              : report.Item("LastEnd");
    return "gave up" + (last.empty() ? "" : " (" + last + ")");
  }
  if (EqualsIgnoringCase(report.Item("Forced"), "yes")) {
    // Ended by the node's force: work in it may be lost, whatever its exit code says.
    const std::string code = report.Item("ExitCode");
    const std::string signal = report.Item("Signal");
    return "killed" + (!signal.empty() ? " (" + signal + ")"
                       : !code.empty() ? " (exit " + code + ")"
                                       : "");
  }
  if (const std::string code = report.Item("ExitCode"); !code.empty()) return "exit " + code;
  if (const std::string signal = report.Item("Signal"); !signal.empty()) return signal;
  return "not running";
}

void ProgramTable::Take(const Heard& report) {
  const auto same = std::find_if(reports_.begin(), reports_.end(), [&](const Heard& shown) {
    return EqualsIgnoringCase(shown.source, report.source) &&
           shown.Item("Path") == report.Item("Path") && shown.Item("Title") == report.Item("Title");
  });
  if (same != reports_.end()) {
    *same = report;
  } else {
    reports_.push_back(report);
  }
}

std::string ProgramTable::Render() const {
  bool several_nodes = false;
  bool titles = false;
  for (const Heard& report : reports_) {
    several_nodes = several_nodes || !EqualsIgnoringCase(report.source, reports_[0].source);
    titles = titles || !report.Item("Title").empty();
  }
  std::vector<std::vector<std::string>> rows;
  std::vector<std::string> header;
  if (several_nodes) header.push_back("NODE");
  header.insert(header.end(), {"PATH", "PID", "PRIORITY", "CPU", "MEMORY", "RUNNING", "STATE"});
  if (titles) header.push_back("TITLE");
  rows.push_back(header);
  for (const Heard& report : reports_) {
    std::vector<std::string> row;
    if (several_nodes) row.push_back(NodeName(report.source));
    const std::string pid = report.Item("PID", "0");
    const std::string cpu = report.Item("CPU");
    row.insert(row.end(),
               {report.Item("Path", "-"), pid == "0" ? "-" : pid, report.Item("Priority", "-"),
                cpu.empty() ? "-" : cpu + "%", Mebibytes(report.Item("RAM")),
                RunningTime(report.Item("Elapsed")), ProgramState(report)});
    if (titles) row.push_back(report.Item("Title"));
    rows.push_back(row);
  }
  return AlignColumns(rows);
}

// How many characters a UTF-8 text shows: its bytes less the continuation bytes.
size_t Characters(std::string_view text) {
  return static_cast<size_t>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

std::string Escaped(std::string_view text) { return ShownSafely(FromCarriedForm(text)); }

std::string AlignColumns(const std::vector<std::vector<std::string>>& unescaped) {
  std::vector<std::vector<std::string>> rows;
  rows.reserve(unescaped.size());
  for (const auto& row : unescaped) {
    rows.emplace_back();
    for (const std::string& cell : row) rows.back().push_back(Escaped(cell));
  }
  std::vector<size_t> widths;
  for (const auto& row : rows) {
    widths.resize(std::max(widths.size(), row.size()), 0);
    for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], Characters(row[i]));
  }
  std::string text;
  for (const auto& row : rows) {
    for (size_t i = 0; i < row.size(); ++i) {
      text += row[i];
      if (i + 1 < row.size()) text.append(widths[i] - Characters(row[i]) + 2, ' ');
    }
    text += "\n";
  }
  return text;
}

std::string JsonLine(const Heard& heard) {
  std::string line = "{\"node\":" + JsonString(heard.source) +
                     ",\"message\":" + JsonString(heard.section) +
                     ",\"verified\":" + (heard.verified ? "true" : "false");
  for (const auto& [name, value] : heard.items) {
    line += "," + JsonString(name) + ":" + JsonString(FromCarriedForm(value));
  }
  return line + "}";
}

}  // namespace varnix
