// An event loop on a fake clock: timers fire when the test advances time; sockets record what they
// send.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/error.h"
#include "platform/event_loop.h"
#include "platform/timer_queue.h"
#include "platform/udp_socket.h"

namespace varnix {

class FakeEventLoop : public EventLoop {
 public:
  struct Sent {
    std::string from;  // the address the sending socket was bound to, "" when unbound
    std::string host;
    uint16_t port;
    std::string text;
  };

  class FakeSocket : public UdpSocket {
   public:
    FakeSocket(FakeEventLoop& loop, Datagram on_datagram)
        : loop_(loop), on_datagram_(std::move(on_datagram)) {}
    ~FakeSocket() override { loop_.sockets_.erase(this); }
    void Bind(const std::string& address, uint16_t port) override {
      if (loop_.taken_ports.count(port) != 0 || loop_.bound_.count({address, port}) != 0) {
        throw Error(98, "Address already in use");
      }
      if (loop_.unbindable_addresses.count(address) != 0) throw Error(99, "Cannot assign");
      bound_address = address;
      bound_port = port;
      loop_.bound_.insert({address, port});
    }
    void SendTo(const std::string& host, uint16_t port, std::string_view datagram) override {
      if (closed) throw Error(9, "closed");
      loop_.sent.push_back({bound_address, host, port, std::string(datagram)});
    }
    void Close() override { closed = true; }
    Endpoint Sender() const override { return sender; }
    uint16_t LocalPort() const override { return bound_port; }
    std::optional<bool> SenderIsOwnOrAdministrator() const override { return sender_trusted; }
    void Receive(const std::string& text, Endpoint from = {0x7F000001, 3639}) {
      sender = from;
      on_datagram_(text);
    }
    Endpoint sender;
    std::optional<bool> sender_trusted;

    std::string bound_address;
    uint16_t bound_port = 0;
    bool closed = false;

   private:
    FakeEventLoop& loop_;
    Datagram on_datagram_;
  };

  std::unique_ptr<Timer> CreateTimer(std::function<void()> on_tick) override {
    return timers_.CreateTimer(std::move(on_tick));
  }
  std::unique_ptr<UdpSocket> CreateUdpSocket(Datagram on_datagram) override {
    auto socket = std::make_unique<FakeSocket>(*this, std::move(on_datagram));
    sockets_.insert(socket.get());
    socket_order_.push_back(socket.get());
    return socket;
  }
  // Like a real loop, returns once something was handled: time passes to the first timer
  // that falls due within `max_wait`, or by all of it.
  void DispatchPending(std::chrono::milliseconds max_wait) override {
    ++dispatches;
    Advance(timers_.WaitBefore(max_wait.count()));
  }
  int64_t NowMilliseconds() const override { return now_; }
  void Run() override {}
  void Quit() override { quitting_ = true; }
  bool Quitting() const override { return quitting_; }
  void OnEndRequest(std::function<void()> handler) override { end_handler_ = std::move(handler); }
  // No logic under these tests drives a library's socket.
  // Ends are not watched here: the passes tell them, as they do for a handle without one.
  std::unique_ptr<EndWatch> WatchEnd(intptr_t, std::function<void()>) override {
    return std::make_unique<EndWatch>();
  }
  std::unique_ptr<SocketWatch> WatchSocket(intptr_t, SocketReady) override {
    throw Error(95, "no socket watches in memory");
  }
  // What the system's end request does: the handler runs on the loop's thread.
  void RequestEnd() {
    if (end_handler_) end_handler_();
  }

  // Moves the clock forward, firing each timer at the moment it falls due.
  void Advance(int64_t milliseconds) {
    const int64_t end = now_ + milliseconds;
    for (auto due = timers_.NextDue(); due && *due <= end; due = timers_.NextDue()) {
      now_ = std::max(now_, *due);
      timers_.RunDue();
    }
    now_ = std::max(now_, end);
  }

  // The n-th socket created, still alive.
  // The live socket bound to `port`, on any address.
  FakeSocket& bound_to(uint16_t port) {
    for (FakeSocket* socket : socket_order_) {
      if (sockets_.count(socket) != 0 && socket->bound_port == port) return *socket;
    }
    throw std::out_of_range("no socket on that port");
  }
  FakeSocket& socket(size_t n) {
    FakeSocket* found = socket_order_.at(n);
    if (sockets_.count(found) == 0) throw std::out_of_range("socket destroyed");
    return *found;
  }
  int64_t now() const { return now_; }

  std::vector<Sent> sent;
  std::set<uint16_t> taken_ports;  // taken on every address
  std::set<std::string> unbindable_addresses;
  int dispatches = 0;

 private:
  int64_t now_ = 0;
  bool quitting_ = false;
  std::function<void()> end_handler_;
  std::set<std::pair<std::string, uint16_t>> bound_;
  TimerQueue timers_{[this] { return now_; }};
  std::set<FakeSocket*> sockets_;
  std::vector<FakeSocket*> socket_order_;
};

}  // namespace varnix
