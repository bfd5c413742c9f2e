// The gateway, measured as a program: the real varnix-gateway, hub and Mosquitto, with this
// benchmark playing fifty nodes on loopback. The hub takes the xAP port: run it in a namespace
// of its own (tests/isolated.sh).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "gateway/mosquitto_session.h"
#include "platform/child_process.h"
#include "platform/error.h"
#include "platform/platform.h"
#include "platform/udp_socket.h"
#include "process_figures.h"

#if !defined(VARNIX_GATEWAY_BINARY) || !defined(VARNIX_HUB_BINARY)
#error "VARNIX_GATEWAY_BINARY and VARNIX_HUB_BINARY name the programs"
#endif

namespace varnix {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

constexpr int kNodes = 50;
constexpr int kPrograms = 10;
constexpr uint16_t kBrokerPort = 18840;
const std::string kFolder = "/tmp/varnix-gateway-bench";

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

std::string Message(const std::string& source, const std::string& klass, const std::string& section,
                    const std::string& items) {
  return "xap-header\n{\nv=12\nhop=1\nuid=FF123400\nclass=" + klass + "\nsource=" + source +
         "\n}\n" + section + "\n{\n" + items + "}\n";
}

std::string Node(int n) { return "qel.Process.NODE" + std::to_string(n); }

std::string Report(int node, int program, long pid, long elapsed = 0) {
  return Message(Node(node), "Computer.Process", "Process.Notification",
                 "Path=/opt/p/" + std::to_string(program) + "\nTitle=\nPID=" + std::to_string(pid) +
                     "\nPriority=NORMAL\nCPU=1\nRAM=1048576\nElapsed=" + std::to_string(elapsed) +
                     "\n");
}

// Fifty nodes behind the real hub, as one xAP client of it: what the gateway sends arrives
// here, and the nodes answer its echoes at once.
class Network {
 public:
  explicit Network(EventLoop& loop) : loop_(loop) {
    socket_ = loop.CreateUdpSocket([this](std::string text) { Receive(text); });
    for (uint16_t port = 41800; port_ == 0 && port < 42000; ++port) {
      try {
        socket_->Bind("127.0.0.1", port);
        port_ = port;
      } catch (const Error&) {
      }
    }
  }
  void Beat() {
    socket_->SendTo("127.0.0.1", 3639,
                    "xap-hbeat\n{\nv=12\nhop=1\nuid=FF00CC00\nclass=xap-hbeat.alive\n"
                    "source=acme.bench.nodes\ninterval=60\nport=" +
                        std::to_string(port_) + "\n}\n");
  }
  void ToGateway(const std::string& text) { socket_->SendTo("127.0.0.1", 3639, text); }
  bool Ready() const { return gateway_heard_; }

  int64_t last_start_ns = 0;  // when the latest start request arrived
  long echoes = 0;

 private:
  void Receive(const std::string& text) {
    if (text.find("source=qel.Gateway.") != std::string::npos) gateway_heard_ = true;
    if (text.find("Action=start") != std::string::npos) {
      last_start_ns = Clock::now().time_since_epoch().count();
    }
    const auto target = text.find("\ntarget=");
    if (text.find("Echo.Query") != std::string::npos && target != std::string::npos) {
      ++echoes;
      const std::string node = text.substr(target + 8, text.find('\n', target + 8) - target - 8);
      ToGateway(Message(node, "WDT.Echo", "Echo.Response", "Response=varnix-gateway\n"));
    }
  }

