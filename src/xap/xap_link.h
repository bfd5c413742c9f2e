// A controller's place on the xAP network (varnixctl's, the gateway's): the xAP port itself when it
// is free, otherwise a port of its own that the local hub relays to, announced by heartbeat
// and given up on the way out.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "platform/event_loop.h"
#include "platform/udp_socket.h"
#include "xap/message_signature.h"

namespace varnix {

// One message heard on the network, as the controller reads it.
struct Heard {
  std::string source;
  std::string klass;
  std::string section;                                     // lower-cased
  std::vector<std::pair<std::string, std::string>> items;  // in order, names as sent
  int64_t at_ms = 0;                                       // on the loop's clock
  // Signed under the controller's key: the sender holds the key. Never without one.
  bool verified = false;

  // The item's value; `missing` when there is none of that name (in any letter case).
  std::string Item(std::string_view name, std::string_view missing = "") const;
};

// What a node's error event says, for people: its Data without the "StartProcess Line 30 "
// that names the node's routine and step ("Cannot start x: ...").
std::string EventWords(const Heard& event);

class XapLink {
 public:
  static constexpr uint16_t kXapPort = 3639;
  static constexpr int kHeartbeatSeconds = 60;
  // A Varnix hub that finds the xAP port taken says so to whoever holds it, from this source
  // ("qel.varnix-hub.COMPUTER"), and a link that holds the port gives it up to the hub.
  static constexpr std::string_view kHubSourcePrefix = "qel.varnix-hub.";
  // On a port of its own, heartbeats this often until a hub relays one back (a hub that
  // starts, or takes the port over, a moment later learns of it at once), for a minute at most.
  static constexpr int kQuickBeatMs = 1000;
  static constexpr int kQuickBeatsForMs = 60000;
  using OnHeard = std::function<void(const Heard&)>;

  // `local_address` is this computer's address as the node chooses it (see
  // XapTransport::ChooseLocalAddress): heartbeats and requests go from it, as the node's do,
  // since hubs register a client only from the address its heartbeat is broadcast from.
  XapLink(EventLoop& loop, std::string source, std::string local_address, std::string send_address,
          OnHeard on_heard);
  // Says goodbye to the hub, which then stops relaying to the port.
  ~XapLink();

  // Takes the xAP port, or a port of its own announced to the hub. Throws Error when neither
  // can be had. Holding the xAP port, it gives it up to a Varnix hub that asks for it, and goes
  // on through that hub.
  void Join();
  // Whether it listens on the xAP port itself (no hub was there when it joined).
  bool HoldsXapPort() const { return listener_ != nullptr && port_ == 0; }
  // Whether a hub has relayed one of this link's heartbeats back: a hub serves it.
  bool RelayedByHub() const { return relayed_back_; }
  // One message with one section; names and values are kept on their lines. Throws Error,
  // saying where it could not go, when the system refuses it.
  void Send(const std::string& target, const std::string& klass, const std::string& section,
            const std::vector<std::pair<std::string, std::string>>& items);

  const std::string& source() const { return source_; }
  // Every request sent from now on carries a signature under `key` (raw bytes).
  void SignWith(std::string key) { key_ = std::move(key); }
  // The key it signs with ("" for none), which also opens what nodes seal for key holders.
  const std::string& Key() const { return key_; }
  // From now on a message whose signature under `key` holds is heard as verified. One whose
  // signature fails (altered, stale, replayed, signed before this start) is not heard at all;
  // nor is an unsigned one from a source that has been heard signed, which is a forgery, nor,
  // with `require`, any unsigned one.
  void VerifyWith(std::string key, bool require);
  bool Verifies() const { return check_.has_value(); }
  // Told the sender (its address in the form SenderAddress gives) of each unsigned message
  // that `require` refused: a peer that signs nothing should hear why it is not heard.
  // Told when the link gives the xAP port up to a hub, or keeps it from a program of another
  // account that asked in a hub's name: a sentence for the user.
  void OnPortNotice(std::function<void(const std::string& text)> told) {
    port_notice_ = std::move(told);
  }
  void OnUnsignedRefused(std::function<void(const std::string& sender)> told) {
    unsigned_refused_ = std::move(told);
  }
  // Heartbeats other than goodbyes reach `on_heard` too (class "xap-hbeat.alive").
  void HearHeartbeats() { hear_heartbeats_ = true; }

 private:
  void Beat(bool stopped);
  // A port of its own on loopback (and the LAN address), announced by heartbeat.
  void TakeOwnPort();
  // Gives the xAP port up to the hub that asked for it.
  void YieldToHub();
  // Sends one datagram to the send address; throws Error saying where it could not go.
  void SendText(const std::string& text);
  // The same, for text already in the wire's code page.
  void SendWire(const std::string& wire);
  void OnDatagram(std::string datagram);
  // The socket everything is sent from: the one bound to the LAN address, where there is one.
  UdpSocket& From() { return lan_ ? *lan_ : *sender_; }

  EventLoop& loop_;
  std::string source_;
  std::string local_address_;
  std::string send_address_;
  OnHeard on_heard_;
  std::unique_ptr<UdpSocket> listener_;
  std::unique_ptr<UdpSocket> sender_;
  std::unique_ptr<UdpSocket> lan_;  // at port_ on the LAN address; none alone on loopback
  std::unique_ptr<Timer> heartbeat_;
  std::unique_ptr<Timer> yield_;  // the port is given up outside the socket's own handler
  int64_t quick_until_ms_ = 0;    // beats come quickly until then, or until one is relayed back
  bool relayed_back_ = false;
  uint16_t port_ = 0;  // a port of its own; 0 while it listens on the xAP port
  bool hear_heartbeats_ = false;
  std::string key_;  // none: unsigned
  std::optional<SignatureCheck> check_;
  bool require_signed_ = false;
  std::function<void(const std::string& sender)> unsigned_refused_;
  std::function<void(const std::string& text)> port_notice_;
  bool claim_refusal_said_ = false;
  // Lower-cased; bounded, though only a holder of the key can add to it.
  std::unordered_set<std::string> signing_sources_;
  static constexpr size_t kMaxSigningSources = 4096;
};

}  // namespace varnix
