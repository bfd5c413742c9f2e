// AccessRules: the [Access] section read once at start-up, and the checks made against it.
#include "settings/access_rules.h"

#include <algorithm>

#include "core/steps.h"
#include "core/text.h"
#include "settings/ini_tool.h"
#include "xap/message_signature.h"
#include "xap/xap_message.h"

namespace varnix {
namespace {

constexpr char kSection[] = "Access";
constexpr char kMissing[] = "\x01";  // no value a user can write

// The entries of a ";"-separated list, trimmed; nothing when one of them is unusable.
std::optional<std::vector<std::string>> ListOf(const std::string& value, bool address) {
  std::vector<std::string> entries;
  for (const std::string& part : Split(value, ';')) {
    const std::string_view entry = TrimSpaces(part);
    if (entry.empty()) continue;
    const bool usable = std::all_of(entry.begin(), entry.end(), [&](char c) {
      const auto byte = static_cast<unsigned char>(c);
      if (byte < 32 || byte == 127) return false;
      // An xAP address is one word: vendor.device.instance, with * and > as wildcards.
      return !address || (c != ' ' && c != '=' && c != '{' && c != '}');
    });
    if (!usable) return std::nullopt;
    entries.emplace_back(entry);
  }
  if (entries.empty()) return std::nullopt;
  return entries;
}

std::optional<bool> YesOrNo(const std::string& value) {
  const std::string word = LowerCase(TrimSpaces(value));
  if (word == "yes" || word == "true" || word == "1") return true;
  if (word == "no" || word == "false" || word == "0") return false;
  return std::nullopt;
}

}  // namespace

bool IsSeparator(char c, PathRules paths) {
  return c == paths.separator() || (paths.has_drives() && c == '/');
}

std::string LexicallyNormal(const std::string& path, PathRules paths) {
  const char separator = paths.separator();
  std::string root;
  size_t rest = 0;
  if (const std::optional<std::string> found = paths.Root(path)) {
    root = *found;
    rest = root.size();
  }
  const bool absolute = (rest < path.size() && IsSeparator(path[rest], paths)) ||
                        (!paths.has_drives() && paths.Root(path).has_value());
  std::vector<std::string_view> names;
  const std::string_view text(path);
  for (size_t at = rest; at <= text.size();) {
    size_t end = at;
    while (end < text.size() && !IsSeparator(text[end], paths)) ++end;
    const std::string_view name = text.substr(at, end - at);
    if (name == "..") {
      if (!names.empty() && names.back() != "..") {
        names.pop_back();
      } else if (!absolute) {
        names.push_back(name);  // above a relative path's start: kept, as the system reads it
      }
    } else if (!name.empty() && name != ".") {
      names.push_back(name);
    }
    at = end + 1;
  }
  std::string normal = root;
  if (absolute) normal += separator;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) normal += separator;
    normal.append(names[i]);
  }
  return normal;
}

