// XapLink: joining the network the way an xAP client does, and reading what it hears.
#include "xap/xap_link.h"

#include "core/text.h"
#include "core/unix_time.h"
#include "core/wire_text.h"
#include "platform/error.h"
#include "platform/text_encoding.h"
#include "xap/message_signature.h"
#include "xap/sealed_items.h"
#include "xap/xap_message.h"
#include "xap/xap_transport.h"

namespace varnix {
namespace {

constexpr char kUid[] = "FF00CC00";
constexpr uint16_t kFirstOwnPort = 32968;  // above the range the node takes its port from
constexpr int kOwnPorts = 1000;

}  // namespace

std::string Heard::Item(std::string_view name, std::string_view missing) const {
  for (const auto& [item, value] : items) {
    if (EqualsIgnoringCase(item, name)) return value;
  }
  return std::string(missing);
}

XapLink::XapLink(EventLoop& loop, std::string source, std::string local_address,
                 std::string send_address, OnHeard on_heard)
    : loop_(loop),
      source_(std::move(source)),
      local_address_(std::move(local_address)),
      send_address_(std::move(send_address)),
      on_heard_(std::move(on_heard)) {}

XapLink::~XapLink() {
  if (port_ == 0) return;
  try {
    Beat(true);
  } catch (const Error&) {
    // Without the goodbye the hub forgets the port once its heartbeats stop.
  }
}

void XapLink::Join() {
  sender_ = loop_.CreateUdpSocket([](std::string) {});
  listener_ = loop_.CreateUdpSocket([this](std::string text) { OnDatagram(std::move(text)); });
  try {
    listener_->Bind("", kXapPort);
    return;
  } catch (const Error&) {
    // A hub holds it: take a port of its own on loopback, where the hub relays.
  }
  TakeOwnPort();
}

void XapLink::YieldToHub() {
  listener_.reset();  // the hub is waiting for it
  try {
    TakeOwnPort();
  } catch (const Error& e) {
    // No port of its own: deaf until the next start, as a link that could not join.
    if (port_notice_) {
      port_notice_("gave port " + std::to_string(kXapPort) +
                   " to the hub here, and found none of its own: " + e.description());
    }
    return;
  }
  if (port_notice_) {
    port_notice_("gave port " + std::to_string(kXapPort) + " to the hub here; listening on " +
                 std::to_string(port_) + " through it");
  }
}

void XapLink::TakeOwnPort() {
  // As the node does: the hub relays to 127.0.0.1 at the port, and the same port on the LAN
  // address is where the heartbeat comes from.
  const bool alone = local_address_.empty() || local_address_.rfind("127.", 0) == 0;
  for (int i = 0; i < kOwnPorts && port_ == 0; ++i) {
    const auto port = static_cast<uint16_t>(kFirstOwnPort + i);
    auto loopback =
        loop_.CreateUdpSocket([this](std::string text) { OnDatagram(std::move(text)); });
    // The LAN port takes what a hub on this computer relays, never a datagram another
    // computer sent straight to it: that would pass by the hub's --allow list.
    auto lan = alone ? nullptr : loop_.CreateUdpSocket([this](std::string text) {
      const std::string from = lan_ ? lan_->Sender().AddressText() : "";
      if (from.rfind("127.", 0) == 0 || from == local_address_) OnDatagram(std::move(text));
    });
    try {
      loopback->Bind("127.0.0.1", port);
      if (lan) lan->Bind(local_address_, port);
    } catch (const Error&) {
      continue;
    }
    listener_ = std::move(loopback);
    lan_ = std::move(lan);
    port_ = port;
  }
  if (port_ == 0) throw Error(0, "no free UDP port to listen on");
  Beat(false);
  relayed_back_ = false;
  quick_until_ms_ = loop_.NowMilliseconds() + kQuickBeatsForMs;
  heartbeat_ = loop_.CreateTimer([this] {
    try {
      Beat(false);
    } catch (const Error&) {
      // A heartbeat lost on the way comes again.
    }
    if (heartbeat_->Interval() == kQuickBeatMs &&
        (relayed_back_ || loop_.NowMilliseconds() >= quick_until_ms_)) {
      heartbeat_->SetInterval(kHeartbeatSeconds * 1000);
    }
  });
  heartbeat_->SetInterval(kQuickBeatMs);
  heartbeat_->SetEnabled(true);
}

void XapLink::Beat(bool stopped) {
  // Broadcast from the LAN address, as every xAP client's; hubs elsewhere ignore a heartbeat
  // that is not from their own computer.
  SendText("xap-hbeat\n{\nv=12\nhop=1\nuid=" + std::string(kUid) + "\nclass=xap-hbeat." +
           (stopped ? "stopped" : "alive") + "\nsource=" + source_ + "\ninterval=" +
           std::to_string(kHeartbeatSeconds) + "\nport=" + std::to_string(port_) + "\n}\n");
}

void XapLink::SendText(const std::string& text) { SendWire(TextToCodePage(text)); }

void XapLink::SendWire(const std::string& wire) {
  try {
    From().SendTo(send_address_, kXapPort, wire);
  } catch (const Error& e) {
    throw Error(e.number(), "cannot send to " + send_address_ + ": " + e.description());
  }
}

void XapLink::Send(const std::string& target, const std::string& klass, const std::string& section,
                   const std::vector<std::pair<std::string, std::string>>& items) {
  const std::vector<std::pair<std::string_view, std::string_view>> views(items.begin(),
                                                                         items.end());
  std::string text =
      OneSectionMessage(XapHeaderPrefix(kUid), klass, source_, target, section, views);
  // Never a "?" in place of a letter: that names another program, or another computer.
  if (const std::string why = WhyNotCarried(text); !why.empty()) {
    throw Error(errors::kInvalidCall, "not sent, as " + why);
  }
  if (!key_.empty()) {
    return SendWire(SignMessage(TextToCodePage(text), key_, UnixSecondsNow()));
  }
  SendText(text);
}

void XapLink::VerifyWith(std::string key, bool require) {
  const int64_t now = UnixSecondsNow();
  check_.emplace(std::move(key), UnixSecondsNow, now);
  require_signed_ = require;
}

void XapLink::OnDatagram(std::string datagram) {
  // Read first, so that who sent it is known before anything is kept of it.
  const std::string wire = check_ ? datagram : std::string();
  QuietReports log;
  XapMessage message(log);
  // A heartbeat is a header block of its own; read as one, its goodbye tells that a node ended.
  if (EqualsLowered(std::string_view(datagram).substr(0, 9), "xap-hbeat")) {
    datagram.replace(0, 9, "xap-header");
    message.FromXap(TextFromCodePage(std::move(datagram)));
    // Its own heartbeat, relayed back: a hub has it, and the quick beats can stop.
    if (SenderAddress(message.msgSource()) == SenderAddress(source_)) {
      relayed_back_ = true;
      return;
    }
    // A Varnix hub that wants the port this link holds: given up to it.
    const std::string from = listener_ ? listener_->Sender().AddressText() : "";
    if (HoldsXapPort() && (from.rfind("127.", 0) == 0 || from == local_address_) &&
        EqualsIgnoringCase(message.msgClass(), "xap-hbeat.alive") &&
        EqualsLowered(message.msgSource().substr(0, kHubSourcePrefix.size()), kHubSourcePrefix)) {
      // Any local program can send a hub's heartbeat; only one of this account or an
      // administrator's is obeyed, or the port would go to whoever binds it next. Where the
      // system does not tell, as ever.
      if (listener_->SenderIsOwnOrAdministrator() == false) {
        if (port_notice_ && !claim_refusal_said_) {
          port_notice_("a program of another account (UDP port " +
                       std::to_string(listener_->Sender().port) + ") asked for port " +
                       std::to_string(kXapPort) +
                       " in a hub's name; it is kept here, and a hub of this account or an "
                       "administrator's takes it");
        }
        claim_refusal_said_ = true;
        return;
      }
      // Not from inside this socket's own handler, which the port goes with.
      if (!yield_) {
        yield_ = loop_.CreateTimer([this] {
          yield_->SetEnabled(false);
          YieldToHub();
        });
        yield_->SetInterval(1);
        yield_->SetEnabled(true);
      }
      return;
    }
    if (!hear_heartbeats_ && !EqualsIgnoringCase(message.msgClass(), "xap-hbeat.stopped")) return;
  } else {
    message.FromXap(TextFromCodePage(std::move(datagram)));
  }
  // Heartbeats and anything else without an xAP header parse into nothing.
  if (message.msgClass() == kUnknown) return;
  Heard heard;
  heard.source = std::string(message.msgSource());
  // Who sent it, in the one form every check uses. A wildcard names no sender, and what this
  // program sent itself comes back through the hub: neither is heard, nor its nonce kept.
  const std::string sender = SenderAddress(heard.source);
  if (sender.empty() || sender == SenderAddress(source_)) return;
  std::optional<SignatureCheck::Verdict> verdict;
  if (check_) {
    verdict = check_->Check(wire);
    if (*verdict == SignatureCheck::Verdict::kUnsigned && require_signed_) {
      if (unsigned_refused_) unsigned_refused_(sender);
      return;
    }
    if (*verdict != SignatureCheck::Verdict::kGood &&
        *verdict != SignatureCheck::Verdict::kUnsigned) {
      return;
    }
  }
  heard.verified = verdict == SignatureCheck::Verdict::kGood;
  if (check_) {
    if (heard.verified) {
      if (signing_sources_.size() < kMaxSigningSources) signing_sources_.insert(sender);
    } else if (signing_sources_.count(sender) != 0) {
      return;  // a node that signs sent no unsigned word
    }
  }
  heard.klass = std::string(message.msgClass());
  const std::vector<std::string> sections = message.msgSection();
  if (!sections.empty()) heard.section = sections[0];
  for (const std::string& line : message.msgCollection(0).value_or(std::vector<std::string>{})) {
    const auto mark = line.find('=');
    if (mark != std::string::npos)
      heard.items.emplace_back(line.substr(0, mark), line.substr(mark + 1));
  }
  // What a node sealed for the key's holders is read as if it came in clear; a log's lines are
  // sealed otherwise, bound to the request that asked for them.
  if (!key_.empty() && heard.section != "process.log") {
    heard.items = OpenPrivate(key_, heard.section, std::move(heard.items));
  }
  heard.at_ms = loop_.NowMilliseconds();
  on_heard_(heard);
}

std::string EventWords(const Heard& event) {
  const std::string data = event.Item("Data");
  // "<routine> Line <number> <words>": the routine is one word, the number may be negative.
  const size_t space = data.find(' ');
  constexpr std::string_view kLine = " Line ";
  if (space == std::string::npos || data.compare(space, kLine.size(), kLine) != 0) return data;
  size_t at = space + kLine.size();
  if (at < data.size() && data[at] == '-') ++at;
  const size_t digits = at;
  while (at < data.size() && data[at] >= '0' && data[at] <= '9') ++at;
  if (at == digits || at >= data.size() || data[at] != ' ') return data;
  return data.substr(at + 1);
}

}  // namespace varnix
