// MqttFace: topics, payloads and Home Assistant's discovery, built with nlohmann-json.
#include "gateway/mqtt_face.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <ctime>
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

// The computer's actions, as Home Assistant's buttons show them.
struct ComputerButton {
  const char* action;
  const char* name;
  const char* icon;
  bool enabled;  // by default: what most users never press starts disabled
};
constexpr ComputerButton kComputerButtons[] = {
    {"shutdown", "Shutdown", "mdi:power", true},
    {"reboot", "Reboot", "mdi:restart", true},
    {"sleep", "Sleep", "mdi:power-sleep", true},
    {"hibernate", "Hibernate", "mdi:snowflake", false},
    {"lock", "Lock", "mdi:lock", true},
    {"logoff", "Log off", "mdi:logout", false},
    {"screenoff", "Screen off", "mdi:monitor-off", false}};

// Every node's event carries this event type, the one its event entity knows.
constexpr char kEventType[] = "notice";

// An event as Home Assistant's event entity takes it, the text under "event" as before.
Json EventJson(const std::string& text) {
  return Json{{"event_type", kEventType}, {"event", text}};
}

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

// Unix seconds as Home Assistant's timestamps take them; null where the system has no date.
Json IsoTime(int64_t unix_seconds) {
  const auto at = static_cast<std::time_t>(unix_seconds);
  const std::tm* utc = std::gmtime(&at);
  char text[32] = "";
  if (utc == nullptr || std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S+00:00", utc) == 0) {
    return nullptr;
  }
  return text;
}

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
  session_.Subscribe(config_.mqtt.discovery_prefix + "/device/+/config");
  // What the broker holds of nodes, gathered for a while, and the times they were last heard:
  // a node no run has heard within ForgetAfter is cleared away.
  session_.Subscribe(GatewayTopic("nodes"));
  session_.Subscribe(prefix + "/+/availability");
  session_.Subscribe(prefix + "/+/computer");
  session_.Subscribe(prefix + "/+/figures");
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
  PublishGatewayDevice();
  for (const auto& [key, node] : nodes_.nodes()) PublishNode(node);
}

void MqttFace::PublishNode(const NodeState& node) {
  held_.erase(node.word);  // its own again, not an earlier run's leftovers
  Retain(NodeTopic(node, "availability"), node.online ? "online" : "offline");
  Retain(NodeTopic(node, "computer"), Dump(Json{{"name", node.computer},
                                                {"address", node.address},
                                                {"mac", node.mac},
                                                {"verified", node.verified}}));
  PublishDiscovery(node);
  PublishFigures(node);
  for (const ProgramConfig& program : config_.programs) {
    if (program.ForComputer(node.computer)) PublishProgram(node, program);
  }
}

Json MqttFace::Origin() const {
  Json origin{{"name", "varnix-gateway"}, {"sw_version", VARNIX_VERSION}};
  // The gateway's own page, where other computers can open it, tells what it serves.
  if (const std::string url = PageUrl(); !url.empty()) origin["support_url"] = url;
  return origin;
}

std::string MqttFace::GatewayDeviceId() const { return "varnix_gateway_" + TopicWord(gateway_); }

std::string MqttFace::PageUrl() const {
  // Only a page that other computers can open is worth a link in Home Assistant.
  if (config_.web.address.empty() || config_.web.Loopback()) return "";
  return std::string(config_.web.certificate_file.empty() ? "http" : "https") + "://" +
         config_.web.address + ":" + std::to_string(config_.web.port) + "/";
}

void MqttFace::PublishGatewayDevice() {
  const std::string id = GatewayDeviceId();
  Json device{{"identifiers", Json::array({id})},
              {"name", "Varnix gateway " + gateway_},
              {"manufacturer", "Varnix"},
              {"model", "varnix-gateway"},
              {"sw_version", VARNIX_VERSION}};
  if (const std::string url = PageUrl(); !url.empty()) device["configuration_url"] = url;
  const Json gateway_availability = Json::array({{{"topic", GatewayAvailabilityTopic()}}});
  Json components{{"status",
                   {{"platform", "binary_sensor"},
                    {"unique_id", id + "_status"},
                    {"name", "Status"},
                    {"device_class", "connectivity"},
                    {"state_topic", GatewayAvailabilityTopic()},
                    {"payload_on", "online"},
                    {"payload_off", "offline"},
                    {"entity_category", "diagnostic"}}},
                  {"computers",
                   {{"platform", "sensor"},
                    {"unique_id", id + "_computers"},
                    {"name", "Computers"},
                    {"icon", "mdi:desktop-tower-monitor"},
                    {"state_topic", GatewayTopic("state")},
                    {"value_template", "{{ value_json.computers }}"},
                    {"state_class", "measurement"},
                    {"availability", gateway_availability}}}};
  Retain(config_.mqtt.discovery_prefix + "/device/" + id + "/config",
         Dump(Json{{"device", device}, {"origin", Origin()}, {"components", components}}));
  PublishGatewayState();
}

