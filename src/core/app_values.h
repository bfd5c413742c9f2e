// The values start-up fixes once and everything else reads: names, folders, xAP interface settings.
#pragma once

#include <string>

namespace varnix {

struct AppValues {
  char separator = '/';
  std::string ComputerName;
  std::string AppPath;
  std::string ExePath;
  std::string InterfaceAddress = "Default";
  std::string BroadcastAddress = "Default";

  std::string ConfigFolder() const { return AppPath + separator + "Config" + separator; }
  std::string DataFolder() const { return AppPath + separator + "Data" + separator; }
  std::string LogFile() const { return DataFolder() + "Korvane.txt"; }
};

}  // namespace varnix
