// InitXap and its helpers, including the Windows development-tree and network-path rules.
#include "node/init_xap.h"

#include "core/create_folders.h"
#include "core/steps.h"
#include "settings/ini_tool.h"

namespace varnix {
namespace {

constexpr char kSettingsFile[] = "qelXap.ini";

// The file name without its extension, as the program is named on Windows.
std::string Stem(const std::string& file_name) {
  const auto dot = file_name.rfind('.');
  return dot == std::string::npos ? file_name : file_name.substr(0, dot);
}

// "\\server\share\rest" becomes "share:\rest"; a path without a share stays as it is.
std::string LocalFormOfNetworkPath(const std::string& path) {
  const auto p1 = path.find("\\\\");
  if (p1 == std::string::npos) return path;
  const auto p2 = path.find('\\', p1 + 2);
  if (p2 == std::string::npos) return path;
  const auto p3 = path.find('\\', p2 + 1);
  if (p3 == std::string::npos) return path;
  return path.substr(p2 + 1, p3 - p2 - 1) + ":" + path.substr(p3);
}

}  // namespace

std::string GetOSLabel(const std::optional<OSVersion>& version) {
  if (!version) return "Linux";
  if (version->platform_id == 2) {
    if (version->major < 5) return "NT";
    return version->minor != 0 ? "XP" : "W2K";
  }
  if (version->major >= 5) return "ME";
  if (version->major == 4 && version->minor > 0) return "W98";
  return "W95";
}

void XapGlobal::UseWritableDataFolder() {
  if (files_.IsWritableFolder(values_.DataFolder())) return;
  // Installed where the user cannot write (Program Files, /opt): the logs would be lost.
  const std::string user = machine_.UserDataFolder();
  if (user.empty()) return;
  CreateFolders(user + values_.separator + "x", values_.separator, files_, report_);
  if (!files_.IsWritableFolder(user)) return;
  values_.DataPath = user + values_.separator;
  const std::string notice = "The folder " + values_.DataFolder() +
                             " cannot be written; the log files are in " + values_.DataPath;
  log_.WriteErrorLog(kLogType, notice);
  report_.SendErrorEvent(kLogType, notice);
}

std::string XapGlobal::GetMachineName() {
  if (machineNameCache_.empty()) machineNameCache_ = machine_.ComputerName();
  return machineNameCache_;
}

void XapGlobal::InitXap() {
  Steps step([this](const Failure& failure) { log_.WriteErrorLog(kLogType, "InitXap", failure); });
  const char separator = machine_.PathSeparator();
  values_.separator = separator;
  step(10, [&] { values_.ComputerName = GetMachineName(); });
  step(20, [&] { values_.AppPath = machine_.ProgramFolder(); });
  step(30, [&] {
    // A program run from a development tree works in the installed folder instead.
    if (separator == '\\' && UpperCase(values_.AppPath).find("\\VB\\") != std::string::npos) {
      values_.AppPath = std::string(UpperCase(values_.ComputerName) == "QEL6" ? "d:" : "c:") +
                        "\\Program Files\\xap\\Korvane";
    }
  });
  step(40, [&] {
    const std::string file = machine_.ProgramFileName();
    values_.ExePath =
        values_.AppPath + separator + (separator == '\\' ? Stem(file) + ".exe" : file);
  });
  step(60, [&] {
    CreateFolders(values_.ConfigFolder() + "x", separator, files_, report_);
    CreateFolders(values_.DataFolder() + "x", separator, files_, report_);
  });
  step(65, [&] { UseWritableDataFolder(); });
  step(70, [&] {
    if (separator == '\\') values_.ExePath = LocalFormOfNetworkPath(values_.ExePath);
  });
  step(80, [&] {
    hs_ = std::make_unique<SettingsFront>(files_, report_, values_.ConfigFolder(), separator);
  });
  const auto settings = [this]() -> const SettingsFront& {
    if (!hs_) throw Error(errors::kObjectNotSet, errors::kObjectNotSetText);
    return *hs_;
  };
  step(90, [&] {
    values_.InterfaceAddress =
        settings().GetINISetting("Interface", "InterfaceAddress", "Default", kSettingsFile);
  });
  step(100, [&] {
    values_.BroadcastAddress =
        settings().GetINISetting("Interface", "BroadcastAddress", "Default", kSettingsFile);
  });
}

}  // namespace varnix
