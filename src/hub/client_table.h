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
    int64_t heard_at = 0;  // seconds on the wall clock, so that a restarted hub can judge it
  };

  // A client is given up after twice its interval and a minute without a heartbeat.
  static int64_t SilenceAllowed(int interval_seconds) { return 2 * int64_t{interval_seconds} + 60; }

  // Registers the client on the heartbeat's port, or forgets it when the beat says it stopped.
  // Returns whether the table changed in who is in it.
  bool Heard(const Heartbeat& beat, int64_t now);
  // Forgets every client silent for longer than it may be; returns the ports forgotten.
  std::vector<uint16_t> Expire(int64_t now);

  const std::map<uint16_t, Client>& clients() const { return clients_; }

  // One line per client, "port interval heard_at source", for the state file.
  std::string Save() const;
  // The clients of a saved table that are still within their time; lines that cannot be read
  // are left out.
  static ClientTable Load(const std::string& text, int64_t now);

 private:
  std::map<uint16_t, Client> clients_;
};

}  // namespace varnix
