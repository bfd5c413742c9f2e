// Start-up configuration: the computer's name, the program's folders, and the xAP interface
// settings.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "core/app_values.h"
#include "core/failure.h"
#include "platform/file_system.h"
#include "platform/machine.h"
#include "settings/settings_front.h"

namespace varnix {

// The label of the running system; "Linux" where the system has no version to look up.
std::string GetOSLabel(const std::optional<OSVersion>& version);

class XapGlobal {
 public:
  // InitXap fills `values`, which the caller owns so that its log can read AppPath.
  XapGlobal(Machine& machine, FileSystem& files, ErrorLog& log, EventReport& report,
            AppValues& values)
      : machine_(machine), files_(files), log_(log), report_(report), values_(values) {}

  // Fills the values, creates the Config and Data folders and the `hs` object. Each failing
  // step is logged and the next one runs.
  void InitXap();
  // The computer's name, asked of the system once.
  std::string GetMachineName();

  // Only null before InitXap.
  const SettingsFront* hs() const { return hs_.get(); }

 private:
  // Keeps the program's Data folder when it can be written, else moves to the user's own and
  // says so once, in the log there and in an event.
  void UseWritableDataFolder();

  Machine& machine_;
  FileSystem& files_;
  ErrorLog& log_;
  EventReport& report_;
  AppValues& values_;
  std::string machineNameCache_;
  std::unique_ptr<SettingsFront> hs_;
};

}  // namespace varnix
