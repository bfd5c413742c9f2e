// A small xAP hub for tests: it listens on the xAP port on loopback and relays like a real hub.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/event_loop.h"
#include "platform/udp_socket.h"

namespace varnix {

class TestHub {
 public:
  // Binds the xAP port on every local address, so broadcasts reach it too; throws Error when
  // the port is taken. It only ever sends to loopback.
  explicit TestHub(EventLoop& loop);

  // Every datagram received so far, in order, and when each came (ms on the loop's clock).
  const std::vector<std::string>& received() const { return received_; }
  const std::vector<int64_t>& received_at() const { return received_at_; }
  // How many of the datagrams received so far hold `needle`.
  size_t Count(const std::string& needle) const {
    size_t count = 0;
    for (const std::string& text : received_) count += text.find(needle) != std::string::npos;
    return count;
  }
  // Client ports learnt from heartbeats.
  const std::set<uint16_t>& clients() const { return clients_; }

  // Registers a client only from a heartbeat sent from `address`, as hubs that follow the xAP
  // convention do (the computer's LAN address, which heartbeats are broadcast from).
  void RegisterOnlyFrom(std::string address) { register_only_from_ = std::move(address); }

  // Forgets what it heard and whom, as a hub started anew.
  void Reset() {
    received_.clear();
    received_at_.clear();
    clients_.clear();
  }

  // Sends `text` to every client, as a peer's message relayed by the hub.
  void Relay(const std::string& text);

  // Dispatches until `done` holds or `limit` passes; returns whether it held.
  bool WaitFor(const std::function<bool()>& done,
               std::chrono::milliseconds limit = std::chrono::milliseconds(5000));
  // The first datagram containing `needle` that arrives within `limit`, or "".
  std::string WaitForText(const std::string& needle,
                          std::chrono::milliseconds limit = std::chrono::milliseconds(5000));

 private:
  void OnDatagram(std::string text);

  EventLoop& loop_;
  std::unique_ptr<UdpSocket> socket_;
  std::unique_ptr<UdpSocket> sender_;
  std::vector<std::string> received_;
  std::vector<int64_t> received_at_;
  std::set<uint16_t> clients_;
  std::string register_only_from_;  // "" for any sender
};

}  // namespace varnix
