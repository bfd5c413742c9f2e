// ReadHeartbeat: the heartbeat header's lines, each "name=value", up to its closing brace.
#include "hub/heartbeat.h"

#include <charconv>

#include "core/text.h"

namespace varnix {
namespace {

// The next line of `rest`, without its line end (LF or CR LF).
std::string_view NextLine(std::string_view& rest) {
  const auto end = rest.find('\n');
  std::string_view line = rest.substr(0, end);
  rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

std::optional<int> ReadNumber(std::string_view text, int low, int high) {
  int value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value < low || value > high) {
    return std::nullopt;
  }
  return value;
}

}  // namespace

std::optional<Heartbeat> ReadHeartbeat(std::string_view text) {
  if (!EqualsLowered(TrimSpaces(NextLine(text)), "xap-hbeat")) return std::nullopt;
  if (TrimSpaces(NextLine(text)) != "{") return std::nullopt;
  Heartbeat beat;
  bool classed = false;
  for (bool closed = false; !closed && !text.empty();) {
    const std::string_view line = NextLine(text);
    if (TrimSpaces(line) == "}") {
      closed = true;
      continue;
    }
    const auto equals = line.find('=');
    if (equals == std::string_view::npos) continue;
    const std::string_view key = TrimSpaces(line.substr(0, equals));
    const std::string_view value = TrimSpaces(line.substr(equals + 1));
    if (EqualsLowered(key, "class")) {
      classed =
          EqualsLowered(value, "xap-hbeat.alive") || EqualsLowered(value, "xap-hbeat.stopped");
      beat.stopped = EqualsLowered(value, "xap-hbeat.stopped");
    } else if (EqualsLowered(key, "source")) {
      beat.source = std::string(value);
    } else if (EqualsLowered(key, "interval")) {
      beat.interval_seconds = ReadNumber(value, 0, 86400).value_or(0);
    } else if (EqualsLowered(key, "port")) {
      beat.port = static_cast<uint16_t>(ReadNumber(value, 0, 65535).value_or(0));
    }
  }
  if (!classed) return std::nullopt;
  return beat;
}

}  // namespace varnix
