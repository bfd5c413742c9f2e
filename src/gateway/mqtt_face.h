// The gateway's MQTT face: the nodes' state as retained topics, Home Assistant's discovery
// configs, and the commands that come back, each checked before it reaches a node.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "gateway/gateway_config.h"
#include "gateway/ha_discovery.h"
#include "gateway/mqtt_publisher.h"
#include "gateway/node_directory.h"

namespace varnix {

class MqttFace : public NodeObserver {
 public:
  static constexpr size_t kMaxCommandBytes = 64;
  // A notice's message, with its title and answers in JSON where given.
  static constexpr size_t kMaxNoticeBytes = 4096;
  // After connecting, the broker's retained topics are gathered this long; then those of
  // nodes not heard within ForgetAfter are cleared.
  static constexpr int kSweepAfterMs = 10000;
  // How often (at most) the nodes' last-heard times are kept in the broker, and to what
  // precision.
  static constexpr int kRememberEveryMs = 60000;
  static constexpr int64_t kRememberPrecisionSeconds = 3600;  // at most: a 24th of ForgetAfter

  // Home Assistant announces itself in bursts; everything goes again at most this often.
  static constexpr int kRepublishEveryMs = 10000;
  // A computer's device config goes at most this often: a burst of changes to what its node
  // declares is one config, the last.
  static constexpr int64_t kDeviceEveryMs = 10000;
  // A computer's first config in a connection is gathered this long.
  static constexpr int64_t kGatherDeviceMs = 500;

  // `gateway` is this gateway's own name (its computer's); `say` writes the log. `keyed`: the
  // gateway holds the house's key, so that a node's word can be verified.
  MqttFace(MqttSession& session, NodeDirectory& nodes, const GatewayConfig& config,
           std::string gateway, EventLoop& loop, NodeDirectory::Say say, bool keyed = false);

  // The topic that the session's will makes "offline" when the gateway is gone.
  std::string GatewayAvailabilityTopic() const;
  // Subscribes, and publishes everything, after each (re)connection.
  void Connected();
  // `retained`: the broker kept it from before, rather than passing it on now.
  void Message(const std::string& topic, const std::string& payload, bool retained);

  void NodeChanged(const NodeState& node) override;
  void ProgramReported(const NodeState& node, const ProgramState& program) override;
  void FiguresReported(const NodeState& node) override;
  void SensorReported(const NodeState& node, const UserSensorState& sensor) override;
  void NodeEvent(const NodeState& node, const std::string& text) override;
  void NodeForgotten(const NodeState& node) override;
  void GatewayNotice(const std::string& text) override;
  void NoticeTold(const NodeState& node, const NoticeOutcome& told) override;

 private:
  void PublishNode(const NodeState& node);
  // The node's device config, now or, within kDeviceEveryMs of the last, once that has passed.
  void PublishDevice(const NodeState& node);
  void PublishDueDevices();
  void PublishGatewayState();
  void PublishProgram(const NodeState& node, const ProgramConfig& program);
  // The computer's own figures, as its sensors read them.
  void PublishFigures(const NodeState& node);
  // The configs once more, for a listener that forgot them; at most every kRepublishEveryMs.
  void Republish();
  // Whether the node's MAC may join its device with others: told, signed where it can be,
  // and no other computer's.
  bool MacTrusted(const NodeState& node) const;
  // Keeps for waking what an earlier run retained of a computer (its name, MAC and address).
  void Recall(const std::string& payload);
  void Command(const std::string& word, const std::string& program_id, std::string payload);
  // A command the broker kept: it is stale, and no one is there to see it carried out.
  void StaleCommand(const std::string& topic, const std::string& payload);
  // What the broker kept of a node at our connection; `online` it is not believed.
  void Gathered(const std::string& word, const std::string& topic, const std::string& level,
                const std::string& payload);
  void Refuse(const NodeState* node, const std::string& text);
  // A notice asked for on the computer's notify topic.
  void Notify(const std::string& word, const std::string& payload);
  // Whether the word's computer is this gateway's to say offline and to clear.
  bool Ours(const std::string& word) const;
  // The computers the broker kept as online that have not answered within their echo window:
  // said offline.
  void Disbelieve();
  void Event(const std::string& topic, const std::string& text);
  const NodeState* NodeOfWord(const std::string& word) const;
  // Keeps the nodes' last-heard times in the broker, where the next run finds them.
  void Remember();
  // Clears what the broker holds of the words gathered since connecting that name no node
  // heard within ForgetAfter.
  void Sweep();
  // Clears every topic of ours that the broker may hold for the word.
  void ClearWord(const std::string& word, std::set<std::string> topics);
  int64_t Precision() const;

  MqttSession& session_;
  NodeDirectory& nodes_;
  const GatewayConfig& config_;
  EventLoop& loop_;
  NodeDirectory::Say say_;
  bool keyed_;
  RetainedPublisher publisher_;
  MqttTopics topics_;
  HaDiscovery discovery_;
  std::map<std::string, int64_t> refusals_said_;  // text -> when, to say each once a minute
  // When each word's node was last heard, in Unix seconds, as kept in the broker.
  std::map<std::string, int64_t> remembered_;
  // Topics found retained for each word since connecting, while gathering.
  std::map<std::string, std::set<std::string>> found_;
  // Topics of words that no node of this run has, kept until the word's time runs out.
  std::map<std::string, std::set<std::string>> held_;
  // When each running instance started, as told: its pid and the time, by instance topic.
  std::map<std::string, std::pair<std::string, std::string>> started_;
  bool gathering_ = false;
  // Words the broker kept as online at our connection, believed until their echo window ends.
  std::set<std::string> believed_;
  std::unique_ptr<Timer> believe_timer_;
  // The broker held a table of ours: without one (the first run of a gateway that keeps it),
  // nothing is cleared, and what was found counts as heard now.
  bool table_found_ = false;
  std::optional<int64_t> republished_ms_;
  std::unique_ptr<Timer> sweep_timer_;
  std::unique_ptr<Timer> remember_timer_;
  std::map<std::string, int64_t> device_sent_ms_;  // word -> when its config last went
  std::set<std::string> device_due_;               // words whose config changed since
  std::unique_ptr<Timer> device_timer_;
};

}  // namespace varnix
