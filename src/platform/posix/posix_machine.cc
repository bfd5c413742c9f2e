// Machine facts on Linux, read from the kernel and the C library.
#include "platform/posix/posix_machine.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <langinfo.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netpacket/packet.h>
#include <sys/socket.h>
#include <sys/statvfs.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <clocale>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/posix/spawn.h"
#include "platform/posix/unique_fd.h"

namespace varnix {
namespace {

std::string ProgramPath() {
  std::string path(4096, '\0');
  const ssize_t length = ::readlink("/proc/self/exe", path.data(), path.size());
  if (length <= 0) return {};
  path.resize(static_cast<size_t>(length));
  return path;
}

// The locale's date and time formats, with four-digit years: logs are read for years.
std::string DateTimeFormat() {
  ::setlocale(LC_TIME, "");
  std::string date = ::nl_langinfo(D_FMT);
  const std::string time = ::nl_langinfo(T_FMT);
  for (auto at = date.find("%y"); at != std::string::npos; at = date.find("%y", at)) {
    date[at + 1] = 'Y';
  }
  return date + " " + time;
}

// How a system command ended: not started, still running when we stopped waiting, or its
// exit status.
struct CommandResult {
  bool started = false;
  bool finished = false;
  int status = 0;
  int error = 0;  // why it did not start

  bool Succeeded() const { return started && (!finished || status == 0); }
  std::string Describe(const std::string& command) const {
    if (!started) return command + ": " + std::strerror(error);
    return command + ": exit status " + std::to_string(status);
  }
};

// Runs `argv` found on PATH in a session of its own, and collects it so that no zombie is
// left. One that is still running after `limit` is taken to be at work (a halt under way).
// `pause` passes the time between two looks; by default it sleeps.
CommandResult RunSystemCommand(std::vector<std::string> argv, std::chrono::milliseconds limit,
                               const std::function<void(int)>& pause = {}) {
  SpawnOptions options;
  options.search_path = true;
  options.own_session = true;
  const auto [pid, error] = Spawn(std::move(argv), options);
  CommandResult result;
  result.error = error;
  result.started = result.error == 0;
  if (!result.started) return result;
  const auto end = std::chrono::steady_clock::now() + limit;
  do {
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) {
      result.finished = true;
      result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return result;
    }
    if (pause) {
      pause(10);
    } else {
      const timespec ten_ms{0, 10 * 1000 * 1000};
      ::nanosleep(&ten_ms, nullptr);
    }
  } while (std::chrono::steady_clock::now() < end);
  return result;
}

}  // namespace

void PosixMachine::ExitSystem(bool reboot, bool /*force*/) {
  // systemd's poweroff and reboot already end every program, asked or not. A shutdown powers
  // the computer off, as Windows' does: a halt would leave it stopped with its fans running.
  // Without systemd as the init system systemctl refuses, and shutdown is the way.
  constexpr std::chrono::seconds kLimit(5);
  const std::vector<std::string> systemctl{"systemctl", reboot ? "reboot" : "poweroff"};
  const CommandResult first = RunSystemCommand(systemctl, kLimit);
  if (first.Succeeded()) return;
  const std::vector<std::string> shutdown{"shutdown", reboot ? "-r" : "-P", "now"};
  const CommandResult second = RunSystemCommand(shutdown, kLimit);
  if (second.Succeeded()) return;
  throw Error(second.started ? second.status : second.error,
              first.Describe(systemctl[0] + " " + systemctl[1]) + "; " +
                  second.Describe("shutdown " + shutdown[1] + " now"));
}

void PosixMachine::SessionAction(SessionRequest request, const std::function<void(int)>& wait) {
  // As root the node serves every session (the system unit); as a user, its own (the user
  // unit), which logind's "auto" finds even from a service outside the session.
  const bool root = ::geteuid() == 0;
  using Command = std::vector<std::string>;
  std::vector<Command> tries;
  switch (request) {
    case SessionRequest::kSleep:
      tries = {{"systemctl", "suspend"}, {"loginctl", "suspend"}};
      break;
    case SessionRequest::kHibernate:
      tries = {{"systemctl", "hibernate"}, {"loginctl", "hibernate"}};
      break;
    case SessionRequest::kLock:
      tries = {root ? Command{"loginctl", "lock-sessions"}
                    : Command{"loginctl", "lock-session", "auto"}};
      break;
    case SessionRequest::kLogoff:
      // The graphical session, for root, is the one on the computer's own seat.
      tries = {root ? Command{"loginctl", "terminate-seat", "seat0"}
                    : Command{"loginctl", "terminate-session", "auto"}};
      break;
  }
  std::string said;
  int last = 0;
  for (const Command& command : tries) {
    const CommandResult result = RunSystemCommand(command, std::chrono::seconds(5), wait);
    if (result.Succeeded()) return;
    std::string line;
    for (const std::string& word : command) line += (line.empty() ? "" : " ") + word;
    said += (said.empty() ? "" : "; ") + result.Describe(line);
    last = result.started ? result.status : result.error;
  }
  throw Error(last, said);
}

