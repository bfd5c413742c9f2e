// What each supervised program costs, and how soon declared programs run at boot: the real
// node and its relays beside supervisord keeping the same programs, in the same run.
#include <benchmark/benchmark.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bench_node.h"
#include "platform/child_process.h"
#include "process_figures.h"
#include "supervision/program_log.h"

namespace varnix {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The processes whose command line holds `marker`.
std::vector<unsigned long> ProcessesWith(const std::string& marker) {
  std::vector<unsigned long> found;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    char* end = nullptr;
    const unsigned long pid = std::strtoul(entry.path().filename().c_str(), &end, 10);
    if (*end != '\0') continue;
    std::ifstream file(entry.path() / "cmdline");
    const std::string words((std::istreambuf_iterator<char>(file)),
                            std::istreambuf_iterator<char>());
    if (words.find(marker) != std::string::npos) found.push_back(pid);
  }
  return found;
}

// Waits (at most 30 s) until `count` processes hold `marker`: the seconds it took from `since`.
double SecondsUntilRunning(const std::string& marker, size_t count, Clock::time_point since) {
  while (ProcessesWith(marker).size() < count && Clock::now() - since < std::chrono::seconds(30)) {
    std::this_thread::sleep_for(milliseconds(5));
  }
  return std::chrono::duration<double>(Clock::now() - since).count();
}

void EndAll(const std::string& marker) {
  for (const unsigned long pid : ProcessesWith(marker)) ::kill(static_cast<pid_t>(pid), SIGKILL);
}

// Programs that print a line now and then, as services do: /bin/sh, each told apart by its
// number (`marker` then the number).
std::string Command(const std::string& marker, int i) {
  return "/bin/sh -c 'while :; do echo " + marker + std::to_string(i) + "; sleep 10; done'";
}

long SumPss(const std::vector<unsigned long>& pids) {
  long kib = 0;
  for (const unsigned long pid : pids) kib += MappedKiB(pid, "");
  return kib;
}

// `count` declared programs: how soon all run from the node's start, and the proportional
// memory of the node and its relays, a program; then supervisord with the same programs.
void BM_DeclaredPrograms(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  if (!std::filesystem::exists("/usr/bin/supervisord")) {
    state.SkipWithError("no counterpart: apt-get install supervisor");
    return;
  }
  for (auto _ : state) {
    Platform platform = MakePlatform();
    const std::string folder = "/tmp/varnix-bench-programs";
    const std::string marker = "vxbenchprog";
    std::string programs;
    for (int i = 0; i < count; ++i) {
      programs += "[Program p" + std::to_string(i) + "]\nPath=/bin/sh\nParameter=-c \"while :; " +
                  "do echo " + marker + std::to_string(i) + "; sleep 10; done\"\n\n";
    }
    const auto started = Clock::now();
    auto node = StartNodeIn(platform, folder, programs);
    state.counters["varnix_all_running_s"] = SecondsUntilRunning(marker, count, started);
    const std::string relay = std::string(kRelayWord) + '\0' + folder;
    SecondsUntilRunning(relay, count, started);
    std::this_thread::sleep_for(std::chrono::seconds(3));  // settled, each line written
    const long relays = SumPss(ProcessesWith(relay));
    const long node_kib = MappedKiB(node->Pid(), "");
    state.counters["varnix_node_pss_kib"] = static_cast<double>(node_kib);
    state.counters["varnix_relay_pss_kib"] = static_cast<double>(relays) / count;
    const double varnix = static_cast<double>(node_kib + relays) / count;
    state.counters["varnix_kib_per_program"] = varnix;
    node->RequestEnd();
    node->WaitForExit(milliseconds(10000));
    EndAll(marker);
    EndAll(relay);

    // supervisord, with a log for each program as the node keeps.
    std::string conf = "[supervisord]\nlogfile=" + folder + "/supervisord.log\npidfile=" + folder +
                       "/supervisord.pid\nchildlogdir=" + folder + "\n";
    for (int i = 0; i < count; ++i) {
      conf += "[program:p" + std::to_string(i) + "]\ncommand=" + Command(marker, i) +
              "\nstdout_logfile=" + folder + "/p" + std::to_string(i) + ".log\n";
    }
    platform.files->WriteAll(folder + "/supervisord.conf", conf);
    const auto supervisor_started = Clock::now();
    auto supervisor = StartChildProcess("/usr/bin/supervisord",
                                        {"-n", "-c", folder + "/supervisord.conf"}, folder);
    state.counters["supervisord_all_running_s"] =
        SecondsUntilRunning(marker, count, supervisor_started);
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const double supervisord = static_cast<double>(MappedKiB(supervisor->Pid(), "")) / count;
    state.counters["supervisord_kib_per_program"] = supervisord;
    state.counters["varnix_to_supervisord"] = varnix / supervisord;
    supervisor->RequestEnd();
    supervisor->WaitForExit(milliseconds(10000));
    EndAll(marker);
    std::filesystem::remove_all(folder);
  }
}
BENCHMARK(BM_DeclaredPrograms)->Arg(50)->Iterations(1)->Unit(benchmark::kSecond);

