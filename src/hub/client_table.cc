// ClientTable: registrations by port, expiry by silence, and the table as text for a restart.
#include "hub/client_table.h"

#include <algorithm>
#include <sstream>

#include "core/text.h"

namespace varnix {

ClientTable::Change ClientTable::Heard(const Heartbeat& beat, int64_t now) {
  if (beat.port == 0) return Change::kNone;
  const auto found = clients_.find(beat.port);
  if (beat.stopped) {
    if (found == clients_.end()) return Change::kNone;
    // Anyone on this computer can send a goodbye; only the registered source's counts.
    if (!EqualsIgnoringCase(found->second.source, beat.source)) return Change::kNotTheirs;
    clients_.erase(found);
    return Change::kForgotten;
  }
  if (found != clients_.end()) {
    found->second.interval_seconds = beat.interval_seconds;
    found->second.heard_at = now;
    return Change::kRenewed;
  }
  if (clients_.size() >= max_clients_) return Change::kFull;
  clients_.emplace(beat.port, Client{beat.source, beat.interval_seconds, now});
  return Change::kAdded;
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

std::string ClientTable::Save(int64_t now, int64_t wall_now) const {
  std::ostringstream out;
  for (const auto& [port, client] : clients_) {
    out << port << ' ' << client.interval_seconds << ' ' << wall_now - (now - client.heard_at)
        << ' ' << client.source << '\n';
  }
  return out.str();
}

ClientTable ClientTable::Load(const std::string& text, int64_t now, int64_t wall_now,
                              size_t max_clients) {
  ClientTable table(max_clients);
  std::istringstream in(text);
  for (std::string line; std::getline(in, line) && table.clients_.size() < max_clients;) {
    std::istringstream fields(line);
    unsigned port = 0;
    Client client;
    int64_t heard_wall = 0;
    if (!(fields >> port >> client.interval_seconds >> heard_wall) || port == 0 || port > 65535 ||
        client.interval_seconds < 0) {
      continue;
    }
    std::getline(fields >> std::ws, client.source);
    const int64_t silent = std::max<int64_t>(wall_now - heard_wall, 0);
    if (silent > SilenceAllowed(client.interval_seconds)) continue;
    client.heard_at = now - silent;
    table.clients_[static_cast<uint16_t>(port)] = client;
  }
  return table;
}

}  // namespace varnix
