// A heartbeat as a hub reads it: who beats, how often, on which port, and whether it is the last.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace varnix {

struct Heartbeat {
  std::string source;
  int interval_seconds = 0;
  uint16_t port = 0;  // 0 when it names none: a client that listens on the xAP port itself
  bool stopped = false;
};

// Nothing when `text` is not a heartbeat: its first line is "xap-hbeat" and its header names a
// class of xap-hbeat.alive or xap-hbeat.stopped, letter case ignored. Numbers that cannot be
// read count as absent.
std::optional<Heartbeat> ReadHeartbeat(std::string_view text);

}  // namespace varnix
