// Tests of the status figures: processor use between readings, memory used, the items' form.
#include "computer/computer_figures.h"

#include <gtest/gtest.h>

#include "fakes/fake_machine.h"

namespace varnix {
namespace {

TEST(ComputerFiguresTest, UseIsMeasuredBetweenAnswersAtLeastASecondApart) {
  FakeMachine machine;
  machine.figures = {100, 200, 8000, 3000, 1796000000, 5000, "aa:bb:cc:dd:ee:ff"};
  std::chrono::steady_clock::time_point now{};
  ComputerFigures figures(machine, [&] { return now; });
  const auto answer = [&](int64_t ms, uint64_t idle, uint64_t total) {
    now = std::chrono::steady_clock::time_point{} + std::chrono::milliseconds(ms);
    machine.figures.cpu_idle = idle;
    machine.figures.cpu_total = total;
    return figures.Status("10.0.0.5");
  };
  EXPECT_EQ(answer(2000, 150, 300), (StatusItems{{"CPU", "50"},
                                                 {"MemoryUsed", "5000"},
                                                 {"MemoryTotal", "8000"},
                                                 {"Booted", "1796000000"},
                                                 {"DiskFree", "5000"},
                                                 {"MAC", "aa:bb:cc:dd:ee:ff"},
                                                 {"Temperatures", "none"}}));
  EXPECT_EQ(machine.figures_asked_for, "10.0.0.5");
  // Half a second later: measured from the reading before, 60 busy of 110.
  EXPECT_EQ(answer(2500, 150, 310)[0].second, "55");
  // Idle time counted backwards is none at all; nothing counted is no use.
  EXPECT_EQ(answer(4000, 90, 400)[0].second, "100");
  EXPECT_EQ(answer(6000, 90, 400)[0].second, "0");
  // The sensors, slow to read on some systems, at most once a second however many ask.
  machine.temperatures = {{"acpitz", 40, false}};
  const int reads = machine.temperature_reads;
  for (int ms = 6000; ms < 7000; ms += 10)
    EXPECT_EQ(answer(ms, 90, 400).back().first, "Temperatures");
  EXPECT_EQ(machine.temperature_reads, reads);
  EXPECT_EQ(answer(7000, 90, 400).back().second, "40.0 acpitz");
  EXPECT_EQ(machine.temperature_reads, reads + 1);
}

// Each sensor with its degrees first, in tenths; the hottest of the processor's own as the
// processor's; no more than the bound.
TEST(ComputerFiguresTest, TemperaturesAreGivenByNameWithTheProcessorsHottest) {
  std::vector<Temperature> sensors{{"k10temp Tctl", 47.125, true},
                                   {"nvme Composite", 38.85, false},
                                   {"k10temp Tdie", 51.04, true},
                                   {"acpitz", -0.04, false}};
  StatusItems items;
  AddTemperatures(sensors, items);
  EXPECT_EQ(items, (StatusItems{{"Temperature1", "47.1 k10temp Tctl"},
                                {"Temperature2", "38.9 nvme Composite"},
                                {"Temperature3", "51.0 k10temp Tdie"},
                                {"Temperature4", "0.0 acpitz"},
                                {"CPUTemperature", "51.0"}}));
  sensors.assign(40, {"thermal", -5.5, false});
  items.clear();
  AddTemperatures(sensors, items);
  EXPECT_EQ(items.size(), kMostTemperatures) << "none of the processor: no CPUTemperature";
  EXPECT_EQ(items.back().second, "-5.5 thermal");
}

}  // namespace
}  // namespace varnix
