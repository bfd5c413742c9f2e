// The hub's relay, measured through the real hub program: a sender at a steady rate, four local
// clients, every datagram counted and the time of each relay to one of them taken.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/child_process.h"
#include "platform/error.h"
#include "platform/platform.h"
#include "platform/udp_socket.h"
#include "process_figures.h"

#ifndef VARNIX_HUB_BINARY
#error "VARNIX_HUB_BINARY names the hub program"
#endif

namespace varnix {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

constexpr int kMostClients = 4;

int64_t Now() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

// The real hub with an empty client table, given a moment to take its port.
std::unique_ptr<ChildProcess> StartHub() {
  const std::string state_file = "/tmp/varnix-bench-hub-clients.txt";
  std::filesystem::remove(state_file);
  auto hub = StartChildProcess(VARNIX_HUB_BINARY, {"--state", state_file});
  std::this_thread::sleep_for(milliseconds(300));
  return hub;
}

// Sends `rate` datagrams a second to the hub for `seconds`, relayed to `clients` local
// clients; each datagram carries the moment it left.
void BM_HubRelay(benchmark::State& state) {
  const long rate = state.range(0);
  const int seconds = static_cast<int>(state.range(1));
  const int clients_wanted = static_cast<int>(state.range(2));
  for (auto _ : state) {
    Platform platform = MakePlatform();
    auto hub = StartHub();

    long received[kMostClients] = {};
    std::vector<int64_t> delays;  // of the first client, in nanoseconds
    delays.reserve(static_cast<size_t>(rate * seconds));
    std::vector<std::unique_ptr<UdpSocket>> clients;
    auto beat = platform.loop->CreateUdpSocket([](std::string) {});
    for (int n = 0; n < clients_wanted; ++n) {
      clients.push_back(platform.loop->CreateUdpSocket([&, n](std::string text) {
        ++received[n];
        const auto at = text.find("\nsent=");
        if (n == 0 && at != std::string::npos)
          delays.push_back(Now() - std::strtoll(text.c_str() + at + 6, nullptr, 10));
      }));
      uint16_t port = 0;
      for (uint16_t candidate = 41700; port == 0 && candidate < 42000; ++candidate) {
        try {
          clients.back()->Bind("127.0.0.1", candidate);
          port = candidate;
        } catch (const Error&) {
        }
      }
      beat->SendTo("127.0.0.1", 3639,
                   "xap-hbeat\n{\nv=12\nhop=1\nuid=FF00BB0" + std::to_string(n) +
                       "\nclass=xap-hbeat.alive\nsource=acme.bench.client" + std::to_string(n) +
                       "\ninterval=60\nport=" + std::to_string(port) + "\n}\n");
    }
    const auto settle = Clock::now() + milliseconds(300);
    while (Clock::now() < settle) platform.loop->DispatchPending(milliseconds(10));
    std::fill(std::begin(received), std::end(received), 0);
    delays.clear();

    std::atomic<long> sent{0};
    std::atomic<bool> done{false};
    std::thread sender([&] {
      Platform own = MakePlatform();
      auto socket = own.loop->CreateUdpSocket([](std::string) {});
      const long per_tick = rate / 1000;  // every millisecond
      const auto start = Clock::now();
      for (int tick = 0; tick < seconds * 1000; ++tick) {
        for (long i = 0; i < per_tick; ++i) {
          socket->SendTo("127.0.0.1", 3639,
                         "xap-header\n{\nv=12\nhop=1\nuid=FF123400\nclass=Bench.Load\n"
                         "source=acme.bench.sender\n}\nBench.Load\n{\nsent=" +
                             std::to_string(Now()) + "\n}\n");
          ++sent;
        }
        std::this_thread::sleep_until(start + milliseconds(tick + 1));
      }
      done = true;
    });
    while (!done) platform.loop->DispatchPending(milliseconds(5));
    sender.join();
    const auto drain_end = Clock::now() + milliseconds(500);
    while (Clock::now() < drain_end) platform.loop->DispatchPending(milliseconds(5));
    state.counters["hub_cpu_s"] = CpuSeconds(hub->Pid());
    hub->RequestEnd();
    hub->WaitForExit(milliseconds(5000));

    long lost = 0;
    for (int n = 0; n < clients_wanted; ++n) lost += sent - received[n];
    std::sort(delays.begin(), delays.end());
    const auto percentile = [&](double p) {
      return delays.empty()
                 ? 0.0
                 : static_cast<double>(
                       delays[static_cast<size_t>(p * static_cast<double>(delays.size() - 1))]) /
                       1000.0;
    };
    state.counters["sent"] = static_cast<double>(sent);
    state.counters["lost"] = static_cast<double>(lost);
    state.counters["median_us"] = percentile(0.5);
    state.counters["p99_us"] = percentile(0.99);
  }
}
// A gentle rate for the time of one relay; the full rate to two clients and to four.
BENCHMARK(BM_HubRelay)
    ->Args({1000, 3, 4})
    ->Args({50000, 10, 2})
    ->Args({50000, 10, 4})
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

// A careless or hostile local program registers `attempts` clients on distinct ports, each
// heartbeat once: what the hub's processor pays for them, its table capped and its state file
// written at most once a second.
void BM_HubRegistrations(benchmark::State& state) {
  const long attempts = state.range(0);
  for (auto _ : state) {
    Platform platform = MakePlatform();
    auto hub = StartHub();
    const double cpu_before = CpuSeconds(hub->Pid());
    auto beat = platform.loop->CreateUdpSocket([](std::string) {});
    const auto start = Clock::now();
    for (long i = 0; i < attempts; ++i) {
      beat->SendTo("127.0.0.1", 3639,
                   "xap-hbeat\n{\nv=12\nhop=1\nuid=FF00BB00\nclass=xap-hbeat.alive\n"
                   "source=acme.flood.client" +
                       std::to_string(i) +
                       "\ninterval=60\nport=" + std::to_string(20000 + i % 40000) + "\n}\n");
      // Paced, so that the kernel's buffer does not drop what the hub should pay for.
      if (i % 100 == 99) std::this_thread::sleep_until(start + milliseconds(i / 10));
    }
    std::this_thread::sleep_for(milliseconds(1500));
    state.counters["hub_cpu_s"] = CpuSeconds(hub->Pid()) - cpu_before;
    hub->RequestEnd();
    hub->WaitForExit(milliseconds(5000));
  }
}
BENCHMARK(BM_HubRegistrations)->Arg(10000)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
}  // namespace varnix
