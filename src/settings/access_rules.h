// Who may ask the node to act, and which programs it may start: the [Access] section of
// settings.ini. Without that section everything is allowed, as xAP itself allows it.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/failure.h"
#include "platform/file_system.h"
#include "platform/path_rules.h"

namespace varnix {

class AccessRules {
 public:
  // Everything allowed.
  AccessRules() = default;

  // Reads `settings_path`, which the node never writes. A rule that cannot be read is logged
  // with the file, the key and the value, and then refuses everything it guards. Without an
  // [Access] section the log says once that any computer may control the node.
  static AccessRules Load(FileSystem& files, EventReport& report, ErrorLog& log,
                          const std::string& settings_path, PathRules paths);

  // From an xAP source address; patterns match as xAP addresses do ("acme.homeseer.*").
  bool AllowsSource(std::string_view source) const;
  // A program to start, by its path, judged with "." and ".." resolved and doubled separators
  // made one (resolve links before asking); patterns take "*" and "?", which stand for part
  // of one name only. A path holding a control character is never allowed.
  bool AllowsProgram(std::string_view path) const;
  bool AllowsComputerControl() const { return computer_control_; }
  // Whether programs' output may be read over the network at all (LogsOverNetwork).
  bool AllowsLogsOverNetwork() const { return logs_over_network_; }
  // Whether requests that act must carry a good signature under `key`.
  bool RequiresSignature() const { return require_signature_; }
  // The key in access.key beside the settings, read whenever the file is there: the node signs
  // what it sends with it. Empty when there is none to use; then no request's signature is good.
  const std::string& key() const { return key_; }

 private:
  // The rules without the key.
  static AccessRules ReadRules(FileSystem& files, EventReport& report, ErrorLog& log,
                               const std::string& settings_path, PathRules paths);

  // Nothing: no such rule, all allowed. An empty list: the rule could not be read, none allowed.
  std::optional<std::vector<std::string>> sources_;
  std::optional<std::vector<std::string>> programs_;
  bool computer_control_ = true;
  bool logs_over_network_ = true;
  bool require_signature_ = false;
  std::string signature_rule_ = "yes";  // RequireSignature as written, named as written
  std::string key_;
  PathRules paths_ = PathRules::Posix();
};

// Whether `text` matches `pattern`, where "*" stands for any run and "?" for one character,
// neither of them a separator; letter case as the path rules say.
bool MatchesWildcard(std::string_view pattern, std::string_view text, PathRules paths);
// The path with "." and empty names dropped and each ".." taking the name before it, by its
// text alone; separators as the path rules write them.
std::string LexicallyNormal(const std::string& path, PathRules paths);

}  // namespace varnix
