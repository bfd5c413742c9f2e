// The gateway's picture of the Varnix nodes on the LAN, kept from what they say: each node's
// computer and address, whether it answers, and the programs it reports.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "gateway/gateway_config.h"
#include "platform/event_loop.h"
#include "xap/xap_link.h"

namespace varnix {

// One program as its node last reported it.
struct ProgramState {
  std::string path;
  std::string title;
  std::string pid = "0";  // "0" when it does not run
  std::string priority;
  std::string cpu;      // percent
  std::string ram;      // bytes
  std::string elapsed;  // seconds
  std::string exit_code;
  std::string signal;
  bool forced = false;  // the node ended it by force

  bool Running() const { return pid != "0" && !pid.empty(); }
};

struct NodeState {
  std::string source;    // "qel.Process.NAME"
  std::string computer;  // NAME, as the node writes it
  std::string address;   // its IPv4 address, once it has said it
  bool online = false;
  // Its last message was signed under the gateway's key; never without a key.
  bool verified = false;
  int64_t last_heard_ms = 0;  // on the loop's clock
  int unanswered_echoes = 0;
  // Keyed by the lower-cased path, so that the node's own letter case is kept in the value.
  std::map<std::string, ProgramState> programs;

  const ProgramState* Program(const std::string& path) const;
};

// What the directory tells of the nodes, as it learns it.
class NodeObserver {
 public:
  virtual ~NodeObserver() = default;
  // A node came or went, or its computer, address or availability changed.
  virtual void NodeChanged(const NodeState& node) = 0;
  virtual void ProgramReported(const NodeState& node, const ProgramState& program) = 0;
  // The node's event text (a failure, a refusal).
  virtual void NodeEvent(const NodeState& node, const std::string& text) = 0;
};

class NodeDirectory {
 public:
  using Items = std::vector<std::pair<std::string, std::string>>;
  // Sends one request; throws Error when the system refuses it.
  using Send = std::function<void(const std::string& target, const std::string& klass,
                                  const std::string& section, const Items& items)>;
  using Say = std::function<void(const std::string& text)>;

  // Bounds against a LAN that invents nodes and programs without end.
  static constexpr size_t kMaxNodes = 1024;
  static constexpr size_t kMaxProgramsPerNode = 256;

  NodeDirectory(EventLoop& loop, const GatewayConfig& config, Send send, Say say);

  void AddObserver(NodeObserver& observer) { observers_.push_back(&observer); }
  // Asks every node for its computer, and starts the echoes.
  void Start();
  void Hear(const Heard& heard);

  // Requests to a node, by its computer name (any letter case). False when no such node is
  // known; the request is then not sent.
  bool StartProgram(const std::string& computer, const ProgramConfig& program, bool restart);
  bool StopProgram(const std::string& computer, const ProgramConfig& program);
  bool ControlComputer(const std::string& computer, const std::string& action);

  const std::map<std::string, NodeState>& nodes() const { return nodes_; }
  const NodeState* Find(const std::string& computer) const;

 private:
  NodeState* Learn(const std::string& source);
  void SetOnline(NodeState& node, bool online);
  void AskForReports(const NodeState& node);
  void Echo();
  void Request(const NodeState& node, const std::string& klass, const std::string& section,
               const Items& items);
  template <typename Call>
  void Tell(Call call) {
    for (NodeObserver* observer : observers_) call(*observer);
  }

  EventLoop& loop_;
  const GatewayConfig& config_;
  Send send_;
  Say say_;
  std::vector<NodeObserver*> observers_;
  std::map<std::string, NodeState> nodes_;  // by the lower-cased computer name
  std::unique_ptr<Timer> echo_timer_;
  // Nodes come in bursts (the gateway's start, a LAN that wakes): the heap they grew is given
  // back once they have been quiet for a while.
  std::unique_ptr<Timer> trim_timer_;
  bool said_full_ = false;
};

}  // namespace varnix
