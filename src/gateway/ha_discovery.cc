// HaDiscovery: the device configs, built with nlohmann-json, and what becomes of earlier ones.
#include "gateway/ha_discovery.h"

#include <algorithm>
#include <cstdio>
#include <string_view>

#include "core/text.h"
#include "gateway/node_directory.h"

#ifndef VARNIX_VERSION
#define VARNIX_VERSION "0"
#endif

namespace varnix {
namespace {

using Json = nlohmann::json;

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
    {"screenoff", "Screen off", "mdi:monitor-off", false},
    // programs.ini read again, what changed applied.
    {"reload", "Reload programs", "mdi:file-refresh", true}};

Json Origin(const std::string& page_url) {
  Json origin{{"name", "varnix-gateway"}, {"sw_version", VARNIX_VERSION}};
  // The gateway's own page, where other computers can open it, tells what it serves.
  if (!page_url.empty()) origin["support_url"] = page_url;
  return origin;
}

constexpr char kMovePayload[] = R"({"migrate_discovery":true})";

// Home Assistant moves an entity's own config into a device's only when told so first, and
// only one that names its device.
bool Movable(const std::string& payload) {
  const Json config = Json::parse(payload, nullptr, false);
  return config.is_object() && !config.contains("migrate_discovery") && config.contains("device");
}

}  // namespace

HaDiscovery::HaDiscovery(RetainedPublisher& publisher, const MqttTopics& topics,
                         const GatewayConfig& config, EventLoop& loop, Say say)
    : publisher_(publisher), topics_(topics), config_(config), loop_(loop), say_(std::move(say)) {
  migrate_timer_ = loop.CreateTimer([this] {
    migrate_timer_->SetEnabled(false);
    Migrate();
  });
}

