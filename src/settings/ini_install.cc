// IniTool's install operations: INI values written into the declarations of source files.
#include <regex>
#include <string>
#include <vector>

#include "platform/error.h"
#include "settings/ini_tool.h"

namespace varnix {
namespace {

constexpr char kLogHeading[] =
    "Run Date   /   Ini File   /   Date of Ini File    /   File Modified    /  Header Modified";

// The pattern for `name`, which goes in as pattern text; an invalid one is refused plainly.
// Names come from hand-edited INI files: one that repeats or groups ("(a*)*b") could make the
// search take exponential time, and no source name needs those characters.
std::regex Pattern(const std::string& text, const std::string& name) {
  if (name.find_first_of("*+?{}()[]|\\") != std::string::npos) {
    throw Error(errors::kInvalidCall, "The name \"" + name +
                                          "\" makes an invalid search pattern: a name may not "
                                          "repeat or group (* + ? { } ( ) [ ] | \\)");
  }
  try {
    return std::regex(text, std::regex::ECMAScript | std::regex::icase);
  } catch (const std::regex_error& e) {
    throw Error(errors::kInvalidCall,
                "The name \"" + name + "\" makes an invalid search pattern: " + e.what());
  }
}

// Each match keeps the text up to its end, or up to `cut_at(match)` when given, then gets
// `value`; the rest of its line is dropped and the line end kept. Matches are found in the
// text as it stands, and each is rewritten at its own place.
template <typename CutAt>
std::string ReplaceLines(const std::string& text, const std::regex& pattern,
                         const std::string& value, CutAt cut_at) {
  std::string out;
  size_t copied = 0;
  for (auto it = std::sregex_iterator(text.begin(), text.end(), pattern);
       it != std::sregex_iterator(); ++it) {
    const size_t start = static_cast<size_t>(it->position());
    if (start < copied) continue;  // inside a line already rewritten
    const size_t keep = cut_at(*it);
    size_t line_end = text.find("\r\n", keep);
    if (line_end == std::string::npos) line_end = text.size();
    out.append(text, copied, keep - copied);
    out.append(value);
    copied = line_end;
  }
  out.append(text, copied, std::string::npos);
  return out;
}

std::string ReplaceLines(const std::string& text, const std::regex& pattern,
                         const std::string& value) {
  return ReplaceLines(text, pattern, value, [](const std::smatch& m) {
    return static_cast<size_t>(m.position() + m.length());
  });
}

}  // namespace

std::string IniTool::WriteInstallLog(const std::string& filename, const std::string& name) {
  if (machine_ == nullptr)
    throw Error(errors::kObjectNotSet, "IniTool has no machine to read dates from");
  if (path_.empty()) throw Error(errors::kFileNotFound, "No INI file loaded");
  const std::string ini_date = machine_->DateText(files_.LastModified(path_));
  const auto dot = path_.find('.');
  if (dot != std::string::npos) {
    const std::string log = path_.substr(0, dot) + "_IniLog.txt";
    std::string content =
        files_.FileExists(log) ? files_.ReadAll(log) : std::string(kLogHeading) + "\r\n";
    content += machine_->GeneralDateText() + "\t" + path_ + "\t" + ini_date + "\t" + filename +
               "\t" + name + "\r\n";
    files_.WriteAll(log, content);
  }
  return "\t'Installed From .ini dated " + ini_date;
}

void IniTool::InstallKeys(const std::string& filename, const std::string& HeaderName) {
  std::string text = files_.ReadAll(filename);
  if (text.empty()) throw Error(errors::kInputPastEnd, "Input past end of file: " + filename);
  struct Step {
    std::string value;
    std::regex constant;
    std::regex assignment;
  };
  std::vector<Step> steps;
  for (const std::string& name : Keys(HeaderName)) {
    if (name.empty()) continue;
    steps.push_back({Read(HeaderName, name, ""), Pattern("(Const) *(" + name + ") *(=)", name),
                     Pattern("\\n\\s*(" + name + ") *(=)", name)});
  }
  const std::string stamp = WriteInstallLog(filename, HeaderName);
  for (const Step& step : steps) {
    text = ReplaceLines(text, step.constant, " " + step.value + stamp);
    text = ReplaceLines(text, step.assignment, " " + step.value + stamp);
  }
  files_.WriteAll(filename, text);
}

void IniTool::InstallConstant(const std::string& filename, const std::string& KeyName,
                              const std::string& KeyValue) {
  std::string text = files_.ReadAll(filename);
  if (text.empty()) throw Error(errors::kInputPastEnd, "Input past end of file: " + filename);
  std::vector<std::regex> patterns;
  if (!KeyName.empty()) {
    patterns.push_back(Pattern("(Const) *(" + KeyName + ") *(=)", KeyName));
    patterns.push_back(Pattern("\\n\\s*(" + KeyName + ") *(=)", KeyName));
  }
  const std::string stamp = WriteInstallLog(filename, KeyName);
  for (const std::regex& pattern : patterns) {
    text = ReplaceLines(text, pattern, " " + KeyValue + stamp);
  }
  files_.WriteAll(filename, text);
}

void IniTool::InstallStrings(const std::string& filename, const std::string& HeaderName) {
  std::string text = files_.ReadAll(filename);
  if (text.empty()) throw Error(errors::kInputPastEnd, "Input past end of file: " + filename);
  std::vector<std::pair<std::string, std::regex>> steps;
  for (const std::string& name : Keys(HeaderName)) {
    if (!name.empty()) steps.emplace_back(name, Pattern("\\n\\s*(" + name + ")", name));
  }
  WriteInstallLog(filename, HeaderName);  // no stamp here: the value is the whole rest
  for (const auto& step : steps) {
    const std::string& name = step.first;
    const std::regex& pattern = step.second;
    const std::string value = Read(HeaderName, name, "");
    // Once per name, not per match: the text may be long and hold many matches.
    const std::string upper_text = UpperCase(text);
    const std::string upper_name = UpperCase(name);
    text = ReplaceLines(text, pattern, value, [&](const std::smatch& m) {
      // Where the name itself ends, found as written, letter case ignored.
      const auto at = upper_text.find(upper_name, static_cast<size_t>(m.position()));
      return at == std::string::npos ? static_cast<size_t>(m.position() + m.length())
                                     : at + name.size();
    });
  }
  files_.WriteAll(filename, text);
}

void IniTool::InstallArray(const std::string& filename, const std::string& HeaderName,
                           const std::string& Array1Name, const std::string& Array2Name) {
  std::string text = files_.ReadAll(filename);
  if (text.empty()) throw Error(errors::kInputPastEnd, "Input past end of file: " + filename);
  std::string names;
  std::string values;
  const std::vector<std::string> keys = Keys(HeaderName);
  for (size_t i = 0; i < keys.size(); ++i) {
    std::string value = std::string(TrimSpaces(Read(HeaderName, keys[i], "")));
    // A "'" starts a comment in the target's language.
    if (const auto quote = value.find('\''); quote != std::string::npos) {
      value = std::string(TrimSpaces(value.substr(0, quote)));
    }
    const char* comma = i == 0 ? "" : ",";
    names += comma + ("\"" + keys[i] + "\"");
    values += comma + value;
  }
  const std::regex first = Pattern("(" + Array1Name + ") *(=) *(Array)", Array1Name);
  const std::regex second = Pattern("(" + Array2Name + ") *= *Array", Array2Name);
  const std::string stamp = WriteInstallLog(filename, HeaderName);
  text = ReplaceLines(text, first, "(" + names + ")" + stamp);
  text = ReplaceLines(text, second, "(" + values + ")" + stamp);
  files_.WriteAll(filename, text);
}

}  // namespace varnix