// A chain of `count` programs, each After the one before: how soon the last runs. Each waits
// for the one it names to be running, no longer.
void BM_AfterChain(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  for (auto _ : state) {
    Platform platform = MakePlatform();
    const std::string folder = "/tmp/varnix-bench-chain";
    const std::string marker = "vxbenchchain";
    std::string programs;
    for (int i = 0; i < count; ++i) {
      programs += "[Program c" + std::to_string(i) +
                  "]\nPath=/bin/sleep\nParameter=" + std::to_string(600 + i) + "\n" +
                  (i > 0 ? "After=c" + std::to_string(i - 1) + "\n" : "") + "\n";
    }
    const auto started = Clock::now();
    auto node = StartNodeIn(platform, folder, programs);
    double seconds = 0;
    while (seconds < 30) {
      size_t running = 0;
      for (int i = 0; i < count; ++i) {
        running += ProcessesWith(std::string("sleep\0", 6) + std::to_string(600 + i)).size();
      }
      seconds = std::chrono::duration<double>(Clock::now() - started).count();
      if (running >= static_cast<size_t>(count)) break;
      std::this_thread::sleep_for(milliseconds(5));
    }
    state.counters["all_running_s"] = seconds;
    state.counters["s_per_link"] = seconds / count;
    node->RequestEnd();
    node->WaitForExit(milliseconds(10000));
    for (int i = 0; i < count; ++i) EndAll(std::string("sleep\0", 6) + std::to_string(600 + i));
    EndAll(std::string(kRelayWord) + '\0' + folder);
    std::filesystem::remove_all(folder);
  }
}
BENCHMARK(BM_AfterChain)->Arg(10)->Iterations(1)->Unit(benchmark::kSecond);

// A hub and a node beside it in `folder`, the node's one program, "ticker", writing a line
// every 100 ms for a minute; all of it ended, and the folder gone, with the object. Followers
// take the xAP port: run them in a namespace of their own (tests/isolated.sh).
struct Ticker {
  explicit Ticker(Platform& platform, std::string where) : folder(std::move(where)) {
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    hub = StartChildProcess(VARNIX_HUB_BINARY, {"--state", folder + "/hub.txt"});
    std::this_thread::sleep_for(milliseconds(300));
    node = StartNodeIn(platform, folder + "/node",
                       "[Program ticker]\nPath=/bin/sh\nParameter=-c \"i=0; while [ $i -lt 600 ]; "
                       "do echo tick $i; i=$((i+1)); sleep 0.1; done\"\n");
  }
  ~Ticker() {
    node->RequestEnd();
    node->WaitForExit(milliseconds(10000));
    hub->RequestEnd();
    hub->WaitForExit(milliseconds(5000));
    EndAll(std::string(kRelayWord) + '\0' + folder);
    EndAll("tick $i");
    std::filesystem::remove_all(folder);
  }
  Ticker(const Ticker&) = delete;
  Ticker& operator=(const Ticker&) = delete;

  const std::string folder;
  std::unique_ptr<ChildProcess> hub;
  std::unique_ptr<ChildProcess> node;
};