std::string HaDiscovery::SensorId(const UserSensorState& sensor) {
  const std::string word = TopicWord(sensor.name);
  if (std::all_of(sensor.name.begin(), sensor.name.end(),
                  [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
    return "sensor_" + word;
  }
  uint32_t hash = 2166136261u;  // FNV-1a: short, and the same in every run
  for (const char c : sensor.name) hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
  char digits[9];
  std::snprintf(digits, sizeof digits, "%08x", static_cast<unsigned>(hash));
  return "sensor_" + word + "_" + digits;
}

bool HaDiscovery::IsComputerAction(const std::string& action) {
  return std::any_of(std::begin(kComputerButtons), std::end(kComputerButtons),
                     [&](const ComputerButton& button) { return action == button.action; });
}

void HaDiscovery::Connected() {
  handled_.clear();
  foreign_.clear();
  moving_.clear();
  said_full_ = false;
}

std::string HaDiscovery::PageUrl() const {
  // Only a page that other computers can open is worth a link in Home Assistant.
  if (config_.web.address.empty() || config_.web.Loopback()) return "";
  return std::string(config_.web.certificate_file.empty() ? "http" : "https") + "://" +
         config_.web.address + ":" + std::to_string(config_.web.port) + "/";
}

std::string HaDiscovery::DefaultEntityId(const std::string& platform,
                                         const std::string& object) const {
  // The ids the README promises; Home Assistant builds them from the names otherwise.
  // As Home Assistant's own slugs: "-" made "_", a run of "_" made one, none at either end.
  std::string slug;
  for (const char c : object) {
    const char kept = c == '-' ? '_' : c;
    if (kept == '_' && (slug.empty() || slug.back() == '_')) continue;
    slug += kept;
  }
  while (!slug.empty() && slug.back() == '_') slug.pop_back();
  return platform + "." + slug;
}

void HaDiscovery::PublishGateway() {
  const std::string id = topics_.GatewayDeviceId();
  const std::string url = PageUrl();
  Json device{{"identifiers", Json::array({id})},
              {"name", "Varnix gateway " + topics_.gateway()},
              {"manufacturer", "Varnix"},
              {"model", "varnix-gateway"},
              {"sw_version", VARNIX_VERSION}};
  if (!url.empty()) device["configuration_url"] = url;
  const Json availability = Json::array({{{"topic", topics_.GatewayAvailability()}}});
  Json components{{"status",
                   {{"platform", "binary_sensor"},
                    {"name", "Status"},
                    {"device_class", "connectivity"},
                    {"state_topic", topics_.GatewayAvailability()},
                    {"payload_on", "online"},
                    {"payload_off", "offline"},
                    {"entity_category", "diagnostic"}}},
                  {"computers",
                   {{"platform", "sensor"},
                    {"name", "Computers"},
                    {"icon", "mdi:desktop-tower-monitor"},
                    {"state_topic", topics_.Gateway("state")},
                    {"value_template", "{{ value_json.computers }}"},
                    {"state_class", "measurement"},
                    {"availability", availability}}},
                  // What the gateway says of the network: strangers refused, commands for
                  // computers it does not know.
                  {"event",
                   {{"platform", "event"},
                    {"name", "Event"},
                    {"state_topic", topics_.Gateway("event")},
                    {"event_types", Json::array({kEventType})},
                    {"icon", "mdi:message-alert-outline"},
                    {"availability", availability}}}};
  for (auto& [object, component] : components.items()) {
    component["unique_id"] = id + "_" + object;
    component["default_entity_id"] =
        DefaultEntityId(component["platform"].get<std::string>(), id + "_" + object);
  }
  gateway_payload_ =
      DumpJson(Json{{"device", device}, {"origin", Origin(url)}, {"components", components}});
  publisher_.Retain(topics_.DeviceConfig(id), gateway_payload_);
}

void HaDiscovery::PublishComputer(const NodeState& node, bool mac_trusted) {
  // Home Assistant gets a device only for a computer that answers: a name in a stranger's
  // heartbeat is no device.
  if (!node.answered) return;
  const std::string node_id = MqttTopics::NodeId(node.word);
  const std::string url = PageUrl();
  Json device{{"identifiers", Json::array({node_id})},
              {"name", node.computer},
              {"manufacturer", "Varnix"},
              {"model", "Varnix node"},
              {"sw_version", VARNIX_VERSION},
              {"via_device", topics_.GatewayDeviceId()}};
  if (!url.empty()) device["configuration_url"] = url;
  if (mac_trusted) device["connections"] = Json::array({Json::array({"mac", node.mac})});
  const Json with_node = Json::array({{{"topic", topics_.Node(node, "availability")}},
                                      {{"topic", topics_.GatewayAvailability()}}});
  const Json gateway_only = Json::array({{{"topic", topics_.GatewayAvailability()}}});
  // Each entity keeps the unique id it had as a config of its own, so its history stays.
  Json components = Json::object();
  Device published;
  const auto add = [&](const std::string& platform, const std::string& object, Json config,
                       bool needs_node = true) {
    config["platform"] = platform;
    config["unique_id"] = node_id + "_" + object;
    config["default_entity_id"] = DefaultEntityId(platform, node_id + "_" + object);
    config["availability"] = needs_node ? with_node : gateway_only;
    config["availability_mode"] = "all";
    components[object] = std::move(config);
    published.platforms[object] = platform;
  };
  // Never unavailable itself: it says whether the computer answers.
  add("binary_sensor", "online",
      {{"name", "Online"},
       {"device_class", "connectivity"},
       {"state_topic", topics_.Node(node, "availability")},
       {"payload_on", "online"},
       {"payload_off", "offline"}},
      false);
  // What is said of a computer that is off ("offline: lock not sent", a wake) must reach
  // Home Assistant, which drops events of an unavailable entity.
  add("event", "event",
      {{"name", "Event"},
       {"state_topic", topics_.Node(node, "event")},
       {"event_types", Json::array({kEventType})},
       {"icon", "mdi:message-alert-outline"}},
      false);
  // A notice on its screen, and what the person there did with it.
  add("notify", "notify",
      {{"name", "Notice"},
       {"command_topic", topics_.Node(node, "notify")},
       {"icon", "mdi:message-text"}});
  add("event", "notice",
      {{"name", "Notice answer"},
       {"state_topic", topics_.Node(node, "notice")},
       {"event_types", Json::array({"answered", "dismissed", "no_answer", "not_shown"})},
       {"icon", "mdi:message-reply-text"}});
  const std::string command = topics_.Node(node, "command");
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
  const std::string figures = topics_.Node(node, "figures");
  const auto computer_figure = [&](const std::string& object, const std::string& name,
                                   const std::string& field, Json config) {
    config["name"] = name;
    config["state_topic"] = figures;
    config["value_template"] = "{{ value_json." + field + " }}";
    add("sensor", object, std::move(config));
  };
  computer_figure(
      "cpu", "CPU", "cpu",
      {{"unit_of_measurement", "%"}, {"state_class", "measurement"}, {"icon", "mdi:cpu-64-bit"}});
  computer_figure(
      "memory", "Memory used", "memory",
      {{"unit_of_measurement", "%"}, {"state_class", "measurement"}, {"icon", "mdi:memory"}});
  // In the unit a person reads: Home Assistant's MQTT sensor has no suggested unit.
  computer_figure("disk_free", "Disk free", "disk_free_gib",
                  {{"unit_of_measurement", "GiB"},
                   {"suggested_display_precision", 1},
                   {"device_class", "data_size"},
                   {"state_class", "measurement"},
                   {"icon", "mdi:harddisk"}});
  // Only for a computer that has told one: a sensor that never reads is no use.
  if (node.cpu_sensor) {
    computer_figure("cpu_temperature", "CPU temperature", "cpu_temperature",
                    {{"device_class", "temperature"},
                     {"unit_of_measurement", "°C"},
                     {"suggested_display_precision", 1},
                     {"state_class", "measurement"}});
  }
  // Who is at it, once its node has told it: a lock sensor is on while unlocked, as Home
  // Assistant's lock class has it.
  if (node.presence_sensors) {
    computer_figure("user", "User", "user", {{"icon", "mdi:account"}});
    Json locked{{"name", "Unlocked"},
                {"state_topic", figures},
                {"device_class", "lock"},
                {"value_template",
                 "{% if value_json.locked is none %}None{% elif value_json.locked %}OFF"
                 "{% else %}ON{% endif %}"}};
    add("binary_sensor", "locked", std::move(locked));
    computer_figure("idle", "Idle", "idle_seconds",
                    {{"device_class", "duration"},
                     {"unit_of_measurement", "s"},
                     {"state_class", "measurement"},
                     {"icon", "mdi:timer-sand"}});
  }
  computer_figure("booted", "Booted", "booted",
                  {{"device_class", "timestamp"}, {"entity_category", "diagnostic"}});
  // The user's own, each as the kind it declares; one with no reading is unknown, and its
  // attributes say why.
  const std::string sensors = topics_.Node(node, "sensors");
  for (const UserSensorState& sensor : node.sensors) {
    const std::string id = SensorId(sensor);
    Json config{{"name", sensor.name},
                {"state_topic", sensors},
                {"value_template", "{{ value_json['" + id + "'].value }}"},
                {"json_attributes_topic", sensors},
                {"json_attributes_template", "{{ value_json['" + id + "'] | tojson }}"}};
    if (sensor.kind == "on-off") {
      config["payload_on"] = "on";
      config["payload_off"] = "off";
      add("binary_sensor", id, std::move(config));
      continue;
    }
    if (sensor.kind == "number") {
      config["state_class"] = "measurement";
      if (!sensor.unit.empty()) config["unit_of_measurement"] = sensor.unit;
    }
    add("sensor", id, std::move(config));
  }
  add("sensor", "address",
      {{"name", "Address"},
       {"state_topic", topics_.Node(node, "computer")},
       {"value_template", "{{ value_json.address }}"},
       {"icon", "mdi:ip-network"},
       {"entity_category", "diagnostic"}});
  for (const ProgramConfig& program : node.offered) {
    const std::string attributes = topics_.Program(node, program, "attributes");
    const std::string instance = topics_.Program(node, program, "instance");
    add("switch", program.id,
        {{"name", program.name},
         {"command_topic", topics_.Program(node, program, "set")},
         {"state_topic", topics_.Program(node, program, "state")},
         {"payload_on", "ON"},
         {"payload_off", "OFF"},
         {"icon", "mdi:application-outline"},
         {"json_attributes_topic", instance}});
    add("button", program.id + "_restart",
        {{"name", program.name + " restart"},
         {"command_topic", topics_.Program(node, program, "set")},
         {"payload_press", "RESTART"},
         {"icon", "mdi:restart"}});
    add("sensor", program.id + "_started",
        {{"name", program.name + " started"},
         {"state_topic", instance},
         {"value_template", "{{ value_json.started }}"},
         {"device_class", "timestamp"},
         {"icon", "mdi:clock-start"}});
    add("sensor", program.id + "_cpu",
        {{"name", program.name + " CPU"},
         {"state_topic", attributes},
         {"value_template", "{{ value_json.cpu }}"},
         {"unit_of_measurement", "%"},
         {"state_class", "measurement"},
         {"icon", "mdi:cpu-64-bit"}});
    add("sensor", program.id + "_memory",
        {{"name", program.name + " memory"},
         {"state_topic", attributes},
         {"value_template", "{{ value_json.memory_mib }}"},
         {"unit_of_measurement", "MiB"},
         {"suggested_display_precision", 1},
         {"device_class", "data_size"},
         {"state_class", "measurement"},
         {"icon", "mdi:memory"}});
  }
  published.topic = topics_.DeviceConfig(node_id);
  published.payload =
      DumpJson(Json{{"device", device}, {"origin", Origin(url)}, {"components", components}});
  publisher_.Retain(published.topic, published.payload);
  published_[node.word] = std::move(published);
  // What earlier runs left of this computer, found before it was heard.
  if (const auto found = unclaimed_.find(node.word); found != unclaimed_.end()) {
    const std::map<std::string, Earlier> earlier = std::move(found->second);
    unclaimed_count_ -= earlier.size();
    unclaimed_.erase(found);
    for (const auto& [topic, config] : earlier) Settle(node.word, topic, config);
  }
}

void HaDiscovery::PublishAgain() {
  for (const auto& [word, device] : published_)
    publisher_.RetainAgain(device.topic, device.payload);
}

bool HaDiscovery::MayRestore(const std::string& word) {
  // Someone clears it (a user, a tool): published again, but not as often as they clear it.
  const int64_t now = loop_.NowMilliseconds();
  const auto [restored, first] = restored_ms_.try_emplace(word, now);
  if (!first && now - restored->second < kRestoreEveryMs) return false;
  restored->second = now;
  if (restored_ms_.size() > kMaxEarlierConfigs) restored_ms_.clear();
  return true;
}

bool HaDiscovery::Foreign(const std::string& word) const { return foreign_.count(word) != 0; }

void HaDiscovery::Found(const std::vector<std::string>& levels, const std::string& topic,
                        const std::string& payload) {
  // Ours: one entity's config (an earlier version's), or a computer's device config.
  const bool entity = levels.size() == 4 && levels[3] == "config";
  const bool device = levels.size() == 3 && levels[0] == "device" && levels[2] == "config";
  if (!(entity || device)) return;
  if (device && levels[1] == topics_.GatewayDeviceId()) {
    if (payload.empty() && !gateway_payload_.empty() && MayRestore("")) {
      say_("the gateway's own device config was cleared in the broker: published again");
      publisher_.RetainAgain(topic, gateway_payload_);
    }
    return;
  }
  // The gateway's device as earlier versions named it; a computer called "gateway_<ours>"
  // has that id too, but never these topics.
  if (device && levels[1] == topics_.EarlierGatewayDeviceId() &&
      payload.find('"' + topics_.Gateway("state") + '"') != std::string::npos) {
    say_("the gateway's device has a new id, " + topics_.GatewayDeviceId() +
         "; its earlier config is cleared");
    publisher_.Clear(topic);
    return;
  }
  if (levels[1].rfind("varnix_", 0) != 0) return;
  const std::string word = levels[1].substr(7);
  const auto published = published_.find(word);
  if (payload.empty()) {
    // Ours, cleared by someone else: what Home Assistant shows would be gone for good.
    if (device && published != published_.end() && published->second.topic == topic &&
        MayRestore(word)) {
      say_("the device config of " + word + " was cleared in the broker: published again");
      publisher_.RetainAgain(topic, published->second.payload);
    }
    return;
  }
  if (device) {
    // A device reached through another gateway is that gateway's: never moved, cleared or
    // said offline from here.
    const Json config = Json::parse(payload, nullptr, false);
    const Json* via = config.is_object() && config.contains("device") &&
                              config["device"].is_object() &&
                              config["device"].contains("via_device")
                          ? &config["device"]["via_device"]
                          : nullptr;
    // One without a via_device is no gateway's of ours, in any version: someone else made it.
    if (via == nullptr ||
        (*via != topics_.GatewayDeviceId() && *via != topics_.EarlierGatewayDeviceId())) {
      if (foreign_.size() < kMaxEarlierConfigs) foreign_.insert(word);
      return;
    }
  }

  if (device && published != published_.end()) return;  // ours, or replaced by ours already
  if (handled_.count(topic) != 0) {
    // Moved or cleared already, and here again: our own "move" come back (never retained), or
    // a copy someone planted, cleared once more, one message for one. Never moved twice.
    if (payload != kMovePayload) publisher_.Clear(topic);
    return;
  }
  if (handled_.size() + unclaimed_count_ >= kMaxEarlierConfigs) {
    if (!said_full_)
      say_("more earlier configs than " + std::to_string(kMaxEarlierConfigs) +
           " in one connection; the rest are left alone");
    said_full_ = true;
    return;
  }
  const Earlier earlier{device ? "" : levels[0], device ? "" : levels[2],
                        entity && Movable(payload)};
  if (published == published_.end()) {
    // Its computer may not have been heard yet; settled when it is, or swept.
    unclaimed_count_ += unclaimed_[word].emplace(topic, earlier).second ? 1 : 0;
    return;
  }
  Settle(word, topic, earlier);
}

void HaDiscovery::Settle(const std::string& word, const std::string& topic,
                         const Earlier& earlier) {
  // A device config an earlier run left is replaced by the one just published.
  if (earlier.platform.empty()) return;
  handled_.insert(topic);
  const Device& device = published_.at(word);
  const auto platform = device.platforms.find(earlier.component);
  if (earlier.movable && platform != device.platforms.end() &&
      platform->second == earlier.platform) {
    moving_[word].insert(topic);
    // The broker hands over what it holds in one burst: gathered, each device goes once.
    if (!migrate_timer_->Enabled()) {
      migrate_timer_->SetInterval(kGatherMovesMs);
      migrate_timer_->SetEnabled(true);
    }
    return;
  }
  // An entity its device no longer has, a config Home Assistant cannot move, or a "move"
  // that an interrupted run left: removed.
  publisher_.Clear(topic);
}

void HaDiscovery::Migrate() {
  for (const auto& [word, topics] : moving_) {
    const auto device = published_.find(word);
    if (device == published_.end()) continue;
    // Not retained: were the gateway stopped now, nothing of the move would stay behind.
    for (const std::string& topic : topics) {
      publisher_.Send(topic, kMovePayload);
    }
    publisher_.RetainAgain(device->second.topic, device->second.payload);
    for (const std::string& topic : topics) publisher_.Clear(topic);
    say_("moved " + std::to_string(topics.size()) + " earlier config" +
         (topics.size() == 1 ? "" : "s") + " into the device of " + word);
  }
  moving_.clear();
}

std::map<std::string, std::set<std::string>> HaDiscovery::TakeUnclaimed() {
  std::map<std::string, std::set<std::string>> taken;
  for (const auto& [word, earlier] : unclaimed_) {
    for (const auto& [topic, config] : earlier) taken[word].insert(topic);
  }
  unclaimed_.clear();
  unclaimed_count_ = 0;
  return taken;
}

std::set<std::string> HaDiscovery::Forget(const std::string& word) {
  std::set<std::string> topics;
  if (const auto device = published_.find(word); device != published_.end()) {
    topics.insert(device->second.topic);
    published_.erase(device);
  }
  if (const auto earlier = unclaimed_.find(word); earlier != unclaimed_.end()) {
    for (const auto& [topic, config] : earlier->second) topics.insert(topic);
    unclaimed_count_ -= earlier->second.size();
    unclaimed_.erase(earlier);
  }
  return topics;
}

}  // namespace varnix
