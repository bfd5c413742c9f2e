// TestHub: learns clients from the port= of their heartbeats and relays every datagram to them.
#include "system/test_hub.h"

#include "dispatch_until.h"

namespace varnix {

TestHub::TestHub(EventLoop& loop) : loop_(loop) {
  socket_ = loop_.CreateUdpSocket([this](std::string text) { OnDatagram(std::move(text)); });
  socket_->Bind("", 3639);
  sender_ = loop_.CreateUdpSocket([](std::string) {});
}

void TestHub::OnDatagram(std::string text) {
  received_.push_back(text);
  received_at_.push_back(loop_.NowMilliseconds());
  const bool may_register =
      register_only_from_.empty() || socket_->Sender().AddressText() == register_only_from_;
  if (text.rfind("xap-hbeat", 0) == 0 && may_register) {
    const auto at = text.find("\nport=");
    if (at != std::string::npos) {
      clients_.insert(static_cast<uint16_t>(std::stoi(text.substr(at + 6))));
    }
  }
  // A real hub relays to every client, the sender included.
  Relay(text);
}

void TestHub::Relay(const std::string& text) {
  for (const uint16_t port : clients_) sender_->SendTo("127.0.0.1", port, text);
}

bool TestHub::WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  return DispatchUntil(loop_, limit, done);
}

std::string TestHub::WaitForText(const std::string& needle, std::chrono::milliseconds limit) {
  const std::string* found = nullptr;
  WaitFor([&] { return (found = FirstWith(received_, needle)) != nullptr; }, limit);
  return found ? *found : "";
}

}  // namespace varnix
