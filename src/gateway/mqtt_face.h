// The gateway's MQTT face: the nodes' state as retained topics, Home Assistant's discovery
// configs, and the commands that come back, each checked before it reaches a node.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <unordered_map>

#include "gateway/gateway_config.h"
#include "gateway/node_directory.h"

namespace varnix {

// A connection to a broker, as the face uses it. Publishing while not connected is dropped:
// everything is published again on the next connection.
class MqttSession {
 public:
  // MQTT's quality of service: at most once (0), at least once (1).
  enum class Delivery { kAtMostOnce = 0, kAtLeastOnce = 1 };
  virtual ~MqttSession() = default;
  virtual void Publish(const std::string& topic, const std::string& payload, bool retain,
                       Delivery delivery) = 0;
  virtual void Subscribe(const std::string& pattern) = 0;
  virtual void Unsubscribe(const std::string& pattern) = 0;
};

class MqttFace : public NodeObserver {
 public:
  static constexpr size_t kMaxCommandBytes = 64;
  // After connecting, the broker's retained topics are gathered this long; then those of
  // nodes not heard within ForgetAfter are cleared.
  static constexpr int kSweepAfterMs = 10000;
  // How often (at most) the nodes' last-heard times are kept in the broker, and to what
  // precision.
  static constexpr int kRememberEveryMs = 60000;
  static constexpr int64_t kRememberPrecisionSeconds = 3600;  // at most: a 24th of ForgetAfter

  // `gateway` is this gateway's own name (its computer's); `say` writes the log.
  MqttFace(MqttSession& session, NodeDirectory& nodes, const GatewayConfig& config,
           std::string gateway, EventLoop& loop, NodeDirectory::Say say);

  // The topic that the session's will makes "offline" when the gateway is gone.
  std::string GatewayAvailabilityTopic() const;
  // Subscribes, and publishes everything, after each (re)connection.
  void Connected();
  void Message(const std::string& topic, const std::string& payload);

  void NodeChanged(const NodeState& node) override;
  void ProgramReported(const NodeState& node, const ProgramState& program) override;
  void FiguresReported(const NodeState& node) override;
  void NodeEvent(const NodeState& node, const std::string& text) override;
  void NodeForgotten(const NodeState& node) override;
  void GatewayNotice(const std::string& text) override;

 private:
  std::string NodeTopic(const NodeState& node, const std::string& rest) const;
  std::string ProgramTopic(const NodeState& node, const ProgramConfig& program,
                           const std::string& rest) const;
  void PublishNode(const NodeState& node);
  void PublishDiscovery(const NodeState& node);
  // The gateway as a device of its own, with its state (how many computers it follows).
  void PublishGatewayDevice();
  void PublishGatewayState();
  std::string GatewayDeviceId() const;
  // Where other computers open the page; "" when they cannot.
  std::string PageUrl() const;
  nlohmann::json Origin() const;
  void PublishProgram(const NodeState& node, const ProgramConfig& program);
  // The computer's own figures, as its sensors read them.
  void PublishFigures(const NodeState& node);
  // Keeps for waking what an earlier run retained of a computer (its name, MAC and address).
  void Recall(const std::string& payload);
  void Command(const std::string& word, const std::string& program_id, std::string payload);
  // A config left retained by an earlier run, for an entity that is no longer configured.
  void RetainedConfig(const std::string& topic, const std::string& node_id);
  void Refuse(const NodeState* node, const std::string& text);
  // A retained message, unless the broker already holds this very payload from us.
  void Retain(const std::string& topic, const std::string& payload,
              MqttSession::Delivery delivery = MqttSession::Delivery::kAtLeastOnce);
  const NodeState* NodeOfWord(const std::string& word) const;
  std::string GatewayTopic(const std::string& rest) const;
  // Keeps the nodes' last-heard times in the broker, where the next run finds them.
  void Remember();
  // Clears what the broker holds of the words gathered since connecting that name no node
  // heard within ForgetAfter.
  void Sweep();
  // Clears every topic of ours that the broker may hold for the word.
  void ClearWord(const std::string& word, std::set<std::string> topics);
  int64_t UnixNow() const;
  int64_t Precision() const;

  MqttSession& session_;
  NodeDirectory& nodes_;
  const GatewayConfig& config_;
  std::string gateway_;
  EventLoop& loop_;
  NodeDirectory::Say say_;
  // Each node's discovery topics as last published, by node id.
  std::map<std::string, std::set<std::string>> published_configs_;
  // Retained configs of ours from an earlier run whose node is not known yet, by node id.
  std::map<std::string, std::set<std::string>> earlier_configs_;
  std::map<std::string, int64_t> refusals_said_;  // text -> when, to say each once a minute
  // What each retained topic holds from us in this connection, as hashes of topic and payload:
  // a node that reports the same state every ten seconds costs the broker and Home Assistant
  // nothing, and the gateway no copy of every config.
  std::unordered_map<size_t, size_t> retained_;
  // When each word's node was last heard, in Unix seconds, as kept in the broker.
  std::map<std::string, int64_t> remembered_;
  // Topics found retained for each word since connecting, while gathering.
  std::map<std::string, std::set<std::string>> found_;
  // Topics of words that no node of this run has, kept until the word's time runs out.
  std::map<std::string, std::set<std::string>> held_;
  // When each running instance started, as told: its pid and the time, by instance topic.
  std::map<std::string, std::pair<std::string, std::string>> started_;
  bool gathering_ = false;
  // The broker held a table of ours: without one (the first run of a gateway that keeps it),
  // nothing is cleared, and what was found counts as heard now.
  bool table_found_ = false;
  std::unique_ptr<Timer> sweep_timer_;
  std::unique_ptr<Timer> remember_timer_;
};

}  // namespace varnix
