// Who is at a Linux computer, as logind tells it over the system bus.
#include <chrono>

#include "platform/error.h"
#include "platform/posix/dbus.h"
#include "platform/posix/posix_machine.h"

namespace varnix {
namespace {

constexpr char kLogind[] = "org.freedesktop.login1";
constexpr char kSession[] = "org.freedesktop.login1.Session";

class LogindPresence : public PresenceWatch {
 public:
  LogindPresence(EventLoop& loop, std::function<void()> changed)
      : loop_(loop), changed_(std::move(changed)) {}

  bool TellsChanges() const override { return true; }

  Presence Now() override {
    try {
      Connect();
      return Read();
    } catch (const Error& e) {
      // Connected again at the next look: the bus may have been restarted.
      watch_.reset();
      bus_.reset();
      Presence presence;
      const std::string why = e.description();
      presence.problem = why.find("NoSuchSeat") != std::string::npos
                             ? "no local seat here (a computer without its own screen)"
                             : why;
      return presence;
    }
  }

 private:
  void Connect() {
    if (bus_) return;
    bus_ = std::make_unique<DbusConnection>(DbusConnection::SystemBusAddress());
    // Locks, unlocks, idling and a new active session each change a property of a session
    // or of the seat: told, not polled.
    bus_->AddMatch(
        "type='signal',sender='org.freedesktop.login1',"
        "interface='org.freedesktop.DBus.Properties',member='PropertiesChanged'");
    // And logind itself going or coming back, so that either is told at once too.
    bus_->AddMatch(
        "type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',"
        "member='NameOwnerChanged',arg0='org.freedesktop.login1'");
    watch_ = loop_.WatchSocket(bus_->fd(), [this](bool, bool) { Ready(); });
  }

  void Ready() {
    bool news = true;
    try {
      news = bus_->TakeNews();
    } catch (const Error&) {
      watch_.reset();  // the bus is gone: read again, and said, at the next look
      bus_.reset();
    }
    if (news) changed_();
  }

  Presence Read() {
    Presence presence;
    const DbusValue seat = bus_->Property(kLogind, "/org/freedesktop/login1/seat/seat0",
                                          "org.freedesktop.login1.Seat", "ActiveSession");
    const std::string path = seat.items.size() == 2 ? seat.items[1].text : "";
    if (path.empty() || path == "/") return presence;
    presence.session = true;
    presence.user = bus_->Property(kLogind, path, kSession, "Name").text;
    presence.locked = bus_->Property(kLogind, path, kSession, "LockedHint").flag;
    presence.idle_seconds = 0;
    if (bus_->Property(kLogind, path, kSession, "IdleHint").flag) {
      // Microseconds of the wall clock, as logind keeps them.
      const int64_t since = bus_->Property(kLogind, path, kSession, "IdleSinceHint").number;
      const int64_t now = std::chrono::duration_cast<std::chrono::microseconds>(
                              std::chrono::system_clock::now().time_since_epoch())
                              .count();
      if (since > 0 && now > since)
        presence.idle_seconds = static_cast<uint64_t>(now - since) / 1000000;
    }
    return presence;
  }

  EventLoop& loop_;
  std::function<void()> changed_;
  std::unique_ptr<DbusConnection> bus_;
  std::unique_ptr<SocketWatch> watch_;
};

}  // namespace

std::unique_ptr<PresenceWatch> PosixMachine::WatchPresence(EventLoop& loop,
                                                           std::function<void()> changed) {
  return std::make_unique<LogindPresence>(loop, std::move(changed));
}

}  // namespace varnix
