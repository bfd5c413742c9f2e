// The poll()-based event loop: timers, descriptor watchers, UDP sockets and the end signals.
#include "platform/posix/posix_event_loop.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/udp_socket.h"

namespace varnix {
namespace {

// Large enough to take bursts of tens of thousands of small datagrams while a handler runs.
constexpr int kReceiveBufferBytes = 8 * 1024 * 1024;
// Datagrams read per readiness check, so that a flood cannot starve the timers.
constexpr int kReadsPerWake = 4096;
constexpr int kMaxDatagram = 65536;

Error SystemError(int number) { return Error(number, std::strerror(number)); }

void SetNonBlocking(int fd) {
  const int flags = ::fcntl(fd, F_GETFL, 0);
  ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  ::fcntl(fd, F_SETFD, FD_CLOEXEC);
}

// The end signals can only reach the loop through a descriptor; this is its write end.
int g_signal_write_fd = -1;

// The byte each signal writes: what the loop's side of the pipe reads as what was asked.
constexpr char kEndByte = 1;
constexpr char kReloadByte = 2;

extern "C" void OnEndSignal(int signal) {
  const int saved = errno;
  const char byte = signal == SIGHUP ? kReloadByte : kEndByte;
  [[maybe_unused]] const auto written = ::write(g_signal_write_fd, &byte, 1);
  errno = saved;
}

class PosixUdpSocket : public UdpSocket {
 public:
  PosixUdpSocket(PosixEventLoop& loop, EventLoop::Datagram on_datagram)
      : loop_(loop), on_datagram_(std::move(on_datagram)) {}
  ~PosixUdpSocket() override { Close(); }

  void Bind(const std::string& local_address, uint16_t port) override {
    EnsureOpen();
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (local_address.empty()) {
      address.sin_addr.s_addr = htonl(INADDR_ANY);
    } else if (::inet_pton(AF_INET, local_address.c_str(), &address.sin_addr) != 1) {
      throw Error(EADDRNOTAVAIL, "Invalid local address " + local_address);
    }
    if (::bind(fd_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      throw SystemError(errno);
    }
  }

  void SendTo(const std::string& host, uint16_t port, std::string_view datagram) override {
    EnsureOpen();
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (::inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) {
      addrinfo hints{};
      hints.ai_family = AF_INET;
      hints.ai_socktype = SOCK_DGRAM;
      addrinfo* found = nullptr;
      if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
        throw Error(EHOSTUNREACH, "Unknown host " + host);
      }
      address.sin_addr = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
      ::freeaddrinfo(found);
    }
    const ssize_t sent = ::sendto(fd_.get(), datagram.data(), datagram.size(), 0,
                                  reinterpret_cast<sockaddr*>(&address), sizeof address);
    if (sent < 0) throw SystemError(errno);
  }

  Endpoint Sender() const override { return sender_; }

