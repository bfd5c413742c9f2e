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
  // Where the data files go: DataFolder(), or the user's own folder when that cannot be written.
  std::string DataPath;

  std::string ConfigFolder() const { return AppPath + separator + "Config" + separator; }
  std::string DataFolder() const { return AppPath + separator + "Data" + separator; }
  std::string DataFolderInUse() const { return DataPath.empty() ? DataFolder() : DataPath; }
  std::string LogFile() const { return DataFolderInUse() + "Korvane.txt"; }
};

}  // namespace varnix
