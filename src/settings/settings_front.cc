// GetINISetting: reads the file afresh on every call.
#include "settings/settings_front.h"

#include "core/steps.h"
#include "settings/ini_tool.h"

namespace varnix {

std::string SettingsFront::GetINISetting(const std::string& section, const std::string& key,
                                         const std::string& default_value,
                                         const std::string& file_name) const {
  std::string result = default_value;
  Steps step(
      [&](const Failure& failure) { report_.SendErrorEvent(kLogType, "GetINISetting", failure); });
  const std::string path = config_folder_ + (file_name.empty() ? "settings.ini" : file_name);
  if (!files_.FileExists(path)) return default_value;
  IniTool ini(files_, report_, paths_);
  step(40, [&] { ini.Load(path); });
  step(50, [&] { result = ini.Read(section, key, default_value); });
  return result;
}

}  // namespace varnix