std::string PosixMachine::UserDataFolder() {
  // The XDG base directories' place for state that should outlive a restart, logs among it.
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] == '/') return std::string(state) + "/varnix";
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return std::string(home) + "/.local/state/varnix";
  return "";
}

std::string PosixMachine::ComputerName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) throw Error(errno, std::strerror(errno));
  std::string text(name);
  return text.substr(0, text.find('.'));
}

namespace {

struct Interface {
  std::string address;  // dotted
  int prefix_length;
  bool loopback;
};

// The IPv4 addresses of the interfaces that are up, in the system's order.
std::vector<Interface> UpInterfaces() {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return {};
  std::unique_ptr<ifaddrs, decltype(&::freeifaddrs)> owner(list, &::freeifaddrs);
  std::vector<Interface> found;
  for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
    if ((entry->ifa_flags & IFF_UP) == 0) continue;
    char text[INET_ADDRSTRLEN] = {};
    const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
    ::inet_ntop(AF_INET, &address->sin_addr, text, sizeof text);
    int prefix = 32;
    if (entry->ifa_netmask != nullptr && entry->ifa_netmask->sa_family == AF_INET) {
      const auto* mask = reinterpret_cast<const sockaddr_in*>(entry->ifa_netmask);
      prefix = __builtin_popcount(ntohl(mask->sin_addr.s_addr));
    }
    found.push_back({text, prefix, (entry->ifa_flags & IFF_LOOPBACK) != 0});
  }
  return found;
}

}  // namespace

std::vector<std::string> PosixMachine::HostAddresses() {
  std::vector<std::string> addresses;
  std::vector<std::string> loopback;
  for (const Interface& up : UpInterfaces()) {
    (up.loopback ? loopback : addresses).push_back(up.address);
  }
  addresses.insert(addresses.end(), loopback.begin(), loopback.end());
  return addresses;
}

std::vector<std::string> PosixMachine::HostNetworks() {
  std::vector<std::string> networks;
  for (const Interface& up : UpInterfaces()) {
    networks.push_back(up.address + "/" + std::to_string(up.prefix_length));
  }
  return networks;
}

namespace {

// The whole of a small file of /proc or /sys; "" when it cannot be read.
std::string ReadSmallFile(const std::string& path) {
  const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return "";
  std::string text(8192, '\0');
  size_t filled = 0;
  for (ssize_t got; filled < text.size() &&
                    (got = ::read(fd.get(), text.data() + filled, text.size() - filled)) > 0;) {
    filled += static_cast<size_t>(got);
  }
  text.resize(filled);
  return text;
}

// The number after `key` in `text` (as "MemTotal:" in /proc/meminfo); 0 when it is not there.
uint64_t NumberAfter(const std::string& text, const std::string& key) {
  const size_t at = text.find(key);
  if (at == std::string::npos || (at != 0 && text[at - 1] != '\n')) return 0;
  return std::strtoull(text.c_str() + at + key.size(), nullptr, 10);
}

}  // namespace

std::string PosixMachine::BootId() {
  std::string id = ReadSmallFile("/proc/sys/kernel/random/boot_id");
  while (!id.empty() && (id.back() == '\n' || id.back() == ' ')) id.pop_back();
  return id;
}

