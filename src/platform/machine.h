// Facts about the computer and the running program, and its system-wide actions.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/error.h"
#include "platform/event_loop.h"
#include "platform/path_rules.h"

namespace varnix {

// The version the system reports about itself, where it has such a call.
struct OSVersion {
  enum class Family { kWindows9x, kWindowsNT };
  Family family = Family::kWindowsNT;
  unsigned long major = 0;
  unsigned long minor = 0;
};

// Held while this process is the one program of its kind on the computer.
class InstanceClaim {
 public:
  virtual ~InstanceClaim() = default;
};

// A claim, or, when another process holds it, that process's id where the system tells.
struct ClaimResult {
  std::unique_ptr<InstanceClaim> claim;
  std::optional<unsigned long> holder;
};

// The computer's own figures, as the system counts them.
struct MachineFigures {
  // Processor time since boot, every processor's together, in the system's unit: the share of
  // the whole that was not idle between two readings is the computer's processor use.
  uint64_t cpu_idle = 0;
  uint64_t cpu_total = 0;
  uint64_t memory_total = 0;      // bytes
  uint64_t memory_available = 0;  // bytes that programs may still have without swapping
  int64_t booted = 0;             // Unix seconds
  uint64_t disk_free = 0;         // bytes an ordinary user may still write on the system's drive
  std::string mac;  // aa:bb:cc:dd:ee:ff of the interface that has the address asked of
};

// One temperature sensor, named as the system names it ("k10temp Tctl", "nvme Composite", a
// thermal zone's type), in degrees Celsius.
struct Temperature {
  std::string name;
  double celsius = 0;
  bool processor = false;  // it measures the processor itself
};

// Who is at the computer: the user of its active local session, whether that session is
// locked, and how long it has been idle.
struct Presence {
  std::string problem;   // why none of this can be known here; "" when it is known
  bool session = false;  // a local session is active at all
  std::string user;
  std::optional<bool> locked;            // nothing where the system does not tell
  std::optional<uint64_t> idle_seconds;  // 0 while the session is in use

  bool operator==(const Presence&) const = default;
};

// Follows who is at the computer as the system tells it.
class PresenceWatch {
 public:
  virtual ~PresenceWatch() = default;
  // As it is now; a problem where the system cannot say (and is asked again next time).
  virtual Presence Now() = 0;
  // Whether the system tells each change as it comes; where it does not, the caller looks
  // again when it wakes for something else.
  virtual bool TellsChanges() const { return false; }
};

// Where this system's way to it is not built, or not there: says why, each time.
class UnknownPresence : public PresenceWatch {
 public:
  explicit UnknownPresence(std::string why) : why_(std::move(why)) {}
  Presence Now() override {
    Presence presence;
    presence.problem = why_;
    return presence;
  }

 private:
  std::string why_;
};

// A notice for the person at the computer, with the answers they may give (none for one that
// only tells).
struct Notice {
  std::string title;
  std::string text;
  std::vector<std::string> actions;
  std::chrono::seconds timeout{60};
};

// What the person did with a notice: chose `action`, or put it away without one (""); or,
// where the system failed to show it after all, why (`problem`).
struct NoticeAnswer {
  std::string action;
  std::string problem;
};

// A notice on the screen; it is taken away, where the system lets it, when this goes.
class ShownNotice {
 public:
  virtual ~ShownNotice() = default;
};

// What SessionAction asks of the system.
enum class SessionRequest { kSleep, kHibernate, kLock, kLogoff };

class Machine {
 public:
  virtual ~Machine() = default;

  // Claims `name` on this computer for this process; the system lets it go when the process
  // ends, however it ends. Machines in memory grant every claim.
  virtual ClaimResult ClaimInstance(const std::string& name) {
    (void)name;
    return {std::make_unique<InstanceClaim>(), std::nullopt};
  }

  virtual PathRules Paths() const = 0;
  // The computer's name; throws Error when the system cannot give it.
  virtual std::string ComputerName() = 0;
  // The host's IPv4 addresses, dotted, in the system's order.
  virtual std::vector<std::string> HostAddresses() = 0;
  // The networks those addresses are on, as "address/prefix-length". Where the system gives
  // no masks, each address stands alone (/32).
  virtual std::vector<std::string> HostNetworks() {
    std::vector<std::string> networks;
    for (const std::string& address : HostAddresses()) networks.push_back(address + "/32");
    return networks;
  }
  // The figures now; `address` chooses the interface whose MAC is given ("" when none has
  // it). Throws Error where the system cannot give them.
  virtual MachineFigures Figures(const std::string& address) = 0;
  // The temperature sensors the system shows without a driver of the user's own; none where it
  // shows none, or where this system's way to them is not built. Throws Error saying why where
  // its way to them fails.
  virtual std::vector<Temperature> Temperatures() { return {}; }
  // Follows who is at the computer; `changed` is called on `loop`'s thread when the system
  // says something of it may have changed, never on a timer of its own.
  virtual std::unique_ptr<PresenceWatch> WatchPresence(EventLoop& /*loop*/,
                                                       std::function<void()> /*changed*/) {
    return std::make_unique<UnknownPresence>("not available here");
  }
  // Shows `notice` in the active local session and calls `answered` once, on `loop`'s thread,
  // when the person there answers it; never when nobody does (the caller keeps the time), and
  // the notice is not ended from within `answered`.
  // Throws Error saying why it cannot be shown: nobody there, no notification service.
  virtual std::unique_ptr<ShownNotice> ShowNotice(EventLoop& /*loop*/, const Notice& /*notice*/,
                                                  std::function<void(const NoticeAnswer&)>) {
    throw Error(errors::kInvalidCall, "not available here");
  }
  // The system's own name for this run of the computer, which changes at every boot and never
  // with the clock; "" where the system keeps none.
  virtual std::string BootId() { return ""; }
  // Empty where the system has no version call that the label table applies to.
  virtual std::optional<OSVersion> Version() = 0;
  // The folder that holds the program file, without a trailing separator.
  virtual std::string ProgramFolder() = 0;
  // The program file's name, extension included.
  virtual std::string ProgramFileName() = 0;
  virtual unsigned long CurrentProcessId() = 0;
  // A moment as local date and time in the system's general form.
  virtual std::string DateText(std::chrono::system_clock::time_point at) = 0;
  std::string GeneralDateText() { return DateText(std::chrono::system_clock::now()); }
  // Where the run that closes the windows before a shutdown leaves its trace, given the
  // folder (with its trailing separator) where the node keeps its data files.
  virtual std::string CloseTracePath(const std::string& data_folder) = 0;
  // The user's own folder for the node's data files, for when the program's folder cannot be
  // written; "" when the system names none.
  virtual std::string UserDataFolder() = 0;

  // Lets this process end the system session; results are not looked at.
  virtual void EnableShutdownPrivilege() = 0;
  // Asks the system to shut down (on Linux with the power off) or to reboot; `force` ends programs
  // that do not close. Returns at once, without waiting for the system to go down.
  virtual void ExitSystem(bool reboot, bool force) = 0;
  // Suspends to RAM (never hibernates), hibernates, locks the user's session or ends it.
  // Returns once the system has taken the request; throws Error saying why it was not (no
  // hibernation here, the command missing or refusing). While a command it runs has not
  // answered, it calls `wait` with a number of milliseconds, so that the caller's loop goes
  // on meanwhile.
  virtual void SessionAction(SessionRequest request, const std::function<void(int)>& wait) = 0;
};

}  // namespace varnix
