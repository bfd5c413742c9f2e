// Speed of the xAP message model: parsing, building and address matching.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "allocation_counter.h"
#include "counting_reports.h"
#include "xap/xap_message.h"

namespace varnix {
namespace {

constexpr char kWireExample[] =
    "xap-header\n{\nv=12\nhop=1\nuid=FF000800\nclass=Homeseer.Event\n"
    "source=qel.Process.OFFICEPC\n}\nEvent.Log\n{\nType=Korvane\n"
    "Data=Using xAP port 32768\n}\n";

constexpr char kProcessControl[] =
    "xap-header\n{\nv=12\nhop=1\nuid=FF123400\nclass=Computer.Process\n"
    "source=acme.controller.homeseer\ntarget=qel.Process.OFFICEPC\n}\nProcess.Control\n{\n"
    "Action=start\nPath=C:\\Program Files\\Notes\\notes.exe\nTitle=Notes\nPriority=HIGH\n"
    "Parameter=/safe \"C:\\My Notes\\today.txt\"\nWindow=2\nAutoNotify=yes\n}\n";

// What a parse costs, the copy of the received text included, and how often it allocates.
void BM_FromXap(benchmark::State& state, const char* text) {
  CountingReports log;
  std::string received(text);
  const uint64_t before = HeapAllocations();
  for (auto _ : state) {
    std::memcpy(received.data(), text, received.size());  // a fresh datagram each time
    XapMessage message(log);
    message.FromXap(received);
    benchmark::DoNotOptimize(message);
  }
  state.counters["allocations_per_parse"] =
      static_cast<double>(HeapAllocations() - before) / static_cast<double>(state.iterations());
}
BENCHMARK_CAPTURE(BM_FromXap, wire_example, kWireExample);
BENCHMARK_CAPTURE(BM_FromXap, process_control_7_items, kProcessControl);

// A section of `keys` distinct five-byte keys, as a hostile sender writes it: the time per key
// must not grow with the count.
void BM_FromXapManyKeys(benchmark::State& state) {
  CountingReports log;
  std::string text = "xap-header\n{\nv=12\nhop=1\nuid=FF123400\nclass=a.b\nsource=x.y.z\n}\nS\n{\n";
  for (int64_t i = 0; i < state.range(0); ++i) {
    char key[24];
    std::snprintf(key, sizeof key, "%05lld", static_cast<long long>(i));
    text += std::string(key) + "=1\n";
  }
  text += "}\n";
  for (auto _ : state) {
    XapMessage message(log);
    message.FromXap(text);
    benchmark::DoNotOptimize(message);
  }
  state.counters["ns_per_key"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * static_cast<double>(state.range(0)),
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_FromXapManyKeys)->Arg(100)->Arg(8000);

// A parse as the node reads a request: the class, then two items.
void BM_ParseAndRead(benchmark::State& state, const char* text, const char* section,
                     const char* first, const char* second) {
  CountingReports log;
  std::string received(text);
  for (auto _ : state) {
    std::memcpy(received.data(), text, received.size());
    XapMessage message(log);
    message.FromXap(received);
    benchmark::DoNotOptimize(message.CompareClass("Computer.Process"));
    benchmark::DoNotOptimize(message.GetItem(section, first));
    benchmark::DoNotOptimize(message.GetItem(section, second));
  }
}
BENCHMARK_CAPTURE(BM_ParseAndRead, wire_example, kWireExample, "Event.Log", "Type", "Data");
BENCHMARK_CAPTURE(BM_ParseAndRead, process_control_7_items, kProcessControl, "Process.Control",
                  "Action", "Path");

#ifdef VARNIX_XAPLIB2
}  // namespace
extern "C" int Xaplib2Parse(const char* text, int size);
extern "C" const char* Xaplib2Value(const char* section, const char* key);
namespace {

// The same datagram parsed by this node and by xaplib2, in turns within one run: each one's
// time a parse (the copy of the datagram included), and with look-ups of two items, as a
// ratio to xaplib2's.
void BM_AgainstXaplib2(benchmark::State& state, const char* text, const char* section,
                       const char* first, const char* second) {
  using Clock = std::chrono::steady_clock;
  CountingReports log;
  std::string received(text);
  const int size = static_cast<int>(received.size());
  constexpr int kRounds = 20000;
  const bool read = state.range(0) != 0;
  Clock::duration ours{};
  Clock::duration theirs{};
  for (auto _ : state) {
    const auto start = Clock::now();
    for (int i = 0; i < kRounds; ++i) {
      std::memcpy(received.data(), text, received.size());
      XapMessage message(log);
      message.FromXap(received);
      if (read) {
        benchmark::DoNotOptimize(message.GetItem(section, first));
        benchmark::DoNotOptimize(message.GetItem(section, second));
      }
      benchmark::DoNotOptimize(message);
    }
    const auto middle = Clock::now();
    for (int i = 0; i < kRounds; ++i) {
      benchmark::DoNotOptimize(Xaplib2Parse(text, size));
      if (read) {
        benchmark::DoNotOptimize(Xaplib2Value(section, first));
        benchmark::DoNotOptimize(Xaplib2Value(section, second));
      }
    }
    ours += middle - start;
    theirs += Clock::now() - middle;
  }
  const double parses = static_cast<double>(state.iterations()) * kRounds;
  state.counters["varnix_ns"] = std::chrono::duration<double, std::nano>(ours).count() / parses;
  state.counters["xaplib2_ns"] = std::chrono::duration<double, std::nano>(theirs).count() / parses;
  state.counters["ratio"] =
      std::chrono::duration<double>(ours).count() / std::chrono::duration<double>(theirs).count();
}
BENCHMARK_CAPTURE(BM_AgainstXaplib2, wire_example, kWireExample, "Event.Log", "Type", "Data")
    ->Arg(0)
    ->Arg(1);
BENCHMARK_CAPTURE(BM_AgainstXaplib2, process_control_7_items, kProcessControl, "Process.Control",
                  "Action", "Path")
    ->Arg(0)
    ->Arg(1);
#endif

void BM_BuildProcessNotification(benchmark::State& state) {
  CountingReports log;
  const std::string prefix = XapHeaderPrefix("FF000800");
  for (auto _ : state) {
    XapMessage message(log);
    message.msgClass("Computer.Process");
    message.msgSource("qel.Process.OFFICEPC");
    message.msgTarget("");
    message.AddHeader(prefix);
    message.AddSection("Process.Notification");
    message.AddItem("", "Path", "C:\\Program Files\\Notes\\notes.exe");
    message.AddItem("", "Title", "Notes");
    message.AddItem("", "PID", "4242");
    message.AddItem("", "Priority", "HIGH");
    message.AddItem("", "CPU", "12");
    message.AddItem("", "RAM", "73400320");
    message.AddItem("", "Elapsed", "3600");
    benchmark::DoNotOptimize(message.ToXap());
  }
}
BENCHMARK(BM_BuildProcessNotification);

void BM_CompareAddress(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(CompareAddress("qel.*.OFFICEPC:disk", "QEL.Process.officepc:DISK"));
    benchmark::DoNotOptimize(CompareAddress("acme.>", "acme.controller.homeseer"));
  }
  state.SetItemsProcessed(state.iterations() * 2);
}
BENCHMARK(BM_CompareAddress);

}  // namespace
}  // namespace varnix
