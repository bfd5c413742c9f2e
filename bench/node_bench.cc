// The node's idle cost and its intake under load, measured on loopback.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "bench_node.h"
#include "counting_reports.h"
#include "hostile_traffic.h"
#include "platform/child_process.h"
#include "platform/error.h"
#include "platform/platform.h"
#include "platform/udp_socket.h"
#include "process_figures.h"
#include "system/test_hub.h"
#include "xap/xap_transport.h"

namespace varnix {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

class CountingReceiver : public MessageReceiver {
 public:
  explicit CountingReceiver(XapTransport& xap) : xap_(xap) {}
  void onMessage() override {
    while (!xap_.GetMessage().empty()) ++received;
  }
  long received = 0;

 private:
  XapTransport& xap_;
};

// A sender on its own thread pours `rate` datagrams a second into the transport for `seconds`;
// every one must come out of the drain.
void BM_ReceiveBurst(benchmark::State& state) {
  const long rate = state.range(0);
  const int seconds = static_cast<int>(state.range(1));
  for (auto _ : state) {
    Platform platform = MakePlatform();
    CountingReports log;
    XapTransport xap(*platform.loop, *platform.machine, *platform.sockets, log);
    xap.InterfaceAddress("127.0.0.1");
    xap.BroadcastAddress("127.0.0.1");
    const int32_t port = xap.Init();
    if (port <= 0) {
      state.SkipWithError("cannot bind a loopback port");
      return;
    }
    CountingReceiver receiver(xap);
    xap.RegisterNewMessageCallback(&receiver);

    std::atomic<long> sent{0};
    std::atomic<bool> done{false};
    std::thread sender([&] {
      Platform own = MakePlatform();
      auto socket = own.loop->CreateUdpSocket([](std::string) {});
      const std::string text =
          "xap-header\n{\nv=12\nhop=1\nuid=FF123400\nclass=Computer.Process\n"
          "source=acme.load.pc2\ntarget=qel.Process.PC1\n}\nProcess.Control\n{\n"
          "Action=query\nPath=/usr/bin/sleep\n}\n";
      const long per_tick = rate / 100;  // every 10 ms
      const auto start = Clock::now();
      for (int tick = 0; tick < seconds * 100; ++tick) {
        for (long i = 0; i < per_tick; ++i) {
          socket->SendTo("127.0.0.1", static_cast<uint16_t>(port), text);
          ++sent;
        }
        std::this_thread::sleep_until(start + milliseconds(10 * (tick + 1)));
      }
      done = true;
    });
    while (!done) platform.loop->DispatchPending(milliseconds(5));
    sender.join();
    const auto drain_end = Clock::now() + milliseconds(500);
    while (Clock::now() < drain_end) platform.loop->DispatchPending(milliseconds(5));

    state.counters["sent"] = static_cast<double>(sent);
    state.counters["received"] = static_cast<double>(receiver.received);
    state.counters["lost"] = static_cast<double>(sent - receiver.received);
    state.counters["log_lines"] = log.lines;
  }
}
BENCHMARK(BM_ReceiveBurst)->Args({50000, 10})->Iterations(1)->Unit(benchmark::kSecond);

// Sensors of the user's own, one of each kind and one that fails, each read every five
// seconds: what the shortest interval costs an idle node.
constexpr char kFourSensors[] =
    "[Sensor Number]\nCommand=/bin/echo\nParameter=42\nKind=number\nInterval=5\n"
    "[Sensor Text]\nCommand=/bin/echo\nParameter=eco\nInterval=5\n"
    "[Sensor Switch]\nCommand=/bin/echo\nParameter=on\nKind=on-off\nInterval=5\n"
    "[Sensor Failing]\nCommand=/bin/false\nKind=number\nInterval=5\n";

// The real node, idle for a minute with nobody talking to it: how often it wakes, how much
// processor time it takes, how much memory it holds; with no sensor of the user's own (0), and
// with four (1).
void BM_IdleNode(benchmark::State& state) {
  const int seconds = static_cast<int>(state.range(0));
  for (auto _ : state) {
    Platform platform = MakePlatform();
    const std::string folder = "/tmp/varnix-bench-idle";
    auto node = StartNodeIn(platform, folder, "", state.range(1) != 0 ? kFourSensors : "");
    std::this_thread::sleep_for(milliseconds(500));  // start-up is not idling
    const unsigned long pid = node->Pid();
    const auto switches = [&] {
      return ReadStatusField(pid, "voluntary_ctxt_switches") +
             ReadStatusField(pid, "nonvoluntary_ctxt_switches");
    };
    const long wakes_before = switches();
    const double cpu_before = CpuSeconds(pid);
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    state.counters["wakes_per_minute"] = (switches() - wakes_before) * 60.0 / seconds;
    state.counters["cpu_seconds"] = CpuSeconds(pid) - cpu_before;
    state.counters["rss_kib"] = static_cast<double>(ReadStatusField(pid, "VmRSS"));
    state.counters["pss_kib"] = static_cast<double>(MappedKiB(pid, ""));
    // Signatures' library and the windows', which a node without a key or a window to look
    // at does not load.
    state.counters["nettle_rss_kib"] = static_cast<double>(MappedKiB(pid, "libnettle"));
    state.counters["x11_rss_kib"] = static_cast<double>(MappedKiB(pid, "libX11"));
    node->RequestEnd();
    node->WaitForExit(milliseconds(5000));
    std::filesystem::remove_all(folder);
  }
}
BENCHMARK(BM_IdleNode)->Args({60, 0})->Args({60, 1})->Iterations(1)->Unit(benchmark::kSecond);

// The real node behind a hub, flooded by one sender as fast as it can with malformed datagrams
// and requests for other nodes, then asked for an echo: how soon it answers, how much memory
// and processor the flood cost it, how often its log mentions it. Needs the xAP port on
// loopback (run it in a namespace of its own: tests/isolated.sh).
void BM_FloodOfStrangers(benchmark::State& state) {
  const int each = static_cast<int>(state.range(0));
  for (auto _ : state) {
    Platform platform = MakePlatform();
    TestHub hub(*platform.loop);
    const std::string folder = "/tmp/varnix-bench-flood";
    auto node = StartNodeIn(platform, folder);
    if (hub.WaitForText("Data=Using xAP port").empty() || hub.clients().size() != 1) {
      state.SkipWithError("the node did not come up beside the hub");
      return;
    }
    const uint16_t port = *hub.clients().begin();
    const unsigned long pid = node->Pid();
    const std::string computer = platform.machine->ComputerName();
    auto sender = platform.loop->CreateUdpSocket([](std::string) {});
    const auto send = [&](const std::string& text) {
      try {
        sender->SendTo("127.0.0.1", port, text);
      } catch (const Error&) {
      }
    };
    const std::vector<std::string> malformed = MalformedDatagrams();
    const std::string for_others = RequestForAnotherNode();
    const double cpu_before = CpuSeconds(pid);
    long peak_kib = ReadStatusField(pid, "VmRSS");
    const auto start = Clock::now();
    for (int i = 0; i < each; ++i) {
      send(malformed[i % malformed.size()]);
      send(for_others);
      if (i % 5000 == 0) peak_kib = std::max(peak_kib, ReadStatusField(pid, "VmRSS"));
    }
    const auto flood_end = Clock::now();
    bool answered = false;
    while (!answered && Clock::now() - flood_end < std::chrono::seconds(5)) {
      send(EchoRequest(computer, "after"));
      answered = !hub.WaitForText("Response=after", milliseconds(20)).empty();
    }
    const auto answer = Clock::now() - flood_end;
    peak_kib = std::max(peak_kib, ReadStatusField(pid, "VmRSS"));
    state.counters["flood_s"] = std::chrono::duration<double>(flood_end - start).count();
    state.counters["answer_ms"] =
        answered ? std::chrono::duration<double, std::milli>(answer).count() : -1;
    state.counters["node_cpu_s"] = CpuSeconds(pid) - cpu_before;
    state.counters["peak_rss_kib"] = static_cast<double>(peak_kib);
    node->RequestEnd();
    node->WaitForExit(milliseconds(5000));
    std::ifstream log(folder + "/Data/Korvane.txt");
    std::stringstream text;
    text << log.rdbuf();
    const std::string lines = text.str();
    long drop_lines = 0;
    for (auto at = lines.find("messages dropped"); at != std::string::npos;
         at = lines.find("messages dropped", at + 1)) {
      ++drop_lines;
    }
    state.counters["drop_lines"] = static_cast<double>(drop_lines);
    std::filesystem::remove_all(folder);
  }
}
BENCHMARK(BM_FloodOfStrangers)->Arg(200000)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
}  // namespace varnix
