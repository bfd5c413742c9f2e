// The sensors of Linux, read from a /sys of the test's own making.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/posix/posix_machine.h"
#include "temp_folder.h"

namespace varnix {
namespace {

TEST(TemperaturesTest, ChipsByTheirLabelsThenZonesNoChipShows) {
  TempFolder sys;
  const auto write = [&](const std::string& path, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(sys.path(path)).parent_path());
    std::ofstream(sys.path(path)) << text << "\n";
  };
  write("class/hwmon/hwmon10/name", "nvme");
  write("class/hwmon/hwmon10/temp1_input", "38850");
  write("class/hwmon/hwmon10/temp1_label", "Composite");
  write("class/hwmon/hwmon10/temp2_input", "-273150");  // a sensor that gave up
  write("class/hwmon/hwmon2/name", "k10temp");
  write("class/hwmon/hwmon2/temp1_input", "47125");
  write("class/hwmon/hwmon2/temp1_label", "Tctl");
  write("class/hwmon/hwmon2/temp3_input", "41000");
  write("class/hwmon/hwmon2/temp3_label", "Tccd1");
  write("class/hwmon/hwmon3/name", "coretemp");
  write("class/hwmon/hwmon3/temp1_input", "52000");
  write("class/hwmon/hwmon3/temp1_label", "Package id 0");
  write("class/hwmon/hwmon3/temp2_input", "50000");  // no label: named by its file
  write("class/thermal/thermal_zone0/type", "acpitz");
  write("class/thermal/thermal_zone0/temp", "30000");
  write("class/thermal/thermal_zone1/type", "nvme");  // a chip shows it already
  write("class/thermal/thermal_zone1/temp", "38850");
  write("class/thermal/thermal_zone2/type", "x86_pkg_temp");
  write("class/thermal/thermal_zone2/temp", "53000");
  std::string seen;
  for (const Temperature& t : ReadTemperatures(sys.path(""))) {
    seen += t.name + "=" + std::to_string(static_cast<int>(t.celsius * 1000)) +
            (t.processor ? " cpu" : "") + "\n";
  }
  EXPECT_EQ(seen,
            "k10temp Tctl=47125 cpu\nk10temp Tccd1=41000\ncoretemp Package id 0=52000 cpu\n"
            "coretemp temp2=50000\nnvme Composite=38850\nacpitz=30000\nx86_pkg_temp=53000 cpu\n");
  EXPECT_TRUE(ReadTemperatures(sys.path("none")).empty());
}

}  // namespace
}  // namespace varnix
