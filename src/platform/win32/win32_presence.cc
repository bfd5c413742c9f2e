// Who is at a Windows computer: the console session through the WTS functions, which work from
// a service too, and its last input where the node runs in that session.
#include "platform/win32/win32_machine.h"

namespace varnix {
namespace {

// The start of WTSINFOEXW (Windows 7 and later), which these headers lack: its level, then
// level 1's first fields, in a union that a LARGE_INTEGER aligns on eight.
struct SessionInfoEx {
  DWORD level;
  struct alignas(8) Level1 {
    ULONG session_id;
    INT state;
    LONG flags;
  } data;
};
constexpr auto kSessionInfoEx = static_cast<WTS_INFO_CLASS>(25);
constexpr LONG kSessionLocked = 0;
constexpr LONG kSessionUnlocked = 1;

// Frees what a WTS query hands out.
template <typename T>
class WtsMemory {
 public:
  ~WtsMemory() {
    if (data != nullptr) WTSFreeMemory(data);
  }
  T* data = nullptr;
};

class WtsPresence : public PresenceWatch {
 public:
  Presence Now() override {
    Presence presence;
    const DWORD session = WTSGetActiveConsoleSessionId();
    if (session == 0xFFFFFFFF) return presence;  // between sessions: nobody's screen
    WtsMemory<wchar_t> name;
    DWORD bytes = 0;
    if (!WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, session, WTSUserName, &name.data,
                                     &bytes)) {
      presence.problem = "the console session cannot be read (WTSQuerySessionInformation " +
                         std::to_string(GetLastError()) + ")";
      return presence;
    }
    presence.user = TextFromWide(name.data);
    // The log-on screen is a session with no user in it.
    presence.session = !presence.user.empty();
    if (!presence.session) return presence;
    // Not told by every Windows (nor by Wine): then the lock is not known.
    WtsMemory<SessionInfoEx> info;
    if (WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, session, kSessionInfoEx,
                                    reinterpret_cast<LPWSTR*>(&info.data), &bytes) &&
        info.data != nullptr && bytes >= sizeof(SessionInfoEx) && info.data->level == 1) {
      if (info.data->data.flags == kSessionLocked) presence.locked = true;
      if (info.data->data.flags == kSessionUnlocked) presence.locked = false;
    }
    // Input is told only to a program of the same session; a service's node tells no idle time.
    DWORD own = 0;
    LASTINPUTINFO input{sizeof input, 0};
    if (ProcessIdToSessionId(GetCurrentProcessId(), &own) && own == session &&
        GetLastInputInfo(&input)) {
      presence.idle_seconds = (GetTickCount() - input.dwTime) / 1000;
    }
    return presence;
  }
};

}  // namespace

std::unique_ptr<PresenceWatch> Win32Machine::WatchPresence(EventLoop& /*loop*/,
                                                           std::function<void()> /*changed*/) {
  return std::make_unique<WtsPresence>();
}

}  // namespace varnix