bool MatchesWildcard(std::string_view pattern, std::string_view text, PathRules paths) {
  const bool case_blind = paths.names_ignore_case();
  const auto same = [&](char a, char b) {
    if (IsSeparator(a, paths) && IsSeparator(b, paths)) return true;
    return case_blind ? LowerAscii(a) == LowerAscii(b) : a == b;
  };
  // Greedy with one point to return to: the last "*" seen and where its run would end. A
  // wildcard stands for part of one name, never a separator: "/opt/allowed/*" reaches into no
  // other folder.
  size_t p = 0;
  size_t t = 0;
  size_t star = std::string_view::npos;
  size_t resume = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = t;
    } else if (p < pattern.size() &&
               (pattern[p] == '?' ? !IsSeparator(text[t], paths) : same(pattern[p], text[t]))) {
      ++p;
      ++t;
    } else if (star != std::string_view::npos && !IsSeparator(text[resume], paths)) {
      p = star + 1;
      t = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

AccessRules AccessRules::Load(FileSystem& files, EventReport& report, ErrorLog& log,
                              const std::string& settings_path, PathRules paths) {
  AccessRules rules = ReadRules(files, report, log, settings_path, paths);
  const std::string key_path =
      settings_path.substr(0, settings_path.find_last_of("/\\") + 1) + "access.key";
  if (rules.require_signature_ || files.FileExists(key_path)) {
    const LoadedKey loaded = LoadAccessKey(files, key_path);
    if (!loaded.key) {
      log.WriteErrorLog(kLogType, rules.require_signature_
                                      ? "RequireSignature=" + rules.signature_rule_ + ", but " +
                                            loaded.problem +
                                            ": every request that needs a signature is refused"
                                      : loaded.problem + ": what this node sends is not signed");
    }
    rules.key_ = loaded.key.value_or("");
  }
  // xAP is broadcast: an answer addressed to one asker reaches every host of the LAN, and only
  // the key seals it.
  if (rules.logs_over_network_ && rules.key_.empty()) {
    log.WriteErrorLog(kLogType,
                      "Programs' output is answered over the network to those the rules let in, "
                      "and any host on the LAN can read the answer: put the access key in " +
                          key_path +
                          " (varnixctl keygen) to seal it, or set LogsOverNetwork=no "
                          "in " +
                          settings_path + ", section [" + kSection +
                          "], to keep it on this computer");
  }
  return rules;
}

AccessRules AccessRules::ReadRules(FileSystem& files, EventReport& report, ErrorLog& log,
                                   const std::string& settings_path, PathRules paths) {
  AccessRules rules;
  rules.paths_ = paths;
  const auto refuse_all = [&](const std::string& why) {
    log.WriteErrorLog(kLogType, why + "; every request that needs access is refused");
    rules.sources_ = std::vector<std::string>{};
    rules.programs_ = std::vector<std::string>{};
    rules.computer_control_ = false;
    rules.logs_over_network_ = false;
    rules.require_signature_ = true;
    return rules;
  };
  // Said at every start while requests go unchecked; the key beside the settings file.
  const std::string unsigned_notice =
      "Requests are not authenticated: anyone who can send to this node can forge them. "
      "Set RequireSignature=yes in " +
      settings_path + ", section [" + kSection + "], with a key from varnixctl keygen";
  const std::string open_notice =
      "Any computer on the network may control this node: restrict it in " + settings_path +
      ", section [" + kSection + "]";
  if (!files.FileExists(settings_path)) {
    log.WriteErrorLog(kLogType, open_notice);
    log.WriteErrorLog(kLogType, unsigned_notice);
    return rules;
  }
  IniTool ini(files, report, paths);
  if (!Quietly([&] { ini.Load(settings_path); })) {
    return refuse_all("The settings file " + settings_path + " cannot be read");
  }
  const std::vector<std::string> headers = ini.Headers();
  if (std::none_of(headers.begin(), headers.end(),
                   [](const std::string& h) { return EqualsIgnoringCase(h, kSection); })) {
    log.WriteErrorLog(kLogType, open_notice);
    log.WriteErrorLog(kLogType, unsigned_notice);
    return rules;
  }
  const auto unusable = [&](const char* key, const std::string& value) {
    log.WriteErrorLog(kLogType, "The access rule " + std::string(key) + "=" + value + " in " +
                                    settings_path + " cannot be used; all it guards is refused");
  };
  const auto read_list = [&](const char* key, bool address,
                             std::optional<std::vector<std::string>>& list) {
    const std::string value = ini.Read(kSection, key, kMissing);
    if (value == kMissing) return;
    list = ListOf(value, address);
    if (list) return;
    unusable(key, value);
    list = std::vector<std::string>{};
  };
  read_list("AllowSources", true, rules.sources_);
  read_list("AllowPrograms", false, rules.programs_);
  if (const std::string value = ini.Read(kSection, "AllowComputerControl", kMissing);
      value != kMissing) {
    const std::optional<bool> allowed = YesOrNo(value);
    if (!allowed) unusable("AllowComputerControl", value);
    rules.computer_control_ = allowed.value_or(false);
  }
  if (const std::string value = ini.Read(kSection, "LogsOverNetwork", kMissing);
      value != kMissing) {
    const std::optional<bool> allowed = YesOrNo(value);
    if (!allowed) unusable("LogsOverNetwork", value);
    rules.logs_over_network_ = allowed.value_or(false);
  }
  if (const std::string value = ini.Read(kSection, "RequireSignature", kMissing);
      value != kMissing) {
    const std::optional<bool> required = YesOrNo(value);
    if (!required) unusable("RequireSignature", value);
    rules.require_signature_ = required.value_or(true);
    rules.signature_rule_ = value;
  }
  if (!rules.require_signature_) log.WriteErrorLog(kLogType, unsigned_notice);
  return rules;
}

bool AccessRules::AllowsSource(std::string_view source) const {
  if (!sources_) return true;
  return std::any_of(sources_->begin(), sources_->end(),
                     [&](const std::string& pattern) { return CompareAddress(pattern, source); });
}

bool AccessRules::AllowsProgram(std::string_view path) const {
  if (!programs_) return true;
  if (std::any_of(path.begin(), path.end(), IsControlByte)) return false;
  // Judged as the system will read it: "/opt/allowed/../outside" is "/outside".
  const std::string normal = LexicallyNormal(std::string(path), paths_);
  return std::any_of(programs_->begin(), programs_->end(), [&](const std::string& pattern) {
    return MatchesWildcard(pattern, normal, paths_);
  });
}

}  // namespace varnix
