// InitXap and its helpers, including the Windows development-tree and network-path rules.
#include "node/init_xap.h"

#include <algorithm>

#include "core/create_folders.h"
#include "core/steps.h"
#include "settings/ini_tool.h"

namespace varnix {
namespace {

constexpr char kSettingsFile[] = "qelXap.ini";

}  // namespace

std::string GetOSLabel(const std::optional<OSVersion>& version) {
  if (!version) return "Linux";
  if (version->family == OSVersion::Family::kWindowsNT) {
    if (version->major < 5) return "NT";
    if (version->major == 5) return version->minor != 0 ? "XP" : "W2K";
    if (version->major == 6) {
      static const char* const kSix[] = {"Vista", "W7", "W8", "W81"};
      return kSix[std::min<unsigned long>(version->minor, 3)];
    }
    return "W10";  // and 11, which still calls itself 10.0
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
  CreateFolders(user + values_.paths.separator() + "x", values_.paths, files_, report_);
  if (!files_.IsWritableFolder(user)) return;
  values_.DataPath = user + values_.paths.separator();
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
  const PathRules paths = machine_.Paths();
  values_.paths = paths;
  step(10, [&] { values_.ComputerName = GetMachineName(); });
  step(20, [&] { values_.AppPath = machine_.ProgramFolder(); });
  step(30, [&] {
    // A program run from a development tree works in the installed folder instead.
    if (paths.has_drives() && UpperCase(values_.AppPath).find("\\VB\\") != std::string::npos) {
      values_.AppPath = std::string(UpperCase(values_.ComputerName) == "QEL6" ? "d:" : "c:") +
                        "\\Program Files\\xap\\Korvane";
    }
  });
  step(40, [&] {
    const std::string file = machine_.ProgramFileName();
    values_.ExePath = values_.AppPath + paths.separator() + paths.ProgramFileName(file);
  });
  step(60, [&] {
    CreateFolders(values_.ConfigFolder() + "x", paths, files_, report_);
    CreateFolders(values_.DataFolder() + "x", paths, files_, report_);
  });
  step(65, [&] { UseWritableDataFolder(); });
  step(70, [&] { values_.ExePath = paths.LocalFormOfNetworkPath(values_.ExePath); });
  step(80, [&] {
    hs_ = std::make_unique<SettingsFront>(files_, report_, values_.ConfigFolder(), paths);
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
