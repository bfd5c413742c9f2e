// MqttFace: topics, payloads and Home Assistant's discovery, built with nlohmann-json.
#include "gateway/mqtt_face.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <functional>
#include <nlohmann/json.hpp>

#include "core/text.h"

#ifndef VARNIX_VERSION
#define VARNIX_VERSION "0"
#endif

namespace varnix {
namespace {

using Json = nlohmann::json;

constexpr int64_t kRefusalRepeatMs = 60000;

// The node's actions on its computer beside the halt, as Home Assistant's buttons show them.
constexpr std::pair<const char*, const char*> kSessionButtons[] = {{"sleep", "Sleep"},
                                                                   {"hibernate", "Hibernate"},
                                                                   {"lock", "Lock"},
                                                                   {"logoff", "Log off"},
                                                                   {"screenoff", "Screen off"}};

// A reported figure as a JSON number; null when the node gave none (the program has ended).
Json Figure(const std::string& text) {
  int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return nullptr;
  return value;
}

// Texts from the LAN need not be UTF-8: what is not shows as U+FFFD instead of throwing.
std::string Dump(const Json& json) {
  return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::vector<std::string> Levels(const std::string& topic) { return Split(topic, '/'); }

}  // namespace

MqttFace::MqttFace(MqttSession& session, NodeDirectory& nodes, const GatewayConfig& config,
                   std::string gateway, EventLoop& loop, NodeDirectory::Say say)
    : session_(session),
      nodes_(nodes),
      config_(config),
      gateway_(std::move(gateway)),
      loop_(loop),
      say_(std::move(say)) {
  sweep_timer_ = loop_.CreateTimer([this] {
    sweep_timer_->SetEnabled(false);
    Sweep();
  });
  remember_timer_ = loop_.CreateTimer([this] { Remember(); });
}

std::string MqttFace::GatewayTopic(const std::string& rest) const {
  return config_.mqtt.topic_prefix + "/gateway/" + TopicWord(gateway_) + "/" + rest;
}

int64_t MqttFace::Precision() const {
  return std::clamp<int64_t>(static_cast<int64_t>(config_.mqtt.forget_after_days * 3600), 1,
                             kRememberPrecisionSeconds);
}

int64_t MqttFace::UnixNow() const {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string MqttFace::GatewayAvailabilityTopic() const { return GatewayTopic("availability"); }

std::string MqttFace::NodeTopic(const NodeState& node, const std::string& rest) const {
  return config_.mqtt.topic_prefix + "/" + TopicWord(node.computer) + "/" + rest;
}

std::string MqttFace::ProgramTopic(const NodeState& node, const ProgramConfig& program,
                                   const std::string& rest) const {
  return NodeTopic(node, "program/" + program.id + "/" + rest);
}

void MqttFace::Connected() {
  const std::string& prefix = config_.mqtt.topic_prefix;
  session_.Subscribe(prefix + "/+/command");
  session_.Subscribe(prefix + "/+/program/+/set");
  session_.Subscribe(config_.mqtt.discovery_prefix + "/status");
  // Our configs retained from an earlier run: those no longer configured are removed.
  session_.Subscribe(config_.mqtt.discovery_prefix + "/+/+/+/config");
  // What the broker holds of nodes, gathered for a while, and the times they were last heard:
  // a node no run has heard within ForgetAfter is cleared away.
  session_.Subscribe(GatewayTopic("nodes"));
  session_.Subscribe(prefix + "/+/availability");
  session_.Subscribe(prefix + "/+/program/+/state");
  gathering_ = true;
  table_found_ = false;
  found_.clear();
  sweep_timer_->SetEnabled(false);
  sweep_timer_->SetInterval(kSweepAfterMs);
  sweep_timer_->SetEnabled(true);
  remember_timer_->SetInterval(
      static_cast<int>(std::min<int64_t>(kRememberEveryMs, Precision() * 1000)));
  remember_timer_->SetEnabled(true);
  retained_.clear();
  Retain(GatewayAvailabilityTopic(), "online");
  for (const auto& [key, node] : nodes_.nodes()) PublishNode(node);
}

void MqttFace::PublishNode(const NodeState& node) {
  held_.erase(node.word);  // its own again, not an earlier run's leftovers
  Retain(NodeTopic(node, "availability"), node.online ? "online" : "offline");
  Retain(
      NodeTopic(node, "computer"),
      Dump(Json{{"name", node.computer}, {"address", node.address}, {"verified", node.verified}}));
  PublishDiscovery(node);
  for (const ProgramConfig& program : config_.programs) {
    if (program.ForComputer(node.computer)) PublishProgram(node, program);
  }
}

void MqttFace::PublishDiscovery(const NodeState& node) {
  // Home Assistant gets a device only for a computer that answers: a name in a stranger's
  // heartbeat is no device.
  if (!node.answered) return;
  const std::string node_id = "varnix_" + TopicWord(node.computer);
  const std::string& discovery = config_.mqtt.discovery_prefix;
  const Json device{{"identifiers", Json::array({node_id})},
                    {"name", node.computer},
                    {"manufacturer", "Varnix"},
                    {"model", "Varnix node"},
                    {"sw_version", VARNIX_VERSION}};
  const Json availability = Json::array(
      {{{"topic", NodeTopic(node, "availability")}}, {{"topic", GatewayAvailabilityTopic()}}});
  std::set<std::string> published;
  const auto publish = [&](const std::string& component, const std::string& object, Json config) {
    config["unique_id"] = node_id + "_" + object;
    config["device"] = device;
    config["availability"] = availability;
    config["availability_mode"] = "all";
    const std::string topic =
        discovery + "/" + component + "/" + node_id + "/" + object + "/config";
    Retain(topic, Dump(config));
    published.insert(topic);
  };
  const std::string command = NodeTopic(node, "command");
  publish("button", "shutdown",
          {{"name", "Shutdown"}, {"command_topic", command}, {"payload_press", "shutdown"}});
  publish("button", "reboot",
          {{"name", "Reboot"},
           {"command_topic", command},
           {"payload_press", "reboot"},
           {"device_class", "restart"}});
  for (const auto& [action, name] : kSessionButtons) {
    publish("button", action,
            {{"name", name}, {"command_topic", command}, {"payload_press", action}});
  }
  publish("sensor", "address",
          {{"name", "Address"},
           {"state_topic", NodeTopic(node, "computer")},
           {"value_template", "{{ value_json.address }}"},
           {"entity_category", "diagnostic"}});
  for (const ProgramConfig& program : config_.programs) {
    if (!program.ForComputer(node.computer)) continue;
    const std::string attributes = ProgramTopic(node, program, "attributes");
    publish("switch", program.id,
            {{"name", program.name},
             {"command_topic", ProgramTopic(node, program, "set")},
             {"state_topic", ProgramTopic(node, program, "state")},
             {"payload_on", "ON"},
             {"payload_off", "OFF"},
             {"json_attributes_topic", attributes}});
    const auto figure = [&](const std::string& object, const std::string& name,
                            const std::string& field, const std::string& unit,
                            const std::string& device_class) {
      Json config{{"name", program.name + " " + name},
                  {"state_topic", attributes},
                  {"value_template", "{{ value_json." + field + " }}"},
                  {"unit_of_measurement", unit},
                  {"state_class", "measurement"}};
      if (!device_class.empty()) config["device_class"] = device_class;
      publish("sensor", program.id + "_" + object, std::move(config));
    };
    figure("cpu", "CPU", "cpu", "%", "");
    figure("memory", "memory", "memory", "B", "data_size");
    figure("running_time", "running time", "running_time", "s", "duration");
  }
  // What an earlier publication or run had, and the configuration no longer does, goes.
  std::set<std::string>& before = published_configs_[node_id];
  before.merge(earlier_configs_[node_id]);
  earlier_configs_.erase(node_id);
  for (const std::string& topic : before) {
    if (published.count(topic) == 0) Retain(topic, "");
  }
  before = std::move(published);
}

void MqttFace::PublishProgram(const NodeState& node, const ProgramConfig& program) {
  const ProgramState* state = node.Program(program.path);
  // Nothing is said of a program until its node has reported it.
  if (state == nullptr) return;
  Retain(ProgramTopic(node, program, "state"), state->Running() ? "ON" : "OFF");
  const Json attributes{{"path", state->path},
                        {"title", state->title},
                        {"pid", Figure(state->pid)},
                        {"priority", state->priority},
                        {"cpu", Figure(state->cpu)},
                        {"memory", Figure(state->ram)},
                        {"running_time", Figure(state->elapsed)},
                        {"exit_code", Figure(state->exit_code)},
                        {"signal", state->signal.empty() ? Json(nullptr) : Json(state->signal)},
                        {"forced", state->forced}};
  // Figures come again at the next pass: one lost on the way is not worth an acknowledgement.
  Retain(ProgramTopic(node, program, "attributes"), Dump(attributes),
         MqttSession::Delivery::kAtMostOnce);
}

void MqttFace::NodeChanged(const NodeState& node) { PublishNode(node); }

void MqttFace::ProgramReported(const NodeState& node, const ProgramState& reported) {
  for (const ProgramConfig& program : config_.programs) {
    if (program.ForComputer(node.computer) && EqualsIgnoringCase(program.path, reported.path)) {
      PublishProgram(node, program);
    }
  }
}

void MqttFace::NodeEvent(const NodeState& node, const std::string& text) {
  session_.Publish(NodeTopic(node, "event"), Dump(Json{{"event", text}}), false,
                   MqttSession::Delivery::kAtLeastOnce);
}

void MqttFace::NodeForgotten(const NodeState& node) {
  std::set<std::string> topics = {NodeTopic(node, "availability"), NodeTopic(node, "computer")};
  for (const ProgramConfig& program : config_.programs) {
    if (!program.ForComputer(node.computer)) continue;
    topics.insert(ProgramTopic(node, program, "state"));
    topics.insert(ProgramTopic(node, program, "attributes"));
  }
  remembered_.erase(node.word);
  if (const auto held = held_.find(node.word); held != held_.end()) {
    topics.merge(held->second);
    held_.erase(held);
  }
  ClearWord(node.word, std::move(topics));
}

void MqttFace::GatewayNotice(const std::string& text) {
  session_.Publish(GatewayTopic("event"), Dump(Json{{"event", text}}), false,
                   MqttSession::Delivery::kAtLeastOnce);
}

void MqttFace::ClearWord(const std::string& word, std::set<std::string> topics) {
  const std::string node_id = "varnix_" + word;
  for (auto* configs : {&published_configs_, &earlier_configs_}) {
    if (const auto found = configs->find(node_id); found != configs->end()) {
      topics.merge(found->second);
      configs->erase(found);
    }
  }
  for (const std::string& topic : topics) {
    // A program's figures go with its state.
    const std::string state = "/state";
    if (topic.size() > state.size() &&
        topic.compare(topic.size() - state.size(), state.size(), state) == 0) {
      const std::string attributes = topic.substr(0, topic.size() - state.size()) + "/attributes";
      session_.Publish(attributes, "", true, MqttSession::Delivery::kAtLeastOnce);
    }
    session_.Publish(topic, "", true, MqttSession::Delivery::kAtLeastOnce);
    retained_.erase(std::hash<std::string>{}(topic));
  }
}

void MqttFace::Remember() {
  const int64_t now = UnixNow();
  const int64_t loop_now = loop_.NowMilliseconds();
  for (const auto& [key, node] : nodes_.nodes()) {
    if (node.last_heard_ms == 0) continue;
    const int64_t heard = now - (loop_now - node.last_heard_ms) / 1000;
    remembered_[node.word] = heard - heard % Precision();
  }
  const auto forget = static_cast<int64_t>(config_.mqtt.forget_after_days * 86400);
  Json table = Json::object();
  for (auto it = remembered_.begin(); it != remembered_.end();) {
    if (now - it->second >= forget + Precision() ||
        remembered_.size() > 2 * NodeDirectory::kMaxNodes) {
      // A word no node of this run has: what an earlier run left of it goes now.
      if (const auto held = held_.find(it->first); held != held_.end()) {
        say_("clears what the broker holds of " + it->first + ", not heard within " +
             std::to_string(config_.mqtt.forget_after_days) + " days");
        ClearWord(it->first, std::move(held->second));
        held_.erase(held);
      }
      it = remembered_.erase(it);
    } else {
      table[it->first] = it->second;
      ++it;
    }
  }
  Retain(GatewayTopic("nodes"), Dump(table));
}

void MqttFace::Sweep() {
  gathering_ = false;
  const std::string& prefix = config_.mqtt.topic_prefix;
  session_.Unsubscribe(prefix + "/+/availability");
  session_.Unsubscribe(prefix + "/+/program/+/state");
  for (const auto& [node_id, topics] : earlier_configs_) {
    found_[node_id.substr(7)].insert(topics.begin(), topics.end());
  }
  const int64_t now = UnixNow();
  const auto forget = static_cast<int64_t>(config_.mqtt.forget_after_days * 86400);
  for (auto& [word, topics] : found_) {
    if (NodeOfWord(word) != nullptr) continue;
    const auto heard = remembered_.find(word);
    // Kept, but not believed: a computer that has not answered since this run began is
    // offline, whatever an earlier run left retained (its node may have died meanwhile).
    const bool kept =
        (heard != remembered_.end() && now - heard->second < forget + Precision()) || !table_found_;
    if (kept) {
      if (heard == remembered_.end()) remembered_[word] = now - now % Precision();
      Retain(prefix + "/" + word + "/availability", "offline");
      held_[word].merge(topics);
      continue;
    }
    say_("clears what the broker holds of " + word + ", not heard within " +
         std::to_string(config_.mqtt.forget_after_days) + " days");
    remembered_.erase(word);
    ClearWord(word, std::move(topics));
  }
  found_.clear();
  Remember();
}

const NodeState* MqttFace::NodeOfWord(const std::string& word) const {
  for (const auto& [key, node] : nodes_.nodes()) {
    if (node.word == word) return &node;
  }
  return nullptr;
}

void MqttFace::Message(const std::string& topic, const std::string& payload) {
  // No broker sends a wildcard in a topic; one that did must not be answered on it.
  if (topic.find_first_of("+#") != std::string::npos) return;
  const std::vector<std::string> levels = Levels(topic);
  const std::vector<std::string> prefix = Levels(config_.mqtt.topic_prefix);
  const std::vector<std::string> discovery = Levels(config_.mqtt.discovery_prefix);
  const auto after = [&](const std::vector<std::string>& start) -> std::vector<std::string> {
    if (levels.size() < start.size() || !std::equal(start.begin(), start.end(), levels.begin())) {
      return {};
    }
    return {levels.begin() + static_cast<long>(start.size()), levels.end()};
  };
  if (const auto rest = after(discovery); !rest.empty()) {
    if (rest.size() == 1 && rest[0] == "status") {
      // Home Assistant started again and forgot what it was told: everything once more.
      if (TrimSpaces(payload) == "online") Connected();
      return;
    }
    if (rest.size() == 4 && rest[3] == "config" && rest[1].rfind("varnix_", 0) == 0 &&
        !payload.empty()) {
      RetainedConfig(topic, rest[1]);
    }
    return;
  }
  if (topic == GatewayTopic("nodes")) {
    const Json table = Json::parse(payload, nullptr, false);
    if (!table.is_object()) return;
    table_found_ = true;
    for (const auto& [word, heard] : table.items()) {
      if (!heard.is_number_integer() || remembered_.size() >= 2 * NodeDirectory::kMaxNodes) {
        continue;
      }
      int64_t& kept = remembered_[word];
      kept = std::max(kept, heard.get<int64_t>());
    }
    return;
  }
  const auto rest = after(prefix);
  if (gathering_ && rest.size() >= 2 && rest[0] != "gateway" && !payload.empty() &&
      (rest[1] == "availability" || (rest.size() == 4 && rest[3] == "state"))) {
    if (found_.size() < 4 * NodeDirectory::kMaxNodes) found_[rest[0]].insert(topic);
    return;
  }
  if (rest.size() == 2 && rest[1] == "command") {
    Command(rest[0], "", payload);
  } else if (rest.size() == 4 && rest[1] == "program" && rest[3] == "set") {
    Command(rest[0], rest[2], payload);
  }
}

void MqttFace::RetainedConfig(const std::string& topic, const std::string& node_id) {
  const auto published = published_configs_.find(node_id);
  if (published == published_configs_.end()) {
    // Its node may not have been heard yet; its configs are settled when it is.
    earlier_configs_[node_id].insert(topic);
    return;
  }
  if (published->second.count(topic) == 0) Retain(topic, "");
}

void MqttFace::Command(const std::string& word, const std::string& program_id,
                       std::string payload) {
  const NodeState* node = NodeOfWord(word);
  if (node == nullptr && remembered_.count(word) != 0 && payload.size() <= kMaxCommandBytes &&
      std::none_of(payload.begin(), payload.end(), IsControlByte)) {
    // A computer an earlier run knew, not heard since this one began: offline, and said so
    // where its commands' answers go.
    const std::string text = word + " is offline: " + LowerCase(TrimSpaces(payload)) +
                             (program_id.empty() ? "" : " of " + program_id) + " not sent";
    say_(text);
    session_.Publish(config_.mqtt.topic_prefix + "/" + word + "/event", Dump(Json{{"event", text}}),
                     false, MqttSession::Delivery::kAtLeastOnce);
    return;
  }
  if (node == nullptr) {
    Refuse(nullptr, "no node of the name " + word + " is known; the command went nowhere");
    return;
  }
  const bool printable =
      std::none_of(payload.begin(), payload.end(), [](char c) { return IsControlByte(c); });
  if (payload.size() > kMaxCommandBytes || !printable) {
    Refuse(node, "a command of " + std::to_string(payload.size()) +
                     " bytes that is no command word was ignored");
    return;
  }
  const std::string action = LowerCase(TrimSpaces(payload));
  if (program_id.empty()) {
    const bool session = std::any_of(std::begin(kSessionButtons), std::end(kSessionButtons),
                                     [&](const auto& button) { return action == button.first; });
    if (action == "shutdown" || action == "reboot" || session) {
      nodes_.ControlComputer(node->computer, action);
    } else {
      Refuse(node, "\"" + payload +
                       "\" is not a computer command (shutdown, reboot, sleep, hibernate, lock, "
                       "logoff, screenoff)");
    }
    return;
  }
  const auto program = std::find_if(
      config_.programs.begin(), config_.programs.end(),
      [&](const ProgramConfig& p) { return p.id == program_id && p.ForComputer(node->computer); });
  if (program == config_.programs.end()) {
    Refuse(node, "no program " + program_id + " is configured for " + node->computer);
  } else if (action == "on" || action == "restart") {
    nodes_.StartProgram(node->computer, *program, action == "restart");
  } else if (action == "off") {
    nodes_.StopProgram(node->computer, *program);
  } else {
    Refuse(node, "\"" + payload + "\" is not a program command (ON, OFF, RESTART)");
  }
}

void MqttFace::Refuse(const NodeState* node, const std::string& text) {
  // Said once a minute at most: a client that repeats itself must not flood the log.
  const int64_t now = loop_.NowMilliseconds();
  if (refusals_said_.size() > 256) refusals_said_.clear();
  const auto said = refusals_said_.find(text);
  if (said != refusals_said_.end() && now - said->second < kRefusalRepeatMs) return;
  refusals_said_[text] = now;
  say_("refused: " + text);
  const std::string topic = node != nullptr ? NodeTopic(*node, "event") : GatewayTopic("event");
  session_.Publish(topic, Dump(Json{{"event", "Refused: " + text}}), false,
                   MqttSession::Delivery::kAtLeastOnce);
}

void MqttFace::Retain(const std::string& topic, const std::string& payload,
                      MqttSession::Delivery delivery) {
  const size_t hash = std::hash<std::string>{}(payload);
  const auto [held, fresh] = retained_.try_emplace(std::hash<std::string>{}(topic), hash);
  if (!fresh) {
    if (held->second == hash) return;
    held->second = hash;
  }
  session_.Publish(topic, payload, true, delivery);
}

}  // namespace varnix
