// NodeDirectory's requests to the nodes: echo rounds, reports, starts, stops, actions, wakes.
#include <algorithm>

#include "core/text.h"
#include "core/wake_on_lan.h"
#include "gateway/node_directory.h"
#include "platform/error.h"

namespace varnix {

void NodeDirectory::Refresh() {
  const int64_t now = loop_.NowMilliseconds();
  // Every configured program at least every 30 s, or at each echo where that is sooner.
  const bool all =
      now - refreshed_ms_ >= std::min<int64_t>(kRefreshMs, config_.echo_seconds * 1000);
  if (all) refreshed_ms_ = now;
  for (auto& entry : nodes_) {
    NodeState& node = entry.second;  // a name the lambdas below may capture
    if (!node.online || !node.answered) continue;
    if (node.sensors_asked_ms && now - *node.sensors_asked_ms >= kSensorsAnswerMs) {
      node.sensors_asked_ms.reset();
      const auto gone = std::remove_if(node.sensors.begin(), node.sensors.end(),
                                       [](const UserSensorState& s) { return !s.confirmed; });
      if (gone != node.sensors.end()) {
        node.sensors.erase(gone, node.sensors.end());
        Tell([&](NodeObserver& o) { o.NodeChanged(node); });
      }
    }
    if (all) {
      AskForReports(node, /*timed=*/true);
      continue;
    }
    for (const ProgramConfig& program : node.offered) {
      const auto found = node.programs.find(LowerCase(program.path));
      if (found == node.programs.end()) continue;
      ProgramState& state = found->second;
      // A running program whose report is overdue may have ended unseen.
      if (state.Running() && now - state.reported_ms >= kOverdueMs &&
          now - state.asked_ms >= kOverdueMs) {
        state.asked_ms = now;
        Request(node, "Computer.Process", "Process.Control",
                {{"Action", "autonotify"}, {"Path", program.path}});
      }
    }
  }
}

void NodeDirectory::AskEveryone(bool with_address) {
  const int64_t now = loop_.NowMilliseconds();
  if (asked_everyone_ms_ && now - *asked_everyone_ms_ < kAskEveryoneEveryMs) {
    // A new name heard meanwhile waits for the next round: a flood of names costs one.
    if (!ask_timer_->Enabled()) {
      ask_timer_->SetInterval(static_cast<int>(kAskEveryoneEveryMs - (now - *asked_everyone_ms_)));
      ask_timer_->SetEnabled(true);
    }
    return;
  }
  asked_everyone_ms_ = now;
  try {
    // Every node takes "*" as its own, and answers from its own address: one request asks
    // them all, and only a computer answers.
    if (with_address) send_("*", "Computer.Process", "Computer.Control", {{"Query", "IP"}});
    // The computers' figures come with each round, so that they are never older than it.
    send_("*", "Computer.Process", "Computer.Control", {{"Query", "Status"}});
    send_("*", "WDT.Echo", "Echo.Query", {{"Query", "varnix-gateway"}});
  } catch (const Error& e) {
    say_("cannot ask the network for its nodes: " + e.description());
  }
}

bool NodeDirectory::MaySend(const NodeState& node) {
  if (node.answered) return true;
  const int64_t now = loop_.NowMilliseconds();
  stranger_tokens_ = std::min<double>(kStrangerRequestBurst,
                                      stranger_tokens_ + static_cast<double>(now - tokens_at_ms_) *
                                                             kStrangerRequestsPerSecond / 1000.0);
  tokens_at_ms_ = now;
  if (stranger_tokens_ < 1) return false;
  stranger_tokens_ -= 1;
  return true;
}

void NodeDirectory::AskForList(NodeState& node) {
  node.list_token = "gateway-list-" + std::to_string(list_tokens_());
  Request(node, "Computer.Process", "Process.Control",
          {{"Action", "list"}, {"Request", node.list_token}});
}

void NodeDirectory::AskForReports(NodeState& node, bool timed) {
  const int64_t now = loop_.NowMilliseconds();
  for (const ProgramConfig& program : node.offered) {
    const auto [asked, first] = node.reports_asked_ms.try_emplace(LowerCase(program.path), now);
    if (!first && !timed && now - asked->second < kReportsAskedEveryMs) continue;
    asked->second = now;
    Request(node, "Computer.Process", "Process.Control",
            {{"Action", "autonotify"}, {"Path", program.path}});
  }
  // Programs no longer offered are not asked for again.
  std::erase_if(node.reports_asked_ms, [&](const auto& entry) {
    return std::none_of(node.offered.begin(), node.offered.end(),
                        [&](const ProgramConfig& p) { return LowerCase(p.path) == entry.first; });
  });
}

void NodeDirectory::Request(const NodeState& node, const std::string& klass,
                            const std::string& section, const Items& items) {
  if (!MaySend(node)) return;
  try {
    // Its own address and no other: a source as heard may carry more than one node takes.
    send_("qel.Process." + node.computer, klass, section, items);
  } catch (const Error& e) {
    say_("cannot send to " + node.source + ": " + e.description());
  }
}

NodeState* NodeDirectory::Reachable(const std::string& computer, const std::string& action,
                                    Sent& sent) {
  const auto found = nodes_.find(LowerCase(computer));
  if (found == nodes_.end()) {
    sent = Sent::kUnknown;
    return nullptr;
  }
  NodeState& node = found->second;
  if (!node.online) {
    sent = Sent::kOffline;
    const std::string text = node.computer + " is offline: " + action + " not sent";
    say_(text);
    Tell([&](NodeObserver& o) { o.NodeEvent(node, text); });
    return nullptr;
  }
  sent = Sent::kSent;
  return &node;
}

NodeDirectory::Sent NodeDirectory::StartProgram(const std::string& computer,
                                                const ProgramConfig& program, bool restart) {
  Sent sent;
  const NodeState* node =
      Reachable(computer, (restart ? "restart of " : "start of ") + program.name, sent);
  if (node == nullptr) return sent;
  Items items{{"Action", restart ? "restart" : "start"}, {"Path", program.path}};
  // Declared on the computer: started as declared there.
  if (program.declared) items.emplace_back("Name", program.name);
  if (!program.parameter.empty()) items.emplace_back("Parameter", program.parameter);
  if (!program.priority.empty()) items.emplace_back("Priority", program.priority);
  if (!program.restart.empty()) items.emplace_back("Restart", program.restart);
  Request(*node, "Computer.Process", "Process.Control", items);
  // Its next report may already tell it failed, within its first second.
  starting_.emplace(LowerCase(node->computer), LowerCase(program.path));
  // A start ends the node's reports at every pass for the program: they are asked again.
  Request(*node, "Computer.Process", "Process.Control",
          {{"Action", "autonotify"}, {"Path", program.path}});
  return sent;
}

NodeDirectory::Sent NodeDirectory::StopProgram(const std::string& computer,
                                               const ProgramConfig& program) {
  Sent sent;
  const NodeState* node = Reachable(computer, "stop of " + program.name, sent);
  if (node == nullptr) return sent;
  Items items{{"Action", "stop"}, {"Path", program.path}};
  if (program.declared) items.emplace_back("Name", program.name);
  Request(*node, "Computer.Process", "Process.Control", items);
  return sent;
}

NodeDirectory::Sent NodeDirectory::ControlComputer(const std::string& computer,
                                                   const std::string& action) {
  Sent sent;
  const NodeState* node = Reachable(computer, action, sent);
  if (node == nullptr) return sent;
  if (action == "reload") {
    Request(*node, "Computer.Process", "Process.Control", {{"Action", action}});
  } else {
    Request(*node, "Computer.Process", "Computer.Control", {{"Action", action}});
  }
  return sent;
}

NodeDirectory::Sent NodeDirectory::Notify(const std::string& computer, const NoticeText& notice) {
  Sent sent;
  const NodeState* node = Reachable(computer, "notice", sent);
  if (node == nullptr) return sent;
  // One line each, within what the node shows; a cut never splits a character.
  const auto line = [](std::string_view text, size_t most) {
    std::string one(CutAtCharacter(text, most));
    std::replace_if(one.begin(), one.end(), IsControlByte, ' ');
    return one;
  };
  Items items{{"Notify", line(notice.text, 1024)}};
  if (!notice.title.empty()) items.emplace_back("Title", line(notice.title, 128));
  if (!notice.actions.empty()) items.emplace_back("Actions", line(notice.actions, 160));
  if (!notice.timeout.empty()) items.emplace_back("Timeout", line(notice.timeout, 8));
  Request(*node, "Computer.Process", "Computer.Control", items);
  return sent;
}

NodeDirectory::Sent NodeDirectory::Wake(const std::string& computer, std::string* said) {
  const std::string key = LowerCase(computer);
  const auto found = nodes_.find(key);
  const auto recalled = recalled_.find(TopicWord(computer));
  if (found == nodes_.end() && recalled == recalled_.end()) return Sent::kUnknown;
  NodeState* node = found == nodes_.end() ? nullptr : &found->second;
  std::pair<std::string, std::string> target;  // the MAC, and where the computer was heard
  if (recalled != recalled_.end()) target = recalled->second;
  if (node != nullptr && !node->mac.empty()) target = {node->mac, node->address};
  const std::string& name = node != nullptr ? node->computer : computer;
  std::string text;
  Sent sent = Sent::kFailed;
  const int64_t now = loop_.NowMilliseconds();
  const auto woken = woken_ms_.find(target.first);
  if (target.first.empty()) {
    text = "cannot wake " + name + ": its MAC is not known (its node tells it once it answers)";
  } else if (woken != woken_ms_.end() && now - woken->second < kWakeEveryMs) {
    // A flood of presses (or of MQTT messages) is one packet a second on the LAN, not one each.
    text = "woke " + name + " a moment ago";
    sent = Sent::kSent;
  } else {
    try {
      text = "woke " + name + ": the magic packet for " + target.first + " went to " +
             send_wake_(target.first, target.second);
      sent = Sent::kSent;
      if (woken_ms_.size() >= kMaxNodes) woken_ms_.clear();
      woken_ms_[target.first] = now;
    } catch (const Error& e) {
      text = "cannot wake " + name + ": " + e.description();
    }
  }
  say_(text);
  if (node != nullptr) Tell([&](NodeObserver& o) { o.NodeEvent(*node, text); });
  if (said != nullptr) *said = text;
  return sent;
}

void NodeDirectory::Recall(const std::string& computer, const std::string& mac,
                           const std::string& address) {
  const std::string normal = NormalMac(mac);
  if (normal.empty() || recalled_.size() >= kMaxNodes) return;
  recalled_[TopicWord(computer)] = {normal, address};
}

}  // namespace varnix
