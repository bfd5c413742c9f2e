// GetINISetting: reads the file afresh on every call.
#include "settings/settings_front.h"

#include <charconv>

#include "core/steps.h"
#include "core/text.h"
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

int64_t SettingsFront::GetWholeSetting(const std::string& section, const std::string& key,
                                       int64_t default_value, int64_t min, int64_t max,
                                       ErrorLog& log) const {
  constexpr std::string_view kMissing = "\x01missing";
  const std::string value = GetINISetting(section, key, std::string(kMissing));
  if (value == kMissing) return default_value;
  const std::string_view text = TrimSpaces(value);
  int64_t number = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (error == std::errc() && end == text.data() + text.size() && number >= min && number <= max) {
    return number;
  }
  log.WriteErrorLog(kLogType, "The setting " + key + "=" + value + " in " + config_folder_ +
                                  "settings.ini, section [" + section +
                                  "], is not a whole number from " + std::to_string(min) + " to " +
                                  std::to_string(max) + ": " + std::to_string(default_value) +
                                  " is used");
  return default_value;
}

}  // namespace varnix
