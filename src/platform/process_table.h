// The programs running on this computer: find, start, prioritise, end and measure them.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace varnix {

using ProcessId = uint32_t;

// The scheduling classes the node knows. On POSIX they are nice values.
enum class PriorityClass { kRealtime, kHigh, kAboveNormal, kNormal, kBelowNormal, kIdle, kOther };

// How a wait for a process's end came out.
enum class WaitResult { kEnded, kTimedOut, kCannotWait };

// What the system has counted for one process, all in seconds.
struct ProcessTimes {
  double cpu = 0;         // processor time used so far, all threads, user and system
  double elapsed = 0;     // since the process started
  double sampled_at = 0;  // a monotonic time stamp of this reading
};

// How a started program's main window first appears: the window styles of a start request.
// Other numbers a request names are passed on as they are.
enum class ShowState : int {
  kHidden = 0,
  kNormal = 1,
  kMinimized = 2,
  kMaximized = 3,
  kNormalNoFocus = 4,
  kMinimizedNoFocus = 6,
};

// Where a started program's standard output and standard error go. A relay is a program
// started beside it that reads them: the output as its standard input, the errors as its
// third stream (RelayedOutput). It is not this program: a restarted node leaves no program
// writing into a closed pipe. With no relay they go where this program's own go.
struct OutputRelay {
  std::string program;  // "" for no relay
  std::vector<std::string> arguments;
};

// What a program is started with besides its command line.
struct LaunchSettings {
  std::string folder;  // its working folder; "" for this program's own
  OutputRelay relay;
  // NAME=value entries set for it over this program's own environment.
  std::vector<std::string> environment;
  // The account it runs as, with that account's groups; "" for this program's own. Only where
  // ProcessTable::StartsAsAnotherUser says so.
  std::string user;
};

// What a polite stop sends, where the system has signals; elsewhere it closes windows.
enum class EndSignal { kTerminate, kInterrupt, kHangUp, kQuit, kUser1, kUser2 };

// How a process ended, as far as the system lets the node know.
struct ExitStatus {
  std::optional<int> code;  // the status it exited with
  std::string signal;       // the signal that ended it, by name ("SIGKILL"); "" for none
};

// A hold on one process. Unlike its id, which the system gives to a new process once the old
// one is gone, a handle never comes to mean another process.
class ProcessHandle {
 public:
  virtual ~ProcessHandle() = default;
  virtual ProcessId pid() const = 0;
  // What an event loop can wait on for the end (EventLoop::WatchEnd); -1 for nothing.
  virtual intptr_t Waitable() const { return -1; }
};

// No table ends, signals or re-prioritises the process it runs in, nor the system's first
// process: requests for them come from the network and are refused as if by the system.
class ProcessTable {
 public:
  virtual ~ProcessTable() = default;

  // A hold on live process `pid`, or on a program this table started even once it has ended,
  // so that how it ended can still be told; nullptr when it is gone or the system gives no
  // such hold (then the id alone answers, as before).
  virtual std::unique_ptr<ProcessHandle> Hold(ProcessId pid) = 0;
  // For each handle, whether its process has ended; all are asked at once, without waiting.
  // A process that has ended counts as ended before anyone collects it.
  virtual std::vector<bool> HaveEnded(const std::vector<const ProcessHandle*>& handles) = 0;
  bool HasEnded(const ProcessHandle& handle) { return HaveEnded({&handle}).front(); }
  // How the held process ended, once it has; nothing when the system does not tell (on
  // Linux it tells only for the programs this table started).
  virtual std::optional<ExitStatus> HowEnded(const ProcessHandle& handle) = 0;
  // Ends the held process at once, and with it every process it started when it is a program
  // this table started; never another process that has taken its id. True when it was ended.
  virtual bool Terminate(const ProcessHandle& handle) = 0;

