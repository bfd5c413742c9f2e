// Controller: each command as a short conversation with a node, fenced by an echo.
#include "ctl/controller.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <optional>
#include <random>

#include "core/network_address.h"
#include "core/text.h"
#include "core/unix_time.h"
#include "core/wake_on_lan.h"
#include "core/wire_text.h"
#include "platform/command_line.h"
#include "platform/terminal.h"
#include "supervision/program_log.h"
#include "xap/log_lines.h"
#include "xap/sealed_items.h"
#include "xap/xap_message.h"

namespace varnix {
namespace {

constexpr char kAnyNode[] = "qel.Process.*";

std::string Seconds(int milliseconds) {
  if (milliseconds % 1000 == 0) return std::to_string(milliseconds / 1000) + " s";
  return std::to_string(milliseconds / 1000) + "." + std::to_string(milliseconds % 1000 / 100) +
         " s";
}

// A word without a folder: a bare program name, or a declared program's.
bool IsBareWord(const std::string& path) {
  // A name in letters the code page lacks is carried with them written out, "\\u{421}".
  return !path.empty() && FromCarriedForm(path).find_first_of("/\\:") == std::string::npos;
}

bool IsEvent(const Heard& heard) { return EqualsIgnoringCase(heard.klass, "Homeseer.Event"); }

bool IsGoodbye(const Heard& heard) { return EqualsIgnoringCase(heard.klass, "xap-hbeat.stopped"); }

}  // namespace

Controller::Controller(EventLoop& loop, XapLink& link, CtlCommand command,
                       std::string this_computer, Output output, KnownComputers& known,
                       SendWake send_wake)
    : loop_(loop),
      link_(link),
      command_(std::move(command)),
      this_computer_(std::move(this_computer)),
      output_(output),
      known_(known),
      send_wake_(std::move(send_wake)),
      timeout_ms_(command_.timeout_ms.value_or(
          command_.verb == CtlCommand::Verb::kNodes ? kDefaultDiscoveryMs : kDefaultTimeoutMs)) {
  link_.OnPortNotice([this](const std::string& text) { Complain(text); });
  link_.OnUnsignedRefused([this](const std::string& sender) {
    if (refused_unsigned_.size() < 64) refused_unsigned_.insert(sender);
  });
}

void Controller::Hear(const Heard& heard) {
  const bool unsigned_node_word =
      link_.Verifies() && !heard.verified &&
      EqualsLowered(std::string_view(heard.source).substr(0, 12), "qel.process.");
  // A node that signed to this varnixctl before holds the key: an unsigned word in its name is
  // someone else's, and is dropped, as --require-signed would.
  if (unsigned_node_word && SignedBefore(heard.source)) {
    if (unsigned_nodes_.size() < 64 && unsigned_nodes_.insert(LowerCase(heard.source)).second) {
      Complain("note: dropped an unsigned answer in the name of " + heard.source +
               ", which signed before (remove its line from " + known_.path() +
               " if it no longer has the key)");
    }
    return;
  }
  // Holding the key, a user expects the node's word to be signed; one that is not is said once.
  if (unsigned_node_word && !command_.json && unsigned_nodes_.size() < 64 &&
      unsigned_nodes_.insert(LowerCase(heard.source)).second) {
    Complain("note: " + heard.source + " does not sign what it sends; its replies are unverified");
  }
  heard_.push_back(heard);
}

bool Controller::SignedBefore(const std::string& source) {
  const std::string computer = LowerCase(NodeName(source));
  if (const auto known = signs_.find(computer); known != signs_.end()) return known->second;
  const std::optional<KnownComputers::Card> card = known_.Find(computer);
  const bool signs = card && card->signs;
  // Read once a computer; a flood of made-up names is not worth keeping.
  if (signs_.size() < 256) signs_[computer] = signs;
  return signs;
}

int Controller::Run() {
  using Verb = CtlCommand::Verb;
  if (command_.verb == Verb::kNodes) return Nodes();
  std::vector<std::string> targets;
  if (command_.all) {
    for (const Node& node : Discover(timeout_ms_)) targets.push_back(node.address);
    if (targets.empty()) return ComplainNoNodes();
  } else {
    targets.push_back(NodeAddress(command_.node, this_computer_));
  }
  if (command_.verb == Verb::kWatch) return Watch(targets);
  int status = 0;
  for (const std::string& target : targets) status |= On(target);
  if (!command_.json && !table_.empty()) Print(table_.Render());
  return status;
}

KnownComputers::Card Controller::KeepCard(const std::string& target, size_t mark,
                                          const Heard& status) {
  KnownComputers::Card card{NormalMac(status.Item("MAC")), "", status.verified};
  // Holding the key, only what the node signed is kept: a later wake must not go by a card
  // that anyone on the LAN could have made up.
  const auto believed = [&](const Heard& heard) { return !link_.Verifies() || heard.verified; };
  for (size_t i = mark; i < heard_.size(); ++i) {
    if (From(heard_[i], target) && heard_[i].section == "computer.notification" &&
        ParseAddress(heard_[i].Item("IP")) && believed(heard_[i])) {
      card.address = heard_[i].Item("IP");
    }
  }
  if (card.mac.empty() || !believed(status)) return card;
  try {
    known_.Remember(NodeName(target), card);
  } catch (const Error& e) {
    // The figures are shown all the same; only a later wake is the poorer.
    Complain("cannot keep the MAC for a later wake: " + e.description());
  }
  return card;
}

int Controller::Wake(const std::string& target) {
  const std::string computer = NodeName(target);
  const size_t mark = heard_.size();
  // Asked first: a node that answers tells its card as it is now.
  SendControl(target, "Computer.Control", {{"Query", "IP"}});
  SendControl(target, "Computer.Control", {{"Query", "Status"}});
  const std::optional<Heard> answer = Await(
      target, mark, timeout_ms_, [](const Heard& h) { return h.section == "computer.status"; });
  const bool on = answer && !IsGoodbye(*answer);
  // What the node tells now, filled in from what was kept; a MAC given wins.
  KnownComputers::Card card = on ? KeepCard(target, mark, *answer) : KnownComputers::Card{};
  if (card.mac.empty() || card.address.empty()) {
    if (const std::optional<KnownComputers::Card> kept = known_.Find(computer)) {
      if (card.mac.empty()) card.mac = kept->mac;
      if (card.address.empty()) card.address = kept->address;
    }
  }
  if (!command_.mac.empty()) card.mac = command_.mac;
  if (card.mac.empty()) {
    Complain("cannot wake " + computer + ": its MAC is not known here; varnixctl status " +
             computer + " keeps it while the computer is on, or give --mac");
    return 1;
  }
  std::string broadcast;
  try {
    broadcast = send_wake_(card.mac, card.address);
  } catch (const Error& e) {
    Complain("cannot wake " + computer + ": " + e.description());
    return 1;
  }
  if (command_.json) {
    Heard woken;
    woken.source = target;
    woken.section = "wake";
    woken.items = {{"MAC", card.mac}, {"SentTo", broadcast}, {"Answered", on ? "yes" : "no"}};
    Print(JsonLine(woken) + "\n");
  } else {
    Print(Escaped("woke " + computer + ": the magic packet for " + card.mac + " went to " +
                  broadcast + (on ? " (its node answers: it is on already)" : "")) +
          "\n");
  }
  return 0;
}

int Controller::On(const std::string& target) {
  using Verb = CtlCommand::Verb;
  if (command_.ForAProgram()) return Program(target);
  if (!command_.group.empty()) return Group(target);
  if (command_.verb == Verb::kReload) return Reload(target);
  if (command_.verb == Verb::kNotify) return Notify(target);
  if (command_.verb == Verb::kWake) return Wake(target);
  const size_t mark = heard_.size();
  switch (command_.verb) {
    case Verb::kEcho: {
      // The round trip is the last echo's.
      int64_t sent = 0;
      std::optional<Heard> answer =
          EchoUntilAnswered(target, command_.text, mark, timeout_ms_, &sent,
                            [](const Heard& h) { return h.section == "echo.response"; });
      if (!answer || IsGoodbye(*answer)) break;
      answer->items.emplace_back("ms", std::to_string(answer->at_ms - sent));
      Print(command_.json ? JsonLine(*answer) + "\n"
                          : Escaped(answer->source + " answered \"" + answer->Item("Response") +
                                    "\" in " + answer->Item("ms") + " ms") +
                                "\n");
      return 0;
    }
    case Verb::kList:
      return List(target);
    case Verb::kLogs:
      return Logs(target);
    case Verb::kIp: {
      SendControl(target, "Computer.Control", {{"Query", "IP"}});
      const std::optional<Heard> answer = Await(target, mark, timeout_ms_, [](const Heard& h) {
        return h.section == "computer.notification";
      });
      if (!answer || IsGoodbye(*answer)) break;
      Print(command_.json ? JsonLine(*answer) + "\n"
                          : Escaped(answer->Item("Name") + "  " + answer->Item("IP")) + "\n");
      return 0;
    }
    case Verb::kStatus: {
      SendControl(target, "Computer.Control", {{"Query", "IP"}});
      SendControl(target, "Computer.Control", {{"Query", "Status"}});
      const std::optional<Heard> answer = Await(
          target, mark, timeout_ms_, [](const Heard& h) { return h.section == "computer.status"; });
      if (!answer || IsGoodbye(*answer)) break;
      KeepCard(target, mark, *answer);
      const int64_t now = UnixSecondsNow();
      Print(command_.json ? JsonLine(*answer) + "\n" : AlignColumns(StatusRows(*answer, now)));
      return 0;
    }
    case Verb::kShutdown:
    case Verb::kReboot:
    case Verb::kSleep:
    case Verb::kHibernate:
    case Verb::kLogoff:
    case Verb::kLock:
    case Verb::kScreenOff: {
      if (!Ping(target)) return 1;
      const size_t asked = heard_.size();
      // The node's action names have no hyphen.
      const std::string action =
          command_.verb == Verb::kScreenOff ? "screenoff" : command_.verb_name;
      SendControl(target, "Computer.Control", {{"Action", action}});
      // Nothing answers a shutdown; a refusal comes back as an event.
      WaitFor([] { return false; }, kRefusalWaitMs);
      int status = 0;
      for (size_t i = asked; i < heard_.size(); ++i) {
        if (From(heard_[i], target) && IsEvent(heard_[i])) {
          Complain(heard_[i].source + ": " + EventWords(heard_[i]));
          status = 1;
        }
      }
      if (status == 0) Print("asked " + target + " to " + command_.verb_name + "\n");
      return status;
    }
    default:
      return 1;
  }
  return ComplainNoReply(target);
}

int Controller::Program(const std::string& target) {
  using Verb = CtlCommand::Verb;
  if (!Ping(target)) return 1;
  const size_t mark = heard_.size();
  const bool starts = command_.verb == Verb::kStart || command_.verb == Verb::kRestart;
  std::vector<std::pair<std::string, std::string>> items = ProgramItems(command_.verb_name);
  if (starts) {
    if (!command_.arguments.empty())
      items.emplace_back("Parameter", JoinCommandLine(command_.arguments));
    if (!command_.priority.empty()) items.emplace_back("Priority", command_.priority);
    // A person who starts a program means to see it: the node's own default, for requests
    // that name no window, is minimized. A request by name gets its declared window, or a
    // normal one, from the node.
    if (!command_.window.empty()) {
      items.emplace_back("Window", command_.window);
    } else if (!IsBareWord(command_.path)) {
      items.emplace_back("Window", "1");
    }
    if (!command_.restart.empty()) items.emplace_back("Restart", command_.restart);
  }
  if (!command_.signal.empty()) items.emplace_back("Signal", command_.signal);
  SendControl(target, "Process.Control", std::move(items));
  // A stop may wait for a window and then a program; --timeout bounds it all the same.
  const int limit_ms = command_.timeout_ms.value_or(kRequestLimitMs);
  const Fenced fenced = Fence(target, limit_ms);
  if (fenced == Fenced::kNodeEnded) {
    Complain(target + " ended before it finished the " + command_.verb_name +
             ": the program may still run");
    return 1;
  }
  if (fenced == Fenced::kSilent) {
    if (!loop_.Quitting()) {
      Complain(target + " did not finish the " + command_.verb_name + " within " +
               Seconds(limit_ms) + ": it may have ended, or it still waits for the program");
    }
    return 1;
  }

  bool refused = false;
  std::vector<Heard> reports;
  for (const Heard& heard : SaidSince(target, mark, refused)) {
    // Only a start's answer says what runs instead; it may be a record of another path.
    if (AboutTheProgram(heard) || (starts && heard.section == "process.notification" &&
                                   !heard.Item("AlreadyRunning").empty())) {
      reports.push_back(heard);
    }
  }
  if (command_.json) {
    for (const Heard& report : reports) Print(JsonLine(report) + "\n");
  }
  // A start is told by its report of a running program, or of one that has already ended,
  // which says how; the stop of a program the node does not supervise, by nothing at all.
  const auto told = std::find_if(reports.rbegin(), reports.rend(), [&](const Heard& report) {
    return !starts || report.Item("PID", "0") != "0" || ProgramState(report) != "not running";
  });
  const std::string program = command_.path.empty() ? command_.title : command_.path;
  if (told != reports.rend()) {
    table_.Take(*told);
    if (const std::string running = told->Item("AlreadyRunning"); starts && !running.empty()) {
      // The file asked for runs already, or another of its file name does in its place.
      // The node names the very file asked for (through a link too) as it was asked for, and
      // a declared program asked for by its name as its own run's file. A file of the bare
      // name in another folder is no such run, whoever started it.
      const bool declared =
          IsBareWord(command_.path) && EqualsIgnoringCase(told->Item("Name"), command_.path);
      const bool same = EqualsIgnoringCase(running, command_.path) ||
                        (declared && EqualsIgnoringCase(running, told->Item("Path")));
      if (!command_.json) {
        Print(Escaped(target + ": already running as " + running + " (PID " +
                      told->Item("PID", "0") + "); nothing started") +
              "\n");
      }
      return refused || !same ? 1 : 0;
    }
    if (!starts || told->Item("PID", "0") != "0") return refused ? 1 : 0;
    const bool failed = told->Item("ExitCode") != "0" || !told->Item("Signal").empty();
    if (!command_.json) {
      // Named as the node ran it: a bare name's report names the file found.
      Print(Escaped(target + " started " + told->Item("Path", program) +
                    ", which has already ended (" + ProgramState(*told) + ")") +
            "\n");
    }
    return refused || failed ? 1 : 0;
  }
  if (refused) return 1;
  if (command_.verb == Verb::kStop) {
    if (!command_.json) {
      Print(Escaped(target + " does not supervise " + program +
                    "; a program of that name, if one ran, was asked to end") +
            "\n");
    }
    return 0;
  }
  Complain(starts ? target + " started nothing: is " + program + " a program file there?"
                  : target + " sent no report of " + program);
  return 1;
}

int Controller::Group(const std::string& target) {
  if (!Ping(target)) return 1;
  const size_t mark = heard_.size();
  SendControl(target, "Process.Control",
              {{"Action", command_.verb_name}, {"Group", command_.group}});
  const Fenced fenced = Fence(target, command_.timeout_ms.value_or(kRequestLimitMs));
  if (fenced != Fenced::kAnswered) return ComplainNoReply(target);
  bool refused = false;
  for (const Heard& heard : SaidSince(target, mark, refused)) {
    if (heard.section != "process.notification" || heard.Item("Name").empty()) continue;
    if (command_.json) Print(JsonLine(heard) + "\n");
    table_.Take(heard);
  }
  return refused ? 1 : 0;
}

int Controller::Reload(const std::string& target) {
  if (!Ping(target)) return 1;
  const size_t mark = heard_.size();
  const std::string token = NextToken();
  SendControl(target, "Process.Control", {{"Action", "reload"}, {"Request", token}});
  // The node stops what was removed or changed first, each as politely as it declares.
  const std::optional<Heard> answer =
      Await(target, mark, command_.timeout_ms.value_or(kRequestLimitMs), [&](const Heard& h) {
        return (h.section == "process.reload" && h.Item("Request") == token) || IsEvent(h);
      });
  if (!answer || IsGoodbye(*answer)) return ComplainNoReply(target);
  if (IsEvent(*answer)) {
    Complain(answer->source + ": " + EventWords(*answer));
    return 1;
  }
  if (command_.json) {
    Print(JsonLine(*answer) + "\n");
  } else if (const std::string problem = answer->Item("Problem"); !problem.empty()) {
    Complain(target + " changed nothing: " + problem);
  } else {
    const auto said = [&](const char* item) {
      const std::string names = answer->Item(item);
      return names.empty() ? std::string("none") : names;
    };
    Print(Escaped(target + ": added " + said("Added") + "; changed " + said("Changed") +
                  "; removed " + said("Removed") + "; left " + said("Left")) +
          "\n");
  }
  return answer->Item("Problem").empty() ? 0 : 1;
}

int Controller::Notify(const std::string& target) {
  if (!Ping(target)) return 1;
  const size_t mark = heard_.size();
  const std::string token = NextToken();
  const int seconds = std::max(1, command_.timeout_ms.value_or(60000) / 1000);
  std::vector<std::pair<std::string, std::string>> items = {
      {"Notify", command_.text}, {"Timeout", std::to_string(seconds)}, {"Request", token}};
  if (!command_.title.empty()) items.emplace_back("Title", command_.title);
  if (!command_.actions.empty()) items.emplace_back("Actions", command_.actions);
  SendControl(target, "Computer.Control", std::move(items));
  // The person has `seconds`; the node takes the notice away then and says so.
  const std::optional<Heard> answer =
      Await(target, mark, (seconds + 5) * 1000, [&](const Heard& h) {
        return (h.section == "computer.notice" && h.Item("Request") == token) || IsEvent(h);
      });
  if (!answer || IsGoodbye(*answer)) return ComplainNoReply(target);
  if (IsEvent(*answer)) {
    Complain(answer->source + ": " + EventWords(*answer));
    return 1;
  }
  const std::string outcome = answer->Item("Outcome");
  const auto said = [&](const char* name) {
    return StillSealed(answer->items)
               ? std::string("sealed (with the node's access key, which this varnixctl lacks)")
               : answer->Item(name);
  };
  if (command_.json) {
    Print(JsonLine(*answer) + "\n");
  } else if (outcome == "answered") {
    Print(Escaped(target + ": answered " + said("Action")) + "\n");
  } else if (outcome == "not shown") {
    Complain(target + " did not show it: " + said("Problem"));
  } else {
    Print(Escaped(target + ": " + outcome) + "\n");
  }
  return outcome == "not shown" ? 1 : 0;
}

std::vector<Heard> Controller::SaidSince(const std::string& target, size_t mark, bool& refused) {
  std::vector<Heard> said;
  for (size_t i = mark; i < heard_.size(); ++i) {
    const Heard& heard = heard_[i];
    if (!From(heard, target)) continue;
    if (IsEvent(heard)) {
      Complain(heard.source + ": " + EventWords(heard));
      refused = true;
    } else {
      said.push_back(heard);
    }
  }
  return said;
}

int Controller::List(const std::string& target) {
  if (!Ping(target)) return 1;
  const size_t mark = heard_.size();
  SendControl(target, "Process.Control", {{"Action", "list"}});
  // Every report of the list comes before the answer to an echo sent after it.
  if (Fence(target, command_.timeout_ms.value_or(kRequestLimitMs)) != Fenced::kAnswered) {
    return ComplainNoReply(target);
  }
  std::vector<std::vector<std::string>> rows{{"NAME", "PATH", "STATE", "RESTARTS", "SINCE"}};
  const int64_t now = UnixSecondsNow();
  bool refused = false;
  for (const Heard& heard : SaidSince(target, mark, refused)) {
    if (heard.section != "process.notification" || heard.Item("State").empty()) continue;
    if (command_.json) {
      Print(JsonLine(heard) + "\n");
      continue;
    }
    const std::string state = heard.Item("State");
    const std::string since = heard.Item("Since");
    int64_t at = 0;
    const bool dated =
        !since.empty() &&
        std::from_chars(since.data(), since.data() + since.size(), at).ec == std::errc();
    const std::string shown = state == "gave up"             ? ProgramState(heard)
                              : heard.Item("Stale") == "yes" ? state + " (as declared before)"
                                                             : state;
    rows.push_back({heard.Item("Name"), heard.Item("Path"), shown, heard.Item("Restarts", "-"),
                    dated ? Span(now - at) + " ago" : "-"});
  }
  if (!command_.json) {
    Print(rows.size() > 1
              ? AlignColumns(rows)
              : Escaped(target + " has no programs declared (Config/programs.ini)") + "\n");
  }
  return refused ? 1 : 0;
}

std::optional<std::vector<std::string>> Controller::AskLog(const std::string& target, int lines,
                                                           const std::string& after, bool quiet,
                                                           LogFollow* follow) {
  const size_t mark = heard_.size();
  const std::string token = NextToken();
  std::vector<std::pair<std::string, std::string>> items = ProgramItems("log");
  items.emplace_back("Lines", std::to_string(lines));
  if (!after.empty()) items.emplace_back("After", after);
  items.emplace_back("Request", token);
  if (follow != nullptr) {
    items.emplace_back("Follow", std::to_string(kFollowSeconds));
    *follow = {token, false};
  }
  SendControl(target, "Process.Control", items);
  std::vector<const Heard*> parts;
  bool refused = false;
  const bool whole = WaitFor(
      [&] {
        parts.clear();
        size_t expected = 0;
        for (size_t i = mark; i < heard_.size(); ++i) {
          const Heard& heard = heard_[i];
          if (!From(heard, target)) continue;
          // The node's refusal, or its word that it keeps no log of that program.
          if (IsEvent(heard) && EventWords(heard).find(" log of ") != std::string::npos) {
            refused = true;
          } else if (heard.section == "process.log" && heard.Item("Request") == token &&
                     heard.Item("Push").empty()) {
            parts.push_back(&heard);
            std::from_chars(heard.Item("Parts").data(),
                            heard.Item("Parts").data() + heard.Item("Parts").size(), expected);
          }
        }
        return refused || (expected > 0 && parts.size() >= expected);
      },
      timeout_ms_);
  if (refused || !whole) {
    if (refused && !quiet) SaidSince(target, mark, refused);
    if (!refused && !quiet) ComplainNoReply(target);
    return std::nullopt;
  }
  // Numbers as anyone on the LAN may write them: never more lines than one answer carries.
  const auto number = [](const Heard& heard, std::string_view name) {
    return std::min<uint64_t>(WholeNumber(heard.Item(name)).value_or(0), kMostLogLines);
  };
  std::sort(parts.begin(), parts.end(), [&](const Heard* a, const Heard* b) {
    return number(*a, "Part") < number(*b, "Part");
  });
  if (follow != nullptr) follow->granted = !parts.front()->Item("Following").empty();
  std::vector<std::string> said;
  for (const Heard* part : parts) {
    if (command_.json) Print(JsonLine(*part) + "\n");
    CarriedLines carried = LinesCarried(*part, link_.Key(), kMostLogLines - said.size());
    if (carried.unopened) {
      if (!quiet) {
        Complain(
            target + " seals its programs' output with the access key, which " +
            (link_.Key().empty() ? "is not beside varnixctl" : "is not the one beside varnixctl"));
      }
      return std::nullopt;
    }
    said.insert(said.end(), carried.lines.begin(), carried.lines.end());
  }
  return said;
}

bool Controller::TakePushed(const std::string& target, LogFollow& follow,
                            const std::function<void(std::vector<std::string>)>& take) {
  // Each told lot's parts, by its number and theirs: one lot's parts come together.
  std::map<uint64_t, std::map<uint64_t, const Heard*>> lots;
  std::map<uint64_t, uint64_t> sizes;
  const auto ours = [&](const Heard& heard) -> std::optional<uint64_t> {
    if (heard.section != "process.log" || heard.Item("Request") != follow.token ||
        !From(heard, target)) {
      return std::nullopt;
    }
    const std::optional<uint64_t> push = WholeNumber(heard.Item("Push"));
    return push && *push >= follow.next_push ? push : std::nullopt;
  };
  for (const Heard& heard : heard_) {
    const std::optional<uint64_t> push = ours(heard);
    if (!push) continue;
    lots[*push][WholeNumber(heard.Item("Part")).value_or(0)] = &heard;
    sizes[*push] = WholeNumber(heard.Item("Parts")).value_or(0);
  }
  bool in_order = true;
  for (const auto& [push, parts] : lots) {
    if (sizes[push] == 0 || parts.size() != sizes[push]) continue;
    if (push != follow.next_push) {
      in_order = false;  // one before it was lost
      break;
    }
    std::vector<std::string> lines;
    for (const auto& [number, part] : parts) {
      CarriedLines carried = LinesCarried(*part, link_.Key(), kMostLogLines - lines.size());
      lines.insert(lines.end(), carried.lines.begin(), carried.lines.end());
    }
    follow.next_push = push + 1;
    take(std::move(lines));
  }
  // A follow runs for hours: only the parts of lots still to come whole are kept.
  std::erase_if(heard_, [&](const Heard& heard) { return !ours(heard); });
  return in_order;
}

int Controller::Logs(const std::string& target) {
  if (!Ping(target)) return 1;
  LogFollow follow;
  std::optional<std::vector<std::string>> lines =
      AskLog(target, command_.lines, "", false, command_.follow ? &follow : nullptr);
  if (!lines) return 1;
  const auto stamp = [](const std::string& line) { return line.substr(0, line.find(' ')); };
  const auto show = [&](const std::vector<std::string>& shown) {
    if (command_.json) return;
    std::string text;
    for (const std::string& line : shown) text += Escaped(line) + "\n";
    Print(text);
  };
  show(*lines);
  // Nothing printed would read as nothing asked: an empty log is said.
  if (lines->empty() && !command_.json) {
    Complain("no output kept for " + (command_.path.empty() ? command_.title : command_.path) +
             ": it wrote none" + (command_.follow ? " yet" : ""));
  }
  if (!command_.follow) return 0;
  // Followed by asking from the last stamp shown: the lines of that same millisecond that were
  // shown already come again first, and are passed over.
  std::string last = lines->empty() ? "" : stamp(lines->back());
  size_t same = 0;
  for (auto line = lines->rbegin(); line != lines->rend() && stamp(*line) == last; ++line) ++same;
  bool future_said = false;
  const auto take = [&](std::vector<std::string> got) {
    // Followed from no later than this computer's clock allows: a line stamped in 2099, which
    // anyone on the LAN may forge, would otherwise hide every real one after it.
    const int64_t latest_ms = (UnixSecondsNow() + kFutureSlackSeconds) * 1000;
    const size_t before = got.size();
    std::erase_if(got, [&](const std::string& line) {
      const std::optional<int64_t> at = StampMilliseconds(stamp(line));
      return at && *at > latest_ms;
    });
    if (got.size() != before && !future_said) {
      future_said = true;
      Complain("lines stamped later than this computer's clock allows are not shown");
    }
    // A full answer that does not reach back to the last line shown leaves some out.
    if (!last.empty() && got.size() == static_cast<size_t>(kMostLogLines) &&
        stamp(got.front()) != last) {
      Complain("more lines came than a follow shows at once: some were passed over");
    }
    size_t skip = 0;
    while (skip < same && skip < got.size() && stamp(got[skip]) == last) ++skip;
    const std::vector<std::string> fresh(got.begin() + static_cast<std::ptrdiff_t>(skip),
                                         got.end());
    if (fresh.empty()) return;
    show(fresh);
    const std::string newest = stamp(fresh.back());
    if (newest != last) same = 0;
    last = newest;
    for (auto line = fresh.rbegin(); line != fresh.rend() && stamp(*line) == last; ++line) ++same;
  };
  while (!loop_.Quitting()) {
    if (follow.granted) {
      // Told as the node keeps them, until the follow is asked for again (or one was lost).
      WaitFor([&] { return !TakePushed(target, follow, take); }, kRenewFollowMs);
    } else {
      // A follow runs for hours: only what answers its own request is kept, never the LAN's.
      heard_.clear();
      WaitFor([] { return false; }, kFollowEveryMs);
    }
    if (loop_.Quitting()) break;
    // A node that is restarting answers again later; a follow goes on meanwhile.
    lines = AskLog(target, last.empty() ? command_.lines : kMostLogLines, last, true, &follow);
    if (lines) take(std::move(*lines));
  }
  return 0;
}

int Controller::Watch(const std::vector<std::string>& targets) {
  if (!command_.all) {
    for (const std::string& target : targets) {
      if (!Ping(target)) return 1;
    }
  }
  const bool one_program = !command_.path.empty() || !command_.title.empty();
  if (one_program) {
    // Reported at every pass from now on, not only when it ends.
    for (const std::string& target : targets) {
      SendControl(target, "Process.Control", ProgramItems("autonotify"));
    }
  }
  const std::string heading = "Reports from " +
                              (command_.all ? std::string(kAnyNode) : targets[0]) +
                              " as they come; Ctrl-C ends.\n\n";
  if (output_.terminal && !command_.json) Print("\x1b[H\x1b[2J" + heading + "(none yet)\n");
  if (!output_.terminal && !command_.json) Print(heading);
  std::string columns;  // the column names above the rows written last, in a file or pipe
  while (!loop_.Quitting()) {
    loop_.DispatchPending(std::chrono::milliseconds(500));
    for (const Heard& heard : heard_) {
      const bool ours = std::any_of(targets.begin(), targets.end(),
                                    [&](const std::string& t) { return From(heard, t); });
      if (!ours || heard.section != "process.notification") continue;
      if (one_program && !AboutTheProgram(heard)) continue;
      if (command_.json) {
        Print(JsonLine(heard) + "\n");
      } else if (output_.terminal) {
        table_.Take(heard);
        Print("\x1b[H\x1b[2J" + heading + table_.Render());
      } else {
        // A row a report, below the column names, which are written again when they change.
        ProgramTable one;
        one.Take(heard);
        const std::string rendered = one.Render();
        const size_t end = rendered.find('\n') + 1;
        std::string names = rendered.substr(0, end);
        names.erase(std::unique(names.begin(), names.end(),
                                [](char a, char b) { return a == ' ' && b == ' '; }),
                    names.end());
        Print(names == columns ? rendered.substr(end) : rendered);
        columns = names;
      }
    }
    heard_.clear();  // a watch runs for days: keep nothing it has shown
  }
  return 0;
}

int Controller::Nodes() {
  const std::vector<Node> nodes = Discover(timeout_ms_);
  if (nodes.empty()) return ComplainNoNodes();
  std::vector<std::vector<std::string>> rows{{"NODE", "ADDRESS", "ANSWERED"}};
  for (const Node& node : nodes) {
    const std::string ms = std::to_string(node.answered_ms);
    if (command_.json) {
      Print(JsonLine(Heard{
                node.address, "", "computer.notification", {{"IP", node.ip}, {"ms", ms}}, 0}) +
            "\n");
    }
    rows.push_back({node.address, node.ip, ms + " ms"});
  }
  if (!command_.json) Print(AlignColumns(rows));
  return 0;
}

bool Controller::Ping(const std::string& target) {
  if (Fence(target, timeout_ms_) == Fenced::kAnswered) return true;
  ComplainNoReply(target);
  return false;
}

Controller::Fenced Controller::Fence(const std::string& target, int limit_ms) {
  const std::string token = NextToken();
  const std::optional<Heard> answer =
      EchoUntilAnswered(target, token, heard_.size(), limit_ms, nullptr,
                        [&](const Heard& h) { return h.Item("Response") == token; });
  if (!answer) return Fenced::kSilent;
  return IsGoodbye(*answer) ? Fenced::kNodeEnded : Fenced::kAnswered;
}

std::optional<Heard> Controller::EchoUntilAnswered(
    const std::string& target, const std::string& query, size_t mark, int limit_ms, int64_t* sent,
    const std::function<bool(const Heard&)>& wanted) {
  // Asked again every second while none answers: an echo is harmless twice, and one sent
  // before a hub or the node was there is lost.
  std::optional<Heard> answer;
  const int64_t until = loop_.NowMilliseconds() + limit_ms;
  for (int64_t now = loop_.NowMilliseconds(); !answer && now < until && !loop_.Quitting();
       now = loop_.NowMilliseconds()) {
    if (sent != nullptr) *sent = now;
    link_.Send(target, "WDT.Echo", "Echo.Query", {{"Query", query}});
    answer =
        Await(target, mark, static_cast<int>(std::min<int64_t>(kEchoAgainMs, until - now)), wanted);
  }
  return answer;
}

std::optional<Heard> Controller::Await(const std::string& target, size_t mark, int limit_ms,
                                       const std::function<bool(const Heard&)>& wanted) {
  std::optional<size_t> found;
  WaitFor(
      [&] {
        for (; mark < heard_.size(); ++mark) {
          if (From(heard_[mark], target) && (wanted(heard_[mark]) || IsGoodbye(heard_[mark]))) {
            found = mark;
            return true;
          }
        }
        return false;
      },
      limit_ms);
  if (!found) return std::nullopt;
  return heard_[*found];
}

std::vector<Controller::Node> Controller::Discover(int window_ms) {
  const int64_t sent = loop_.NowMilliseconds();
  const size_t mark = heard_.size();
  // Every node takes "*" as its own; the answers come from each one's own address.
  SendControl("*", "Computer.Control", {{"Query", "IP"}});
  WaitFor([] { return false; }, window_ms);
  std::vector<Node> nodes;
  for (size_t i = mark; i < heard_.size(); ++i) {
    const Heard& heard = heard_[i];
    if (heard.section != "computer.notification" || !CompareAddress(kAnyNode, heard.source))
      continue;
    const bool known = std::any_of(nodes.begin(), nodes.end(), [&](const Node& node) {
      return EqualsIgnoringCase(node.address, heard.source);
    });
    if (!known) nodes.push_back(Node{heard.source, heard.Item("IP"), heard.at_ms - sent});
  }
  return nodes;
}

bool Controller::WaitFor(const std::function<bool()>& done, int64_t limit_ms) {
  const int64_t deadline = loop_.NowMilliseconds() + limit_ms;
  while (!done()) {
    const int64_t left = deadline - loop_.NowMilliseconds();
    if (left <= 0 || loop_.Quitting()) return false;
    loop_.DispatchPending(std::chrono::milliseconds(std::min<int64_t>(left, 100)));
  }
  return true;
}

void Controller::SendControl(const std::string& target, const std::string& section,
                             std::vector<std::pair<std::string, std::string>> items) {
  link_.Send(target, "Computer.Process", section, items);
}

std::string Controller::NextToken() {
  // The node answers in lower case; the random part keeps two controllers' answers apart.
  static const uint32_t run = std::random_device{}();
  return "varnixctl-" + std::to_string(run) + "-" + std::to_string(++tokens_);
}

std::vector<std::pair<std::string, std::string>> Controller::ProgramItems(
    const std::string& action) const {
  std::vector<std::pair<std::string, std::string>> items{{"Action", action}};
  if (!command_.path.empty()) items.emplace_back("Path", command_.path);
  // A bare word may be a program declared on that computer: its name, for a node that knows
  // it; the path, for one that does not.
  if (IsBareWord(command_.path)) items.emplace_back("Name", command_.path);
  if (!command_.title.empty()) items.emplace_back("Title", command_.title);
  return items;
}

bool Controller::From(const Heard& heard, const std::string& target) const {
  return CompareAddress(target, heard.source);
}

bool Controller::AboutTheProgram(const Heard& heard) const {
  if (heard.section != "process.notification") return false;
  if (IsBareWord(command_.path) && EqualsIgnoringCase(heard.Item("Name"), command_.path)) {
    return true;
  }
  if (!command_.path.empty()) {
    const std::string path = heard.Item("Path");
    if (EqualsIgnoringCase(path, command_.path)) return true;
    // A bare name is looked up by the node, whose report names the file it found.
    if (command_.path.find_first_of("/\\") != std::string::npos) return false;
    const std::string file = path.substr(path.find_last_of("/\\") + 1);
    return EqualsIgnoringCase(file, command_.path) ||
           EqualsIgnoringCase(file.substr(0, file.rfind('.')), command_.path);
  }
  return heard.Item("Title") == command_.title;
}

void Controller::Print(const std::string& text) { WriteText(output_.out, text); }

int Controller::ComplainNoReply(const std::string& target) {
  // Interrupted, it has nothing to say.
  if (loop_.Quitting()) return 1;
  if (refused_unsigned_.count(SenderAddress(target)) != 0) {
    Complain(target +
             " answered, but unsigned, and --require-signed takes only signed answers: "
             "put the house's access.key beside that node (and RequireSignature=yes)");
  } else {
    Complain("no reply from " + target + " within " + Seconds(timeout_ms_) +
             ": is varnix running there, with a hub beside it?");
  }
  return 1;
}

int Controller::ComplainNoNodes() {
  // What the link knows of the hub decides which question is worth asking.
  const std::string none = "no Varnix node answered within " + Seconds(timeout_ms_);
  if (link_.RelayedByHub()) {
    Complain(none +
             "; the hub here relays, so no node runs on this network, or the nodes' "
             "BroadcastAddress does not reach this computer");
  } else if (link_.HoldsXapPort()) {
    Complain(none +
             ", and no hub runs on this computer: start varnix-hub (on Windows, "
             "\"sc start varnix-hub\"), then a node beside it");
  } else {
    Complain(none + ": is a hub running on this computer?");
  }
  return 1;
}

void Controller::Complain(const std::string& text) {
  // What a node said comes into many complaints: never raw to the terminal.
  WriteText(output_.err, "varnixctl: " + Escaped(text) + "\n");
}

}  // namespace varnix
