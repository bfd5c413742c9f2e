// What one varnixctl command line asks for, read from its words.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace varnix {

struct CtlCommand {
  enum class Verb {
    kStart,
    kStop,
    kRestart,
    kQuery,
    kAutoNotify,
    kIp,
    kStatus,
    kWake,
    kEcho,
    kShutdown,
    kReboot,
    kSleep,
    kHibernate,
    kLogoff,
    kLock,
    kScreenOff,
    kKeygen,
    kWatch,
    kNodes,
    kList,
    kLogs,
    kReload,
    kSignal,
    kNotify
  };

  Verb verb = Verb::kNodes;
  std::string verb_name;
  std::string node;  // a computer name or a full xAP address; "" for this computer
  bool all = false;  // every Varnix node on the network
  bool json = false;
  bool require_signed = false;  // only nodes that sign under this program's key are heard
  bool yes = false;
  std::optional<int> timeout_ms;
  std::string broadcast;  // where requests go; "" for the configured address
  std::string path;
  std::string group;   // start, stop or restart of a group of declared programs; "*" for all
  std::string signal;  // what signal sends: HUP, USR1...
  std::string title;
  std::string priority;  // upper-cased, as the node names priorities
  std::string window;    // the show number
  std::string restart;   // a restart policy, lower-cased
  std::vector<std::string> arguments;
  std::string text;     // what echo sends, and notify shows
  std::string actions;  // the answers a notice offers: "Yes;No"
  std::string mac;      // what wake wakes, normal ("aa:bb:cc:dd:ee:ff"); "" for the one last seen
  int lines = 20;       // how many of a program's last lines logs shows
  bool follow = false;  // logs goes on showing new lines until Ctrl-C

  // Whether the request concerns one program.
  bool ForAProgram() const {
    return group.empty() &&
           (verb == Verb::kStart || verb == Verb::kStop || verb == Verb::kRestart ||
            verb == Verb::kQuery || verb == Verb::kAutoNotify || verb == Verb::kSignal);
  }
};

struct ParsedCtlCommand {
  std::optional<CtlCommand> command;
  std::string error;  // why the words make no command; "" with no command means --help
};

// The words after the program name. Own options are taken anywhere before "--"; the words of
// a started program after its path are its arguments.
ParsedCtlCommand ParseCtlCommand(const std::vector<std::string>& words);

// The xAP address of a node: `node` itself when it is one ("qel.Process.NAME"), otherwise the
// address of the Varnix node on the computer of that name.
std::string NodeAddress(const std::string& node, const std::string& this_computer);

extern const char kCtlUsage[];

}  // namespace varnix
