// Hub: registration by heartbeat, relay in arrival order, expiry and the counted drops.
#include "hub/hub.h"

#include "core/text.h"
#include "platform/error.h"

namespace varnix {

Hub::Hub(EventLoop& loop, FileSystem& files, std::vector<std::string> local_addresses,
         Options options, Say say, WallClock now)
    : loop_(loop),
      files_(files),
      options_(std::move(options)),
      say_(std::move(say)),
      now_(std::move(now)),
      expire_timer_(loop.CreateTimer([this] { Expire(); })),
      report_timer_(loop.CreateTimer([this] { ReportDrops(); })) {
  local_.insert(0x7F000001);
  for (const std::string& address : local_addresses) {
    if (const auto parsed = ParseAddress(address)) local_.insert(*parsed);
  }
  // This computer's own programs are always heard, whatever the LAN's rule.
  options_.allow.Add(0x7F000000, 8);
  for (const uint32_t address : local_) options_.allow.Add(address, 32);
}

Hub::~Hub() = default;

bool Hub::PortHeld(uint16_t port) {
  auto probe = loop_.CreateUdpSocket([](std::string) {});
  try {
    probe->Bind("127.0.0.1", port);
    return false;
  } catch (const Error&) {
    return true;
  }
}

void Hub::Start() {
  if (!options_.state_file.empty() && files_.FileExists(options_.state_file)) {
    try {
      const ClientTable saved = ClientTable::Load(files_.ReadAll(options_.state_file), now_());
      for (const auto& [port, client] : saved.clients()) {
        if (!PortHeld(port)) continue;
        clients_.Heard(Heartbeat{client.source, client.interval_seconds, port, false},
                       client.heard_at);
        if (options_.verbose)
          say_("taken back " + client.source + " on port " + std::to_string(port));
      }
    } catch (const Error& e) {
      say_("cannot read " + options_.state_file + ": " + e.description());
    }
  }
  socket_ = loop_.CreateUdpSocket([this](std::string text) { OnDatagram(std::move(text)); });
  try {
    socket_->Bind("", kXapPort);
  } catch (const Error& e) {
    throw Error(e.number(), "cannot listen on UDP port " + std::to_string(kXapPort) + " (" +
                                e.description() +
                                "): another xAP hub, or an xAP program that listens there "
                                "itself, is running on this computer");
  }
  sender_ = loop_.CreateUdpSocket([](std::string) {});
  expire_timer_->SetInterval(kExpireEveryMs);
  expire_timer_->SetEnabled(true);
  report_timer_->SetInterval(kReportEveryMs);
  report_timer_->SetEnabled(true);
}

void Hub::SaveState() {
  if (options_.state_file.empty()) return;
  try {
    files_.WriteAll(options_.state_file, clients_.Save());
  } catch (const Error& e) {
    say_("cannot write " + options_.state_file + ": " + e.description());
  }
}

void Hub::OnDatagram(std::string text) {
  const Endpoint from = socket_->Sender();
  if (!options_.allow.Allows(from.address)) return Drop("refused a datagram", from);
  const std::string_view head = std::string_view(text).substr(0, 9);
  if (EqualsLowered(head, "xap-hbeat")) {
    const std::optional<Heartbeat> beat = ReadHeartbeat(text);
    if (!beat) return Drop("dropped a malformed heartbeat", from);
    if (local_.count(from.address) != 0 && clients_.Heard(*beat, now_())) {
      SaveState();
      if (options_.verbose) {
        say_((beat->stopped ? "forgot " : "registered ") + beat->source + " on port " +
             std::to_string(beat->port));
      }
    }
  } else if (!EqualsLowered(std::string_view(text).substr(0, 10), "xap-header")) {
    return Drop("dropped a datagram that is not xAP", from);
  }
  // Unchanged and whole, to every client; a client that is gone costs one failed send.
  for (const auto& [port, client] : clients_.clients()) {
    try {
      sender_->SendTo("127.0.0.1", port, text);
    } catch (const Error&) {
    }
  }
}

void Hub::Drop(const std::string& what, const Endpoint& from) {
  ++dropped_;
  if (options_.verbose) say_(what + " from " + from.AddressText());
}

void Hub::Expire() {
  const std::vector<uint16_t> gone = clients_.Expire(now_());
  if (gone.empty()) return;
  SaveState();
  if (options_.verbose) {
    for (const uint16_t port : gone)
      say_("forgot the silent client on port " + std::to_string(port));
  }
}

void Hub::ReportDrops() {
  if (dropped_ == 0) return;
  say_(std::to_string(dropped_) +
       " datagrams dropped in the last minute: not xAP, malformed, or from a sender not allowed");
  dropped_ = 0;
}

}  // namespace varnix
