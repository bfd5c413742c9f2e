// UserSensors: one command at a time, looked at by a timer, never waited for in the loop.
#include "computer/user_sensors.h"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "core/steps.h"
#include "core/text.h"

namespace varnix {
namespace {

bool IsNumber(std::string_view text) {
  double number = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  return !text.empty() && error == std::errc() && end == text.data() + text.size() &&
         std::isfinite(number);
}

}  // namespace

std::optional<SensorKind> SensorKindFromText(std::string_view text) {
  const std::string lower = LowerCase(TrimSpaces(text));
  if (lower == "number") return SensorKind::kNumber;
  if (lower == "text") return SensorKind::kText;
  if (lower == "on-off") return SensorKind::kOnOff;
  return std::nullopt;
}

std::string SensorKindText(SensorKind kind) {
  switch (kind) {
    case SensorKind::kNumber:
      return "number";
    case SensorKind::kOnOff:
      return "on-off";
    case SensorKind::kText:
      break;
  }
  return "text";
}

SensorReading ReadingFromOutput(SensorKind kind, std::string_view output, int exit_code) {
  if (exit_code != 0) return {"", "exit " + std::to_string(exit_code)};
  std::string_view line = output.substr(0, output.find('\n'));
  if (line.ends_with('\r')) line.remove_suffix(1);
  line = CutAtCharacter(TrimSpaces(line), kMostValueBytes);
  const std::string shown = ShownSafely(line);
  if (line.empty() && kind != SensorKind::kText) return {"", "printed nothing"};
  switch (kind) {
    case SensorKind::kNumber:
      if (IsNumber(line)) return {shown, ""};
      return {"", "not a number: " + shown};
    case SensorKind::kOnOff: {
      const std::string lower = LowerCase(line);
      for (const char* on : {"on", "true", "yes", "1"}) {
        if (lower == on) return {"on", ""};
      }
      for (const char* off : {"off", "false", "no", "0"}) {
        if (lower == off) return {"off", ""};
      }
      return {"", "not on or off: " + shown};
    }
    case SensorKind::kText:
      break;
  }
  return {shown, ""};
}

StatusItems SensorItems(const SensorDeclaration& sensor, const SensorReading& reading) {
  StatusItems items{{"Name", sensor.name}, {"Kind", SensorKindText(sensor.kind)}};
  if (!sensor.unit.empty()) items.emplace_back("Unit", sensor.unit);
  if (reading.problem.empty()) {
    items.emplace_back("Value", reading.value);
  } else {
    items.emplace_back("Problem", reading.problem);
  }
  return items;
}

UserSensors::UserSensors(EventLoop& loop, FileSystem& files, std::vector<SensorDeclaration> sensors,
                         std::string output_file, Start start, Changed changed)
    : loop_(loop),
      files_(files),
      output_file_(std::move(output_file)),
      start_(std::move(start)),
      changed_(std::move(changed)) {
  if (sensors.size() > kMostSensors) sensors.resize(kMostSensors);
  for (SensorDeclaration& declared : sensors) sensors_.push_back({std::move(declared)});
  if (sensors_.empty()) return;
  timer_ = loop_.CreateTimer([this] { Look(); });
  // The first readings as soon as the loop runs, one after another.
  timer_->SetInterval(1);
  timer_->SetEnabled(true);
}

UserSensors::~UserSensors() = default;

std::vector<std::pair<SensorDeclaration, SensorReading>> UserSensors::Readings() const {
  std::vector<std::pair<SensorDeclaration, SensorReading>> readings;
  for (const Sensor& sensor : sensors_) readings.emplace_back(sensor.declared, sensor.reading);
  return readings;
}

void UserSensors::Look() {
  const int64_t now = loop_.NowMilliseconds();
  if (running_) {
    const SensorDeclaration& declared = sensors_[running_index_].declared;
    uint64_t written = 0;
    Quietly([&] { written = files_.FileSize(output_file_); });
    std::optional<int> code = running_->WaitForExit(std::chrono::milliseconds(0));
    if (code || written >= kMostOutputBytes) {
      // One that wrote past the bound is ended for it, by the system or here: its first line
      // is in, and the rest would only fill the disk.
      if (written >= kMostOutputBytes) {
        running_->Kill();
        running_->WaitForExit(std::chrono::seconds(1));
        code = 0;
      }
      std::string output;
      Quietly([&] { output = files_.ReadStart(output_file_, 4 * kMostValueBytes); });
      Finish(ReadingFromOutput(declared.kind, output, *code));
    } else if (now - started_ms_ >= int64_t{declared.timeout_seconds} * 1000) {
      running_->Kill();
      running_->WaitForExit(std::chrono::seconds(1));
      Finish({"", "timed out after " + std::to_string(declared.timeout_seconds) + " s"});
    } else {
      return;
    }
  }
  StartDue(now);
}

void UserSensors::Finish(SensorReading reading) {
  running_.reset();
  Sensor& sensor = sensors_[running_index_];
  if (reading == sensor.reading) return;
  sensor.reading = std::move(reading);
  changed_(sensor.declared, sensor.reading);
}

void UserSensors::StartDue(int64_t now_ms) {
  // The one that has waited longest goes first, so that a slow command delays, never starves,
  // the others.
  while (!running_) {
    const auto first =
        std::min_element(sensors_.begin(), sensors_.end(),
                         [](const Sensor& a, const Sensor& b) { return a.due_ms < b.due_ms; });
    if (first->due_ms > now_ms) {
      timer_->SetInterval(static_cast<int>(std::min<int64_t>(first->due_ms - now_ms, 86400000)));
      return;
    }
    running_index_ = static_cast<size_t>(first - sensors_.begin());
    first->due_ms = now_ms + int64_t{first->declared.interval_seconds} * 1000;
    started_ms_ = now_ms;
    std::string problem;
    Steps([&](const Failure& failure) { problem = failure.description; })(
        10, [&] { running_ = start_(first->declared, output_file_); });
    if (!running_) Finish({"", problem.empty() ? "cannot be started" : problem});
  }
  if (timer_->Interval() != kLookMs) timer_->SetInterval(kLookMs);
}

}  // namespace varnix
