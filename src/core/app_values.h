// The values start-up fixes once and everything else reads: names, folders, xAP interface settings.
#pragma once

#include <string>

#include "platform/path_rules.h"

namespace varnix {

struct AppValues {
  PathRules paths = PathRules::Posix();
  std::string ComputerName;
  std::string AppPath;
  std::string ExePath;
  std::string InterfaceAddress = "Default";
  std::string BroadcastAddress = "Default";
  // Where the data files go: DataFolder(), or the user's own folder when that cannot be written.
  std::string DataPath;

  std::string ConfigFolder() const { return Folder("Config"); }
  std::string DataFolder() const { return Folder("Data"); }
  std::string DataFolderInUse() const { return DataPath.empty() ? DataFolder() : DataPath; }
  std::string LogFile() const { return DataFolderInUse() + "Korvane.txt"; }

 private:
  std::string Folder(const char* name) const {
    return AppPath + paths.separator() + name + paths.separator();
  }
};

}  // namespace varnix
