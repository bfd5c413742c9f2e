// NodeDirectory: what the nodes say becomes their state; silence becomes "offline".
#include "gateway/node_directory.h"

#include <algorithm>
#include <vector>

#include "core/network_address.h"
#include "core/text.h"
#include "core/wake_on_lan.h"
#include "gateway/computer_name.h"
#include "platform/error.h"
#include "platform/memory.h"

namespace varnix {
namespace {

constexpr int kTrimAfterMs = 5000;

}  // namespace

bool NodeDirectory::StartupNotice(const std::string& text) {
  return text.rfind("Using xAP port ", 0) == 0;
}

NodeDirectory::NodeDirectory(EventLoop& loop, const GatewayConfig& config, Send send, Say say,
                             SendWake send_wake, std::string access_key)
    : loop_(loop),
      config_(config),
      send_(std::move(send)),
      say_(std::move(say)),
      send_wake_(std::move(send_wake)),
      logs_(
          loop,
          [this](const std::string& key, const NodeLogs::Items& items) {
            const auto found = nodes_.find(key);
            if (found != nodes_.end() && MaySend(found->second)) {
              Request(found->second, "Computer.Process", "Process.Control", items);
            }
          },
          [this](const std::string& key, const std::string& text) {
            const auto found = nodes_.find(key);
            if (found != nodes_.end()) {
              Tell([&](NodeObserver& o) { o.NodeEvent(found->second, Bounded(text)); });
            }
          },
          std::move(access_key)) {
  echo_timer_ = loop_.CreateTimer([this] { Echo(); });
  refresh_timer_ = loop_.CreateTimer([this] { Refresh(); });
  ask_timer_ = loop_.CreateTimer([this] {
    ask_timer_->SetEnabled(false);
    AskEveryone(true);
  });
  trim_timer_ = loop_.CreateTimer([this] {
    trim_timer_->SetEnabled(false);
    ReleaseFreeMemory();
  });
  trim_timer_->SetInterval(kTrimAfterMs);
}

void NodeDirectory::Start() {
  AskEveryone(true);
  echo_timer_->SetInterval(config_.echo_seconds * 1000);
  echo_timer_->SetEnabled(true);
  refresh_timer_->SetInterval(static_cast<int>(std::min<int64_t>(kOverdueMs / 3, kRefreshMs)));
  refresh_timer_->SetEnabled(true);
}

const NodeState* NodeDirectory::Find(const std::string& computer) const {
  const auto found = nodes_.find(LowerCase(computer));
  return found == nodes_.end() ? nullptr : &found->second;
}

NodeState* NodeDirectory::Learn(const std::string& source) {
  const std::string computer = ComputerOf(source);
  if (computer.empty()) {
    if (IsNodeSource(source)) {
      SayOnce(LowerCase(source), "the node " + ShownSafely(source, 128) +
                                     " is not followed: a computer's name is letters of one "
                                     "script, digits, \"-\" and \"_\", with nothing invisible");
    }
    return nullptr;
  }
  const std::string key = LowerCase(computer);
  if (const auto found = nodes_.find(key); found != nodes_.end()) return &found->second;
  // One word, one node: a second name that folds to a word in use would take over the first
  // one's topics, device and commands.
  const std::string word = TopicWord(computer);
  if (const auto taken = words_.find(word); taken != words_.end()) {
    SayOnce(key, "the node " + computer + " is not followed: its name makes the word " + word +
                     ", which " + nodes_.at(taken->second).computer + " has");
    return nullptr;
  }
  if (nodes_.size() >= kMaxNodes && !MakeRoom()) {
    if (!said_full_)
      say_("more than " + std::to_string(kMaxNodes) + " nodes: " + source +
           " and any later ones are not followed");
    said_full_ = true;
    return nullptr;
  }
  NodeState& node = nodes_[key];
  trim_timer_->SetEnabled(false);  // counted from the latest
  trim_timer_->SetEnabled(true);
  node.source = source;
  node.computer = computer;
  node.word = word;
  words_[word] = key;
  Offer(node);
  return &node;
}

bool NodeDirectory::MakeRoom() {
  const NodeState* oldest = nullptr;
  for (const auto& [key, node] : nodes_) {
    if (!node.answered && (oldest == nullptr || node.last_heard_ms < oldest->last_heard_ms)) {
      oldest = &node;
    }
  }
  if (oldest == nullptr) return false;
  Forget(LowerCase(oldest->computer));
  return true;
}

void NodeDirectory::Forget(const std::string& key) {
  const auto found = nodes_.find(key);
  if (found == nodes_.end()) return;
  Tell([&](NodeObserver& o) { o.NodeForgotten(found->second); });
  words_.erase(found->second.word);
  logs_.Forget(key);
  std::erase_if(starting_, [&](const auto& started) { return started.first == key; });
  for (const auto& [path, program] : found->second.programs) state_bytes_ -= program.Bytes();
  for (const ProgramConfig& program : found->second.declared)
    state_bytes_ -= DeclaredBytes(program);
  if (state_bytes_ < kMaxStateBytes / 2) said_state_full_ = false;
  nodes_.erase(found);
}

const NodeLogs::View* NodeDirectory::Log(const std::string& computer, const std::string& path) {
  const std::string key = LowerCase(computer);
  const auto found = nodes_.find(key);
  if (found == nodes_.end() || !found->second.online || !found->second.answered) return nullptr;
  const NodeState& node = found->second;
  std::string name;
  bool known = node.Program(path) != nullptr;
  for (const ProgramConfig& program : node.offered) {
    if (!EqualsIgnoringCase(program.path, path)) continue;
    known = true;
    if (program.declared) name = program.name;
  }
  return known ? logs_.Open(key, path, name) : nullptr;
}

void NodeDirectory::RefusedUnsigned(const std::string& sender) {
  SayOnce("unsigned " + sender, Bounded(sender) +
                                    " signs nothing, and [Access] RequireSignedNodes=yes: it is "
                                    "not followed until its node has the house's access.key");
}

void NodeDirectory::SayOnce(const std::string& name, const std::string& text) {
  if (said_.size() >= kMaxNodes || !said_.insert(name).second) return;
  say_(text);
  Tell([&](NodeObserver& o) { o.GatewayNotice(text); });
}

void NodeDirectory::Hear(const Heard& heard) {
  NodeState* node = Learn(heard.source);
  if (node == nullptr) return;
  node->last_heard_ms = heard.at_ms;
  node->unanswered_echoes = 0;
  if (EqualsIgnoringCase(heard.klass, "xap-hbeat.stopped")) {
    SetOnline(*node, false);
    return;
  }
  const bool was_new = node->address.empty() && !node->online;
  const bool answers = !node->answered && heard.section == "echo.response";
  if (answers) node->answered = true;
  if (node->verified != heard.verified || answers) {
    node->verified = heard.verified;
    if (!was_new) Tell([&](NodeObserver& o) { o.NodeChanged(*node); });
  }
  SetOnline(*node, true);
  if (heard.section == "computer.notification") {
    // An IPv4 address in its dotted form, or nothing: it is shown, kept and woken by.
    std::string address = heard.Item("IP");
    if (!ParseAddress(address)) address.clear();
    if (address != node->address) {
      node->address = address;
      Tell([&](NodeObserver& o) { o.NodeChanged(*node); });
    }
  } else if (was_new) {
    // Heard before it said its address, or whether a computer stands behind the name: asked
    // of everyone at once, soon.
    AskEveryone(true);
  }
  // A computer that answers for the first time is asked for its programs' reports, and for
  // the programs declared on it.
  if (answers) {
    AskForReports(*node);
    AskForList(*node);
    // Its sensors of the user's own, which it tells by itself only as they change.
    Request(*node, "Computer.Process", "Computer.Control", {{"Query", "Sensors"}});
  }
  if (heard.section == "process.notification" && LearnDeclared(*node, heard)) {
    Offer(*node);
    Tell([&](NodeObserver& o) { o.NodeChanged(*node); });
    AskForReports(*node);
  }
  if (heard.section == "process.log") {
    logs_.Hear(LowerCase(node->computer), heard);
  } else if (heard.section == "process.notification") {
    HearReport(*node, heard);
  } else if (heard.section == "computer.status") {
    HearStatus(*node, heard);
  } else if (heard.section == "computer.presence" && node->answered) {
    // Who is at it, told as it changes: its figures otherwise stay as the last round gave them.
    ReadPresence(heard, node->figures);
    if (NotePresence(*node)) Tell([&](NodeObserver& o) { o.NodeChanged(*node); });
    Tell([&](NodeObserver& o) { o.FiguresReported(*node); });
  } else if (heard.section == "computer.sensor" && node->answered) {
    HearSensor(*node, heard);
  } else if (heard.section == "computer.notice" && node->answered) {
    if (const std::optional<NoticeOutcome> told = ReadNoticeOutcome(heard)) {
      Tell([&](NodeObserver& o) { o.NoticeTold(*node, *told); });
    }
  } else if (EqualsIgnoringCase(heard.klass, "Homeseer.Event")) {
    HearEvent(*node, heard);
  }
}

void NodeDirectory::HearReport(NodeState& node, const Heard& heard) {
  ProgramState reported = ReadReport(heard);
  const std::string key = LowerCase(reported.path);
  if (reported.path.empty()) return;
  // A list entry answers one request: not ours, it is nobody's report. A report in the name
  // of a declared program the node never listed to us is made up, or comes before the list,
  // and comes again at the next pass.
  const std::string name = heard.Item("Name");
  if ((!heard.Item("State").empty() && heard.Item("Request") != node.list_token) ||
      (!name.empty() &&
       std::none_of(node.declared.begin(), node.declared.end(),
                    [&](const ProgramConfig& p) { return EqualsIgnoringCase(p.name, name); }))) {
    return;
  }
  const bool known = node.programs.count(key) != 0;
  const bool was_running = (known && node.programs.at(key).Running()) ||
                           starting_.erase({LowerCase(node.computer), key}) > 0;
  // The report of one run's end (a node that restarts a program ends many): each is told once,
  // whether or not a pass saw the run.
  const bool new_end =
      !reported.ended.empty() && (!known || node.programs.at(key).ended != reported.ended);
  if (!known && node.programs.size() >= kMaxProgramsPerNode) return;
  if (reported.ended.empty() && known) reported.ended = node.programs.at(key).ended;
  // The whole state stays within what the page shows: a LAN that makes up programs without
  // end fills it, and what does not fit is not kept (said once).
  if (!Charge(known ? node.programs.at(key).Bytes() : 0, reported.Bytes())) return;
  ProgramState& program = node.programs[key];
  reported.asked_ms = program.asked_ms;
  reported.failures = program.failures;
  program = std::move(reported);
  Tell([&](NodeObserver& o) { o.ProgramReported(node, program); });
  // A program shown in Home Assistant that ended with a failure is told, with its last words.
  // Asked to end (a stop, the system's), or ended by force after that, it did not fail.
  const bool asked_to_end = program.forced || program.signal == "SIGTERM" ||
                            program.signal == "SIGINT" || program.signal == "SIGHUP";
  const bool failed = (!program.exit_code.empty() && program.exit_code != "0") ||
                      (!program.signal.empty() && !asked_to_end);
  if (!program.Running() && failed && (was_running || new_end)) TellFailure(node, program);
}

void NodeDirectory::TellFailure(const NodeState& node, ProgramState& program) {
  // One event a program every kFailureEveryMs at most, with the failed runs not told since:
  // a program that fails at once and is started again does not flood the logbook.
  const int64_t now = loop_.NowMilliseconds();
  ProgramState::Failures& failures = program.failures;
  if (failures.told_ms && now - *failures.told_ms < kFailureEveryMs) {
    ++failures.untold;
    return;
  }
  std::string how = program.exit_code.empty() ? program.signal : "exit " + program.exit_code;
  if (failures.untold > 0) {
    how += "; " + std::to_string(failures.untold) + " more failed run" +
           (failures.untold == 1 ? "" : "s") + " before it not told";
  }
  failures = {now, 0};
  for (const ProgramConfig& offered : node.offered) {
    if (!EqualsIgnoringCase(offered.path, program.path)) continue;
    logs_.Ended(LowerCase(node.computer), program.path, offered.declared ? offered.name : "",
                offered.name, how);
  }
}

void NodeDirectory::HearStatus(NodeState& node, const Heard& heard) {
  node.figures = ReadFigures(heard);
  const std::string mac = NormalMac(heard.Item("MAC"));
  // Its first processor temperature adds that sensor to the computer.
  const bool first_temperature = node.figures.cpu_temperature && !node.cpu_sensor;
  node.cpu_sensor = node.cpu_sensor || first_temperature;
  const bool first_presence = NotePresence(node);
  if ((!mac.empty() && mac != node.mac) || first_temperature || first_presence) {
    if (!mac.empty()) node.mac = mac;
    Tell([&](NodeObserver& o) { o.NodeChanged(node); });
  }
  Tell([&](NodeObserver& o) { o.FiguresReported(node); });
}

bool NodeDirectory::NotePresence(NodeState& node) {
  if (node.presence_sensors || !node.figures.user) return false;
  node.presence_sensors = true;
  return true;
}

void NodeDirectory::HearSensor(NodeState& node, const Heard& heard) {
  std::optional<UserSensorState> heard_sensor = ReadSensor(heard);
  if (!heard_sensor) return;
  auto known = std::find_if(node.sensors.begin(), node.sensors.end(), [&](const auto& sensor) {
    return EqualsIgnoringCase(sensor.name, heard_sensor->name);
  });
  if (known == node.sensors.end()) {
    if (node.sensors.size() >= kMaxUserSensors) return;
    node.sensors.push_back(std::move(*heard_sensor));
    Tell([&](NodeObserver& o) { o.NodeChanged(node); });
    Tell([&](NodeObserver& o) { o.SensorReported(node, node.sensors.back()); });
    return;
  }
  // A new kind or unit is another entity in Home Assistant: its device is told again.
  const bool changed = known->kind != heard_sensor->kind || known->unit != heard_sensor->unit;
  *known = std::move(*heard_sensor);
  if (changed) Tell([&](NodeObserver& o) { o.NodeChanged(node); });
  Tell([&](NodeObserver& o) { o.SensorReported(node, *known); });
}

void NodeDirectory::HearEvent(NodeState& node, const Heard& heard) {
  const std::string text = Bounded(EventWords(heard));
  // A node that starts again may declare other programs: what it said before goes.
  if (StartupNotice(text) && node.answered) {
    if (!node.declared.empty()) {
      for (const ProgramConfig& program : node.declared) state_bytes_ -= DeclaredBytes(program);
      node.declared.clear();
      Offer(node);
      Tell([&](NodeObserver& o) { o.NodeChanged(node); });
    }
    AskForList(node);
    // Its settings may declare other sensors now: each stays only if it is told again.
    if (!node.sensors.empty()) {
      for (UserSensorState& sensor : node.sensors) sensor.confirmed = false;
      node.sensors_asked_ms = loop_.NowMilliseconds();
      Request(node, "Computer.Process", "Computer.Control", {{"Query", "Sensors"}});
    }
  }
  Tell([&](NodeObserver& o) { o.NodeEvent(node, text); });
}

void NodeDirectory::SetOnline(NodeState& node, bool online) {
  if (node.online == online) return;
  node.online = online;
  Tell([&](NodeObserver& o) { o.NodeChanged(node); });
  // A node that comes (back) has forgotten what it was asked to report at every pass; a name
  // that has never answered is asked nothing.
  if (online && node.answered) AskForReports(node);
}

void NodeDirectory::Offer(NodeState& node) {
  node.offered.clear();
  for (const ProgramConfig& program : config_.programs) {
    if (program.ForComputer(node.computer)) node.offered.push_back(program);
  }
  for (const ProgramConfig& program : node.declared) {
    // gateway.ini wins for the same path; a name whose id is taken is not offered twice.
    const bool taken = std::any_of(node.offered.begin(), node.offered.end(), [&](const auto& p) {
      return EqualsIgnoringCase(p.path, program.path) || p.id == program.id;
    });
    if (!taken) node.offered.push_back(program);
  }
}

bool NodeDirectory::LearnDeclared(NodeState& node, const Heard& heard) {
  // Only an entry of a list says how the program is declared; other reports name it alone.
  // Asked only of a computer that answers: a name nobody stands behind declares nothing.
  const std::string name = Bounded(heard.Item("Name"));
  const std::string path = Bounded(heard.Item("Path"));
  if (!node.answered || name.empty() || path.empty() || heard.Item("State").empty() ||
      node.list_token.empty() || heard.Item("Request") != node.list_token) {
    return false;
  }
  ProgramConfig program;
  program.name = name;
  program.id = TopicWord(name);
  program.computer = node.computer;
  program.path = path;
  program.declared = true;
  const auto same = std::find_if(node.declared.begin(), node.declared.end(),
                                 [&](const ProgramConfig& p) { return p.id == program.id; });
  if (same != node.declared.end()) {
    if (same->path == program.path && same->name == program.name) return false;
    if (!Charge(DeclaredBytes(*same), DeclaredBytes(program))) return false;
    *same = std::move(program);
    return true;
  }
  if (node.declared.size() >= kMaxProgramsPerNode || !Charge(0, DeclaredBytes(program))) {
    return false;
  }
  node.declared.push_back(std::move(program));
  return true;
}

size_t NodeDirectory::DeclaredBytes(const ProgramConfig& program) {
  return sizeof(ProgramConfig) + program.name.size() + program.id.size() + program.path.size() +
         program.computer.size();
}

bool NodeDirectory::Charge(size_t before, size_t after) {
  // Refused, not made room for: what is kept is never pushed out by what a LAN makes up.
  if (state_bytes_ - before + after > kMaxStateBytes) {
    if (!said_state_full_) {
      say_("the programs reported fill " + std::to_string(kMaxStateBytes) +
           " bytes; more are not kept until some are forgotten");
    }
    said_state_full_ = true;
    return false;
  }
  state_bytes_ = state_bytes_ - before + after;
  return true;
}

void NodeDirectory::Echo() {
  const int64_t now = loop_.NowMilliseconds();
  const auto forget_ms = static_cast<int64_t>(config_.mqtt.forget_after_days * 86400000.0);
  std::vector<std::string> silent;
  for (const auto& [key, node] : nodes_) {
    if (now - node.last_heard_ms >= forget_ms) silent.push_back(key);
  }
  for (const std::string& key : silent) {
    say_("forgets " + nodes_.at(key).computer + ", not heard for " +
         std::to_string(config_.mqtt.forget_after_days) + " days");
    Forget(key);
  }
  // Its heartbeat comes every ten minutes: an echo tells sooner whether it is there.
  for (auto& [key, node] : nodes_) {
    if (!node.online) continue;
    if (node.unanswered_echoes >= kUnansweredEchoes - 1) {
      SetOnline(node, false);
      continue;
    }
    ++node.unanswered_echoes;
  }
  AskEveryone(false);
}

}  // namespace varnix
