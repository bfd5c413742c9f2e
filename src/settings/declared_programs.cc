// ReadDeclaredPrograms and BootOrder: programs.ini read with the rules of every settings file.
#include "settings/declared_programs.h"

#include <algorithm>
#include <charconv>
#include <map>

#include "core/steps.h"
#include "core/text.h"
#include "core/wire_text.h"
#include "settings/access_rules.h"
#include "settings/ini_tool.h"

namespace varnix {
namespace {

constexpr char kMissing[] = "\x01";  // no value a user can write
constexpr std::string_view kPrefix = "Program ";
const std::vector<std::string_view> kKnownKeys = {
    "PATH",       "PARAMETER",   "FOLDER",    "PRIORITY",     "WINDOW",          "RESTART",
    "START",      "LOG",         "AFTER",     "ENVIRONMENT",  "ENVIRONMENTFILE", "USER",
    "STOPSIGNAL", "STOPSECONDS", "EXITCODES", "STARTSECONDS", "GIVEUPAFTER",     "GROUP"};

bool IsVariableName(std::string_view name) {
  if (name.empty() || (name.front() >= '0' && name.front() <= '9')) return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
  });
}

// NAME=value, the value's enclosing double quotes taken off; nothing for anything else.
std::optional<std::string> VariableEntry(std::string_view entry) {
  entry = TrimSpaces(entry);
  const size_t equals = entry.find('=');
  if (equals == std::string_view::npos || !IsVariableName(entry.substr(0, equals))) {
    return std::nullopt;
  }
  std::string_view value = entry.substr(equals + 1);
  if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
    value = value.substr(1, value.size() - 2);
  }
  return std::string(entry.substr(0, equals + 1)) + std::string(value);
}

// Sets NAME=value in `environment`, in place of an earlier value of that name.
void SetVariable(std::vector<std::string>& environment, const std::string& entry) {
  const std::string_view name = std::string_view(entry).substr(0, entry.find('=') + 1);
  for (std::string& set : environment) {
    if (set.starts_with(name)) {
      set = entry;
      return;
    }
  }
  environment.push_back(entry);
}

// A whole number from `lowest` to `highest`, spaces around it allowed.
std::optional<int> NumberFrom(std::string_view text, int lowest, int highest) {
  text = TrimSpaces(text);
  int number = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || number < lowest ||
      number > highest) {
    return std::nullopt;
  }
  return number;
}

}  // namespace

std::optional<EndSignal> EndSignalFromText(std::string_view text) {
  std::string upper = UpperCase(TrimSpaces(text));
  if (upper.starts_with("SIG")) upper.erase(0, 3);
  static const std::pair<const char*, EndSignal> kSignals[] = {
      {"TERM", EndSignal::kTerminate}, {"INT", EndSignal::kInterrupt}, {"HUP", EndSignal::kHangUp},
      {"QUIT", EndSignal::kQuit},      {"USR1", EndSignal::kUser1},    {"USR2", EndSignal::kUser2}};
  for (const auto& [name, signal] : kSignals) {
    if (upper == name) return signal;
  }
  return std::nullopt;
}

std::optional<std::vector<std::string>> EnvironmentFromText(std::string_view text) {
  std::vector<std::string> entries;
  std::string entry;
  bool quoted = false;
  const auto close = [&] {
    if (TrimSpaces(entry).empty()) return true;
    const std::optional<std::string> variable = VariableEntry(entry);
    if (!variable) return false;
    entries.push_back(*variable);
    entry.clear();
    return true;
  };
  for (const char c : text) {
    if (c == '"') quoted = !quoted;
    if (c == ';' && !quoted) {
      if (!close()) return std::nullopt;
      entry.clear();
    } else {
      entry += c;
    }
  }
  if (quoted || !close()) return std::nullopt;
  return entries;
}

std::optional<RestartPolicy> RestartPolicyFromText(std::string_view text) {
  const std::string lower = LowerCase(TrimSpaces(text));
  if (lower == "no") return RestartPolicy::kNo;
  if (lower == "on-failure") return RestartPolicy::kOnFailure;
  if (lower == "always") return RestartPolicy::kAlways;
  return std::nullopt;
}

std::string RestartPolicyText(RestartPolicy policy) {
  switch (policy) {
    case RestartPolicy::kOnFailure:
      return "on-failure";
    case RestartPolicy::kAlways:
      return "always";
    case RestartPolicy::kNo:
      break;
  }
  return "no";
}

