// ComputerFigures: each status answer measures processor use from the reading before it.
#include "computer/computer_figures.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <optional>

#include "platform/error.h"
#include "xap/packed_items.h"
#include "xap/sealed_items.h"

namespace varnix {

ComputerFigures::ComputerFigures(Machine& machine,
                                 std::function<std::chrono::steady_clock::time_point()> now)
    : machine_(machine), now_(std::move(now)) {
  try {
    last_ = Read(machine_.Figures(""));
  } catch (const std::exception&) {
    last_ = Reading{now_()};  // the first answer then has nothing to measure from
  }
  earlier_ = last_;
}

ComputerFigures::Reading ComputerFigures::Read(const MachineFigures& figures) const {
  return Reading{now_(), figures.cpu_idle, figures.cpu_total};
}

void AddTemperatures(const std::vector<Temperature>& sensors, StatusItems& items,
                     const std::string& why) {
  if (sensors.empty()) {
    items.emplace_back("Temperatures", why.empty() ? "none" : "none: " + why);
    return;
  }
  // Tenths of a degree: what the sensors resolve, and no float's noise.
  const auto degrees = [](double celsius) {
    const long tenths = std::lround(celsius * 10);
    return (tenths < 0 ? "-" : "") + std::to_string(std::labs(tenths) / 10) + "." +
           std::to_string(std::labs(tenths) % 10);
  };
  std::optional<double> processor;
  for (size_t i = 0; i < sensors.size() && i < kMostTemperatures; ++i) {
    const Temperature& sensor = sensors[i];
    items.emplace_back("Temperature" + std::to_string(i + 1),
                       degrees(sensor.celsius) + " " + sensor.name);
    if (sensor.processor && (!processor || sensor.celsius > *processor)) {
      processor = sensor.celsius;
    }
  }
  if (processor) items.emplace_back("CPUTemperature", degrees(*processor));
}

bool IsPersonalItem(std::string_view name) {
  // A notice's answer is the person's too.
  static constexpr std::string_view kPersonal[] = {"User",     "Locked", "IdleSeconds", "Session",
                                                   "Presence", "Value",  "Problem",     "Action"};
  return std::find(std::begin(kPersonal), std::end(kPersonal), name) != std::end(kPersonal);
}

std::string PackedForTheLan(std::string_view key, std::string_view section, StatusItems items) {
  std::string packed;
  for (const auto& [name, value] : SealPrivate(key, section, std::move(items), IsPersonalItem)) {
    AppendItem(packed, name, value);
  }
  return packed;
}

StatusItems ComputerFigures::Status(const std::string& address) {
  const MachineFigures figures = machine_.Figures(address);
  const Reading now = Read(figures);
  // Answers close together measure from the reading before: a few clock ticks say nothing.
  if (now.at - last_.at >= kShortestMeasure) {
    earlier_ = last_;
    last_ = now;
  }
  const Reading& from = earlier_;
  uint64_t percent = 0;
  if (now.total > from.total) {
    const uint64_t whole = now.total - from.total;
    // Idle time that a kernel counts backwards (iowait may) is no use at all.
    const uint64_t idle = std::min(now.idle >= from.idle ? now.idle - from.idle : 0, whole);
    percent = ((whole - idle) * 100 + whole / 2) / whole;
  }
  const uint64_t used = figures.memory_total > figures.memory_available
                            ? figures.memory_total - figures.memory_available
                            : 0;
  StatusItems items{{"CPU", std::to_string(percent)},
                    {"MemoryUsed", std::to_string(used)},
                    {"MemoryTotal", std::to_string(figures.memory_total)},
                    {"Booted", std::to_string(figures.booted)},
                    {"DiskFree", std::to_string(figures.disk_free)},
                    {"MAC", figures.mac}};
  if (!temperatures_at_ || now.at - *temperatures_at_ >= kShortestMeasure) {
    temperatures_at_ = now.at;
    temperatures_.clear();
    no_temperatures_why_.clear();
    try {
      temperatures_ = machine_.Temperatures();
    } catch (const Error& e) {
      no_temperatures_why_ = e.description();
    }
  }
  AddTemperatures(temperatures_, items, no_temperatures_why_);
  return items;
}

}  // namespace varnix