void MqttFace::PublishGatewayState() {
  size_t computers = 0;
  for (const auto& [key, node] : nodes_.nodes()) computers += node.answered ? 1 : 0;
  Retain(GatewayTopic("state"), Dump(Json{{"computers", computers}, {"version", VARNIX_VERSION}}));
}

void MqttFace::PublishDiscovery(const NodeState& node) {
  // Home Assistant gets a device only for a computer that answers: a name in a stranger's
  // heartbeat is no device.
  if (!node.answered) return;
  const std::string node_id = "varnix_" + node.word;
  const std::string& discovery = config_.mqtt.discovery_prefix;
  Json device{{"identifiers", Json::array({node_id})},
              {"name", node.computer},
              {"manufacturer", "Varnix"},
              {"model", "Varnix node"},
              {"sw_version", VARNIX_VERSION},
              {"via_device", GatewayDeviceId()}};
  if (const std::string url = PageUrl(); !url.empty()) device["configuration_url"] = url;
  // Home Assistant joins the device with what the router and others know of the computer.
  if (!node.mac.empty()) device["connections"] = Json::array({Json::array({"mac", node.mac})});
  const Json with_node = Json::array(
      {{{"topic", NodeTopic(node, "availability")}}, {{"topic", GatewayAvailabilityTopic()}}});
  const Json gateway_only = Json::array({{{"topic", GatewayAvailabilityTopic()}}});
  // Each entity keeps the unique id it had as a config of its own, so its history stays.
  Json components = Json::object();
  const auto add = [&](const std::string& platform, const std::string& object, Json config,
                       bool needs_node = true) {
    config["platform"] = platform;
    config["unique_id"] = node_id + "_" + object;
    config["availability"] = needs_node ? with_node : gateway_only;
    config["availability_mode"] = "all";
    components[object] = std::move(config);
  };
  // Never unavailable itself: it says whether the computer answers.
  add("binary_sensor", "online",
      {{"name", "Online"},
       {"device_class", "connectivity"},
       {"state_topic", NodeTopic(node, "availability")},
       {"payload_on", "online"},
       {"payload_off", "offline"}},
      false);
  add("event", "event",
      {{"name", "Event"},
       {"state_topic", NodeTopic(node, "event")},
       {"event_types", Json::array({kEventType})},
       {"icon", "mdi:message-alert-outline"}});
  const std::string command = NodeTopic(node, "command");
  for (const ComputerButton& button : kComputerButtons) {
    Json config{{"name", button.name},
                {"command_topic", command},
                {"payload_press", button.action},
                {"icon", button.icon}};
    if (std::string_view(button.action) == "reboot") config["device_class"] = "restart";
    // Buttons that most users never press start disabled; one click in Home Assistant
    // enables each.
    if (!button.enabled) config["enabled_by_default"] = false;
    add("button", button.action, std::move(config));
  }
  // The one action for a computer that is off: only the gateway need be there.
  add("button", "wake",
      {{"name", "Wake"},
       {"command_topic", command},
       {"payload_press", "wake"},
       {"icon", "mdi:power-on"}},
      false);
  const std::string figures = NodeTopic(node, "figures");
  const auto computer_figure = [&](const std::string& object, const std::string& name,
                                   Json config) {
    config["name"] = name;
    config["state_topic"] = figures;
    config["value_template"] = "{{ value_json." + object + " }}";
    add("sensor", object, std::move(config));
  };
  computer_figure(
      "cpu", "CPU",
      {{"unit_of_measurement", "%"}, {"state_class", "measurement"}, {"icon", "mdi:cpu-64-bit"}});
  computer_figure(
      "memory", "Memory used",
      {{"unit_of_measurement", "%"}, {"state_class", "measurement"}, {"icon", "mdi:memory"}});
  computer_figure("disk_free", "Disk free",
                  {{"unit_of_measurement", "B"},
                   {"suggested_unit_of_measurement", "GiB"},
                   {"device_class", "data_size"},
                   {"state_class", "measurement"},
                   {"icon", "mdi:harddisk"}});
  computer_figure("booted", "Booted",
                  {{"device_class", "timestamp"}, {"entity_category", "diagnostic"}});
  add("sensor", "address",
      {{"name", "Address"},
       {"state_topic", NodeTopic(node, "computer")},
       {"value_template", "{{ value_json.address }}"},
       {"icon", "mdi:ip-network"},
       {"entity_category", "diagnostic"}});
  for (const ProgramConfig& program : config_.programs) {
    if (!program.ForComputer(node.computer)) continue;
    const std::string attributes = ProgramTopic(node, program, "attributes");
    const std::string instance = ProgramTopic(node, program, "instance");
    add("switch", program.id,
        {{"name", program.name},
         {"command_topic", ProgramTopic(node, program, "set")},
         {"state_topic", ProgramTopic(node, program, "state")},
         {"payload_on", "ON"},
         {"payload_off", "OFF"},
         {"icon", "mdi:application-outline"},
         {"json_attributes_topic", instance}});
    add("button", program.id + "_restart",
        {{"name", program.name + " restart"},
         {"command_topic", ProgramTopic(node, program, "set")},
         {"payload_press", "RESTART"},
         {"icon", "mdi:restart"}});
    add("sensor", program.id + "_started",
        {{"name", program.name + " started"},
         {"state_topic", instance},
         {"value_template", "{{ value_json.started }}"},
         {"device_class", "timestamp"},
         {"icon", "mdi:clock-start"}});
    const auto figure = [&](const std::string& object, const std::string& name,
                            const std::string& field, const std::string& unit,
                            const std::string& device_class, const std::string& icon) {
      Json config{{"name", program.name + " " + name},
                  {"state_topic", attributes},
                  {"value_template", "{{ value_json." + field + " }}"},
                  {"unit_of_measurement", unit},
                  {"state_class", "measurement"},
                  {"icon", icon}};
      if (!device_class.empty()) config["device_class"] = device_class;
      add("sensor", program.id + "_" + object, std::move(config));
    };
    figure("cpu", "CPU", "cpu", "%", "", "mdi:cpu-64-bit");
    figure("memory", "memory", "memory", "B", "data_size", "mdi:memory");
  }
  const std::string topic = discovery + "/device/" + node_id + "/config";
  // Configs of one entity each, from an earlier version or run: Home Assistant is told first
  // that they move into the device's, so that each entity and its history stay; then they go.
  std::set<std::string>& before = published_configs_[node_id];
  before.merge(earlier_configs_[node_id]);
  earlier_configs_.erase(node_id);
  before.erase(topic);
  for (const std::string& old : before) {
    session_.Publish(old, Dump(Json{{"migrate_discovery", true}}), true,
                     MqttSession::Delivery::kAtLeastOnce);
  }
  Retain(topic, Dump(Json{{"device", device}, {"origin", Origin()}, {"components", components}}));
  for (const std::string& old : before) {
    session_.Publish(old, "", true, MqttSession::Delivery::kAtLeastOnce);
    retained_.erase(std::hash<std::string>{}(old));
  }
  before = {topic};
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
  // What changes only with the instance, so that Home Assistant records it once per start:
  // when it started is reckoned once, from its first report's running time.
  const std::string instance = ProgramTopic(node, program, "instance");
  Json started = nullptr;
  if (state->Running()) {
    auto& [pid, when] = started_[instance];
    if (pid != state->pid || when.empty()) {
      pid = state->pid;
      const int64_t elapsed =
          Figure(state->elapsed).is_number() ? Figure(state->elapsed).get<int64_t>() : 0;
      const Json at = IsoTime(UnixNow() - elapsed);
      when = at.is_string() ? at.get<std::string>() : "";
    }
    started = when;
  } else {
    started_.erase(instance);
  }
  Retain(instance,
         Dump(Json{{"path", state->path},
                   {"pid", Figure(state->pid)},
                   {"started", started},
                   {"exit_code", Figure(state->exit_code)},
                   {"signal", state->signal.empty() ? Json(nullptr) : Json(state->signal)},
                   {"forced", state->forced}}));
}

