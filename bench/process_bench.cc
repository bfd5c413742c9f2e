// Speed of the process look-ups the supervision pass makes: by name, and one statistics read.
#include <benchmark/benchmark.h>

#include <vector>

#include "platform/child_process.h"
#include "platform/platform.h"
#include "supervision/status.h"

namespace varnix {
namespace {

// Some hundreds of processes to look through, the benchmark's own children.
class ManyProcesses {
 public:
  explicit ManyProcesses(int count) {
    for (int i = 0; i < count; ++i) children_.push_back(StartChildProcess("/bin/sleep", {"60"}));
  }

 private:
  std::vector<std::unique_ptr<ChildProcess>> children_;
};

void BM_FindByNameAmongProcesses(benchmark::State& state) {
  ManyProcesses crowd(static_cast<int>(state.range(0)));
  Platform platform = MakePlatform();
  for (auto _ : state) {
    // A name nobody has: the whole table is read.
    benchmark::DoNotOptimize(platform.processes->FindByName("no-such-program"));
  }
}
BENCHMARK(BM_FindByNameAmongProcesses)->Arg(300)->Unit(benchmark::kMicrosecond);

void BM_StatisticsRead(benchmark::State& state) {
  Platform platform = MakePlatform();
  auto child = StartChildProcess("/bin/sleep", {"60"});
  Status record(*platform.processes, PathRules::Posix());
  record.PID(static_cast<int32_t>(child->Pid()));
  for (auto _ : state) {
    benchmark::DoNotOptimize(record.CPU());
    benchmark::DoNotOptimize(record.RAM());
    benchmark::DoNotOptimize(record.Elapsed());
  }
}
BENCHMARK(BM_StatisticsRead)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace varnix
