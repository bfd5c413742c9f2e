// PosixProcessTable: reads /proc, starts with posix_spawn in a new session, reaps its children.
#include "platform/posix/posix_process_table.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/command_line.h"
#include "platform/error.h"
#include "platform/posix/spawn.h"
#include "platform/posix/unique_fd.h"

namespace varnix {
namespace {

struct CloseDir {
  void operator()(DIR* dir) const { ::closedir(dir); }
};
using UniqueDir = std::unique_ptr<DIR, CloseDir>;

// Reads a small /proc file whole into `buffer`; returns its text, or "" when unreadable.
std::string_view ReadProcFile(int dir_fd, const char* path, char (&buffer)[1024]) {
  const UniqueFd fd(::openat(dir_fd, path, O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return {};
  const ssize_t got = ::read(fd.get(), buffer, sizeof buffer - 1);
  if (got <= 0) return {};
  return std::string_view(buffer, static_cast<size_t>(got));
}

struct StatLine {
  std::string_view comm;
  char state = '?';
  std::string_view rest;  // the fields after the state
};

// /proc/<pid>/stat: "pid (comm) state ...", where comm may itself hold spaces and parentheses.
bool ParseStat(std::string_view text, StatLine& stat) {
  const auto open = text.find('(');
  const auto close = text.rfind(')');
  if (open == std::string_view::npos || close == std::string_view::npos ||
      close + 2 >= text.size()) {
    return false;
  }
  stat.comm = text.substr(open + 1, close - open - 1);
  stat.state = text[close + 2];
  // Past the state and the space after it, so that field 0 is the parent's id.
  stat.rest = close + 4 <= text.size() ? text.substr(close + 4) : std::string_view();
  return true;
}

// The n-th space-separated field of `text`, counting from 0.
std::string_view Field(std::string_view text, int n) {
  size_t start = 0;
  for (int i = 0; i < n; ++i) {
    start = text.find(' ', start);
    if (start == std::string_view::npos) return {};
    ++start;
  }
  return text.substr(start, text.find(' ', start) - start);
}

// The leader of the session the process is in; 0 when the line does not say.
ProcessId SessionOf(const StatLine& stat) {
  return static_cast<ProcessId>(
      std::strtoul(std::string(Field(stat.rest, 2)).c_str(), nullptr, 10));
}

double ToDouble(std::string_view text) { return std::strtod(std::string(text).c_str(), nullptr); }

double ClockSeconds(clockid_t clock) {
  timespec now{};
  ::clock_gettime(clock, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

int NiceOf(PriorityClass priority) {
  switch (priority) {
    case PriorityClass::kRealtime:
      return -20;
    case PriorityClass::kHigh:
      return -10;
    case PriorityClass::kAboveNormal:
      return -5;
    case PriorityClass::kNormal:
      return 0;
    case PriorityClass::kBelowNormal:
      return 5;
    case PriorityClass::kIdle:
      return 19;
    case PriorityClass::kOther:
      break;
  }
  return 0;
}

PriorityClass ClassOf(int nice) {
  if (nice <= -15) return PriorityClass::kRealtime;
  if (nice <= -8) return PriorityClass::kHigh;
  if (nice <= -1) return PriorityClass::kAboveNormal;
  if (nice == 0) return PriorityClass::kNormal;
  if (nice <= 9) return PriorityClass::kBelowNormal;
  return PriorityClass::kIdle;
}

// A pidfd: readable once the process has ended, and a signal through it never reaches a
// process that has taken over the id. Where the kernel has none (before 5.3), fd is -1 and
// the id answers.
// A child of ours already collected is held without a pidfd, as one known to have ended: its
// id may belong to another process by now.
class PosixProcessHandle : public ProcessHandle {
 public:
  PosixProcessHandle(ProcessId pid, UniqueFd fd, bool collected = false)
      : pid_(pid), fd_(std::move(fd)), collected_(collected) {}
  ProcessId pid() const override { return pid_; }
  intptr_t Waitable() const override { return collected_ ? -1 : fd_.get(); }
  int fd() const { return fd_.get(); }
  bool collected() const { return collected_; }

 private:
  ProcessId pid_;
  UniqueFd fd_;
  bool collected_;
};

// Through syscall(): the C library's own wrappers are younger than the kernel calls.
int OpenPidFd(ProcessId pid) {
  return static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0));
}
int SendThroughPidFd(int fd, int signal) {
  return static_cast<int>(::syscall(SYS_pidfd_send_signal, fd, signal, nullptr, 0));
}

ExitStatus StatusFromWait(int status) {
  ExitStatus result;
  if (WIFEXITED(status)) result.code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) {
    const char* abbreviation = ::sigabbrev_np(WTERMSIG(status));
    result.signal = abbreviation != nullptr ? std::string("SIG") + abbreviation
                                            : "signal " + std::to_string(WTERMSIG(status));
  }
  return result;
}

void PauseMilliseconds(long milliseconds) {
  const timespec pause{0, milliseconds * 1000 * 1000};
  ::nanosleep(&pause, nullptr);
}

// This process and init: never ended, signalled or re-prioritised for a request, which anyone
// on the network can send ("stop /no/such/dir/varnix" must not end the node). They may still
// be found and reported.
bool Protected(ProcessId pid) { return pid == 1 || pid == static_cast<ProcessId>(::getpid()); }

// The program file a process runs, as /proc/<pid>/exe names it; "" when it cannot be read
// (another user's process, without the right to look).
std::string ExecutableOf(int proc_fd, ProcessId pid) {
  char where[32];
  std::snprintf(where, sizeof where, "%u/exe", pid);
  char target[4096];
  const ssize_t got = ::readlinkat(proc_fd, where, target, sizeof target);
  if (got <= 0 || static_cast<size_t>(got) >= sizeof target) return {};
  std::string path(target, static_cast<size_t>(got));
  // A program whose file was replaced or removed while it ran (an upgrade) still runs it.
  constexpr std::string_view kDeleted = " (deleted)";
  if (path.size() > kDeleted.size() && path.ends_with(kDeleted))
    path.resize(path.size() - kDeleted.size());
  return path;
}

std::string_view BaseName(std::string_view path) { return path.substr(path.rfind('/') + 1); }

// The script a process runs as its interpreter's argument, among the first arguments (after
// the interpreter and the one option its first line may give), whose file name `matches`;
// "" for none.
std::string ScriptOf(int proc_fd, ProcessId pid,
                     const std::function<bool(std::string_view)>& matches) {
  char line[4096];
  char where[32];
  std::snprintf(where, sizeof where, "%u/cmdline", pid);
  const UniqueFd fd(::openat(proc_fd, where, O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return {};
  const ssize_t got = ::read(fd.get(), line, sizeof line);
  if (got <= 0) return {};
  std::string_view args(line, static_cast<size_t>(got));
  for (int i = 0; i < 3 && !args.empty(); ++i) {
    const size_t end = std::min(args.find('\0'), args.size());
    const std::string_view argument = args.substr(0, end);
    if (matches(BaseName(argument))) return std::string(argument);
    args.remove_prefix(std::min(end + 1, args.size()));
  }
  return {};
}

bool ReadStat(ProcessId pid, char (&buffer)[1024], StatLine& stat) {
  const std::string path = "/proc/" + std::to_string(pid) + "/stat";
  return ParseStat(ReadProcFile(AT_FDCWD, path.c_str(), buffer), stat);
}

}  // namespace

PosixProcessTable::PosixProcessTable() {
  rlimit files{};
  if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &files);
  }
}

PosixProcessTable::~PosixProcessTable() { ReapChildren(); }

void PosixProcessTable::ReapChildren() {
  const std::vector<ProcessId> children(children_.begin(), children_.end());
  for (const ProcessId pid : children) Reap(pid);
  const std::vector<ProcessId> relays(relays_.begin(), relays_.end());
  for (const ProcessId relay : relays) CollectRelay(relay);
}

bool PosixProcessTable::CollectRelay(ProcessId pid) {
  int status = 0;
  const pid_t done = ::waitpid(static_cast<pid_t>(pid), &status, WNOHANG);
  if (done == 0) return false;
  // A relay ends by itself only once its program's output has: exit 0.
  const bool clean =
      done == static_cast<pid_t>(pid) && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  for (auto& [program, relay] : relay_of_) {
    if (relay.pid == pid) relay.clean = clean;
  }
  relays_.erase(pid);
  return true;
}

bool PosixProcessTable::Reap(ProcessId pid) {
  if (children_.count(pid) == 0) return true;
  int status = 0;
  const pid_t done = ::waitpid(static_cast<pid_t>(pid), &status, WNOHANG);
  if (done == static_cast<pid_t>(pid)) {
    ended_children_[pid] = StatusFromWait(status);
    ended_order_.push_back(pid);
    if (ended_order_.size() > kEndedKept) {
      ended_children_.erase(ended_order_.front());
      ended_order_.pop_front();
    }
  } else if (!(done < 0 && errno == ECHILD)) {
    return false;
  }
  children_.erase(pid);
  relay_of_.erase(pid);
  return true;
}

bool PosixProcessTable::RelayLost(ProcessId program) {
  const auto found = relay_of_.find(program);
  if (found == relay_of_.end()) return false;
  // A child of ours: its id is not given to another until it is collected here.
  if (!found->second.clean && relays_.count(found->second.pid) != 0) {
    CollectRelay(found->second.pid);
  }
  return found->second.clean == false;
}

std::unique_ptr<ProcessHandle> PosixProcessTable::Hold(ProcessId pid) {
  if (pid == 0) return nullptr;
  // A child of ours stays ours to hold until it is collected, even once it has ended: a
  // program that ends at once is still the program that was started, and how it ended is
  // still there to tell.
  if (children_.count(pid) != 0 || IsAlive(pid)) {
    UniqueFd fd(OpenPidFd(pid));
    if (fd.valid() || errno == ENOSYS) {
      return std::make_unique<PosixProcessHandle>(pid, std::move(fd));
    }
  }
  // Collected already (a look at it since its start may have done it): its status is kept.
  if (children_.count(pid) == 0 && ended_children_.count(pid) != 0) {
    return std::make_unique<PosixProcessHandle>(pid, UniqueFd(), true);
  }
  return nullptr;
}

std::vector<bool> PosixProcessTable::HaveEnded(const std::vector<const ProcessHandle*>& handles) {
  std::vector<bool> ended(handles.size(), false);
  std::vector<pollfd> fds;
  std::vector<size_t> polled;
  fds.reserve(handles.size());
  for (size_t i = 0; i < handles.size(); ++i) {
    const auto& handle = static_cast<const PosixProcessHandle&>(*handles[i]);
    if (handle.collected()) {
      ended[i] = true;
    } else if (handle.fd() < 0) {
      ended[i] = !IsAlive(handle.pid());
    } else {
      fds.push_back(pollfd{handle.fd(), POLLIN, 0});
      polled.push_back(i);
    }
  }
  if (!fds.empty() && ::poll(fds.data(), fds.size(), 0) > 0) {
    for (size_t j = 0; j < fds.size(); ++j) {
      if ((fds[j].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) != 0) ended[polled[j]] = true;
    }
  }
  return ended;
}

std::optional<ExitStatus> PosixProcessTable::HowEnded(const ProcessHandle& handle) {
  if (!HasEnded(handle)) return std::nullopt;
  const ProcessId pid = handle.pid();
  // Still ours to collect, its id cannot have been given to another process: collect it now.
  // Once collected, its status stays until a new child of ours takes the id. The kernel says
  // "ended" a moment before the child can be collected.
  bool reaped = Reap(pid);
  for (int i = 0; i < 20 && !reaped; ++i) {
    PauseMilliseconds(1);
    reaped = Reap(pid);
  }
  if (!reaped) return std::nullopt;
  const auto found = ended_children_.find(pid);
  if (found == ended_children_.end()) return std::nullopt;
  return found->second;
}

bool PosixProcessTable::KillChildTree(ProcessId pid) {
  // Not yet collected, the child's id is still its own, and so is its process group.
  ::kill(-static_cast<pid_t>(pid), SIGKILL);
  ::kill(static_cast<pid_t>(pid), SIGKILL);
  // A killed process goes in a moment, so collect it within a short bound; never block on it:
  // a child stuck in uninterruptible sleep would stop the only thread. IsAlive reaps it later.
  for (int i = 0; i < 100 && !Reap(pid); ++i) PauseMilliseconds(1);
  return true;
}

bool PosixProcessTable::Terminate(const ProcessHandle& handle) {
  const auto& held = static_cast<const PosixProcessHandle&>(handle);
  if (Protected(held.pid()) || HasEnded(handle)) return false;
  if (children_.count(held.pid()) != 0) return KillChildTree(held.pid());
  if (held.fd() < 0) return Terminate(held.pid());
  if (SendThroughPidFd(held.fd(), SIGKILL) != 0) return false;
  for (int i = 0; i < 100 && !HasEnded(handle); ++i) PauseMilliseconds(1);
  return true;
}

ProcessId PosixProcessTable::FindFirst(const std::string& image_name,
                                       const std::function<bool(int, ProcessId)>& also) {
  ReapChildren();
  const UniqueDir proc(::opendir("/proc"));
  if (!proc) return 0;
  std::vector<ProcessId> pids;
  while (const dirent* entry = ::readdir(proc.get())) {
    char* end = nullptr;
    const unsigned long pid = std::strtoul(entry->d_name, &end, 10);
    if (*end == '\0' && pid > 0) pids.push_back(static_cast<ProcessId>(pid));
  }
  std::sort(pids.begin(), pids.end());  // the first by id, as the system numbers them
  const int proc_fd = ::dirfd(proc.get());
  char buffer[1024];
  char path[32];
  for (const ProcessId pid : pids) {
    // The name alone first: cheaper for the kernel to give than the whole stat line.
    std::snprintf(path, sizeof path, "%u/comm", pid);
    std::string_view comm = ReadProcFile(proc_fd, path, buffer);
    if (!comm.empty() && comm.back() == '\n') comm.remove_suffix(1);
    if (comm != image_name) continue;
    std::snprintf(path, sizeof path, "%u/stat", pid);
    StatLine stat;
    if (!ParseStat(ReadProcFile(proc_fd, path, buffer), stat)) continue;
    if (stat.state == 'Z' || stat.state == 'X' || stat.comm != image_name) continue;
    if (Hidden(pid) || Hidden(SessionOf(stat))) continue;
    if (!also || also(proc_fd, pid)) return pid;
  }
  return 0;
}

ProcessId PosixProcessTable::FindByName(const std::string& image_name) {
  return FindFirst(image_name, nullptr);
}

ProcessId PosixProcessTable::FindByPath(const std::string& path, const std::string& image_name) {
  return FindFirst(image_name,
                   [&](int proc_fd, ProcessId pid) { return ExecutableOf(proc_fd, pid) == path; });
}

ProcessId PosixProcessTable::FindByFileName(const std::string& file_name) {
  return FindFirst(file_name.substr(0, 15), [&](int proc_fd, ProcessId pid) {
    return BaseName(ExecutableOf(proc_fd, pid)) == file_name ||
           !ScriptOf(proc_fd, pid, [&](std::string_view name) {
              return name == file_name;
            }).empty();
  });
}

std::string PosixProcessTable::ProgramPath(ProcessId pid) {
  char buffer[1024];
  StatLine stat;
  if (pid == 0 || !ReadStat(pid, buffer, stat) || stat.state == 'Z' || stat.state == 'X') return {};
  const std::string comm(stat.comm);
  const UniqueFd proc(::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!proc.valid()) return {};
  const std::string executable = ExecutableOf(proc.get(), pid);
  if (BaseName(executable).substr(0, 15) == comm) return executable;
  // A script: the system names the process after the script, which its interpreter runs.
  const std::string script =
      ScriptOf(proc.get(), pid, [&](std::string_view name) { return name.substr(0, 15) == comm; });
  if (script.empty() || script.front() == '/') return script.empty() ? executable : script;
  char folder[4096];
  const std::string cwd = "/proc/" + std::to_string(pid) + "/cwd";
  const ssize_t got = ::readlink(cwd.c_str(), folder, sizeof folder);
  if (got <= 0 || static_cast<size_t>(got) >= sizeof folder) return script;
  return std::string(folder, static_cast<size_t>(got)) + "/" + script;
}

namespace {

// A pipe whose ends are numbered 10 or above, out of the way of the numbers a spawned program
// is given them as, and closed on exec.
struct HighPipe {
  UniqueFd read;
  UniqueFd write;
};

std::optional<HighPipe> OpenHighPipe() {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return std::nullopt;
  const UniqueFd low_read(ends[0]);
  const UniqueFd low_write(ends[1]);
  HighPipe pipe{UniqueFd(::fcntl(ends[0], F_DUPFD_CLOEXEC, 10)),
                UniqueFd(::fcntl(ends[1], F_DUPFD_CLOEXEC, 10))};
  if (!pipe.read.valid() || !pipe.write.valid()) return std::nullopt;
  return pipe;
}

int SignalNumber(EndSignal signal) {
  switch (signal) {
    case EndSignal::kInterrupt:
      return SIGINT;
    case EndSignal::kHangUp:
      return SIGHUP;
    case EndSignal::kQuit:
      return SIGQUIT;
    case EndSignal::kUser1:
      return SIGUSR1;
    case EndSignal::kUser2:
      return SIGUSR2;
    case EndSignal::kTerminate:
      break;
  }
  return SIGTERM;
}

// A user to run a program as: its ids, its groups, and what a login sets for it.
struct Account {
  Credentials credentials;
  std::vector<std::string> environment;
};

// `user` by name, or by number where no user has that name. Throws Error, naming `path` as
// a failed start does, when there is no such user or this program may not become it.
Account AccountOf(const std::string& user, const std::string& path) {
  const std::string cannot = "Cannot start " + path + " as " + user + ": ";
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  int error = ::getpwnam_r(user.c_str(), &entry, buffer.data(), buffer.size(), &found);
  if (found == nullptr && error == 0 && !user.empty() &&
      std::all_of(user.begin(), user.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    error = ::getpwuid_r(static_cast<uid_t>(std::strtoul(user.c_str(), nullptr, 10)), &entry,
                         buffer.data(), buffer.size(), &found);
  }
  if (found == nullptr) {
    throw Error(error != 0 ? error : ENOENT,
                cannot + (error != 0 ? std::strerror(error) : "there is no such user"));
  }
  if (::geteuid() != 0 && found->pw_uid != ::geteuid()) {
    throw Error(EPERM, cannot + "only a node that runs as root may start programs as another user");
  }
  Account account;
  account.credentials.uid = found->pw_uid;
  account.credentials.gid = found->pw_gid;
  // Its groups as a login gives them: the system's group file and whatever the system
  // looks groups up in, not the node's own.
  int count = 32;
  std::vector<gid_t> groups(static_cast<size_t>(count));
  while (::getgrouplist(found->pw_name, found->pw_gid, groups.data(), &count) < 0) {
    groups.resize(static_cast<size_t>(count) + 32);
    count = static_cast<int>(groups.size());
  }
  groups.resize(static_cast<size_t>(count));
  account.credentials.groups = std::move(groups);
  account.environment = {std::string("HOME=") + found->pw_dir,
                         std::string("USER=") + found->pw_name,
                         std::string("LOGNAME=") + found->pw_name,
                         std::string("SHELL=") + (*found->pw_shell ? found->pw_shell : "/bin/sh")};
  return account;
}

}  // namespace

ProcessId PosixProcessTable::Start(const std::string& path, const std::string& parameter,
                                   ShowState /*show*/, const LaunchSettings& launch) {
  ReapChildren();
  std::vector<std::string> argv{path};
  for (std::string& argument : SplitCommandLine(parameter)) argv.push_back(std::move(argument));
  SpawnOptions options;
  options.own_session = true;
  options.clean_signals = true;
  options.working_folder = launch.folder;
  if (!launch.user.empty()) {
    // Its own surroundings as a login gives them, before the program's own settings.
    Account account = AccountOf(launch.user, path);
    options.as = std::move(account.credentials);
    options.environment = std::move(account.environment);
  }
  options.environment.insert(options.environment.end(), launch.environment.begin(),
                             launch.environment.end());
  const OutputRelay& relayed_to = launch.relay;
  ProcessId relay = 0;
  // The relay holds the read ends and the program the write ends; this process keeps
  // neither, so that the program's output outlives it.
  std::optional<HighPipe> output;
  std::optional<HighPipe> errors;
  if (!relayed_to.program.empty()) {
    output = OpenHighPipe();
    errors = OpenHighPipe();
  }
  if (output && errors) {
    std::vector<std::string> relay_argv{relayed_to.program};
    relay_argv.insert(relay_argv.end(), relayed_to.arguments.begin(), relayed_to.arguments.end());
    SpawnOptions relay_options;
    relay_options.own_session = true;
    relay_options.clean_signals = true;
    relay_options.descriptors = {{output->read.get(), STDIN_FILENO}, {errors->read.get(), 3}};
    const SpawnResult relayed = Spawn(std::move(relay_argv), relay_options);
    if (relayed.error == 0) {
      relays_.insert(static_cast<ProcessId>(relayed.pid));
      relay = static_cast<ProcessId>(relayed.pid);
      options.descriptors = {{output->write.get(), STDOUT_FILENO},
                             {errors->write.get(), STDERR_FILENO}};
    }
  }
  const auto [pid, error] = Spawn(std::move(argv), options);
  output.reset();
  errors.reset();
  if (error != 0) throw Error(error, "Cannot start " + path + ": " + std::strerror(error));
  children_.insert(static_cast<ProcessId>(pid));
  ended_children_.erase(static_cast<ProcessId>(pid));
  if (relay != 0) relay_of_[static_cast<ProcessId>(pid)] = Relay{relay, std::nullopt};
  // The kernel lets posix_spawn return before the new program has taken its name, so a
  // look-up by name right after a start could miss it. Wait briefly for the name.
  const std::string expected = path.substr(path.rfind('/') + 1).substr(0, 15);
  const std::string comm_path = "/proc/" + std::to_string(pid) + "/comm";
  char buffer[1024];
  for (int i = 0; i < 200; ++i) {
    std::string_view comm = ReadProcFile(AT_FDCWD, comm_path.c_str(), buffer);
    if (!comm.empty() && comm.back() == '\n') comm.remove_suffix(1);
    if (comm.empty() || comm == expected) break;
    const timespec pause{0, 1000 * 1000};
    ::nanosleep(&pause, nullptr);
  }
  return static_cast<ProcessId>(pid);
}

std::string PosixProcessTable::LookUpProgram(const std::string& name) {
  const char* const path = std::getenv("PATH");
  if (name.empty() || name.find('/') != std::string::npos || path == nullptr) return "";
  std::string_view rest = path;
  while (!rest.empty()) {
    const size_t colon = rest.find(':');
    const std::string_view folder = rest.substr(0, colon);
    rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
    // An empty entry means the working folder, which a node's request must not reach into.
    if (folder.empty() || folder[0] != '/') continue;
    const std::string candidate = std::string(folder) + "/" + name;
    struct stat info {};
    if (::stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
        ::access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
  }
  return "";
}

bool PosixProcessTable::IsAlive(ProcessId pid) {
  if (pid == 0) return false;
  // Only the child asked about: a pass asks about every record, and waiting on every child
  // for each of them would cost records x children calls. Start and FindByName reap them all.
  if (children_.count(pid) != 0 && Reap(pid)) return false;
  char buffer[1024];
  StatLine stat;
  return ReadStat(pid, buffer, stat) && stat.state != 'Z' && stat.state != 'X';
}

std::optional<PriorityClass> PosixProcessTable::GetPriority(ProcessId pid) {
  if (!IsAlive(pid)) return std::nullopt;
  errno = 0;
  const int nice = ::getpriority(PRIO_PROCESS, static_cast<id_t>(pid));
  if (nice == -1 && errno != 0) return std::nullopt;
  return ClassOf(nice);
}

bool PosixProcessTable::SetPriority(ProcessId pid, PriorityClass priority) {
  if (priority == PriorityClass::kOther || Protected(pid) || !IsAlive(pid)) return false;
  // A nice value belongs to one thread: the main thread's answers for the report, but every
  // thread must run at the class the report names.
  const int nice = NiceOf(priority);
  bool main_set = ::setpriority(PRIO_PROCESS, static_cast<id_t>(pid), nice) == 0;
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  const UniqueDir folder(::opendir(tasks.c_str()));
  if (!folder) return main_set;
  while (const dirent* entry = ::readdir(folder.get())) {
    char* end = nullptr;
    const unsigned long tid = std::strtoul(entry->d_name, &end, 10);
    if (*end != '\0' || tid == 0 || tid == pid) continue;
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice);  // a thread may end meanwhile
  }
  return main_set;
}

bool PosixProcessTable::Terminate(ProcessId pid) {
  if (Protected(pid) || !IsAlive(pid)) return false;
  if (children_.count(pid) != 0) return KillChildTree(pid);
  if (::kill(static_cast<pid_t>(pid), SIGKILL) != 0) return false;
  for (int i = 0; i < 100 && IsAlive(pid); ++i) PauseMilliseconds(1);
  return true;
}

uint64_t PosixProcessTable::StartedAt(ProcessId pid) {
  if (pid == 0) return 0;
  char buffer[1024];
  StatLine stat;
  if (!ReadStat(pid, buffer, stat) || stat.state == 'Z' || stat.state == 'X') return 0;
  // Clock ticks after boot: within one boot, no two processes of one id share it.
  return std::strtoull(std::string(Field(stat.rest, 18)).c_str(), nullptr, 10);
}

std::string PosixProcessTable::ImageName(ProcessId pid) {
  if (pid == 0) return {};
  char buffer[1024];
  StatLine stat;
  if (!ReadStat(pid, buffer, stat) || stat.state == 'Z' || stat.state == 'X') return {};
  return std::string(stat.comm);
}

void PosixProcessTable::RequestClose(ProcessId pid, EndSignal signal) {
  if (Protected(pid) || !IsAlive(pid)) return;
  const int number = SignalNumber(signal);
  // A program of ours leads a process group of its own: all it started hears it, as a
  // terminal's Ctrl+C reaches a whole pipeline.
  if (children_.count(pid) != 0) ::kill(-static_cast<pid_t>(pid), number);
  ::kill(static_cast<pid_t>(pid), number);
}

bool PosixProcessTable::SendSignal(ProcessId pid, EndSignal signal) {
  return !Protected(pid) && IsAlive(pid) &&
         ::kill(static_cast<pid_t>(pid), SignalNumber(signal)) == 0;
}

WaitResult PosixProcessTable::WaitForExit(ProcessId pid, int milliseconds) {
  if (pid == 0 || (::kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM)) {
    return WaitResult::kCannotWait;
  }
  // Not a child of ours in general, so there is nothing to block on: look every 20 ms.
  const double end = ClockSeconds(CLOCK_MONOTONIC) + milliseconds / 1000.0;
  for (;;) {
    if (!IsAlive(pid)) return WaitResult::kEnded;
    if (ClockSeconds(CLOCK_MONOTONIC) >= end) return WaitResult::kTimedOut;
    const timespec pause{0, 20 * 1000 * 1000};
    ::nanosleep(&pause, nullptr);
  }
}

uint64_t PosixProcessTable::WorkingSetBytes(ProcessId pid) {
  if (pid == 0) return 0;
  char buffer[1024];
  const std::string path = "/proc/" + std::to_string(pid) + "/statm";
  const std::string_view text = ReadProcFile(AT_FDCWD, path.c_str(), buffer);
  if (text.empty()) return 0;
  const double pages = ToDouble(Field(text, 1));
  return static_cast<uint64_t>(pages) * static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
}

std::optional<ProcessTimes> PosixProcessTable::Times(ProcessId pid) {
  if (pid == 0) return std::nullopt;
  char buffer[1024];
  StatLine stat;
  if (!ReadStat(pid, buffer, stat) || stat.state == 'Z' || stat.state == 'X') return std::nullopt;
  // Counted from the field after the state: utime and stime are 10 and 11, starttime 18.
  static const double ticks = static_cast<double>(::sysconf(_SC_CLK_TCK));
  ProcessTimes times;
  times.cpu = (ToDouble(Field(stat.rest, 10)) + ToDouble(Field(stat.rest, 11))) / ticks;
  times.elapsed = ClockSeconds(CLOCK_BOOTTIME) - ToDouble(Field(stat.rest, 18)) / ticks;
  times.sampled_at = ClockSeconds(CLOCK_MONOTONIC);
  return times;
}

}  // namespace varnix
