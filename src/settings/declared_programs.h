// The programs declared on this computer, in Config/programs.ini: what to run, how to keep it
// running, whether to start it with the node, and after which other program.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/failure.h"
#include "platform/file_system.h"
#include "platform/path_rules.h"
#include "platform/process_table.h"

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
  // NAME=value entries over the node's own environment; EnvironmentFile='s win over
  // Environment='s.
  std::vector<std::string> environment;
  std::string user;  // the account it runs as; "" for the node's own
  EndSignal stop_signal = EndSignal::kTerminate;
  int stop_seconds = 5;            // how long a polite stop waits before the forced one
  std::vector<int> exit_codes{0};  // the exit codes that count as a success
  int start_seconds = 10;          // a run shorter than this was a quick end
  int give_up_after = 5;           // quick ends in a row before giving up; 0 for never
  std::string group;               // "" for none

  bool operator==(const DeclaredProgram&) const = default;
};

// TERM, INT, HUP, QUIT, USR1 or USR2, with or without SIG, in any letter case.
std::optional<EndSignal> EndSignalFromText(std::string_view text);

// The value of Environment=: NAME=value entries apart by ';', a value in double quotes
// taken whole, ';' included. Nothing when an entry is not NAME=value with a name of letters,
// digits and '_' that does not begin with a digit.
std::optional<std::vector<std::string>> EnvironmentFromText(std::string_view text);

// Every usable [Program NAME] section of `path`, in the file's order. A bad value is named in
// the log with the file, section and key, and leaves that program out; a key the node does
// not know is named too, and ignored. A missing file is no program. Names are told apart in
// any letter case, and so are paths where the system does; two programs may run one file
// (two scripts of one interpreter) with different parameters.
// With `problems`, each reason a program was left out, or the file could not be read, goes
// there too.
std::vector<DeclaredProgram> ReadDeclaredPrograms(FileSystem& files, EventReport& report,
                                                  ErrorLog& log, const std::string& path,
                                                  PathRules paths,
                                                  std::vector<std::string>* problems = nullptr);

// Where the declared programs come from, read anew at each call, with `problems` as above.
using DeclaredSource =
    std::function<std::vector<DeclaredProgram>(std::vector<std::string>* problems)>;

// The programs that start with the node (`at_boot`), each after the one it names: an order
// in which every program comes after its `After`. A program whose `After` is not declared,
// or that is part of a cycle, is named in the log and left out, with those after it.
// A window's show state as programs.ini and varnixctl take it: "hidden", "normal",
// "minimized" or "maximized" (any case), or a show number from 0 to 11; nothing otherwise.
std::optional<int> WindowFromText(std::string_view text);

std::vector<const DeclaredProgram*> BootOrder(const std::vector<DeclaredProgram>& programs,
                                              ErrorLog& log);

// The declared program called `name` (any letter case); nullptr for none.
const DeclaredProgram* FindDeclared(const std::vector<DeclaredProgram>& programs,
                                    std::string_view name);

}  // namespace varnix
