// ReadDeclaredSensors: settings.ini's [Sensor NAME] sections, read with the rules of every
// settings file.
#include "settings/declared_sensors.h"

#include <algorithm>

#include "core/steps.h"
#include "core/text.h"
#include "settings/ini_tool.h"

namespace varnix {
namespace {

constexpr char kMissing[] = "\x01";  // no value a user can write
constexpr std::string_view kPrefix = "Sensor ";
const std::vector<std::string_view> kKnownKeys = {"COMMAND", "PARAMETER", "INTERVAL",
                                                  "TIMEOUT", "UNIT",      "KIND"};
// A unit is a few letters ("°C", "rpm", "%"); a name a few words.
constexpr size_t kMostUnitBytes = 16;
constexpr size_t kMostNameBytes = 64;

// A path with a folder in it that does not start at a root ("scripts/fan.sh"); a bare name is
// none: it is found on the PATH.
bool IsRelativePath(std::string_view command, PathRules paths) {
  if (command.find('/') == std::string_view::npos &&
      command.find(paths.separator()) == std::string_view::npos) {
    return false;
  }
  const auto separator = [&](char c) { return c == '/' || c == paths.separator(); };
  if (!paths.has_drives()) return command.front() != '/';
  const bool drive = command.size() >= 3 && command[1] == ':' && separator(command[2]);
  const bool share = command.size() >= 2 && separator(command[0]) && separator(command[1]);
  return !drive && !share;
}

}  // namespace

std::vector<SensorDeclaration> ReadDeclaredSensors(FileSystem& files, EventReport& report,
                                                   ErrorLog& log, const std::string& path,
                                                   PathRules paths) {
  std::vector<SensorDeclaration> sensors;
  if (!files.FileExists(path)) return sensors;
  IniTool ini(files, report, paths);
  if (!Quietly([&] { ini.Load(path); })) {
    log.WriteErrorLog(kLogType, "The settings file " + path + " cannot be read: no sensor is read");
    return sensors;
  }
  for (const std::string& header : ini.HeadersStartingWith(kPrefix)) {
    SensorDeclaration sensor;
    sensor.name = std::string(TrimSpaces(header.substr(kPrefix.size())));
    bool usable = true;
    const auto unusable = [&](const std::string& key, const std::string& value,
                              const std::string& why) {
      log.WriteErrorLog(kLogType, "The setting " + key + "=" + ShownSafely(value) + " in " + path +
                                      ", section [" + ShownSafely(header) + "], " + why +
                                      ": the sensor " + ShownSafely(sensor.name) + " is left out");
      usable = false;
    };
    const auto read = [&](const char* key) { return ini.Read(header, key, kMissing); };
    const auto has = [](const std::string& value) { return value != kMissing; };
    const auto seconds = [&](const char* key, int lowest, int highest, int& into) {
      const std::string value = read(key);
      if (!has(value)) return;
      const std::optional<uint64_t> number = WholeNumber(TrimSpaces(value));
      if (!number || *number < static_cast<uint64_t>(lowest) ||
          *number > static_cast<uint64_t>(highest)) {
        unusable(key, value,
                 "is not a whole number of seconds from " + std::to_string(lowest) + " to " +
                     std::to_string(highest));
      } else {
        into = static_cast<int>(*number);
      }
    };

    if (sensor.name.size() > kMostNameBytes ||
        std::any_of(sensor.name.begin(), sensor.name.end(), IsControlByte)) {
      unusable("[" + header + "]", "", "has a name of over 64 bytes or with a control character");
    }
    const std::string command = read("Command");
    if (!has(command) || TrimSpaces(command).empty()) {
      unusable("Command", has(command) ? command : "", "names no program file");
    } else if (std::any_of(command.begin(), command.end(), IsControlByte)) {
      unusable("Command", command, "holds a control character");
    } else if (IsRelativePath(TrimSpaces(command), paths)) {
      // The node's working folder is not the user's: a service's is the system's own.
      unusable("Command", command,
               "is a relative path: give the whole path, or a bare name to find on the PATH");
    } else {
      sensor.command = std::string(TrimSpaces(command));
    }
    if (const std::string value = read("Parameter"); has(value)) sensor.parameter = value;
    seconds("Interval", 5, 86400, sensor.interval_seconds);
    seconds("Timeout", 1, 600, sensor.timeout_seconds);
    if (const std::string value = read("Unit"); has(value)) {
      sensor.unit = std::string(TrimSpaces(value));
      if (sensor.unit.size() > kMostUnitBytes ||
          std::any_of(sensor.unit.begin(), sensor.unit.end(), IsControlByte)) {
        unusable("Unit", value, "is over 16 bytes or holds a control character");
      }
    }
    if (const std::string value = read("Kind"); has(value)) {
      if (const std::optional<SensorKind> kind = SensorKindFromText(value)) {
        sensor.kind = *kind;
      } else {
        unusable("Kind", value, "is none of number, text, on-off");
      }
    }
    ini.SayUnknownKeys(header, kKnownKeys, log);
    if (sensor.name.empty()) unusable("[" + header + "]", "", "has no name");
    if (!usable) continue;
    if (sensors.size() == UserSensors::kMostSensors) {
      log.WriteErrorLog(kLogType, "The sensor " + ShownSafely(sensor.name) + " in " + path +
                                      " is left out: a computer reads at most " +
                                      std::to_string(UserSensors::kMostSensors) + " sensors");
      continue;
    }
    sensors.push_back(std::move(sensor));
  }
  return sensors;
}

}  // namespace varnix