  EventLoop& loop_;
  std::unique_ptr<UdpSocket> socket_;
  uint16_t port_ = 0;
  bool gateway_heard_ = false;
};

// The broker, the gateway (echoing every `echo_seconds`) and `nodes` nodes, each reported.
struct Site {
  explicit Site(int echo_seconds, int nodes = kNodes) {
    std::filesystem::remove_all(kFolder);
    std::filesystem::create_directories(kFolder + "/Config");
    std::ofstream(kFolder + "/broker.conf")
        << "listener " << kBrokerPort
        << " 127.0.0.1\nallow_anonymous true\npersistence false\nset_tcp_nodelay true\n";
    std::ofstream(kFolder + "/Config/qelXap.ini")
        << "[Interface]\r\nBroadcastAddress=127.0.0.1\r\n";
    std::ofstream ini(kFolder + "/Config/gateway.ini");
    ini << "[Mqtt]\nBroker=127.0.0.1:" << kBrokerPort << "\n[Xap]\nEchoSeconds=" << echo_seconds
        << "\n";
    for (int p = 0; p < kPrograms; ++p) {
      ini << "[Program P" << p << "]\nComputer=*\nPath=/opt/p/" << p << "\n";
    }
    ini.close();
    broker = StartChildProcess("/usr/sbin/mosquitto", {"-c", kFolder + "/broker.conf"}, "", {},
                               kFolder + "/broker.log");
    hub = StartChildProcess(VARNIX_HUB_BINARY, {"--state", kFolder + "/hub-clients.txt"});
    Wait(milliseconds(300), [] { return false; });
    network.Beat();
    Wait(milliseconds(100), [] { return false; });
    gateway =
        StartChildProcess(VARNIX_GATEWAY_BINARY, {"--config", kFolder + "/Config/gateway.ini"},
                          kFolder, {}, kFolder + "/gateway.log");
    // Its start-up question to every node, relayed by the hub, says that it has joined.
    if (!Wait(milliseconds(5000), [&] { return network.Ready(); })) throw Error(0, "no gateway");
    for (int n = 0; n < nodes; ++n) {
      network.ToGateway(
          Message(Node(n), "Computer.Process", "Computer.Notification",
                  "Name=NODE" + std::to_string(n) + "\nIP=10.0.0." + std::to_string(n + 1) + "\n"));
      for (int p = 0; p < kPrograms; ++p) network.ToGateway(Report(n, p, 1000 + p));
    }
    Wait(milliseconds(2000), [] { return false; });
  }
  ~Site() {
    gateway->RequestEnd();
    gateway->WaitForExit(milliseconds(5000));
    for (auto* child : {&broker, &hub}) {
      (*child)->RequestEnd();
      (*child)->WaitForExit(milliseconds(5000));
    }
  }
  template <typename Done>
  bool Wait(milliseconds limit, Done done) {
    const auto end = Clock::now() + limit;
    while (!done() && Clock::now() < end) platform.loop->DispatchPending(milliseconds(5));
    return done();
  }

