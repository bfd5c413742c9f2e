// The node's `hs` object: one settings look-up in a file of the configuration folder.
#pragma once

#include <cstdint>
#include <string>

#include "core/failure.h"
#include "platform/file_system.h"
#include "platform/path_rules.h"

namespace varnix {

class SettingsFront {
 public:
  // `config_folder` ends with the path separator.
  SettingsFront(FileSystem& files, EventReport& report, std::string config_folder, PathRules paths)
      : files_(files), report_(report), config_folder_(std::move(config_folder)), paths_(paths) {}

  // The value of `key` in `section` of `file_name` ("settings.ini" when empty), or
  // `default_value` when the file or the key is missing. Never creates the file, never throws.
  std::string GetINISetting(const std::string& section, const std::string& key,
                            const std::string& default_value,
                            const std::string& file_name = "") const;
  // A whole number of settings.ini, read whole: `default_value` when the key is missing, and
  // also when the value is not a whole number from `min` to `max`, which `log` then names with
  // its file, section and key ("1,000" is not read as 1).
  int64_t GetWholeSetting(const std::string& section, const std::string& key, int64_t default_value,
                          int64_t min, int64_t max, ErrorLog& log) const;

 private:
  FileSystem& files_;
  EventReport& report_;
  std::string config_folder_;
  PathRules paths_;
};

}  // namespace varnix
