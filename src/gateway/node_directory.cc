// NodeDirectory: what the nodes say becomes their state; silence becomes "offline".
#include "gateway/node_directory.h"

#include "core/text.h"
#include "platform/error.h"
#include "platform/memory.h"

namespace varnix {
namespace {

constexpr std::string_view kNodePrefix = "qel.process.";
constexpr int kTrimAfterMs = 5000;

// The computer of a node's source address; "" when the source is not a Varnix node.
std::string ComputerOf(const std::string& source) {
  if (source.size() <= kNodePrefix.size() ||
      !EqualsLowered(std::string_view(source).substr(0, kNodePrefix.size()), kNodePrefix)) {
    return "";
  }
  std::string computer = source.substr(kNodePrefix.size());
  // A sub-address (":...") names a part of the node, not another computer.
  computer = computer.substr(0, computer.find(':'));
  for (const char c : computer) {
    if (IsControlByte(c) || c == '*' || c == '>') return "";
  }
  return computer;
}

}  // namespace

const ProgramState* NodeState::Program(const std::string& path) const {
  const auto found = programs.find(LowerCase(path));
  return found == programs.end() ? nullptr : &found->second;
}

NodeDirectory::NodeDirectory(EventLoop& loop, const GatewayConfig& config, Send send, Say say)
    : loop_(loop), config_(config), send_(std::move(send)), say_(std::move(say)) {
  echo_timer_ = loop_.CreateTimer([this] { Echo(); });
  trim_timer_ = loop_.CreateTimer([this] {
    trim_timer_->SetEnabled(false);
    ReleaseFreeMemory();
  });
  trim_timer_->SetInterval(kTrimAfterMs);
}

void NodeDirectory::Start() {
  try {
    // Every node takes "*" as its own, and answers from its own address.
    send_("*", "Computer.Process", "Computer.Control", {{"Query", "IP"}});
  } catch (const Error& e) {
    say_("cannot ask the network for its nodes: " + e.description());
  }
  echo_timer_->SetInterval(config_.echo_seconds * 1000);
  echo_timer_->SetEnabled(true);
}

const NodeState* NodeDirectory::Find(const std::string& computer) const {
  const auto found = nodes_.find(LowerCase(computer));
  return found == nodes_.end() ? nullptr : &found->second;
}

NodeState* NodeDirectory::Learn(const std::string& source) {
  const std::string computer = ComputerOf(source);
  if (computer.empty()) return nullptr;
  const std::string key = LowerCase(computer);
  if (const auto found = nodes_.find(key); found != nodes_.end()) return &found->second;
  if (nodes_.size() >= kMaxNodes) {
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
  return &node;
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
  if (node->verified != heard.verified) {
    node->verified = heard.verified;
    if (!was_new) Tell([&](NodeObserver& o) { o.NodeChanged(*node); });
  }
  SetOnline(*node, true);
  if (heard.section == "computer.notification") {
    const std::string address = heard.Item("IP");
    if (address != node->address) {
      node->address = address;
      Tell([&](NodeObserver& o) { o.NodeChanged(*node); });
    }
  } else if (was_new) {
    // Heard before it said its address: it is asked.
    Request(*node, "Computer.Process", "Computer.Control", {{"Query", "IP"}});
  }
  if (heard.section == "process.notification") {
    const std::string path = heard.Item("Path");
    const std::string key = LowerCase(path);
    if (path.empty()) return;
    if (node->programs.count(key) == 0 && node->programs.size() >= kMaxProgramsPerNode) return;
    ProgramState& program = node->programs[key];
    program.path = path;
    program.title = heard.Item("Title");
    program.pid = heard.Item("PID", "0");
    program.priority = heard.Item("Priority");
    program.cpu = heard.Item("CPU");
    program.ram = heard.Item("RAM");
    program.elapsed = heard.Item("Elapsed");
    program.exit_code = heard.Item("ExitCode");
    program.signal = heard.Item("Signal");
    program.forced = EqualsIgnoringCase(heard.Item("Forced"), "yes");
    Tell([&](NodeObserver& o) { o.ProgramReported(*node, program); });
  } else if (EqualsIgnoringCase(heard.klass, "Homeseer.Event")) {
    const std::string text = heard.Item("Data");
    Tell([&](NodeObserver& o) { o.NodeEvent(*node, text); });
  }
}

void NodeDirectory::SetOnline(NodeState& node, bool online) {
  if (node.online == online) return;
  node.online = online;
  Tell([&](NodeObserver& o) { o.NodeChanged(node); });
  // A node that comes (back) has forgotten what it was asked to report at every pass.
  if (online) AskForReports(node);
}

void NodeDirectory::AskForReports(const NodeState& node) {
  for (const ProgramConfig& program : config_.programs) {
    if (!program.ForComputer(node.computer)) continue;
    Request(node, "Computer.Process", "Process.Control",
            {{"Action", "autonotify"}, {"Path", program.path}});
  }
}

void NodeDirectory::Echo() {
  // Its heartbeat comes every ten minutes: an echo tells sooner whether it is there.
  for (auto& [key, node] : nodes_) {
    if (!node.online) continue;
    if (node.unanswered_echoes >= 2) {
      SetOnline(node, false);
      continue;
    }
    ++node.unanswered_echoes;
    Request(node, "WDT.Echo", "Echo.Query", {{"Query", "varnix-gateway"}});
  }
}

void NodeDirectory::Request(const NodeState& node, const std::string& klass,
                            const std::string& section, const Items& items) {
  try {
    send_(node.source, klass, section, items);
  } catch (const Error& e) {
    say_("cannot send to " + node.source + ": " + e.description());
  }
}

bool NodeDirectory::StartProgram(const std::string& computer, const ProgramConfig& program,
                                 bool restart) {
  const NodeState* node = Find(computer);
  if (node == nullptr) return false;
  Items items{{"Action", restart ? "restart" : "start"}, {"Path", program.path}};
  if (!program.parameter.empty()) items.emplace_back("Parameter", program.parameter);
  if (!program.priority.empty()) items.emplace_back("Priority", program.priority);
  if (!program.restart.empty()) items.emplace_back("Restart", program.restart);
  Request(*node, "Computer.Process", "Process.Control", items);
  // A start ends the node's reports at every pass for the program: they are asked again.
  Request(*node, "Computer.Process", "Process.Control",
          {{"Action", "autonotify"}, {"Path", program.path}});
  return true;
}

bool NodeDirectory::StopProgram(const std::string& computer, const ProgramConfig& program) {
  const NodeState* node = Find(computer);
  if (node == nullptr) return false;
  Request(*node, "Computer.Process", "Process.Control",
          {{"Action", "stop"}, {"Path", program.path}});
  return true;
}

bool NodeDirectory::ControlComputer(const std::string& computer, const std::string& action) {
  const NodeState* node = Find(computer);
  if (node == nullptr) return false;
  Request(*node, "Computer.Process", "Computer.Control", {{"Action", action}});
  return true;
}

}  // namespace varnix
