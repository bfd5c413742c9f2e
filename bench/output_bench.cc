// What keeping a program's output costs: the real relay, fed 10 MB/s of lines by a program.
#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "platform/platform.h"
#include "process_figures.h"
#include "supervision/program_log.h"

namespace varnix {
namespace {

using Clock = std::chrono::steady_clock;

// Processor seconds a process has used, all its threads, from /proc/PID/stat (schedstat counts
// the first thread alone); in clock ticks, which Linux counts at 100 a second for every user.
double CpuSeconds(ProcessId pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  std::istringstream fields(line.substr(line.rfind(')') + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14 || i == 15) ticks += std::stod(field);
  }
  return ticks / 100.0;
}

// The relay that keeps `log`: the process started with it as its argument.
ProcessId RelayOf(const std::string& log) {
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    std::ifstream file(entry.path() / "cmdline");
    std::string words((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (words.find(std::string(kRelayWord) + '\0' + log) != std::string::npos) {
      return static_cast<ProcessId>(std::stoul(entry.path().filename().string()));
    }
  }
  return 0;
}

// A program says `rate` bytes a second in lines of 100 bytes for five seconds; the relay's
// share of one core over the last four of them is the figure (the target: under 0.2).
void BM_RelayAtRate(benchmark::State& state) {
  Platform platform = MakePlatform();
  const std::string folder = "/tmp/varnix-bench-output";
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  const std::string log = folder + "/talker.log";
  const long rate = state.range(0);
  const std::string script =
      "import sys, time\n"
      "chunk = (b'x' * 99 + b'\\n') * " +
      std::to_string(rate / 100 / 100) +
      "\n"
      "due = time.monotonic()\n"
      "end = due + 5\n"
      "while due < end:\n"
      "    sys.stdout.buffer.write(chunk); sys.stdout.flush()\n"
      "    due += 0.01\n"
      "    time.sleep(max(0, due - time.monotonic()))\n";
  std::ofstream(folder + "/talk.py") << script;
  for (auto _ : state) {
    LaunchSettings launch;
    launch.relay = {VARNIX_RELAY_BINARY, RelayArguments(log, LogLimits{})};
    const ProcessId talker = platform.processes->Start("/usr/bin/python3", folder + "/talk.py",
                                                       ShowState::kHidden, launch);
    ProcessId relay = 0;
    for (int i = 0; i < 100 && relay == 0; ++i) {
      relay = RelayOf(log);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (relay == 0) {
      state.SkipWithError("no relay runs");
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const double cpu_before = CpuSeconds(relay);
    const auto began = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(4));
    const double cpu = CpuSeconds(relay) - cpu_before;
    const double wall = std::chrono::duration<double>(Clock::now() - began).count();
    state.SetIterationTime(wall);
    state.counters["relay_core_share"] = cpu / wall;
    state.counters["relay_rss_kib"] = static_cast<double>(ReadStatusField(relay, "VmRSS"));
    platform.processes->WaitForExit(talker, 5000);
  }
  uint64_t kept = 0;
  bool dropped = false;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    if (!entry.path().filename().string().starts_with("talker.log")) continue;
    kept += entry.file_size();
    std::ifstream file(entry.path());
    const std::string text((std::istreambuf_iterator<char>(file)),
                           std::istreambuf_iterator<char>());
    dropped = dropped || text.find(" lines dropped") != std::string::npos;
  }
  // Within the bound of the default limits; and nothing dropped at this rate.
  state.counters["kept_bytes"] = static_cast<double>(kept);
  state.counters["dropped_any"] = dropped ? 1 : 0;
  std::filesystem::remove_all(folder);
}
BENCHMARK(BM_RelayAtRate)
    ->Arg(1000000)
    ->Arg(10000000)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

}  // namespace
}  // namespace varnix
