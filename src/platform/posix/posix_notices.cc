// A notice on a Linux desktop: the notification service of the active session's user, reached
// over that user's own bus, which logind names.
#include <cerrno>
#include <utility>

#include "platform/error.h"
#include "platform/posix/dbus.h"
#include "platform/posix/posix_machine.h"

namespace varnix {
namespace {

constexpr char kLogind[] = "org.freedesktop.login1";
constexpr char kNotifications[] = "org.freedesktop.Notifications";
constexpr char kNotificationsPath[] = "/org/freedesktop/Notifications";
// Why the service closed a notice, as it says in NotificationClosed.
constexpr int64_t kClosedByTheUser = 2;

// The user of seat0's active session, and where that user's bus is.
struct SessionUser {
  uint32_t uid = 0;
  std::string bus;
};

SessionUser ActiveUser() {
  DbusConnection system(DbusConnection::SystemBusAddress());
  const DbusValue seat = system.Property(kLogind, "/org/freedesktop/login1/seat/seat0",
                                         "org.freedesktop.login1.Seat", "ActiveSession");
  const std::string session = seat.items.size() == 2 ? seat.items[1].text : "";
  if (session.empty() || session == "/") {
    throw Error(ENOENT, "nobody is at the computer (no active local session)");
  }
  const DbusValue user =
      system.Property(kLogind, session, "org.freedesktop.login1.Session", "User");
  if (user.items.size() != 2) throw Error(EBADMSG, "logind named no user for the session");
  SessionUser found;
  found.uid = static_cast<uint32_t>(user.items[0].number);
  const std::string runtime =
      system.Property(kLogind, user.items[1].text, "org.freedesktop.login1.User", "RuntimePath")
          .text;
  if (runtime.empty()) throw Error(ENOENT, "the session's user has no runtime folder");
  found.bus = "unix:path=" + runtime + "/bus";
  return found;
}

// `text` as a service that reads markup shows it as it was written: a request's "<b>" or link
// is no markup of ours.
std::string AsWritten(DbusConnection& bus, const std::string& text) {
  // Each call is bounded: the node waits for a session's service while nothing else runs.
  const std::vector<DbusValue> capabilities =
      bus.Call(kNotifications, kNotificationsPath, kNotifications, "GetCapabilities", {},
               std::chrono::milliseconds(500));
  bool markup = false;
  for (const DbusValue& capability :
       capabilities.empty() ? std::vector<DbusValue>{} : capabilities[0].items) {
    markup = markup || capability.text == "body-markup";
  }
  if (!markup) return text;
  std::string escaped;
  for (const char c : text) {
    switch (c) {
      case '&':
        escaped += "&amp;";
        break;
      case '<':
        escaped += "&lt;";
        break;
      case '>':
        escaped += "&gt;";
        break;
      default:
        escaped += c;
    }
  }
  return escaped;
}

class DesktopNotice : public ShownNotice {
 public:
  DesktopNotice(EventLoop& loop, const Notice& notice,
                std::function<void(const NoticeAnswer&)> answered)
      : answered_(std::move(answered)) {
    const SessionUser user = ActiveUser();
    try {
      bus_ = std::make_unique<DbusConnection>(user.bus, std::chrono::milliseconds(1000), user.uid);
    } catch (const Error& e) {
      throw Error(e.number(), "the session's own bus cannot be reached (" + e.description() + ")");
    }
    bus_->AddMatch("type='signal',interface='org.freedesktop.Notifications'");
    // Each action's key is its own label: the answer is told as the person read it.
    std::vector<std::string> actions;
    for (const std::string& action : notice.actions) {
      actions.push_back(action);
      actions.push_back(action);
    }
    std::vector<DbusValue> reply;
    try {
      const std::string text = AsWritten(*bus_, notice.text);
      DbusArguments arguments;
      arguments.Text("Varnix")
          .Unsigned(0)
          .Text("")
          .Text(notice.title)
          .Text(text)
          .Texts(actions)
          .NoOptions()
          .Signed(static_cast<int32_t>(notice.timeout.count() * 1000));
      reply = bus_->Call(kNotifications, kNotificationsPath, kNotifications, "Notify", arguments);
    } catch (const Error& e) {
      throw Error(e.number(),
                  "no notification service answered in the session (" + e.description() + ")");
    }
    if (reply.empty()) throw Error(EBADMSG, "the notification service gave no number");
    id_ = reply[0].number;
    watch_ = loop.WatchSocket(bus_->fd(), [this](bool, bool) { Ready(); });
  }

  ~DesktopNotice() override {
    watch_.reset();
    if (answered_ == nullptr) return;
    // Taken away, so that a notice whose time is up does not wait for an answer no one hears.
    try {
      bus_->Call(kNotifications, kNotificationsPath, kNotifications, "CloseNotification",
                 DbusArguments().Unsigned(static_cast<uint32_t>(id_)),
                 std::chrono::milliseconds(500));
    } catch (const Error&) {
      // The service or its bus is gone: nothing is left to take away.
    }
  }
  DesktopNotice(const DesktopNotice&) = delete;
  DesktopNotice& operator=(const DesktopNotice&) = delete;

 private:
  void Ready() {
    std::vector<DbusMessage> signals;
    try {
      signals = bus_->TakeSignals();
    } catch (const Error&) {
      watch_.reset();  // the session ended: its notice went with it, unanswered
      return;
    }
    for (const DbusMessage& signal : signals) {
      if (signal.body.size() != 2 || signal.body[0].number != id_) continue;
      NoticeAnswer answer;
      if (signal.member == "ActionInvoked") {
        answer.action = signal.body[1].text;
      } else if (signal.member != "NotificationClosed" ||
                 signal.body[1].number != kClosedByTheUser) {
        continue;  // expired, or closed by a call: the caller's time tells it
      }
      Answer(answer);
      return;
    }
  }

  void Answer(const NoticeAnswer& answer) {
    // Once: a chosen action is followed by the notice's closing.
    const auto answered = std::exchange(answered_, nullptr);
    if (answered) answered(answer);
  }

  std::function<void(const NoticeAnswer&)> answered_;
  std::unique_ptr<DbusConnection> bus_;
  std::unique_ptr<SocketWatch> watch_;
  int64_t id_ = 0;
};

}  // namespace

std::unique_ptr<ShownNotice> PosixMachine::ShowNotice(
    EventLoop& loop, const Notice& notice, std::function<void(const NoticeAnswer&)> answered) {
  try {
    return std::make_unique<DesktopNotice>(loop, notice, std::move(answered));
  } catch (const Error& e) {
    const std::string why = e.description();
    if (why.find("NoSuchSeat") != std::string::npos) {
      throw Error(e.number(), "no local seat here (a computer without its own screen)");
    }
    throw;
  }
}

}  // namespace varnix