  // The first live process whose image name equals `image_name` exactly; 0 when none.
  // No text of the name is ever interpreted: it is compared, not queried.
  virtual ProcessId FindByName(const std::string& image_name) = 0;
  // The first live process that runs the file `path` (as the system names it: links
  // followed), among those of image name `image_name`; 0 when none.
  virtual ProcessId FindByPath(const std::string& path, const std::string& image_name) = 0;
  // The first live process whose program file is named `file_name` in any folder: the whole
  // name, not the image name's first characters. A script counts by its own name, not its
  // interpreter's. 0 when none.
  virtual ProcessId FindByFileName(const std::string& file_name) = 0;
  // A process of this program's own, such as a sensor's command, that no Find* returns until
  // Unhide, nor (on POSIX) anything in the session it leads: it is no program anyone asked
  // about, though it may run the very file one does.
  void Hide(ProcessId pid) { hidden_.insert(pid); }
  void Unhide(ProcessId pid) { hidden_.erase(pid); }
  // Starts `path` without a command interpreter. `parameter` ("" for none) is split into
  // arguments by the Windows command-line rules on every system. `show` is how its main
  // window first appears, where the system lets a starter choose. Returns at once with the
  // new id; throws Error, as when `launch` names a user that does not exist or that this
  // program may not become. Where the relay cannot be started, the program still is, its
  // output going where ours goes.
  virtual ProcessId Start(const std::string& path, const std::string& parameter, ShowState show,
                          const LaunchSettings& launch = {}) = 0;
  // Whether Start can run a program as another user (LaunchSettings::user).
  virtual bool StartsAsAnotherUser() const { return false; }
  // Whether the relay started beside `program` has ended other than at the end of the
  // program's output (killed, say), so that what the program writes now is lost. False where
  // this table started it no relay, or did not start it (an earlier node did).
  virtual bool RelayLost(ProcessId) { return false; }
  // The program file that the system's own way of running a bare name finds for `name`
  // ("notepad"): on Windows the App Paths key, then the folders of PATH with the extensions
  // of PATHEXT, as the Run box looks; elsewhere the executable files of PATH, as a shell
  // looks. "" when there is none.
  virtual std::string LookUpProgram(const std::string& name) = 0;
  // The file live process `pid` runs, as the system names it (for a script, the script);
  // "" when it is gone or cannot be read.
  virtual std::string ProgramPath(ProcessId pid) = 0;
  // When live process `pid` started, in the system's own units: the same number for the same
  // process, another for a later one that got its id; 0 when it cannot be read.
  virtual uint64_t StartedAt(ProcessId pid) = 0;
  // Exists and has not ended; an ended child of ours never counts as alive.
  virtual bool IsAlive(ProcessId pid) = 0;
  // Nothing when the process cannot be opened.
  virtual std::optional<PriorityClass> GetPriority(ProcessId pid) = 0;
  // False when refused; raising priority without the right fails quietly.
  virtual bool SetPriority(ProcessId pid, PriorityClass priority) = 0;
  // Ends a live process at once; true when it was terminated.
  virtual bool Terminate(ProcessId pid) = 0;
  // The image name of a live process as FindByName compares it; "" when it is gone.
  virtual std::string ImageName(ProcessId pid) = 0;
  // Asks a process to end, for one without a window to close: `signal` (to the whole process
  // group of a program this table started), or WM_CLOSE to each of its top-level windows,
  // hidden ones included.
  virtual void RequestClose(ProcessId pid, EndSignal signal = EndSignal::kTerminate) = 0;
  // Sends `signal` to live process `pid` alone, for a program that acts on one (a reload on
  // SIGHUP); false where it was refused, or where the system has no signals.
  virtual bool SendSignal(ProcessId /*pid*/, EndSignal /*signal*/) { return false; }
  // Blocks until the process has ended or `milliseconds` passed.
  virtual WaitResult WaitForExit(ProcessId pid, int milliseconds) = 0;
  // Resident bytes; 0 when the process cannot be read.
  virtual uint64_t WorkingSetBytes(ProcessId pid) = 0;
  // Nothing when the process cannot be read.
  virtual std::optional<ProcessTimes> Times(ProcessId pid) = 0;

 protected:
  bool Hidden(ProcessId pid) const { return hidden_.count(pid) != 0; }
  bool AnyHidden() const { return !hidden_.empty(); }

 private:
  std::set<ProcessId> hidden_;
};

}  // namespace varnix
