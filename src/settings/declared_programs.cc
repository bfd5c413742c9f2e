// ReadDeclaredPrograms and BootOrder: programs.ini read with the rules of every settings file.
#include "settings/declared_programs.h"

#include <algorithm>
#include <charconv>
#include <map>

#include "core/steps.h"
#include "core/text.h"
#include "settings/access_rules.h"
#include "settings/ini_tool.h"

namespace varnix {
namespace {

constexpr char kMissing[] = "\x01";  // no value a user can write
constexpr std::string_view kPrefix = "Program ";

}  // namespace

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
                                                  PathRules paths) {
  std::vector<DeclaredProgram> programs;
  if (!files.FileExists(path)) return programs;
  IniTool ini(files, report, paths);
  if (!Quietly([&] { ini.Load(path); })) {
    log.WriteErrorLog(kLogType, "The program file " + path +
                                    " cannot be read: no program in it "
                                    "is started or kept");
    return programs;
  }
  for (const std::string& header : ini.Headers()) {
    if (header.size() <= kPrefix.size() ||
        !EqualsIgnoringCase(std::string_view(header).substr(0, kPrefix.size()), kPrefix)) {
      continue;
    }
    DeclaredProgram program;
    program.name = std::string(TrimSpaces(header.substr(kPrefix.size())));
    bool usable = true;
    const auto unusable = [&](const std::string& key, const std::string& value,
                              const std::string& why) {
      log.WriteErrorLog(kLogType, "The setting " + key + "=" + value + " in " + path +
                                      ", section [" + header + "], " + why + ": the program " +
                                      program.name + " is left out");
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
      const std::string_view text = TrimSpaces(value);
      int number = 0;
      const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
      if (error != std::errc() || end != text.data() + text.size() || number < 0 || number > 11) {
        unusable("Window", value, "is not a show number from 0 to 11");
      } else {
        program.window = std::to_string(number);
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
    // Sections are told apart in any letter case, as names are: no two share a name.
    if (program.name.empty()) unusable("[" + header + "]", "", "has no name");
    // One file, one program: a stop or report by path must not have two to choose from.
    const auto key = [&](const std::string& any) {
      const std::string normal = LexicallyNormal(any, paths);
      return paths.names_ignore_case() ? LowerCase(normal) : normal;
    };
    for (const DeclaredProgram& other : programs) {
      if (usable && key(other.path) == key(program.path)) {
        unusable("Path", program.path, "is the path of " + other.name + " already");
      }
    }
    if (usable) programs.push_back(std::move(program));
  }
  return programs;
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
  return nullptr;
}

}  // namespace varnix