MachineFigures PosixMachine::Figures(const std::string& address) {
  MachineFigures figures;
  // "cpu  user nice system idle iowait irq softirq steal guest guest_nice", in clock ticks;
  // waiting for the disk is idle time, and guests are counted in user already.
  const std::string stat = ReadSmallFile("/proc/stat");
  if (stat.rfind("cpu ", 0) != 0) throw Error(EIO, "/proc/stat cannot be read");
  const char* at = stat.c_str() + 4;
  for (int field = 0; field < 8; ++field) {
    char* end = nullptr;
    const uint64_t ticks = std::strtoull(at, &end, 10);
    at = end;
    figures.cpu_total += ticks;
    if (field == 3 || field == 4) figures.cpu_idle += ticks;
  }
  figures.booted = static_cast<int64_t>(NumberAfter(stat, "btime "));
  const std::string memory = ReadSmallFile("/proc/meminfo");
  figures.memory_total = NumberAfter(memory, "MemTotal:") * 1024;
  figures.memory_available = NumberAfter(memory, "MemAvailable:") * 1024;
  struct statvfs disk {};
  if (::statvfs("/", &disk) == 0) {
    figures.disk_free = static_cast<uint64_t>(disk.f_bavail) * disk.f_frsize;
  }
  ifaddrs* list = nullptr;
  if (!address.empty() && ::getifaddrs(&list) == 0) {
    std::unique_ptr<ifaddrs, decltype(&::freeifaddrs)> owner(list, &::freeifaddrs);
    std::string name;  // the interface that has the address
    for (const ifaddrs* entry = list; entry != nullptr && name.empty(); entry = entry->ifa_next) {
      if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
      char text[INET_ADDRSTRLEN] = {};
      const auto* in = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
      ::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
      if (address == text && (entry->ifa_flags & IFF_LOOPBACK) == 0) name = entry->ifa_name;
    }
    // Its link-layer entry, from the same list: /sys/class/net shows the interfaces of the
    // namespace that mounted it, which need not be this process's.
    for (const ifaddrs* entry = list; entry != nullptr && !name.empty(); entry = entry->ifa_next) {
      if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_PACKET ||
          name != entry->ifa_name) {
        continue;
      }
      const auto* link = reinterpret_cast<const sockaddr_ll*>(entry->ifa_addr);
      if (link->sll_halen != 6) break;
      char text[18] = {};
      const unsigned char* bytes = link->sll_addr;
      std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", bytes[0], bytes[1],
                    bytes[2], bytes[3], bytes[4], bytes[5]);
      figures.mac = text;
      break;
    }
  }
  return figures;
}

std::string PosixMachine::ProgramFolder() {
  const std::string path = ProgramPath();
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string PosixMachine::ProgramFileName() {
  const std::string path = ProgramPath();
  return path.substr(path.rfind('/') + 1);
}

unsigned long PosixMachine::CurrentProcessId() { return static_cast<unsigned long>(::getpid()); }

std::string PosixMachine::DateText(std::chrono::system_clock::time_point at) {
  static const std::string format = DateTimeFormat();
  const time_t moment = std::chrono::system_clock::to_time_t(at);
  tm local{};
  ::localtime_r(&moment, &local);
  char text[128] = {};
  const size_t length = ::strftime(text, sizeof text, format.c_str(), &local);
  return std::string(text, length);
}

namespace {

class SocketClaim : public InstanceClaim {
 public:
  explicit SocketClaim(UniqueFd fd) : fd_(std::move(fd)) {}

 private:
  UniqueFd fd_;
};

}  // namespace

ClaimResult PosixMachine::ClaimInstance(const std::string& name) {
  // Abstract: no file to leave behind, shared by every user's and the system's programs.
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string path = "varnix/" + name;
  const size_t length = std::min(path.size(), sizeof address.sun_path - 1);
  std::memcpy(address.sun_path + 1, path.data(), length);
  const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) throw Error(errno, std::strerror(errno));
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), size) == 0) {
    ::listen(fd.get(), 1);
    return {std::make_unique<SocketClaim>(std::move(fd)), std::nullopt};
  }
  if (errno != EADDRINUSE) throw Error(errno, std::strerror(errno));
  ClaimResult taken;
  const UniqueFd asker(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  ucred holder{};
  socklen_t holder_size = sizeof holder;
  if (asker.valid() && ::connect(asker.get(), reinterpret_cast<sockaddr*>(&address), size) == 0 &&
      ::getsockopt(asker.get(), SOL_SOCKET, SO_PEERCRED, &holder, &holder_size) == 0 &&
      holder.pid > 0) {
    taken.holder = static_cast<unsigned long>(holder.pid);
  }
  return taken;
}

}  // namespace varnix
