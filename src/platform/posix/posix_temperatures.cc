// Temperatures on Linux: the hwmon chips with their labels, then the thermal zones.
#include <dirent.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "platform/posix/posix_machine.h"

namespace varnix {
namespace {

// The first line of a small file of sysfs, "" when it cannot be read.
std::string FirstLine(const std::string& path) {
  std::ifstream file(path);
  std::string line;
  std::getline(file, line);
  return line;
}

// The entries of a folder whose names start with `prefix`, in the order of their numbers.
std::vector<std::string> Entries(const std::string& folder, const std::string& prefix) {
  std::vector<std::string> names;
  if (DIR* dir = ::opendir(folder.c_str())) {
    while (const dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (name.rfind(prefix, 0) == 0) names.push_back(name);
    }
    ::closedir(dir);
  }
  std::sort(names.begin(), names.end(), [&](const std::string& a, const std::string& b) {
    const long x = std::atol(a.c_str() + prefix.size());
    const long y = std::atol(b.c_str() + prefix.size());
    return x != y ? x < y : a < b;
  });
  return names;
}

// Millidegrees as sysfs writes them; nothing for a reading a sensor gave up on.
std::optional<double> Celsius(const std::string& path) {
  const std::string text = FirstLine(path);
  char* end = nullptr;
  const long milli = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0') return std::nullopt;
  const double celsius = static_cast<double>(milli) / 1000.0;
  // No processor or drive runs at these; a sensor that says so is broken, not hot.
  if (celsius <= -60 || celsius >= 200) return std::nullopt;
  return celsius;
}

// Chips and zones that measure the processor itself.
bool MeasuresProcessor(const std::string& chip, const std::string& label) {
  if (chip == "k10temp" || chip == "zenpower") return label == "Tctl" || label == "Tdie";
  if (chip == "coretemp") return label.rfind("Package id", 0) == 0;
  return chip == "cpu_thermal" || chip == "x86_pkg_temp" || chip == "soc_thermal" ||
         chip == "cpu-thermal";
}

}  // namespace

std::vector<Temperature> ReadTemperatures(const std::string& sys) {
  std::vector<Temperature> found;
  const std::string hwmon = sys + "/class/hwmon";
  for (const std::string& chip_folder : Entries(hwmon, "hwmon")) {
    const std::string folder = hwmon + "/" + chip_folder + "/";
    const std::string chip = FirstLine(folder + "name");
    if (chip.empty()) continue;
    for (const std::string& input : Entries(folder, "temp")) {
      const size_t suffix = input.find("_input");
      if (suffix == std::string::npos || suffix + 6 != input.size()) continue;
      const std::optional<double> celsius = Celsius(folder + input);
      if (!celsius) continue;
      std::string label = FirstLine(folder + input.substr(0, suffix) + "_label");
      if (label.empty()) label = input.substr(0, suffix);
      found.push_back({chip + " " + label, *celsius, MeasuresProcessor(chip, label)});
    }
  }
  // Zones that a hwmon chip shows already are shown twice; a name once is enough.
  const std::string thermal = sys + "/class/thermal";
  for (const std::string& zone : Entries(thermal, "thermal_zone")) {
    const std::string folder = thermal + "/" + zone + "/";
    const std::string type = FirstLine(folder + "type");
    const std::optional<double> celsius = Celsius(folder + "temp");
    if (type.empty() || !celsius) continue;
    const bool shown = std::any_of(found.begin(), found.end(), [&](const Temperature& t) {
      return t.name.rfind(type + " ", 0) == 0;
    });
    if (!shown) found.push_back({type, *celsius, MeasuresProcessor(type, "")});
  }
  return found;
}

std::vector<Temperature> PosixMachine::Temperatures() {
  // Elsewhere only for a test, which gives the node folders of its own making.
  const char* const sys = std::getenv("VARNIX_SYSFS");
  return ReadTemperatures(sys != nullptr && *sys != '\0' ? sys : "/sys");
}

}  // namespace varnix