  std::optional<bool> SenderIsOwnOrAdministrator() const override {
    // The kernel's table of UDP sockets names the account of each: the sender's local port is
    // the one it sent from.
    // A sender whose socket is gone by now may have been anyone's.
    std::optional<bool> trusted;
    bool read = false;
    for (const char* table : {"/proc/net/udp", "/proc/net/udp6"}) {
      std::ifstream lines(table);
      read = read || lines.is_open();
      std::string line;
      std::getline(lines, line);  // the heading
      while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retransmits;
        unsigned long uid = 0;
        if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid))
          continue;
        const size_t colon = local.rfind(':');
        if (colon == std::string::npos ||
            std::strtoul(local.c_str() + colon + 1, nullptr, 16) != sender_.port) {
          continue;
        }
        const bool own = uid == 0 || uid == static_cast<unsigned long>(::geteuid());
        trusted = trusted.value_or(true) && own;
      }
    }
    if (!read) return std::nullopt;
    return trusted.value_or(false);
  }

  uint16_t LocalPort() const override {
    sockaddr_in address{};
    socklen_t size = sizeof address;
    if (!fd_.valid() || ::getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&address), &size) != 0)
      return 0;
    return ntohs(address.sin_port);
  }

  void Close() override {
    if (watch_ != 0) loop_.Unwatch(watch_);
    watch_ = 0;
    fd_.Reset();
  }

 private:
  void EnsureOpen() {
    if (fd_.valid()) return;
    UniqueFd fd(::socket(AF_INET, SOCK_DGRAM, 0));
    if (!fd.valid()) throw SystemError(errno);
    SetNonBlocking(fd.get());
    const int on = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    // The forced size works for root; others get what rmem_max allows.
    if (::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUFFORCE, &kReceiveBufferBytes,
                     sizeof kReceiveBufferBytes) != 0) {
      ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &kReceiveBufferBytes,
                   sizeof kReceiveBufferBytes);
    }
    fd_ = std::move(fd);
    watch_ = loop_.WatchReadable(fd_.get(), [this] { ReadAll(); });
  }

  void ReadAll() {
    // Made once: a fresh 64 KiB per wake costs more than the datagram it receives.
    if (buffer_.empty()) buffer_.resize(kMaxDatagram);
    for (int i = 0; i < kReadsPerWake && fd_.valid(); ++i) {
      sockaddr_in from{};
      socklen_t from_size = sizeof from;
      const ssize_t got = ::recvfrom(fd_.get(), buffer_.data(), buffer_.size(), 0,
                                     reinterpret_cast<sockaddr*>(&from), &from_size);
      if (got < 0) return;  // EAGAIN, or an error that the next datagram will not repeat.
      sender_ = Endpoint{ntohl(from.sin_addr.s_addr), ntohs(from.sin_port)};
      // The handler may close this socket; the check above ends the loop then.
      on_datagram_(std::string(buffer_.data(), static_cast<size_t>(got)));
    }
  }

  PosixEventLoop& loop_;
  EventLoop::Datagram on_datagram_;
  Endpoint sender_;
  UniqueFd fd_;
  uint64_t watch_ = 0;
  std::vector<char> buffer_;
};

}  // namespace

PosixEventLoop::PosixEventLoop() = default;

PosixEventLoop::~PosixEventLoop() {
  if (signal_read_.valid()) {
    ::signal(SIGTERM, SIG_DFL);
    ::signal(SIGINT, SIG_DFL);
    if (reload_handler_) ::signal(SIGHUP, SIG_DFL);
    ::close(g_signal_write_fd);
    g_signal_write_fd = -1;
  }
}

std::unique_ptr<Timer> PosixEventLoop::CreateTimer(std::function<void()> on_tick) {
  return timers_.CreateTimer(std::move(on_tick));
}

std::unique_ptr<UdpSocket> PosixEventLoop::CreateUdpSocket(Datagram on_datagram) {
  return std::make_unique<PosixUdpSocket>(*this, std::move(on_datagram));
}

uint64_t PosixEventLoop::WatchReadable(int fd, std::function<void()> on_readable) {
  const uint64_t id = next_id_++;
  watches_[id] = Watch{fd, false, [on_readable = std::move(on_readable)](bool readable, bool) {
                         if (readable) on_readable();
                       }};
  return id;
}

void PosixEventLoop::Unwatch(uint64_t id) { watches_.erase(id); }

void PosixEventLoop::WatchWritable(uint64_t id, bool wanted) {
  if (const auto found = watches_.find(id); found != watches_.end()) found->second.write = wanted;
}

namespace {

class PosixSocketWatch : public SocketWatch {
 public:
  PosixSocketWatch(PosixEventLoop& loop, uint64_t id) : loop_(loop), id_(id) {}
  ~PosixSocketWatch() override { loop_.Unwatch(id_); }
  void WantWrite(bool wanted) override { loop_.WatchWritable(id_, wanted); }

 private:
  PosixEventLoop& loop_;
  uint64_t id_;
};

class PosixEndWatch : public EndWatch {
 public:
  PosixEndWatch(PosixEventLoop& loop, uint64_t id) : loop_(loop), id_(id) {}
  ~PosixEndWatch() override { loop_.Unwatch(id_); }

