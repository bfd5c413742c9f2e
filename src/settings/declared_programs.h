// The programs declared on this computer, in Config/programs.ini: what to run, how to keep it
// running, whether to start it with the node, and after which other program.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/failure.h"
#include "platform/file_system.h"
#include "platform/path_rules.h"

namespace varnix {

enum class RestartPolicy { kNo, kOnFailure, kAlways };

// "no", "on-failure" or "always", in any letter case; nothing for any other text.
std::optional<RestartPolicy> RestartPolicyFromText(std::string_view text);
std::string RestartPolicyText(RestartPolicy policy);

struct DeclaredProgram {
  std::string name;  // as its section names it: [Program Backup] is "Backup"
  std::string path;
  std::string parameter;  // "" for none
  std::string folder;     // its working folder; "" for the node's own
  std::string priority = "Unknown";
  std::string window = "1";  // a declared program is meant to be seen
  RestartPolicy restart = RestartPolicy::kOnFailure;
  bool at_boot = true;
  std::string after;  // the name of the program that must run first; "" for none
  bool log = true;    // its output kept in Data/Logs/NAME.log
};

// Every usable [Program NAME] section of `path`, in the file's order. A bad value is named in
// the log with the file, section and key, and leaves that program out; a missing file is no
// program. Names are told apart in any letter case, and so are paths where the system does.
std::vector<DeclaredProgram> ReadDeclaredPrograms(FileSystem& files, EventReport& report,
                                                  ErrorLog& log, const std::string& path,
                                                  PathRules paths);

// The programs that start with the node (`at_boot`), each after the one it names: an order
// in which every program comes after its `After`. A program whose `After` is not declared,
// or that is part of a cycle, is named in the log and left out, with those after it.
std::vector<const DeclaredProgram*> BootOrder(const std::vector<DeclaredProgram>& programs,
                                              ErrorLog& log);

// The declared program called `name` (any letter case); nullptr for none.
const DeclaredProgram* FindDeclared(const std::vector<DeclaredProgram>& programs,
                                    std::string_view name);

}  // namespace varnix
