// The varnixctl command line: verbs, options, and the checks that spare a round trip.
#include "ctl/ctl_command.h"

#include <array>
#include <charconv>
#include <utility>

#include "core/text.h"
#include "core/wake_on_lan.h"
#include "settings/declared_programs.h"
#include "supervision/process_operations.h"
#include "supervision/restart_plans.h"

namespace varnix {

const char kCtlUsage[] =
    "usage: varnixctl [--node NAME | --all] [--json] [--require-signed] [--timeout SECONDS]\n"
    "                 COMMAND\n"
    "  start PATH [ARGS...] [--priority P] [--window W] [--title T] [--restart POLICY]\n"
    "  stop PATH [--title T]          restart PATH [ARGS...] [options as for start]\n"
    "  start|stop|restart GROUP:*     every declared program of that group (Group=)\n"
    "  start|stop|restart all         every declared program, many at once\n"
    "  signal NAME SIGNAL             HUP, INT, QUIT, TERM, USR1 or USR2, to the program\n"
    "  reload [NAME]                  reads programs.ini again and applies what changed\n"
    "  query PATH [--title T]         autonotify PATH [--title T]\n"
    "  watch [PATH]                   a live table of the node's reports, until Ctrl-C\n"
    "  ip                             echo TEXT\n"
    "  status [NAME]                  the computer's figures: processor, memory, disk, MAC\n"
    "  wake NAME [--mac MAC]          wakes a computer that is off (Wake-on-LAN), by the MAC\n"
    "                                 its node told when last asked, or the one given\n"
    "  shutdown --yes                 reboot --yes\n"
    "  sleep --yes                    hibernate --yes\n"
    "  logoff --yes                   lock\n"
    "  screen-off                     turns the displays off, nothing else\n"
    "  notify TEXT [--title T] [--actions A;B]\n"
    "                                 shows TEXT to the person at the computer and says what\n"
    "                                 they answered; --timeout is how long they have (60)\n"
    "  keygen [--yes]                 a new key for signed requests (Config/access.key);\n"
    "                                 --yes replaces one that is there\n"
    "  nodes                          the Varnix nodes on the network\n"
    "  list [NAME]                    the programs declared on a computer (programs.ini):\n"
    "                                 how each stands, its restarts, and since when\n"
    "  logs PATH [-n N] [-f]          a program's last N lines of output (20, at most 200);\n"
    "                                 -f goes on showing new ones until Ctrl-C\n"
    "Options:\n"
    "  --node NAME        a computer name, or a node's xAP address (qel.Process.NAME);\n"
    "                     this computer's node when not given\n"
    "  --all              every Varnix node that answers\n"
    "  --json             the replies as JSON lines, each with \"verified\": whether the node\n"
    "                     signed it under the key in Config/access.key\n"
    "  --require-signed   hears only nodes that sign what they send under that key\n"
    "  --timeout SECONDS  how long to wait for a node to answer (3; 1 for nodes)\n"
    "  --broadcast ADDR   where requests go (else BroadcastAddress in Config/qelXap.ini)\n"
    "  --priority P       REALTIME, HIGH, ABOVE_NORMAL, NORMAL, BELOW_NORMAL or LOW\n"
    "  --window W         hidden, normal, minimized, maximized, or a show number\n"
    "  --restart POLICY   no, on-failure or always\n"
    "  --                 every word after it belongs to the started program\n";

namespace {

struct VerbName {
  const char* name;
  CtlCommand::Verb verb;
};
constexpr std::array<VerbName, 24> kVerbs{{{"start", CtlCommand::Verb::kStart},
                                           {"stop", CtlCommand::Verb::kStop},
                                           {"restart", CtlCommand::Verb::kRestart},
                                           {"query", CtlCommand::Verb::kQuery},
                                           {"autonotify", CtlCommand::Verb::kAutoNotify},
                                           {"ip", CtlCommand::Verb::kIp},
                                           {"status", CtlCommand::Verb::kStatus},
                                           {"wake", CtlCommand::Verb::kWake},
                                           {"echo", CtlCommand::Verb::kEcho},
                                           {"shutdown", CtlCommand::Verb::kShutdown},
                                           {"reboot", CtlCommand::Verb::kReboot},
                                           {"sleep", CtlCommand::Verb::kSleep},
                                           {"hibernate", CtlCommand::Verb::kHibernate},
                                           {"logoff", CtlCommand::Verb::kLogoff},
                                           {"lock", CtlCommand::Verb::kLock},
                                           {"screen-off", CtlCommand::Verb::kScreenOff},
                                           {"notify", CtlCommand::Verb::kNotify},
                                           {"keygen", CtlCommand::Verb::kKeygen},
                                           {"watch", CtlCommand::Verb::kWatch},
                                           {"nodes", CtlCommand::Verb::kNodes},
                                           {"list", CtlCommand::Verb::kList},
                                           {"logs", CtlCommand::Verb::kLogs},
                                           {"reload", CtlCommand::Verb::kReload},
                                           {"signal", CtlCommand::Verb::kSignal}}};

bool IsNumber(const std::string& text) {
  int value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

}  // namespace

ParsedCtlCommand ParseCtlCommand(const std::vector<std::string>& words) {
  CtlCommand command;
  std::vector<std::string> plain;  // the verb and its words, options taken out
  bool options_end = false;
  // Asked for help the ways people ask: -h, -?, --help, "help", and on Windows /?; or nothing.
  if (words.empty() || words[0] == "-h" || words[0] == "-?" || words[0] == "help" ||
      words[0] == "/?") {
    return {};
  }
  for (size_t i = 0; i < words.size(); ++i) {
    const std::string& word = words[i];
    if (options_end || word.size() < 2 || word.rfind("--", 0) != 0) {
      plain.push_back(word);
      continue;
    }
    if (word == "--") {
      options_end = true;
      continue;
    }
    if (word == "--help") return {};
    if (word == "--all") {
      command.all = true;
    } else if (word == "--json") {
      command.json = true;
    } else if (word == "--require-signed") {
      command.require_signed = true;
    } else if (word == "--yes") {
      command.yes = true;
    } else {
      if (i + 1 == words.size()) return {std::nullopt, word + " needs a value"};
      const std::string& value = words[++i];
      if (word == "--node") {
        command.node = value;
      } else if (word == "--broadcast") {
        command.broadcast = value;
      } else if (word == "--mac") {
        command.mac = NormalMac(value);
        if (command.mac.empty()) {
          return {std::nullopt, "--mac takes one card's address, as aa:bb:cc:dd:ee:ff: " + value};
        }
      } else if (word == "--title") {
        command.title = value;
      } else if (word == "--actions") {
        command.actions = value;
      } else if (word == "--timeout") {
        double seconds = 0;
        const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(),
                                                  seconds, std::chars_format::fixed);
        // Written so that NaN fails too; under a millisecond would wait for nothing.
        if (error != std::errc() || end != value.data() + value.size() ||
            !(seconds >= 0.001 && seconds <= 3600)) {
          return {std::nullopt, "--timeout takes seconds, from 0.001 to 3600: " + value};
        }
        command.timeout_ms = static_cast<int>(seconds * 1000);
      } else if (word == "--priority") {
        // Checked by the node's own table, and sent in the node's own spelling.
        const std::optional<PriorityClass> priority = PriorityFromName(value);
        if (!priority) return {std::nullopt, "no such priority: " + value};
        command.priority = PriorityName(*priority);
      } else if (word == "--window") {
        const std::optional<int> window = WindowFromText(value);
        if (!window) return {std::nullopt, "no such window state: " + value};
        command.window = std::to_string(*window);
      } else if (word == "--restart") {
        command.restart = LowerCase(value);
        if (!RestartPolicyFromText(command.restart)) {
          return {std::nullopt, "--restart takes no, on-failure or always: " + value};
        }
      } else {
        return {std::nullopt, "no such option: " + word};
      }
    }
  }

