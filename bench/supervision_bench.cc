// The supervision pass over many records, and a start request's way through the real node.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <vector>

#include "bench_node.h"
#include "counting_reports.h"
#include "platform/child_process.h"
#include "platform/platform.h"
#include "supervision/process_operations.h"
#include "supervision/registry.h"
#include "system/test_hub.h"
#include "xap/outgoing_queue.h"

namespace varnix {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

// Records of running programs (ten processes, each followed by a tenth of the records), none
// reported: each record holds its program by its own handle, and a pass asks about all at once.
void BM_SupervisionPass(benchmark::State& state) {
  Platform platform = MakePlatform();
  std::vector<std::unique_ptr<ChildProcess>> programs;
  for (int i = 0; i < 10; ++i) programs.push_back(StartChildProcess("/bin/sleep", {"120"}));
  CountingReports log;
  OutgoingQueue queue(log);
  ProcessOperations operations(*platform.processes, *platform.desktop, *platform.files, log,
                               *platform.loop, "Linux", PathRules::Posix());
  ProcessRegistry registry(operations, queue, log, log);
  for (int i = 0; i < static_cast<int>(state.range(0)); ++i) {
    auto record = registry.NewStatus();
    record->PID(static_cast<int32_t>(programs[static_cast<size_t>(i) % programs.size()]->Pid()));
    registry.ProcessList().push_back(std::move(record));
  }
  long held = 0;
  for (const auto& record : registry.ProcessList()) held += record->handle() != nullptr;
  state.counters["held"] = static_cast<double>(held);
  for (auto _ : state) registry.SupervisionPass();
}
BENCHMARK(BM_SupervisionPass)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

// From a "start" request leaving a peer to the node's Process.Notification arriving back.
void BM_StartToNotification(benchmark::State& state) {
  Platform platform = MakePlatform();
  const std::string folder = "/tmp/varnix-bench-start";
  TestHub hub(*platform.loop);
  auto node = StartNodeIn(platform, folder);
  if (hub.WaitForText("Using xAP port").empty()) {
    state.SkipWithError("the node did not come up");
    return;
  }
  const std::string head = RequestHeader(platform, "Computer.Process") + "Process.Control\n{\n";
  std::vector<double> latencies;
  for (auto _ : state) {
    const size_t before = hub.received().size();
    const auto sent = Clock::now();
    hub.Relay(head + "Action=start\nPath=/bin/sleep\nParameter=30\n}\n");
    hub.WaitFor([&] {
      for (size_t i = before; i < hub.received().size(); ++i) {
        if (hub.received()[i].find("Process.Notification") != std::string::npos) return true;
      }
      return false;
    });
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - sent).count();
    state.SetIterationTime(ms / 1000);
    latencies.push_back(ms);
    state.PauseTiming();
    hub.Relay(head + "Action=stop\nPath=/bin/sleep\n}\n");
    hub.WaitFor([&] { return hub.received().size() > before + 1; });
    state.ResumeTiming();
  }
  std::sort(latencies.begin(), latencies.end());
  if (!latencies.empty()) state.counters["median_ms"] = latencies[latencies.size() / 2];
  node->RequestEnd();
  node->WaitForExit(milliseconds(5000));
  std::filesystem::remove_all(folder);
}
BENCHMARK(BM_StartToNotification)->Iterations(20)->UseManualTime()->Unit(benchmark::kMillisecond);

// `stop all` of 25 declared programs, each of which ends as soon as it is asked: from the
// request to the answer of an echo sent right after it, which the node reads once the stop is
// done. They are stopped together, not one poll after another.
void BM_StopAllOf25(benchmark::State& state) {
  Platform platform = MakePlatform();
  const std::string folder = "/tmp/varnix-bench-stop-all";
  std::string programs;
  for (int i = 0; i < 25; ++i) {
    programs += "[Program Sleeper" + std::to_string(i) +
                "]\nPath=/bin/sleep\nParameter=" + std::to_string(3600 + i) + "\nStart=manual\n";
  }
  TestHub hub(*platform.loop);
  auto node = StartNodeIn(platform, folder, programs);
  if (hub.WaitForText("Using xAP port").empty()) {
    state.SkipWithError("the node did not come up");
    return;
  }
  const std::string head = RequestHeader(platform, "Computer.Process");
  const auto count = [&](size_t from, const std::string& needle) {
    return static_cast<size_t>(std::count_if(
        hub.received().begin() + static_cast<std::ptrdiff_t>(from), hub.received().end(),
        [&](const std::string& text) { return text.find(needle) != std::string::npos; }));
  };
  std::vector<double> spans;
  int round = 0;
  for (auto _ : state) {
    state.PauseTiming();
    size_t before = hub.received().size();
    hub.Relay(head + "Process.Control\n{\nAction=start\nGroup=*\n}\n");
    hub.WaitFor([&] { return count(before, "\nPID=") - count(before, "\nPID=0\n") >= 25; },
                milliseconds(20000));
    state.ResumeTiming();
    before = hub.received().size();
    const std::string token = "stopped " + std::to_string(++round);
    const auto sent = Clock::now();
    hub.Relay(head + "Process.Control\n{\nAction=stop\nGroup=*\n}\n");
    hub.Relay(RequestHeader(platform, "WDT.Echo") + "Echo.Query\n{\nQuery=" + token + "\n}\n");
    hub.WaitFor([&] { return count(before, "Response=" + token) > 0; }, milliseconds(30000));
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - sent).count();
    state.SetIterationTime(ms / 1000);
    spans.push_back(ms);
  }
  std::sort(spans.begin(), spans.end());
  if (!spans.empty()) state.counters["median_ms"] = spans[spans.size() / 2];
  node->RequestEnd();
  node->WaitForExit(milliseconds(5000));
  std::filesystem::remove_all(folder);
}
BENCHMARK(BM_StopAllOf25)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace varnix
