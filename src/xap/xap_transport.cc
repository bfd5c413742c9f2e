// XapTransport: binding, heartbeats, sending, and the receive queue with its drain timer.
#include "xap/xap_transport.h"

#include <algorithm>
#include <charconv>
#include <vector>

#include "core/steps.h"
#include "core/text.h"
#include "core/unix_time.h"
#include "core/wire_text.h"
#include "platform/memory.h"
#include "platform/text_encoding.h"
#include "xap/message_signature.h"
#include "xap/packed_items.h"
#include "xap/xap_message.h"

namespace varnix {
namespace {

constexpr SocketsLayer::Version kSocketsVersion{1, 1};
constexpr int kFirstHeartbeatTimerMs = 20000;
constexpr char kLoopback[] = "127.0.0.1";

}  // namespace

XapTransport::XapTransport(EventLoop& loop, Machine& machine, SocketsLayer& sockets, ErrorLog& log)
    : loop_(loop), machine_(machine), sockets_(sockets), log_(log) {
  winsock1_ = loop_.CreateUdpSocket([this](std::string text) { ProcessReceivedMessage(text); });
  winsock2_ = loop_.CreateUdpSocket([this](std::string text) { OnLanDatagram(std::move(text)); });
  hbeatTimer_ = loop_.CreateTimer([this] { OnHeartbeatTimer(); });
  receiveTimer_ = loop_.CreateTimer([this] { OnReceiveTimer(); });
  hbeatTimer_->SetInterval(kFirstHeartbeatTimerMs);
  hbeatTimer_->SetEnabled(true);
  SocketsInitialize();
}

XapTransport::~XapTransport() { Unload(); }

void XapTransport::Unload() {
  receiveQueue_.clear();
  queuedBytes_ = 0;
  SocketsCleanup();
  winsock1_->Close();
  winsock2_->Close();
  sendSocket_ = nullptr;
}

void XapTransport::SocketsInitialize() {
  const SocketsLayer::Started started = sockets_.Startup(kSocketsVersion);
  if (started.result != 0) {
    log_.WriteErrorLog(kLogType, "SocketsInitialize ");
    return;
  }
  const auto [major, minor] = started.version;
  if (major < 1 || (major == 1 && minor < 1)) {
    log_.WriteErrorLog(kLogType, "SocketsInitialize Windows Sockets version " +
                                     std::to_string(major) + "." + std::to_string(minor) +
                                     " is not supported by winsock.dll ");
  }
}

void XapTransport::SocketsCleanup() {
  const int result = sockets_.Cleanup();
  if (result != 0) log_.WriteErrorLog(kLogType, "SocketsCleanup " + std::to_string(result));
}

void XapTransport::XapTarget(std::string value) {
  xapTarget_ = std::move(value);
  RebuildHeartbeatHead();
}

void XapTransport::XapSource(std::string value) {
  xapSource_ = std::move(value);
  RebuildHeartbeatHead();
}

void XapTransport::XapUID(std::string value) {
  xapUID_ = std::move(value);
  xapHeaderPrefix_ = varnix::XapHeaderPrefix(xapUID_);
  RebuildHeartbeatHead();
}

void XapTransport::RebuildHeartbeatHead() {
  heartbeatHead_ = "xap-hbeat|{|v=12|hop=1|uid=" + xapUID_ +
                   "|class=xap-hbeat.alive|source=" + xapSource_ + "|interval=";
  std::replace(heartbeatHead_.begin(), heartbeatHead_.end(), '|', '\n');
}

bool XapTransport::IsAddressInMask(const std::string& pattern, const std::string& address) {
  const std::vector<std::string> mask_parts = Split(pattern, '.');
  const std::vector<std::string> address_parts = Split(address, '.');
  if (mask_parts.size() != 4 || address_parts.size() != 4) return false;
  for (size_t i = 0; i < 4; ++i) {
    long mask = 0;
    long part = 0;
    const auto& m = mask_parts[i];
    const auto& a = address_parts[i];
    const auto parsed_mask = std::from_chars(m.data(), m.data() + m.size(), mask);
    const auto parsed_part = std::from_chars(a.data(), a.data() + a.size(), part);
    if (parsed_mask.ec != std::errc() || parsed_mask.ptr != m.data() + m.size() ||
        parsed_part.ec != std::errc() || parsed_part.ptr != a.data() + a.size()) {
      return false;
    }
    if ((part & mask) != part) return false;
  }
  return true;
}

std::string XapTransport::SendAddressFor(const std::string& broadcast_setting,
                                         const std::string& local_ip) {
  if (local_ip == kLoopback) return kLoopback;
  return LowerCase(broadcast_setting) == "default" ? "255.255.255.255" : broadcast_setting;
}

std::string XapTransport::ChooseLocalAddress(const std::string& interface_setting,
                                             const std::vector<std::string>& addresses) {
  if (addresses.empty()) return kLoopback;
  for (const std::string& address : addresses) {
    if (IsAddressInMask(interface_setting, address)) return address;
  }
  return addresses.front();
}

std::string XapTransport::GetIP() {
  std::string ip;
  Steps([this](const Failure& failure) { log_.WriteErrorLog(kLogType, "GetIP", failure); })(
      30, [&] {
        const std::vector<std::string> addresses = machine_.HostAddresses();
        if (!addresses.empty()) ip = ChooseLocalAddress(interfaceAddress_, addresses);
      });
  return ip;
}

int32_t XapTransport::Init() {
  localIP_ = GetIP();
  Quietly([&] { ownAddresses_ = machine_.HostAddresses(); });
  sendAddress_ = SendAddressFor(broadcastAddress_, localIP_);

  localPort_ = kFirstPort;
  bool loopbackBound = false;
  for (int attempt = 0; attempt < kPortTries; ++attempt) {
    try {
      winsock1_->Bind(kLoopback, static_cast<uint16_t>(localPort_));
      loopbackBound = true;
      break;
    } catch (const Error&) {
      ++localPort_;
    }
  }

  int32_t result = localPort_;
  if (localIP_ == kLoopback) {
    sendSocket_ = winsock1_.get();
    // Reporting the port after 200 failed binds would announce a port nobody listens on.
    if (!loopbackBound) result = -1;
  } else {
    sendSocket_ = winsock2_.get();
    if (!loopbackBound) {
      result = -1;
    } else {
      try {
        winsock2_->Bind(localIP_, static_cast<uint16_t>(localPort_));
      } catch (const Error& e) {
        return e.number() > 0 ? -static_cast<int32_t>(e.number())
                              : static_cast<int32_t>(e.number());
      }
    }
  }
  heartbeatTail_ = "0\nport=" + std::to_string(localPort_) + "\n}\n";
  return result;
}

void XapTransport::SendHeartbeat(int32_t LongInterval) {
  int32_t n = LongInterval;
  if (n > 60) {
    n = 60;
  } else if (n < 1) {
    n = 0;
  } else if (n < 5) {
    n = 5;
  }
  hbeatTimer_->SetInterval(n * 1000);
  hbeatTimer_->SetEnabled(n > 0);
  Steps([this](const Failure& failure) { log_.WriteErrorLog(kLogType, "SendHeartbeat", failure); })(
      40, [&] {
        if (sendSocket_ == nullptr) throw Error(errors::kObjectNotSet, errors::kObjectNotSetText);
        lastHeartbeat_ = Wire(heartbeatHead_ + std::to_string(n) + heartbeatTail_);
        relayed_ = false;
        tickCount_ = 0;  // the next, ten firings after this one
        sendSocket_->SendTo(sendAddress_, kXapPort, lastHeartbeat_);
      });
}

void XapTransport::SendGoodbye() {
  // The heartbeat's own text, its class the one that says this program has stopped.
  std::string goodbye =
      heartbeatHead_ + std::to_string((hbeatTimer_->Interval() + 500) / 1000) + heartbeatTail_;
  const std::string alive = "class=xap-hbeat.alive";
  const auto at = goodbye.find(alive);
  if (at == std::string::npos || sendSocket_ == nullptr) return;
  goodbye.replace(at, alive.size(), "class=xap-hbeat.stopped");
  Quietly([&] { sendSocket_->SendTo(sendAddress_, kXapPort, Wire(goodbye)); });
}

std::string XapTransport::Wire(const std::string& text) const {
  std::string wire = TextToCodePage(text);
  if (key_.empty()) return wire;
  return SignMessage(wire, key_, UnixSecondsNow());
}

void XapTransport::OnHeartbeatTimer() {
  tickCount_ = static_cast<int16_t>((tickCount_ + 1) % 10);
  // Until a hub relays the last heartbeat back, no hub knows this node's port (it started
  // before the hub, or the hub was lost): told at every firing, not ten minutes later.
  if (tickCount_ == 0 || !relayed_) SendHeartbeat((hbeatTimer_->Interval() + 500) / 1000);
}

std::string XapTransport::SendXap(const std::string& sTarget, const std::string& sClass,
                                  const std::string& sSection, const std::string& sData) {
  // Failures here are neither logged nor reported; the message is simply not sent.
  Quietly([&] {
    const std::vector<std::string> packed = Split(sData, kItemSeparator);
    std::vector<std::pair<std::string_view, std::string_view>> items;
    for (const std::string_view item : packed) {
      const auto mark = item.find(kNameValueSeparator);
      if (mark != std::string_view::npos)
        items.emplace_back(item.substr(0, mark), item.substr(mark + 1));
    }
    // The wire is in the system's code page, as every peer expects.
    if (sendSocket_ == nullptr) return;
    std::string text =
        OneSectionMessage(xapHeaderPrefix_, sClass, xapSource_, sTarget, sSection, items);
    // A letter the code page lacks would go out as "?", and name another file: written out
    // as its number instead ("\u{421}"), which names one thing and reads back; said in the
    // log once a minute at most (a pass may send every ten seconds).
    if (const std::string why = WhyNotCarried(text); !why.empty()) {
      text = CarriedForm(text);
      ++carried_;
      const int64_t now = loop_.NowMilliseconds();
      if (!carriedSaidAt_ || now - *carriedSaidAt_ >= 60000) {
        carriedSaidAt_ = now;
        log_.WriteErrorLog(kLogType, "Sent " + std::to_string(carried_) + " " + sSection +
                                         " message(s) with letters written as \\u{number}, as " +
                                         why);
        carried_ = 0;
      }
    }
    sendSocket_->SendTo(sendAddress_, kXapPort, Wire(text));
  });
  return "";
}

void XapTransport::ProcessReceivedMessage(std::string receivedData) {
  Steps([this](const Failure& failure) {
    log_.WriteErrorLog(kLogType, "ProcessReceivedMessage", failure);
  })(20, [&] {
    // A hub relays every datagram whole, this node's own heartbeat included.
    if (!relayed_ && receivedData == lastHeartbeat_) relayed_ = true;
    if (filterHeartbeats_ && LowerCase(receivedData.substr(0, 8)) != "xap-head") return;
    if (wanted_ && !wanted_(GlanceAtHeader(receivedData))) return;
    if (receiveQueue_.size() < kMaxQueued &&
        queuedBytes_ + receivedData.size() <= kMaxQueuedBytes) {
      queuedBytes_ += receivedData.size();
      peakBytes_ = std::max(peakBytes_, queuedBytes_);
      receiveQueue_.push_back(std::move(receivedData));
    } else {
      ++dropped_;
      lastDropMs_ = loop_.NowMilliseconds();
    }
    // Started by the first arrival of a batch and left running, so steady traffic
    // cannot keep pushing the hand-over back.
    if (!receiveTimer_->Enabled()) {
      receiveTimer_->SetInterval(kReceiveDelayMs);
      receiveTimer_->SetEnabled(true);
    }
  });
}

void XapTransport::OnLanDatagram(std::string receivedData) {
  const std::string from = winsock2_->Sender().AddressText();
  if (from.rfind("127.", 0) == 0 ||
      std::find(ownAddresses_.begin(), ownAddresses_.end(), from) != ownAddresses_.end()) {
    ProcessReceivedMessage(std::move(receivedData));
    return;
  }
  ++refused_;
  const int64_t now = loop_.NowMilliseconds();
  if (refusalsSaidAt_ && now - *refusalsSaidAt_ < kRefusalsSaidEveryMs) return;
  refusalsSaidAt_ = now;
  log_.WriteErrorLog(kLogType, "ProcessReceivedMessage dropped " + std::to_string(refused_) +
                                   " datagrams sent straight to " + localIP_ + ":" +
                                   std::to_string(localPort_) +
                                   " from other computers, the last from " + from +
                                   ": requests come through the hub");
  refused_ = 0;
}

void XapTransport::OnReceiveTimer() {
  receiveTimer_->SetEnabled(false);
  if (callbackObject_ != nullptr) callbackObject_->onMessage();
}

void XapTransport::ReportDropsOnceQuiet() {
  if (dropped_ == 0) return;
  if (loop_.NowMilliseconds() - lastDropMs_ < kFloodQuietMs) {
    // Still flooding, or just ended: look again later, even if nothing more arrives.
    if (!receiveTimer_->Enabled()) {
      receiveTimer_->SetInterval(kReceiveDelayMs);
      receiveTimer_->SetEnabled(true);
    }
    return;
  }
  log_.WriteErrorLog(kLogType, "ProcessReceivedMessage receive queue full, " +
                                   std::to_string(dropped_) + " messages dropped");
  dropped_ = 0;
}

std::string XapTransport::GetMessage() {
  if (receiveQueue_.empty()) {
    ReportDropsOnceQuiet();
    return "";
  }
  // Converted here, not on arrival: a flood that is dropped costs no conversion.
  queuedBytes_ -= receiveQueue_.front().size();
  std::string text = TextFromCodePage(std::move(receiveQueue_.front()));
  receiveQueue_.pop_front();
  if (receiveQueue_.empty() && peakBytes_ >= kReleaseAfterBytes) {
    // A flood's memory goes back to the system once it is drained, not kept for the next.
    std::deque<std::string>().swap(receiveQueue_);
    ReleaseFreeMemory();
    peakBytes_ = 0;
  }
  return text;
}

}  // namespace varnix