  Platform platform = MakePlatform();
  Network network{*platform.loop};
  std::unique_ptr<ChildProcess> broker;
  std::unique_ptr<ChildProcess> hub;
  std::unique_ptr<ChildProcess> gateway;
};

long WakeUps(unsigned long pid) {
  return ReadStatusField(pid, "voluntary_ctxt_switches") +
         ReadStatusField(pid, "nonvoluntary_ctxt_switches");
}

// Resident memory and wake-ups of a gateway that follows fifty nodes of ten programs and
// hears nothing new: with its echoes every 30 s, and with them put off for an hour.
void BM_GatewayIdle(benchmark::State& state) {
  for (auto _ : state) {
    Site site(static_cast<int>(state.range(0)));
    const unsigned long pid = site.gateway->Pid();
    const long before = WakeUps(pid);
    const long echoes = site.network.echoes;
    const auto start = Clock::now();
    site.Wait(milliseconds(60000), [] { return false; });
    state.counters["wakeups_per_min"] =
        static_cast<double>(WakeUps(pid) - before) * 60 / Seconds(Clock::now() - start);
    state.counters["echoes"] = static_cast<double>(site.network.echoes - echoes);
    state.counters["rss_kib"] = static_cast<double>(ReadStatusField(pid, "VmRSS"));
    // Its own memory, and the libraries' pages that it shares with other programs.
    state.counters["anon_kib"] = static_cast<double>(ReadStatusField(pid, "RssAnon"));
    state.counters["file_kib"] = static_cast<double>(ReadStatusField(pid, "RssFile"));
  }
}
BENCHMARK(BM_GatewayIdle)->Arg(30)->Arg(3600)->Iterations(1)->Unit(benchmark::kSecond);

// Resident memory of a gateway that follows one node, and fifty, each of ten programs, once
// it has settled (its echoes answered, its configs sent, its page served once).
void BM_GatewayMemory(benchmark::State& state) {
  for (auto _ : state) {
    Site site(30, static_cast<int>(state.range(0)));
    const unsigned long pid = site.gateway->Pid();
    site.Wait(milliseconds(12000), [] { return false; });
    state.counters["rss_kib"] = static_cast<double>(ReadStatusField(pid, "VmRSS"));
    state.counters["anon_kib"] = static_cast<double>(ReadStatusField(pid, "RssAnon"));
    state.counters["file_kib"] = static_cast<double>(ReadStatusField(pid, "RssFile"));
  }
}
BENCHMARK(BM_GatewayMemory)->Arg(1)->Arg(kNodes)->Iterations(1)->Unit(benchmark::kSecond);

// From ON at the broker to the start request leaving the gateway, and from a node's report to
// its MQTT state: each taken 200 times, one at a time.
void BM_GatewayLatency(benchmark::State& state) {
  for (auto _ : state) {
    Site site(3600);
    std::map<std::string, int64_t> heard;  // topic -> when its latest message came
    MosquittoSession client(*site.platform.loop,
                            {"127.0.0.1", kBrokerPort, "bench", "", "", "", "", 30},
                            {[] {},
                             [&](const std::string& topic, const std::string&, bool) {
                               heard[topic] = Clock::now().time_since_epoch().count();
                             },
                             [](const std::string&) {}});
    client.Start();
    site.Wait(milliseconds(5000), [&] { return client.IsConnected(); });
    client.Subscribe("varnix/node7/program/p3/attributes", false);
    site.Wait(milliseconds(500), [] { return false; });
    std::vector<double> command_us;
    std::vector<double> report_us;
    for (int i = 0; i < 200; ++i) {
      const int64_t before = site.network.last_start_ns;
      const int64_t sent = Clock::now().time_since_epoch().count();
      client.Publish("varnix/node7/program/p3/set", "ON", false,
                     MqttSession::Delivery::kAtLeastOnce);
      if (site.Wait(milliseconds(2000), [&] { return site.network.last_start_ns != before; })) {
        command_us.push_back(static_cast<double>(site.network.last_start_ns - sent) / 1000);
      }
      const int64_t was = heard["varnix/node7/program/p3/attributes"];
      const int64_t reported = Clock::now().time_since_epoch().count();
      site.network.ToGateway(Report(7, 3, 5000 + i));
      if (site.Wait(milliseconds(2000),
                    [&] { return heard["varnix/node7/program/p3/attributes"] != was; })) {
        report_us.push_back(
            static_cast<double>(heard["varnix/node7/program/p3/attributes"] - reported) / 1000);
      }
    }
    const auto percentile = [](std::vector<double> values, double p) {
      if (values.empty()) return -1.0;
      std::sort(values.begin(), values.end());
      return values[static_cast<size_t>(p * static_cast<double>(values.size() - 1))];
    };
    state.counters["on_to_request_median_us"] = percentile(command_us, 0.5);
    state.counters["on_to_request_p99_us"] = percentile(command_us, 0.99);
    state.counters["report_to_state_median_us"] = percentile(report_us, 0.5);
    state.counters["report_to_state_p99_us"] = percentile(report_us, 0.99);
  }
}
BENCHMARK(BM_GatewayLatency)->Iterations(1)->Unit(benchmark::kSecond);

// Reports turned into MQTT publishes: 100,000 reports over the fifty nodes at a steady rate, as
// a node's passes send them (the program runs on, its figures change), and the gateway's
// processor time for them.
void BM_GatewayReportRate(benchmark::State& state) {
  constexpr long kReports = 100000;
  for (auto _ : state) {
    Site site(3600);
    // Counted by Mosquitto's own client, in a process of its own that keeps up.
    const std::string counted = kFolder + "/published.txt";
    auto subscriber = StartChildProcess(
        "/usr/bin/mosquitto_sub",
        {"-p", std::to_string(kBrokerPort), "-t", "varnix/+/program/+/attributes", "-F", "."}, "",
        {}, counted);
    site.Wait(milliseconds(1000), [] { return false; });
    const auto published = [&] {
      return static_cast<long>(std::filesystem::file_size(counted)) / 2;
    };
    const unsigned long pid = site.gateway->Pid();
    const double cpu_before = CpuSeconds(pid);
    // 25 a millisecond: 25,000 a second, above the target.
    const auto start = Clock::now();
    for (long i = 0; i < kReports; ++i) {
      site.network.ToGateway(
          Report(static_cast<int>(i % kNodes), static_cast<int>(i / kNodes % kPrograms), 1000, i));
      if (i % 25 == 24) {
        site.platform.loop->DispatchPending(milliseconds(0));
        std::this_thread::sleep_until(start + std::chrono::microseconds(i * 40));
      }
    }
    const double sending = Seconds(Clock::now() - start);
    site.Wait(milliseconds(20000), [&] { return published() >= kReports; });
    const double cpu = CpuSeconds(pid) - cpu_before;
    state.counters["published"] = static_cast<double>(published());
    state.counters["gateway_cpu_s"] = cpu;
    // Published states per second of the gateway's processor: what it could turn into MQTT.
    state.counters["published_per_cpu_s"] = static_cast<double>(published()) / cpu;
    state.counters["sent_per_s"] = static_cast<double>(kReports) / sending;
  }
}
BENCHMARK(BM_GatewayReportRate)->Iterations(1)->Unit(benchmark::kSecond);

// The web page: what a browser loads for fifty nodes of ten programs (page, script, style and
// the stream's first event, which holds the state), and the time from a node's report to the
// page's event, each report alone.
void BM_GatewayPage(benchmark::State& state) {
  for (auto _ : state) {
    Site site(3600);
    // As a browser asks: gzip taken. The bytes counted are those on the wire.
    const auto fetch = [&](const std::string& path, const std::string& encoding = "gzip") {
      const std::string output = kFolder + "/fetched.txt";
      auto curl =
          StartChildProcess("/usr/bin/curl",
                            {"-s", "-o", "/dev/null", "-w", "%{size_download}", "-H",
                             "Accept-Encoding: " + encoding, "http://127.0.0.1:8470/" + path},
                            "", {}, output);
      site.Wait(milliseconds(10000),
                [&] { return curl->WaitForExit(milliseconds(0)).has_value(); });
      std::ifstream in(output);
      double bytes = 0;
      in >> bytes;
      return bytes;
    };
    state.counters["state_kib"] = fetch("api/nodes") / 1024;
    state.counters["state_plain_kib"] = fetch("api/nodes", "identity") / 1024;

    // The page takes its state from the stream's first event.
    const std::string events = kFolder + "/events.txt";
    auto stream = StartChildProcess(
        "/usr/bin/curl",
        {"-s", "-N", "-H", "Accept-Encoding: gzip", "-o", events, "http://127.0.0.1:8470/events"});
    const auto size = [&] {
      std::error_code ignored;
      return std::filesystem::file_size(events, ignored);
    };
    site.Wait(milliseconds(5000),
              [&] { return size() > 0 && size() != static_cast<uintmax_t>(-1); });
    site.Wait(milliseconds(500), [] { return false; });  // the whole first event
    state.counters["page_kib"] =
        (fetch("") + fetch("app.js") + fetch("app.css") + static_cast<double>(size())) / 1024;
    std::vector<double> micros;
    for (int i = 0; i < 100; ++i) {
      // Past the quarter second in which changes are gathered into one event.
      site.Wait(milliseconds(300), [] { return false; });
      const uintmax_t before = size();
      const auto sent = Clock::now();
      site.network.ToGateway(Report(7, 3, 1000, 100000 + i));
      if (site.Wait(milliseconds(2000), [&] { return size() > before; })) {
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - sent).count());
      }
    }
    std::sort(micros.begin(), micros.end());
    state.counters["report_to_event_median_us"] = micros.empty() ? -1 : micros[micros.size() / 2];
    state.counters["report_to_event_p99_us"] =
        micros.empty() ? -1
                       : micros[static_cast<size_t>(0.99 * static_cast<double>(micros.size() - 1))];
    stream.reset();
  }
}
BENCHMARK(BM_GatewayPage)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
}  // namespace varnix