std::vector<DeclaredProgram> ReadDeclaredPrograms(FileSystem& files, EventReport& report,
                                                  ErrorLog& log, const std::string& path,
                                                  PathRules paths,
                                                  std::vector<std::string>* problems) {
  std::vector<DeclaredProgram> programs;
  if (!files.FileExists(path)) return programs;
  IniTool ini(files, report, paths);
  if (!Quietly([&] { ini.Load(path); })) {
    const std::string problem = "The program file " + path + " cannot be read";
    log.WriteErrorLog(kLogType, problem + ": no program in it is started or kept");
    if (problems != nullptr) problems->push_back(problem);
    return programs;
  }
  for (const std::string& header : ini.HeadersStartingWith(kPrefix)) {
    DeclaredProgram program;
    program.name = std::string(TrimSpaces(header.substr(kPrefix.size())));
    bool usable = true;
    const auto unusable = [&](const std::string& key, const std::string& value,
                              const std::string& why) {
      const std::string problem =
          "The setting " + key + "=" + value + " in " + path + ", section [" + header + "], " + why;
      log.WriteErrorLog(kLogType, problem + ": the program " + program.name + " is left out");
      if (problems != nullptr && usable) problems->push_back(problem);
      usable = false;
    };
    const auto read = [&](const char* key) { return ini.Read(header, key, kMissing); };
    const auto has = [](const std::string& value) { return value != kMissing; };

    const std::string file = read("Path");
    if (!has(file) || TrimSpaces(file).empty()) {
      unusable("Path", has(file) ? file : "", "names no program file");
    } else if (std::any_of(file.begin(), file.end(), IsControlByte)) {
      unusable("Path", ShownSafely(file), "holds a control character");
    } else {
      program.path = std::string(TrimSpaces(file));
    }
    if (const std::string value = read("Parameter"); has(value)) program.parameter = value;
    if (const std::string value = read("Folder"); has(value)) {
      program.folder = std::string(TrimSpaces(value));
    }
    if (const std::string value = read("Priority"); has(value)) {
      static const char* const kNames[] = {"REALTIME", "HIGH",         "ABOVE_NORMAL",
                                           "NORMAL",   "BELOW_NORMAL", "LOW"};
      const std::string upper = UpperCase(TrimSpaces(value));
      if (std::none_of(std::begin(kNames), std::end(kNames),
                       [&](const char* name) { return upper == name; })) {
        unusable("Priority", value, "is none of LOW, BELOW_NORMAL, NORMAL, ABOVE_NORMAL, HIGH");
      } else {
        program.priority = upper;
      }
    }
    if (const std::string value = read("Window"); has(value)) {
      if (const std::optional<int> number = WindowFromText(value)) {
        program.window = std::to_string(*number);
      } else {
        unusable("Window", value,
                 "is not hidden, normal, minimized, maximized or a show number from 0 to 11");
      }
    }
    if (const std::string value = read("Restart"); has(value)) {
      const std::optional<RestartPolicy> policy = RestartPolicyFromText(value);
      if (!policy) {
        unusable("Restart", value, "is none of no, on-failure, always");
      } else {
        program.restart = *policy;
      }
    }
    if (const std::string value = read("Start"); has(value)) {
      const std::string word = LowerCase(TrimSpaces(value));
      if (word != "boot" && word != "manual") {
        unusable("Start", value, "is neither boot nor manual");
      } else {
        program.at_boot = word == "boot";
      }
    }
    if (const std::string value = read("Log"); has(value)) {
      const std::string word = LowerCase(TrimSpaces(value));
      if (word != "yes" && word != "no") {
        unusable("Log", value, "is neither yes nor no");
      } else {
        program.log = word == "yes";
      }
    }
    if (const std::string value = read("After"); has(value)) {
      program.after = std::string(TrimSpaces(value));
    }
    if (const std::string value = read("Environment"); has(value)) {
      const std::optional<std::vector<std::string>> entries = EnvironmentFromText(value);
      if (!entries) {
        unusable("Environment", value, "is not NAME=value entries apart by ';'");
      } else {
        for (const std::string& entry : *entries) SetVariable(program.environment, entry);
      }
    }
    if (const std::string value = read("EnvironmentFile"); has(value)) {
      // One NAME=value a line; blank lines and those of '#' or ';' are not read. As systemd
      // has it, the file's values win over Environment='s.
      std::string text;
      const std::string file_name(TrimSpaces(value));
      if (!Quietly([&] { text = files.ReadAll(file_name); })) {
        unusable("EnvironmentFile", value, "cannot be read");
      }
      for (const std::string& line : SplitLines(text)) {
        const std::string_view trimmed = TrimSpaces(line);
        if (trimmed.empty() || trimmed.front() == '#' || trimmed.front() == ';') continue;
        const std::optional<std::string> entry = VariableEntry(trimmed);
        if (!entry) {
          unusable("EnvironmentFile", value, "holds a line that is not NAME=value");
          break;
        }
        SetVariable(program.environment, *entry);
      }
    }
    if (const std::string value = read("User"); has(value)) {
      program.user = std::string(TrimSpaces(value));
    }
    if (const std::string value = read("StopSignal"); has(value)) {
      const std::optional<EndSignal> signal = EndSignalFromText(value);
      if (!signal) {
        unusable("StopSignal", value, "is none of TERM, INT, HUP, QUIT, USR1, USR2");
      } else {
        program.stop_signal = *signal;
      }
    }
    // Whole seconds, each within a day: a longer wait is a mistake, not a setting.
    const auto seconds = [&](const char* key, int lowest, int& into) {
      const std::string value = read(key);
      if (!has(value)) return;
      const std::optional<int> number = NumberFrom(value, lowest, 86400);
      if (!number) {
        unusable(key, value, "is not a whole number from " + std::to_string(lowest) + " to 86400");
      } else {
        into = *number;
      }
    };
    seconds("StopSeconds", 0, program.stop_seconds);
    seconds("StartSeconds", 0, program.start_seconds);
    seconds("GiveUpAfter", 0, program.give_up_after);
    if (const std::string value = read("ExitCodes"); has(value)) {
      std::vector<int> codes;
      bool good = true;
      for (std::string_view rest = value; good && !TrimSpaces(rest).empty();) {
        const size_t comma = rest.find_first_of(", ");
        const std::string_view word = rest.substr(0, comma);
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        if (TrimSpaces(word).empty()) continue;
        const std::optional<int> code = NumberFrom(word, 0, 255);
        good = code.has_value();
        if (code) codes.push_back(*code);
      }
      if (!good || codes.empty()) {
        unusable("ExitCodes", value, "is not a list of exit codes from 0 to 255");
      } else {
        program.exit_codes = std::move(codes);
      }
    }
    if (const std::string value = read("Group"); has(value)) {
      program.group = std::string(TrimSpaces(value));
      if (std::any_of(program.group.begin(), program.group.end(),
                      [](char c) { return c == ':' || c == '*' || IsControlByte(c); })) {
        unusable("Group", value, "holds ':', '*' or a control character");
      }
    }
    // Said, not refused: the program still starts, and whoever wrote the key learns that it
    // does nothing (a User= dropped without a word would run the program as the node).
    ini.SayUnknownKeys(header, kKnownKeys, log);
    // Sections are told apart in any letter case, as names are: no two share a name.
    if (program.name.empty()) unusable("[" + header + "]", "", "has no name");
    // A declared program is known by its name, so two may run one file (two scripts of one
    // interpreter); but not the same way, which would be one program twice.
    const auto key = [&](const std::string& any) {
      const std::string normal = LexicallyNormal(any, paths);
      return paths.names_ignore_case() ? LowerCase(normal) : normal;
    };
    for (const DeclaredProgram& other : programs) {
      if (usable && key(other.path) == key(program.path) &&
          TrimSpaces(other.parameter) == TrimSpaces(program.parameter)) {
        unusable("Path", program.path,
                 "is the path of " + other.name + " already, with the same parameters");
      }
    }
    if (usable) programs.push_back(std::move(program));
  }
  return programs;
}

