// ClientTable: registrations by port, expiry by silence, and the table as text for a restart.
#include "hub/client_table.h"

#include <sstream>

namespace varnix {

bool ClientTable::Heard(const Heartbeat& beat, int64_t now) {
  if (beat.port == 0) return false;
  if (beat.stopped) return clients_.erase(beat.port) != 0;
  const bool added = clients_.count(beat.port) == 0;
  clients_[beat.port] = Client{beat.source, beat.interval_seconds, now};
  return added;
}

std::vector<uint16_t> ClientTable::Expire(int64_t now) {
  std::vector<uint16_t> gone;
  for (auto it = clients_.begin(); it != clients_.end();) {
    if (now - it->second.heard_at > SilenceAllowed(it->second.interval_seconds)) {
      gone.push_back(it->first);
      it = clients_.erase(it);
    } else {
      ++it;
    }
  }
  return gone;
}

std::string ClientTable::Save() const {
  std::ostringstream out;
  for (const auto& [port, client] : clients_) {
    out << port << ' ' << client.interval_seconds << ' ' << client.heard_at << ' ' << client.source
        << '\n';
  }
  return out.str();
}

ClientTable ClientTable::Load(const std::string& text, int64_t now) {
  ClientTable table;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    unsigned port = 0;
    Client client;
    if (!(fields >> port >> client.interval_seconds >> client.heard_at) || port == 0 ||
        port > 65535 || client.interval_seconds < 0) {
      continue;
    }
    std::getline(fields >> std::ws, client.source);
    if (now - client.heard_at > SilenceAllowed(client.interval_seconds)) continue;
    table.clients_[static_cast<uint16_t>(port)] = client;
  }
  return table;
}

}  // namespace varnix
