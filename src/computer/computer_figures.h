// The computer's own figures as a status reply gives them: processor use between two readings.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/machine.h"

namespace varnix {

using StatusItems = std::vector<std::pair<std::string, std::string>>;

// Up to kMostTemperatures of `sensors` as Temperature1=47.5 k10temp Tctl ... (degrees Celsius
// first, the sensor's name after), the hottest processor sensor as CPUTemperature=47.5, and
// Temperatures=none where there is no sensor at all ("none: `why`" where the system's way to
// them failed).
inline constexpr size_t kMostTemperatures = 32;
void AddTemperatures(const std::vector<Temperature>& sensors, StatusItems& items,
                     const std::string& why = "");

// Whether item `name` tells of the people at the computer: who is at it (User, Locked,
// IdleSeconds, Session, Presence), what their own sensors read (Value, Problem), and how they
// answered a notice (Action, and Problem where it could not be shown).
bool IsPersonalItem(std::string_view name);
// `items` of block `section` packed for the LAN: with the access `key`, the personal ones
// sealed for the key's holders, since every message is broadcast.
std::string PackedForTheLan(std::string_view key, std::string_view section, StatusItems items);

class ComputerFigures {
 public:
  // Processor use is measured over at least this long; never by waiting in a request.
  static constexpr std::chrono::milliseconds kShortestMeasure{1000};

  // Takes the first reading: the first answer's use is measured from here.
  explicit ComputerFigures(
      Machine& machine,
      std::function<std::chrono::steady_clock::time_point()> now = std::chrono::steady_clock::now);

  // CPU (whole percent of every processor since the last answer, or the one before when that
  // was too recent), MemoryUsed and MemoryTotal (bytes; used is total less what is available),
  // Booted (Unix seconds), DiskFree (bytes) and MAC, of the interface that has `address`; and
  // the temperatures (AddTemperatures), read at most once in kShortestMeasure: on some systems
  // each read is a query of its own, and status questions may come in a flood.
  // Throws Error when the system gives no figures.
  StatusItems Status(const std::string& address);

 private:
  struct Reading {
    std::chrono::steady_clock::time_point at;
    uint64_t idle = 0;
    uint64_t total = 0;
  };
  Reading Read(const MachineFigures& figures) const;

  Machine& machine_;
  std::function<std::chrono::steady_clock::time_point()> now_;
  Reading earlier_;  // what the next answer measures from: at least kShortestMeasure before it
  Reading last_;
  std::optional<std::chrono::steady_clock::time_point> temperatures_at_;
  std::vector<Temperature> temperatures_;
  std::string no_temperatures_why_;
};

}  // namespace varnix