void MqttFace::PublishFigures(const NodeState& node) {
  if (!node.answered) return;
  const NodeFigures& figures = node.figures;
  const auto number = [](const std::optional<uint64_t>& value) {
    return value ? Json(*value) : Json(nullptr);
  };
  // Figures come again with the next round: one lost on the way is not worth an
  // acknowledgement.
  Retain(NodeTopic(node, "figures"),
         Dump(Json{{"cpu", number(figures.cpu)},
                   {"memory", number(figures.MemoryPercent())},
                   {"disk_free", number(figures.disk_free)},
                   {"booted", figures.booted ? IsoTime(static_cast<int64_t>(*figures.booted))
                                             : Json(nullptr)}}),
         MqttSession::Delivery::kAtMostOnce);
}

void MqttFace::FiguresReported(const NodeState& node) { PublishFigures(node); }

void MqttFace::NodeChanged(const NodeState& node) {
  PublishNode(node);
  PublishGatewayState();
}

void MqttFace::ProgramReported(const NodeState& node, const ProgramState& reported) {
  for (const ProgramConfig& program : config_.programs) {
    if (program.ForComputer(node.computer) && EqualsIgnoringCase(program.path, reported.path)) {
      PublishProgram(node, program);
    }
  }
}

void MqttFace::NodeEvent(const NodeState& node, const std::string& text) {
  session_.Publish(NodeTopic(node, "event"), Dump(EventJson(text)), false,
                   MqttSession::Delivery::kAtLeastOnce);
}

