// The hub: listens on the xAP port, learns this computer's clients from their heartbeats, and
// relays every datagram to each of them.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "hub/allow_list.h"
#include "hub/client_table.h"
#include "platform/event_loop.h"
#include "platform/file_system.h"
#include "platform/udp_socket.h"

namespace varnix {

class Hub {
 public:
  static constexpr uint16_t kXapPort = 3639;
  static constexpr int kExpireEveryMs = 10000;
  // A taken xAP port is asked for this long, every kClaimEveryMs, before the hub gives up:
  // a varnixctl or gateway that holds it, alone, gives it up within a moment.
  static constexpr int kClaimForMs = 10000;
  static constexpr int kClaimEveryMs = 250;
  static constexpr int kReportEveryMs = 60000;
  static constexpr int kSaveAfterMs = 1000;  // the state file is written at most this often

  struct Options {
    bool verbose = false;      // says each registration and each dropped datagram
    std::string state_file;    // where the client table outlives a restart; "" for nowhere
    AllowList allow;           // the senders relayed from, besides this computer itself
    size_t max_clients = 256;  // registrations beyond it are refused
  };
  using Say = std::function<void(const std::string&)>;
  using WallClock = std::function<int64_t()>;  // seconds

  // `local_addresses` are this computer's own (dotted): only heartbeats from them register a
  // client, as only local clients can be reached on 127.0.0.1. Silence is judged by the loop's
  // monotonic clock; `now` (the wall clock) dates the state file only.
  Hub(EventLoop& loop, FileSystem& files, std::vector<std::string> local_addresses, Options options,
      Say say, WallClock now);
  ~Hub();

  // Takes back the saved clients that still hold their ports, then binds the xAP port on every
  // address. Throws Error, with a message that names the port, when it is taken.
  void Start();
  // Keeps the client table for the next start, now.
  void SaveState();

  const ClientTable& clients() const { return clients_; }

 private:
  void OnDatagram(std::string text);
  // Registers or forgets the heartbeat's client; false when the registration is refused.
  bool OnHeartbeat(const Heartbeat& beat);
  // Counts a datagram that is not relayed, for the report each minute; says it when verbose.
  void Drop(const std::string& what, const Endpoint& from);
  // Says `what` at most once a minute: a loop or a flood repeats it.
  void SayOnce(const std::string& kind, const std::string& what);
  // Whether the hub may relay to `port`: never one of its own, which would relay to itself.
  bool Registrable(uint16_t port) const;
  // Seconds on the loop's monotonic clock.
  int64_t Now() const { return loop_.NowMilliseconds() / 1000; }
  // The state file is written once the table has changed, at most once a second.
  void Changed();
  void Expire();
  void ReportDrops();
  // Whether a program on this computer holds UDP `port` on loopback.
  bool PortHeld(uint16_t port);

  EventLoop& loop_;
  FileSystem& files_;
  std::set<uint32_t> local_;
  Options options_;
  Say say_;
  WallClock now_;
  ClientTable clients_;
  std::unique_ptr<UdpSocket> socket_;
  std::unique_ptr<UdpSocket> sender_;
  uint16_t sender_port_ = 0;
  std::unique_ptr<Timer> expire_timer_;
  std::unique_ptr<Timer> report_timer_;
  std::unique_ptr<Timer> save_timer_;
  uint64_t dropped_ = 0;        // since the last report
  std::set<std::string> said_;  // the kinds said since the last report
};

}  // namespace varnix
