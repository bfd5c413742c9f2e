// The hub's local clients: registered by their heartbeats, forgotten when they stop or go silent.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "hub/heartbeat.h"

namespace varnix {

class ClientTable {
 public:
  struct Client {
    std::string source;
    int interval_seconds = 0;
    // Seconds on the running hub's monotonic clock, so that a step of the wall clock neither
    // forgets every client nor keeps one for ever; the wall clock serves only the state file.
    int64_t heard_at = 0;
  };

  // What a heartbeat did to the table.
  enum class Change { kAdded, kRenewed, kForgotten, kNotTheirs, kFull, kNone };

  explicit ClientTable(size_t max_clients = 256) : max_clients_(max_clients) {}

  // A client is given up after twice its interval and a minute without a heartbeat.
  static int64_t SilenceAllowed(int interval_seconds) { return 2 * int64_t{interval_seconds} + 60; }

  // Registers the client on the heartbeat's port, or forgets it when the beat says it stopped
  // and names the source that registered the port (kNotTheirs otherwise). A port keeps the
  // source that registered it; a full table takes no new port.
  Change Heard(const Heartbeat& beat, int64_t now);
  // Forgets every client silent for longer than it may be; returns the ports forgotten.
  std::vector<uint16_t> Expire(int64_t now);

  const std::map<uint16_t, Client>& clients() const { return clients_; }

  // One line per client, "port interval heard_at source", heard_at on the wall clock.
  std::string Save(int64_t now, int64_t wall_now) const;
  // The clients of a saved table that are still within their time, up to the table's size;
  // lines that cannot be read are left out, and a time in the future counts as now.
  static ClientTable Load(const std::string& text, int64_t now, int64_t wall_now,
                          size_t max_clients = 256);

 private:
  size_t max_clients_;
  std::map<uint16_t, Client> clients_;
};

}  // namespace varnix
