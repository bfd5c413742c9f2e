// The node's `hs` object: one settings look-up in a file of the configuration folder.
#pragma once

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

 private:
  FileSystem& files_;
  EventReport& report_;
  std::string config_folder_;
  PathRules paths_;
};

}  // namespace varnix