int64_t WallMillisecondsNow() {
  return std::chrono::duration_cast<milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// How late each line was shown: how many, the median and the slowest.
void ReportLateness(benchmark::State& state, std::vector<double> late_ms) {
  std::sort(late_ms.begin(), late_ms.end());
  state.counters["lines"] = static_cast<double>(late_ms.size());
  state.counters["median_ms"] = late_ms.empty() ? -1 : late_ms[late_ms.size() / 2];
  state.counters["slowest_ms"] = late_ms.empty() ? -1 : late_ms.back();
}

// `varnixctl logs -f` of the ticker: how long after its stamp each line is shown.
void BM_FollowedLogLatency(benchmark::State& state) {
  for (auto _ : state) {
    Platform platform = MakePlatform();
    const Ticker ticker(platform, "/tmp/varnix-bench-follow");
    std::this_thread::sleep_for(milliseconds(1500));
    const std::string shown = ticker.folder + "/shown.txt";
    auto follow =
        StartChildProcess(VARNIX_CTL_BINARY, {"logs", "ticker", "-n", "1", "-f"}, ticker.folder,
                          {"XDG_STATE_HOME=" + ticker.folder + "/state"}, shown);
    std::vector<double> late_ms;
    size_t read = 0;
    const auto until = Clock::now() + std::chrono::seconds(12);
    while (Clock::now() < until) {
      std::ifstream file(shown);
      const std::string text((std::istreambuf_iterator<char>(file)),
                             std::istreambuf_iterator<char>());
      const int64_t now = WallMillisecondsNow();
      for (size_t end; (end = text.find('\n', read)) != std::string::npos; read = end + 1) {
        const std::optional<int64_t> at =
            StampMilliseconds(text.substr(read, text.find(' ', read) - read));
        if (at) late_ms.push_back(static_cast<double>(now - *at));
      }
      std::this_thread::sleep_for(milliseconds(2));
    }
    follow->RequestEnd();
    follow->WaitForExit(milliseconds(5000));
    if (late_ms.size() > 1) late_ms.erase(late_ms.begin());  // said before the follow began
    ReportLateness(state, std::move(late_ms));
  }
}
BENCHMARK(BM_FollowedLogLatency)->Iterations(1)->Unit(benchmark::kSecond);

// The page's log view of the ticker, asked as the page asks (a POST twice a second) of the
// real gateway: how long after its stamp each line is first shown.
void BM_PageLogLatency(benchmark::State& state) {
  for (auto _ : state) {
    Platform platform = MakePlatform();
    const Ticker ticker(platform, "/tmp/varnix-bench-page-log");
    const std::string gateway_folder = ticker.folder + "/gateway";
    std::filesystem::create_directories(gateway_folder + "/Config");
    platform.files->WriteAll(gateway_folder + "/Config/gateway.ini",
                             "[Mqtt]\nBroker=\n[Web]\nListen=127.0.0.1:8470\n");
    auto gateway = StartChildProcess(VARNIX_GATEWAY_BINARY, {}, gateway_folder);
    const std::string answer = ticker.folder + "/answer.txt";
    const auto curl = [&](std::vector<std::string> words) {
      words.insert(words.begin(), "-s");
      StartChildProcess("/usr/bin/curl", words, "", {}, answer)->WaitForExit(milliseconds(5000));
      std::ifstream file(answer);
      return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    };
    std::this_thread::sleep_for(milliseconds(2000));
    const std::string page = curl({"http://127.0.0.1:8470/"});
    const size_t token_at = page.find("content=\"", page.find("varnix-token")) + 9;
    const std::string token = page.substr(token_at, page.find('"', token_at) - token_at);
    const std::string body =
        nlohmann::json{{"computer", platform.machine->ComputerName()}, {"path", "/bin/sh"}}.dump();
    std::vector<double> late_ms;
    int64_t newest = 0;
    bool first = true;
    const auto until = Clock::now() + std::chrono::seconds(12);
    for (auto next = Clock::now(); Clock::now() < until; next += milliseconds(500)) {
      std::this_thread::sleep_until(next);
      const nlohmann::json told = nlohmann::json::parse(
          curl({"-X", "POST", "-H", "Content-Type: application/json", "-H",
                "X-Varnix-Token: " + token, "--data", body, "http://127.0.0.1:8470/api/log"}),
          nullptr, false);
      if (!told.is_object() || !told.value("answered", false)) continue;
      const int64_t now = WallMillisecondsNow();
      for (const auto& line : told["lines"]) {
        const std::string text = line.get<std::string>();
        const std::optional<int64_t> at = StampMilliseconds(text.substr(0, text.find(' ')));
        if (!at || *at <= newest) continue;
        newest = *at;
        if (!first) late_ms.push_back(static_cast<double>(now - *at));
      }
      first = false;  // the lines said before the view opened
    }
    gateway->RequestEnd();
    gateway->WaitForExit(milliseconds(10000));
    ReportLateness(state, std::move(late_ms));
  }
}
BENCHMARK(BM_PageLogLatency)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
}  // namespace varnix