  if (plain.empty()) return {std::nullopt, "no command given"};
  command.verb_name = plain[0];
  bool known = false;
  for (const auto& [name, verb] : kVerbs) {
    if (plain[0] == name) {
      command.verb = verb;
      known = true;
    }
  }
  if (!known) return {std::nullopt, "no such command: " + plain[0]};
  if (command.all && !command.node.empty()) {
    return {std::nullopt, "--node and --all ask for different nodes: give one"};
  }

  const std::vector<std::string> rest(plain.begin() + 1, plain.end());
  using Verb = CtlCommand::Verb;
  switch (command.verb) {
    case Verb::kStart:
    case Verb::kRestart:
    case Verb::kStop:
      if (rest.empty() && command.verb != Verb::kStop) {
        return {std::nullopt, plain[0] + " needs the program's path"};
      }
      // "all" and "GROUP:*", as supervisorctl writes them: the declared programs.
      if (!rest.empty() && (rest[0] == "all" || (rest[0].size() > 2 && rest[0].ends_with(":*")))) {
        if (rest.size() > 1)
          return {std::nullopt, plain[0] + " " + rest[0] + " takes no more words"};
        command.group = rest[0] == "all" ? "*" : rest[0].substr(0, rest[0].size() - 2);
        break;
      }
      if (command.verb != Verb::kStop) {
        command.path = rest[0];
        command.arguments.assign(rest.begin() + 1, rest.end());
        break;
      }
      [[fallthrough]];
    case Verb::kQuery:
    case Verb::kAutoNotify:
      if (rest.size() > 1) return {std::nullopt, plain[0] + " takes one path"};
      if (!rest.empty()) command.path = rest[0];
      if (command.path.empty() && command.title.empty()) {
        return {std::nullopt, plain[0] + " needs the program's path or --title"};
      }
      break;
    case Verb::kLogs:
      for (size_t i = 0; i < rest.size(); ++i) {
        if (rest[i] == "-f") {
          command.follow = true;
        } else if (rest[i] == "-n") {
          if (i + 1 == rest.size() || !IsNumber(rest[i + 1]) || std::stoi(rest[i + 1]) < 1 ||
              std::stoi(rest[i + 1]) > 200) {
            return {std::nullopt, "-n takes a number of lines, from 1 to 200"};
          }
          command.lines = std::stoi(rest[++i]);
        } else if (command.path.empty()) {
          command.path = rest[i];
        } else {
          return {std::nullopt, "logs takes one path: " + rest[i]};
        }
      }
      if (command.path.empty()) return {std::nullopt, "logs needs the program's path or name"};
      break;
    case Verb::kWatch:
      if (rest.size() > 1) return {std::nullopt, "watch takes at most one path"};
      if (!rest.empty()) command.path = rest[0];
      break;
    case Verb::kSignal: {
      if (rest.size() != 2) return {std::nullopt, "signal takes a program and a signal"};
      if (!EndSignalFromText(rest[1])) {
        return {std::nullopt, "signal takes HUP, INT, QUIT, TERM, USR1 or USR2: " + rest[1]};
      }
      command.path = rest[0];
      command.signal = UpperCase(rest[1]);
      break;
    }
    case Verb::kStatus:
    case Verb::kList:
    case Verb::kReload:
      if (rest.size() > 1) return {std::nullopt, plain[0] + " takes one computer's name"};
      if (!rest.empty()) {
        if (!command.node.empty() || command.all) {
          return {std::nullopt, plain[0] + " " + rest[0] + " names the node already"};
        }
        command.node = rest[0];
      }
      break;
    case Verb::kWake:
      if (rest.size() != 1 || !command.node.empty() || command.all) {
        return {std::nullopt, "wake takes one computer's name"};
      }
      command.node = rest[0];
      break;
    case Verb::kEcho:
    case Verb::kNotify:
      if (rest.empty()) return {std::nullopt, plain[0] + " needs the text to send"};
      for (const std::string& word : rest) {
        command.text += (command.text.empty() ? "" : " ") + word;
      }
      break;
    case Verb::kShutdown:
    case Verb::kReboot:
    case Verb::kLogoff:
      if (!command.yes) {
        return {std::nullopt, plain[0] + " ends every program on that computer: add --yes"};
      }
      [[fallthrough]];
    case Verb::kSleep:
    case Verb::kHibernate:
      if (!command.yes) {
        return {std::nullopt, plain[0] + " stops that computer until someone wakes it: add --yes"};
      }
      [[fallthrough]];
    case Verb::kLock:
    case Verb::kScreenOff:
    case Verb::kKeygen:
    case Verb::kIp:
    case Verb::kNodes:
      if (!rest.empty()) return {std::nullopt, plain[0] + " takes no words: " + rest[0]};
      break;
  }
  if (command.verb == Verb::kNodes && command.all) {
    return {std::nullopt, "nodes lists every node already"};
  }
  return {std::move(command), ""};
}

std::string NodeAddress(const std::string& node, const std::string& this_computer) {
  if (node.find('.') != std::string::npos) return node;
  return "qel.Process." + (node.empty() ? this_computer : node);
}

}  // namespace varnix