std::optional<int> WindowFromText(std::string_view text) {
  text = TrimSpaces(text);
  constexpr std::pair<const char*, int> kWords[] = {
      {"hidden", 0}, {"normal", 1}, {"minimized", 2}, {"maximized", 3}};
  for (const auto& [word, number] : kWords) {
    if (EqualsIgnoringCase(text, word)) return number;
  }
  int number = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || number < 0 ||
      number > 11) {
    return std::nullopt;
  }
  return number;
}

std::vector<const DeclaredProgram*> BootOrder(const std::vector<DeclaredProgram>& programs,
                                              ErrorLog& log) {
  // Depth first along each After; a program met again on its own path closes a cycle.
  enum class Mark { kNone, kVisiting, kPlaced, kLeftOut };
  std::map<const DeclaredProgram*, Mark> marks;
  std::vector<const DeclaredProgram*> order;
  const auto place = [&](const auto& self, const DeclaredProgram& program) -> bool {
    Mark& mark = marks[&program];
    if (mark == Mark::kPlaced) return true;
    if (mark == Mark::kLeftOut) return false;
    if (mark == Mark::kVisiting) {
      log.WriteErrorLog(kLogType, "The programs declared after one another around " + program.name +
                                      " form a cycle: none of them is started");
      mark = Mark::kLeftOut;
      return false;
    }
    mark = Mark::kVisiting;
    bool ready = true;
    if (!program.after.empty()) {
      const DeclaredProgram* first = FindDeclared(programs, program.after);
      if (first == nullptr) {
        log.WriteErrorLog(kLogType, "The program " + program.name +
                                        " is declared After=" + program.after +
                                        ", which is not declared: it is not "
                                        "started");
        ready = false;
      } else if (first->at_boot) {
        ready = self(self, *first);
      }  // a manual one is not started here: whether it runs is seen when this one's turn comes
    }
    // A cycle marks its members as it unwinds; one left out already stays out.
    Mark& now = marks[&program];
    if (!ready || now == Mark::kLeftOut) {
      now = Mark::kLeftOut;
      return false;
    }
    now = Mark::kPlaced;
    order.push_back(&program);
    return true;
  };
  for (const DeclaredProgram& program : programs) {
    if (program.at_boot) place(place, program);
  }
  return order;
}

const DeclaredProgram* FindDeclared(const std::vector<DeclaredProgram>& programs,
                                    std::string_view name) {
  for (const DeclaredProgram& program : programs) {
    if (EqualsIgnoringCase(program.name, name)) return &program;
  }
  // Named as the wire carried it, with letters its code page lacks written out.
  if (const std::string plain = FromCarriedForm(name); plain != name) {
    for (const DeclaredProgram& program : programs) {
      if (EqualsIgnoringCase(program.name, plain)) return &program;
    }
  }
  return nullptr;
}

}  // namespace varnix