 private:
  PosixEventLoop& loop_;
  uint64_t id_;
};

}  // namespace

std::unique_ptr<EndWatch> PosixEventLoop::WatchEnd(intptr_t waitable,
                                                   std::function<void()> on_end) {
  // A pidfd turns readable when its process ends, and stays so: told once, then unwatched.
  const uint64_t id = next_id_++;
  watches_[id] = Watch{static_cast<int>(waitable), false,
                       [this, id, on_end = std::move(on_end)](bool readable, bool) {
                         if (!readable) return;
                         Unwatch(id);
                         on_end();
                       }};
  return std::make_unique<PosixEndWatch>(*this, id);
}

std::unique_ptr<SocketWatch> PosixEventLoop::WatchSocket(intptr_t socket, SocketReady on_ready) {
  const uint64_t id = next_id_++;
  watches_[id] = Watch{static_cast<int>(socket), false, std::move(on_ready)};
  return std::make_unique<PosixSocketWatch>(*this, id);
}

void PosixEventLoop::OnEndRequest(std::function<void()> handler) {
  end_handler_ = std::move(handler);
  ListenForSignals({SIGTERM, SIGINT});
}

void PosixEventLoop::OnReloadRequest(std::function<void()> handler) {
  reload_handler_ = std::move(handler);
  ListenForSignals({SIGHUP});
}

void PosixEventLoop::ListenForSignals(std::initializer_list<int> signals) {
  struct sigaction action {};
  action.sa_handler = OnEndSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  // The pipe first: a signal that comes at once finds it.
  const auto handle = [&] {
    for (const int signal : signals) ::sigaction(signal, &action, nullptr);
  };
  if (signal_read_.valid()) return handle();
  int fds[2];
  if (::pipe(fds) != 0) return;
  SetNonBlocking(fds[0]);
  SetNonBlocking(fds[1]);
  signal_read_.Reset(fds[0]);
  g_signal_write_fd = fds[1];
  signal_watch_ = WatchReadable(signal_read_.get(), [this] {
    char bytes[64];
    bool end = false;
    bool reload = false;
    for (ssize_t got = 0; (got = ::read(signal_read_.get(), bytes, sizeof bytes)) > 0;) {
      for (ssize_t i = 0; i < got; ++i) {
        end = end || bytes[i] == kEndByte;
        reload = reload || bytes[i] == kReloadByte;
      }
    }
    // Many signals of one kind are one request.
    if (reload && reload_handler_) reload_handler_();
    if (end && end_handler_) end_handler_();
  });
  handle();
}

void PosixEventLoop::DispatchPending(std::chrono::milliseconds max_wait) {
  const int64_t wait = timers_.WaitBefore(max_wait.count());
  std::vector<pollfd> fds;
  std::vector<uint64_t> ids;
  fds.reserve(watches_.size());
  for (const auto& [id, watch] : watches_) {
    fds.push_back(pollfd{watch.fd, static_cast<short>(POLLIN | (watch.write ? POLLOUT : 0)), 0});
    ids.push_back(id);
  }
  const int ready =
      ::poll(fds.data(), fds.size(), static_cast<int>(std::min<int64_t>(wait, INT32_MAX)));
  if (ready > 0) {
    for (size_t i = 0; i < fds.size(); ++i) {
      const bool readable = (fds[i].revents & (POLLIN | POLLERR | POLLHUP)) != 0;
      const bool writable = (fds[i].revents & POLLOUT) != 0;
      if (!readable && !writable) continue;
      const auto found = watches_.find(ids[i]);
      if (found == watches_.end()) continue;
      const auto on_ready = found->second.on_ready;
      on_ready(readable, writable);
    }
  }
  timers_.RunDue();
}

void PosixEventLoop::Run() {
  quit_ = false;
  while (!quit_) DispatchPending(std::chrono::hours(1));
}

}  // namespace varnix