void MqttFace::NodeForgotten(const NodeState& node) {
  std::set<std::string> topics = {NodeTopic(node, "availability"), NodeTopic(node, "computer"),
                                  NodeTopic(node, "figures")};
  for (const ProgramConfig& program : config_.programs) {
    if (!program.ForComputer(node.computer)) continue;
    topics.insert(ProgramTopic(node, program, "state"));
    topics.insert(ProgramTopic(node, program, "attributes"));
    topics.insert(ProgramTopic(node, program, "instance"));
  }
  remembered_.erase(node.word);
  if (const auto held = held_.find(node.word); held != held_.end()) {
    topics.merge(held->second);
    held_.erase(held);
  }
  ClearWord(node.word, std::move(topics));
}

void MqttFace::GatewayNotice(const std::string& text) {
  session_.Publish(GatewayTopic("event"), Dump(EventJson(text)), false,
                   MqttSession::Delivery::kAtLeastOnce);
}

void MqttFace::ClearWord(const std::string& word, std::set<std::string> topics) {
  const std::string node_id = "varnix_" + word;
  for (auto* configs : {&published_configs_, &earlier_configs_}) {
    if (word.empty()) break;  // the topics alone
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
      for (const char* sibling : {"/attributes", "/instance"}) {
        session_.Publish(topic.substr(0, topic.size() - state.size()) + sibling, "", true,
                         MqttSession::Delivery::kAtLeastOnce);
      }
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
  session_.Unsubscribe(prefix + "/+/computer");
  session_.Unsubscribe(prefix + "/+/figures");
  session_.Unsubscribe(prefix + "/+/program/+/state");
  for (const auto& [node_id, topics] : earlier_configs_) {
    found_[node_id.substr(7)].insert(topics.begin(), topics.end());
  }
  const int64_t now = UnixNow();
  const auto forget = static_cast<int64_t>(config_.mqtt.forget_after_days * 86400);
  for (auto& [word, topics] : found_) {
    if (const NodeState* node = NodeOfWord(word)) {
      // A program no longer configured for it: its state goes with its entities.
      std::set<std::string> gone;
      for (const std::string& topic : topics) {
        const std::vector<std::string> levels = Levels(topic);
        const std::string& id = levels.size() >= 2 ? levels[levels.size() - 2] : "";
        const bool configured = std::any_of(
            config_.programs.begin(), config_.programs.end(),
            [&](const ProgramConfig& p) { return p.id == id && p.ForComputer(node->computer); });
        if (levels.back() == "state" && !configured) gone.insert(topic);
      }
      if (!gone.empty()) ClearWord("", std::move(gone));
      continue;
    }
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
    // Ours: one entity's config (an earlier version's), or a computer's device config.
    const bool entity = rest.size() == 4 && rest[3] == "config";
    const bool device = rest.size() == 3 && rest[0] == "device" && rest[2] == "config";
    if ((entity || device) && rest[1].rfind("varnix_", 0) == 0 && rest[1] != GatewayDeviceId() &&
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
      ((rest.size() == 2 &&
        (rest[1] == "availability" || rest[1] == "computer" || rest[1] == "figures")) ||
       (rest.size() == 4 && rest[3] == "state"))) {
    if (rest.size() == 2 && rest[1] == "computer") Recall(payload);
    if (found_.size() < 4 * NodeDirectory::kMaxNodes) found_[rest[0]].insert(topic);
    return;
  }
  if (rest.size() == 2 && rest[1] == "command") {
    Command(rest[0], "", payload);
  } else if (rest.size() == 4 && rest[1] == "program" && rest[3] == "set") {
    Command(rest[0], rest[2], payload);
  }
}

void MqttFace::Recall(const std::string& payload) {
  // What an earlier run said of a computer: enough to wake it while it is off.
  const Json computer = Json::parse(payload, nullptr, false);
  if (!computer.is_object()) return;
  const auto text = [&](const char* name) {
    const auto found = computer.find(name);
    return found != computer.end() && found->is_string() ? found->get<std::string>() : "";
  };
  if (!NodeDirectory::ComputerOf("qel.Process." + text("name")).empty())
    nodes_.Recall(text("name"), text("mac"), text("address"));
}

void MqttFace::RetainedConfig(const std::string& topic, const std::string& node_id) {
  const auto published = published_configs_.find(node_id);
  if (published == published_configs_.end()) {
    // Its node may not have been heard yet; its configs are settled when it is.
    earlier_configs_[node_id].insert(topic);
    return;
  }
  if (published->second.count(topic) != 0) return;
  // Found after its node was published: moved into the device's config as well, then gone.
  earlier_configs_[node_id].insert(topic);
  if (const NodeState* node = NodeOfWord(node_id.substr(7))) {
    retained_.erase(std::hash<std::string>{}(*published->second.begin()));
    PublishDiscovery(*node);
  }
}

void MqttFace::Command(const std::string& word, const std::string& program_id,
                       std::string payload) {
  const NodeState* node = NodeOfWord(word);
  if (program_id.empty() && LowerCase(TrimSpaces(payload)) == "wake") {
    std::string said;
    const NodeDirectory::Sent sent = nodes_.Wake(node != nullptr ? node->computer : word, &said);
    if (sent == NodeDirectory::Sent::kUnknown) {
      Refuse(nullptr, "no node of the name " + word + " is known; the command went nowhere");
    } else if (node == nullptr) {
      session_.Publish(config_.mqtt.topic_prefix + "/" + word + "/event", Dump(EventJson(said)),
                       false, MqttSession::Delivery::kAtLeastOnce);
    }
    return;
  }
  if (node == nullptr && remembered_.count(word) != 0 && payload.size() <= kMaxCommandBytes &&
      std::none_of(payload.begin(), payload.end(), IsControlByte)) {
    // A computer an earlier run knew, not heard since this one began: offline, and said so
    // where its commands' answers go.
    const std::string text = word + " is offline: " + LowerCase(TrimSpaces(payload)) +
                             (program_id.empty() ? "" : " of " + program_id) + " not sent";
    say_(text);
    session_.Publish(config_.mqtt.topic_prefix + "/" + word + "/event", Dump(EventJson(text)),
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
    const bool known = std::any_of(std::begin(kComputerButtons), std::end(kComputerButtons),
                                   [&](const auto& button) { return action == button.action; });
    if (known) {
      nodes_.ControlComputer(node->computer, action);
    } else {
      Refuse(node, "\"" + payload +
                       "\" is not a computer command (shutdown, reboot, sleep, hibernate, lock, "
                       "logoff, screenoff, wake)");
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
  session_.Publish(topic, Dump(EventJson("Refused: " + text)), false,
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
