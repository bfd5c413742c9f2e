// Sensors of the user's own: commands the computer's settings declare, run one at a time on
// their intervals, each one's first line of output read as the kind of value it declares.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "computer/computer_figures.h"
#include "platform/child_process.h"
#include "platform/event_loop.h"
#include "platform/file_system.h"

namespace varnix {

enum class SensorKind { kNumber, kText, kOnOff };

// "number", "text" or "on-off", in any letter case; nothing for any other text.
std::optional<SensorKind> SensorKindFromText(std::string_view text);
std::string SensorKindText(SensorKind kind);

struct SensorDeclaration {
  std::string name;     // as its section names it: [Sensor Fan] is "Fan"
  std::string command;  // the program file, a bare name as the system runs one
  std::string parameter;
  int interval_seconds = 60;
  int timeout_seconds = 10;
  std::string unit;  // "" for none
  SensorKind kind = SensorKind::kText;

  bool operator==(const SensorDeclaration&) const = default;
};

// A sensor's last reading: a value, or why there is none.
struct SensorReading {
  std::string value;
  std::string problem;  // "" when there is a value

  bool operator==(const SensorReading&) const = default;
};

// What a command that ended with `exit_code` and wrote `output` reads as: its first line,
// spaces trimmed, cut at kMostValueBytes and shown safely; a number as written, on-off as "on"
// or "off" (from on/off, true/false, yes/no, 1/0). Otherwise the problem: "exit 2",
// "printed nothing", "not a number: ...", "not on or off: ...".
inline constexpr size_t kMostValueBytes = 255;
SensorReading ReadingFromOutput(SensorKind kind, std::string_view output, int exit_code);

// A sensor with its reading as the node tells it: Name, Kind, Unit (where it has one), and Value
// or Problem.
StatusItems SensorItems(const SensorDeclaration& sensor, const SensorReading& reading);

class UserSensors {
 public:
  static constexpr size_t kMostSensors = 32;
  // A command that has written this much is ended: its first line is in already.
  static constexpr uint64_t kMostOutputBytes = 64 * 1024;
  // How often a running command is looked at.
  static constexpr int kLookMs = 100;

  using Start = std::function<std::unique_ptr<ChildProcess>(const SensorDeclaration& sensor,
                                                            const std::string& output_file)>;
  using Changed = std::function<void(const SensorDeclaration& sensor, const SensorReading& now)>;

  // Runs each of `sensors` (at most kMostSensors) at once and then every interval, one command
  // at a time, its output in `output_file`; `changed` is told each new reading that differs
  // from the last. With no sensor it sets no timer at all.
  UserSensors(EventLoop& loop, FileSystem& files, std::vector<SensorDeclaration> sensors,
              std::string output_file, Start start, Changed changed);
  ~UserSensors();
  UserSensors(const UserSensors&) = delete;
  UserSensors& operator=(const UserSensors&) = delete;

  // Each sensor with its last reading ("not read yet" before the first), in declared order.
  std::vector<std::pair<SensorDeclaration, SensorReading>> Readings() const;

 private:
  struct Sensor {
    SensorDeclaration declared;
    SensorReading reading{"", "not read yet"};
    int64_t due_ms = 0;
  };
  void Look();
  // Ends the running command's turn with `reading`.
  void Finish(SensorReading reading);
  // Starts the sensor due first, if one is; sets when to look next.
  void StartDue(int64_t now_ms);

  EventLoop& loop_;
  FileSystem& files_;
  std::vector<Sensor> sensors_;
  std::string output_file_;
  Start start_;
  Changed changed_;
  std::unique_ptr<Timer> timer_;
  std::unique_ptr<ChildProcess> running_;
  size_t running_index_ = 0;
  int64_t started_ms_ = 0;
};

}  // namespace varnix
