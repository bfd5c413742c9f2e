// Hub: registration by heartbeat, relay in arrival order, expiry and the counted drops.
#include "hub/hub.h"

#include "core/text.h"
#include "platform/error.h"
#include "xap/xap_link.h"

namespace varnix {

Hub::Hub(EventLoop& loop, FileSystem& files, std::vector<std::string> local_addresses,
         Options options, Say say, WallClock now)
    : loop_(loop),
      files_(files),
      options_(std::move(options)),
      say_(std::move(say)),
      now_(std::move(now)),
      clients_(options_.max_clients),
      expire_timer_(loop.CreateTimer([this] { Expire(); })),
      report_timer_(loop.CreateTimer([this] { ReportDrops(); })),
      save_timer_(loop.CreateTimer([this] {
        save_timer_->SetEnabled(false);
        SaveState();
      })) {
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
  // Bound before anything is taken back, so that its port is known to be the hub's own.
  sender_ = loop_.CreateUdpSocket([](std::string) {});
  sender_->Bind("127.0.0.1", 0);
  sender_port_ = sender_->LocalPort();
  if (!options_.state_file.empty() && files_.FileExists(options_.state_file)) {
    try {
      const ClientTable saved = ClientTable::Load(files_.ReadAll(options_.state_file), Now(),
                                                  now_(), options_.max_clients);
      for (const auto& [port, client] : saved.clients()) {
        if (!Registrable(port) || !PortHeld(port)) continue;
        clients_.Heard(Heartbeat{client.source, client.interval_seconds, port, false},
                       client.heard_at);
        if (options_.verbose)
          say_("taken back " + client.source + " on port " + std::to_string(port));
      }
    } catch (const Error& e) {
      // The file system's words name the file already.
      say_(e.description() + "; the hub starts with no clients taken back");
    }
  }
  socket_ = loop_.CreateUdpSocket([this](std::string text) { OnDatagram(std::move(text)); });
  // A varnixctl or gateway that found no hub listens on the port itself: told that a hub is
  // here, it gives the port up within a moment. Another hub does not, and this one ends.
  const int64_t given_up_at = loop_.NowMilliseconds() + kClaimForMs;
  for (;;) {
    try {
      socket_->Bind("", kXapPort);
      break;
    } catch (const Error& e) {
      if (loop_.NowMilliseconds() >= given_up_at) {
        throw Error(e.number(), "cannot listen on UDP port " + std::to_string(kXapPort) + " (" +
                                    e.description() +
                                    "): another xAP hub, or an xAP program that listens there "
                                    "itself, is running on this computer");
      }
    }
    try {
      sender_->SendTo("127.0.0.1", kXapPort,
                      "xap-hbeat\n{\nv=12\nhop=1\nuid=FF00EE00\nclass=xap-hbeat.alive\nsource=" +
                          std::string(XapLink::kHubSourcePrefix) +
                          "hub\ninterval=60\nport=" + std::to_string(kXapPort) + "\n}\n");
    } catch (const Error&) {
      // Said again at the next try.
    }
    loop_.DispatchPending(std::chrono::milliseconds(kClaimEveryMs));
  }
  expire_timer_->SetInterval(kExpireEveryMs);
  expire_timer_->SetEnabled(true);
  report_timer_->SetInterval(kReportEveryMs);
  report_timer_->SetEnabled(true);
  save_timer_->SetInterval(kSaveAfterMs);
}

void Hub::SaveState() {
  if (options_.state_file.empty()) return;
  try {
    files_.WriteAll(options_.state_file, clients_.Save(Now(), now_()));
  } catch (const Error& e) {
    say_(e.description());
  }
}

void Hub::Changed() {
  // Not restarted by each change: a stream of registrations must not put the write off.
  if (!save_timer_->Enabled()) save_timer_->SetEnabled(true);
}

bool Hub::Registrable(uint16_t port) const {
  return port != 0 && port != kXapPort && port != sender_port_;
}

void Hub::OnDatagram(std::string text) {
  const Endpoint from = socket_->Sender();
  if (!options_.allow.Allows(from.address)) return Drop("refused a datagram", from);
  // What the hub sent itself, come back through a client that named one of its ports: never
  // relayed again, or one datagram would circle for ever.
  if (local_.count(from.address) != 0 && (from.port == kXapPort || from.port == sender_port_)) {
    return Drop("dropped a datagram that the hub itself sent", from);
  }
  const std::string_view head = std::string_view(text).substr(0, 9);
  if (EqualsLowered(head, "xap-hbeat")) {
    const std::optional<Heartbeat> beat = ReadHeartbeat(text);
    if (!beat) return Drop("dropped a malformed heartbeat", from);
    // A refused registration is not relayed either: a flood of them would cost the hub one
    // send per client each.
    if (local_.count(from.address) != 0 && !OnHeartbeat(*beat)) {
      ++dropped_;
      return;
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

bool Hub::OnHeartbeat(const Heartbeat& beat) {
  const std::string port = std::to_string(beat.port);
  if (beat.port != 0 && !Registrable(beat.port)) {
    if (options_.verbose) {
      SayOnce("own port", "refused a heartbeat from " + beat.source + " naming port " + port +
                              ", the hub's own");
    }
    return false;
  }
  switch (clients_.Heard(beat, Now())) {
    case ClientTable::Change::kAdded:
    case ClientTable::Change::kForgotten:
      Changed();
      if (options_.verbose) {
        say_((beat.stopped ? "forgot " : "registered ") + beat.source + " on port " + port);
      }
      break;
    case ClientTable::Change::kNotTheirs:
      if (options_.verbose) {
        SayOnce("goodbye", "ignored a goodbye from " + beat.source + " for port " + port +
                               ", which " + clients_.clients().at(beat.port).source + " holds");
      }
      break;
    case ClientTable::Change::kFull:
      SayOnce("full", "refused to register " + beat.source + " on port " + port + ": " +
                          std::to_string(options_.max_clients) +
                          " clients already (--max-clients)");
      return false;
    case ClientTable::Change::kRenewed:
    case ClientTable::Change::kNone:
      break;
  }
  return true;
}

void Hub::Drop(const std::string& what, const Endpoint& from) {
  ++dropped_;
  if (options_.verbose) say_(what + " from " + from.AddressText());
}

void Hub::SayOnce(const std::string& kind, const std::string& what) {
  if (said_.insert(kind).second) say_(what);
}

void Hub::Expire() {
  const std::vector<uint16_t> gone = clients_.Expire(Now());
  if (gone.empty()) return;
  Changed();
  if (options_.verbose) {
    for (const uint16_t port : gone)
      say_("forgot the silent client on port " + std::to_string(port));
  }
}

void Hub::ReportDrops() {
  said_.clear();
  if (dropped_ == 0) return;
  say_(std::to_string(dropped_) +
       " datagrams dropped in the last minute: not xAP, malformed, from a sender not allowed, or "
       "a heartbeat refused");
  dropped_ = 0;
}

}  // namespace varnix
