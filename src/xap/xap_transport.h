// The node's connection to the xAP network: two UDP sockets, identity, heartbeat and receive queue.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/failure.h"
#include "platform/event_loop.h"
#include "platform/machine.h"
#include "platform/udp_socket.h"
#include "xap/xap_message.h"

namespace varnix {

// Whoever takes the received texts; called 50 ms after texts were queued.
class MessageReceiver {
 public:
  virtual ~MessageReceiver() = default;
  virtual void onMessage() = 0;
};

// Sends one message with one section now. Packed item text as in packed_items.h.
class XapSender {
 public:
  virtual ~XapSender() = default;
  virtual std::string SendXap(const std::string& sTarget, const std::string& sClass,
                              const std::string& sSection, const std::string& sData) = 0;
};

class XapTransport : public XapSender {
 public:
  static constexpr uint16_t kXapPort = 3639;
  static constexpr int32_t kFirstPort = 32768;
  static constexpr int kPortTries = 200;
  // Received texts held at most, by count and by bytes; later ones are dropped until the
  // drain catches up.
  static constexpr size_t kMaxQueued = 10000;
  static constexpr size_t kMaxQueuedBytes = 16 * 1024 * 1024;
  // A queue that held this much gives its memory back to the system once drained.
  static constexpr size_t kReleaseAfterBytes = 1024 * 1024;
  // Datagrams from other computers sent straight to the LAN port are said this often at most.
  static constexpr int64_t kRefusalsSaidEveryMs = 60000;
  static constexpr int kReceiveDelayMs = 50;
  // Drops this far apart belong to one flood, which the log names once.
  static constexpr int kFloodQuietMs = 1000;

  // Loading: starts the sockets layer and the heartbeat timer at 20 s.
  XapTransport(EventLoop& loop, Machine& machine, SocketsLayer& sockets, ErrorLog& log);
  // Unloading: the queue is dropped, the sockets layer released, the sockets closed.
  ~XapTransport() override;
  XapTransport(const XapTransport&) = delete;
  XapTransport& operator=(const XapTransport&) = delete;

  void RegisterNewMessageCallback(MessageReceiver* oForm) { callbackObject_ = oForm; }
  std::string GetMessage();

  // Only messages whose header `wanted` accepts are queued; the rest (those for other nodes)
  // are dropped on arrival, so that a burst of them takes no place from what follows.
  void ReadOnly(std::function<bool(const HeaderGlance&)> wanted) { wanted_ = std::move(wanted); }
  bool FilterHeartbeats() const { return filterHeartbeats_; }
  void FilterHeartbeats(bool value) { filterHeartbeats_ = value; }
  const std::string& XapClass() const { return xapClass_; }
  void XapClass(std::string value) { xapClass_ = std::move(value); }
  const std::string& XapTarget() const { return xapTarget_; }
  void XapTarget(std::string value);
  const std::string& XapSource() const { return xapSource_; }
  void XapSource(std::string value);
  const std::string& XapUID() const { return xapUID_; }
  void XapUID(std::string value);
  const std::string& XapHeaderPrefix() const { return xapHeaderPrefix_; }
  const std::string& BroadcastAddress() const { return broadcastAddress_; }
  void BroadcastAddress(std::string value) { broadcastAddress_ = std::move(value); }
  const std::string& InterfaceAddress() const { return interfaceAddress_; }
  void InterfaceAddress(std::string value) { interfaceAddress_ = std::move(value); }

  // Binds the sockets. The receive port on success; 0 or less on failure.
  int32_t Init();
  void SendHeartbeat(int32_t LongInterval);
  // Everything sent from now on (heartbeats, messages, the goodbye) carries a signature under
  // `key` (raw bytes), so that controllers with the key can tell this node's word from a
  // forgery.
  void SignWith(std::string key) { key_ = std::move(key); }
  // The key it signs with ("" for none), which also seals what is personal.
  const std::string& Key() const { return key_; }
  // The heartbeat that says this program has stopped, so that hubs forget its port and
  // controllers waiting on it learn that no answer will come.
  void SendGoodbye();
  std::string SendXap(const std::string& sTarget, const std::string& sClass,
                      const std::string& sSection, const std::string& sData) override;
  std::string GetIP();

  static bool IsAddressInMask(const std::string& pattern, const std::string& address);
  // Where messages go: the configured broadcast address ("Default" is every computer on the
  // network), or loopback on a computer whose chosen address is loopback.
  // The address an xAP program of this computer sends from, as the node chooses it: the first
  // of `addresses` that fits the InterfaceAddress setting, else the first; loopback when the
  // computer has no other.
  static std::string ChooseLocalAddress(const std::string& interface_setting,
                                        const std::vector<std::string>& addresses);
  static std::string SendAddressFor(const std::string& broadcast_setting,
                                    const std::string& local_ip);

  // The state that callers and tests may look at.
  const std::string& sendAddress() const { return sendAddress_; }
  int32_t localPort() const { return localPort_; }
  size_t queued() const { return receiveQueue_.size(); }
  const Timer& HBeatTimer() const { return *hbeatTimer_; }

 private:
  void SocketsInitialize();
  void SocketsCleanup();
  void ProcessReceivedMessage(std::string receivedData);
  // The LAN socket: only this computer's own programs may use it. Hubs relay on loopback, so
  // a datagram from elsewhere came round the hub's rules, and is dropped.
  void OnLanDatagram(std::string receivedData);
  void OnHeartbeatTimer();
  void OnReceiveTimer();
  void ReportDropsOnceQuiet();
  void RebuildHeartbeatHead();
  // `text` as it goes on the wire: in the system's code page, signed when there is a key.
  std::string Wire(const std::string& text) const;
  void Unload();

  EventLoop& loop_;
  Machine& machine_;
  SocketsLayer& sockets_;
  ErrorLog& log_;
  // Messages sent with letters the code page lacks written out, since the last word of it.
  int64_t carried_ = 0;
  std::optional<int64_t> carriedSaidAt_;

  std::string localIP_;
  std::string sendAddress_;
  std::string broadcastAddress_ = "Default";
  std::string interfaceAddress_ = "Default";
  std::string heartbeatHead_;
  std::string heartbeatTail_;
  int32_t localPort_ = 0;
  std::deque<std::string> receiveQueue_;
  size_t queuedBytes_ = 0;
  size_t peakBytes_ = 0;  // since the queue last gave memory back
  size_t dropped_ = 0;
  std::vector<std::string> ownAddresses_;  // dotted, loopback aside
  size_t refused_ = 0;                     // since the last time refusals were said
  std::optional<int64_t> refusalsSaidAt_;
  int64_t lastDropMs_ = 0;
  MessageReceiver* callbackObject_ = nullptr;
  bool filterHeartbeats_ = true;
  std::function<bool(const HeaderGlance&)> wanted_;
  std::string lastHeartbeat_;  // as it went on the wire, to know it when a hub relays it back
  bool relayed_ = false;       // a hub relayed lastHeartbeat_ back: it knows this node's port
  int16_t tickCount_ = 0;

  std::string xapClass_;
  std::string xapTarget_;
  std::string xapSource_;
  std::string xapUID_;
  std::string xapHeaderPrefix_;

  std::unique_ptr<UdpSocket> winsock1_;
  std::unique_ptr<UdpSocket> winsock2_;
  UdpSocket* sendSocket_ = nullptr;
  std::unique_ptr<Timer> hbeatTimer_;
  std::string key_;  // none: unsigned
  std::unique_ptr<Timer> receiveTimer_;
  bool socketsStarted_ = false;
};

}  // namespace varnix
