// What the gateway's MQTT rooms share: the session they publish on, the one place that keeps
// retained topics from being sent again unchanged, and the names of the topics.
#pragma once

#include <cstddef>
#include <nlohmann/json.hpp>
#include <string>
#include <unordered_map>

#include "gateway/gateway_config.h"

namespace varnix {

struct NodeState;

// Texts from the LAN need not be UTF-8: what is not shows as U+FFFD instead of throwing.
std::string DumpJson(const nlohmann::json& json);

// A connection to a broker, as the gateway uses it. Publishing while not connected is dropped:
// everything is published again on the next connection.
class MqttSession {
 public:
  // MQTT's quality of service: at most once (0), at least once (1).
  enum class Delivery { kAtMostOnce = 0, kAtLeastOnce = 1 };
  virtual ~MqttSession() = default;
  virtual void Publish(const std::string& topic, const std::string& payload, bool retain,
                       Delivery delivery) = 0;
  // `as_published`: a message published retained while we are subscribed comes with its retain
  // flag, so that it can be told from a live one (MQTT 5; an MQTT 3.1.1 broker clears it).
  virtual void Subscribe(const std::string& pattern, bool as_published) = 0;
  virtual void Unsubscribe(const std::string& pattern) = 0;
};

// Retained messages, each sent only when the broker does not already hold that very payload
// from us in this connection: a node that reports the same state every ten seconds costs the
// broker and Home Assistant nothing, and the gateway no copy of every payload (it keeps
// hashes).
class RetainedPublisher {
 public:
  explicit RetainedPublisher(MqttSession& session) : session_(session) {}

  void Retain(const std::string& topic, const std::string& payload,
              MqttSession::Delivery delivery = MqttSession::Delivery::kAtLeastOnce);
  // Sends the payload even when the broker holds it already (Home Assistant must read it again).
  void RetainAgain(const std::string& topic, const std::string& payload);
  // An empty retained payload: the broker forgets the topic.
  void Clear(const std::string& topic);
  // Whether `payload` is what this connection last retained on `topic`: our own, come back.
  bool IsOurs(const std::string& topic, const std::string& payload) const;
  // A new connection, or a listener that forgot: everything goes once more.
  void ForgetAll() { retained_.clear(); }
  // Not retained, at least once.
  void Send(const std::string& topic, const std::string& payload);

 private:
  MqttSession& session_;
  std::unordered_map<size_t, size_t> retained_;  // topic hash -> payload hash
};

// The names of the gateway's topics and Home Assistant ids.
class MqttTopics {
 public:
  MqttTopics(const MqttConfig& config, std::string gateway);

  const std::string& gateway() const { return gateway_; }
  // varnix/<computer>/<rest>
  std::string Node(const NodeState& node, const std::string& rest) const;
  std::string Word(const std::string& word, const std::string& rest) const;
  std::string Program(const NodeState& node, const ProgramConfig& program,
                      const std::string& rest) const;
  // varnix/gateway/<computer>/<rest>: never a computer's topic.
  std::string Gateway(const std::string& rest) const;
  std::string GatewayAvailability() const { return Gateway("availability"); }
  // Home Assistant's ids: varnix_<computer>, varnix-gateway_<computer>.
  static std::string NodeId(const std::string& word) { return "varnix_" + word; }
  std::string GatewayDeviceId() const;
  // What earlier versions named the gateway's device, which a computer called
  // "gateway_<computer>" takes too: cleared once.
  std::string EarlierGatewayDeviceId() const;
  // Whether a topic level can be a computer's word.
  static bool IsWord(const std::string& level);
  // <discovery prefix>/device/<id>/config
  std::string DeviceConfig(const std::string& device_id) const;
  const std::string& prefix() const { return config_.topic_prefix; }
  const std::string& discovery_prefix() const { return config_.discovery_prefix; }

 private:
  const MqttConfig& config_;
  std::string gateway_;
};

}  // namespace varnix
