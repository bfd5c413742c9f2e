// RetainedPublisher and MqttTopics.
#include "gateway/mqtt_publisher.h"

#include <functional>

#include "gateway/node_directory.h"

namespace varnix {

std::string DumpJson(const nlohmann::json& json) {
  return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void RetainedPublisher::Retain(const std::string& topic, const std::string& payload,
                               MqttSession::Delivery delivery) {
  const size_t hash = std::hash<std::string>{}(payload);
  const auto [held, fresh] = retained_.try_emplace(std::hash<std::string>{}(topic), hash);
  if (!fresh) {
    if (held->second == hash) return;
    held->second = hash;
  }
  session_.Publish(topic, payload, true, delivery);
}

void RetainedPublisher::RetainAgain(const std::string& topic, const std::string& payload) {
  retained_.erase(std::hash<std::string>{}(topic));
  Retain(topic, payload);
}

void RetainedPublisher::Clear(const std::string& topic) {
  retained_.erase(std::hash<std::string>{}(topic));
  session_.Publish(topic, "", true, MqttSession::Delivery::kAtLeastOnce);
}

bool RetainedPublisher::IsOurs(const std::string& topic, const std::string& payload) const {
  const auto held = retained_.find(std::hash<std::string>{}(topic));
  return held != retained_.end() && held->second == std::hash<std::string>{}(payload);
}

void RetainedPublisher::Send(const std::string& topic, const std::string& payload) {
  session_.Publish(topic, payload, false, MqttSession::Delivery::kAtLeastOnce);
}

MqttTopics::MqttTopics(const MqttConfig& config, std::string gateway)
    : config_(config), gateway_(std::move(gateway)) {}

std::string MqttTopics::Node(const NodeState& node, const std::string& rest) const {
  return Word(node.word, rest);
}

std::string MqttTopics::Word(const std::string& word, const std::string& rest) const {
  return config_.topic_prefix + "/" + word + "/" + rest;
}

std::string MqttTopics::Program(const NodeState& node, const ProgramConfig& program,
                                const std::string& rest) const {
  return Node(node, "program/" + program.id + "/" + rest);
}

// Four levels deep, where a computer's topics are three or five: no computer's, even one
// called "gateway".
std::string MqttTopics::Gateway(const std::string& rest) const {
  return config_.topic_prefix + "/gateway/" + TopicWord(gateway_) + "/" + rest;
}

// A computer's word is letters, digits, "-" and "_", so its id is "varnix_" and one: a "-"
// after "varnix" is a form no computer can take.
std::string MqttTopics::GatewayDeviceId() const { return "varnix-gateway_" + TopicWord(gateway_); }

std::string MqttTopics::EarlierGatewayDeviceId() const {
  return "varnix_gateway_" + TopicWord(gateway_);
}

bool MqttTopics::IsWord(const std::string& level) {
  return !level.empty() && TopicWord(level) == level;
}

std::string MqttTopics::DeviceConfig(const std::string& device_id) const {
  return config_.discovery_prefix + "/device/" + device_id + "/config";
}

}  // namespace varnix
