// MqttFace: the state topics and their payloads, built with nlohmann-json, and the commands.
#include "gateway/mqtt_face.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <ctime>
#include <functional>
#include <nlohmann/json.hpp>

#include "core/text.h"
#include "core/unix_time.h"
#include "gateway/computer_name.h"

#ifndef VARNIX_VERSION
#define VARNIX_VERSION "0"
#endif

namespace varnix {
namespace {

using Json = nlohmann::json;

constexpr int64_t kRefusalRepeatMs = 60000;

// An event as Home Assistant's event entity takes it, the text under "event" as before.
Json EventJson(const std::string& text) {
  return Json{{"event_type", HaDiscovery::kEventType}, {"event", text}};
}

// A reported figure as a JSON number; null when the node gave none (the program has ended).
Json Figure(const std::string& text) {
  int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return nullptr;
  return value;
}

// `bytes` in the unit Home Assistant shows (2^`shift` bytes), to two decimals; null for none.
Json Scaled(const Json& bytes, int shift) {
  if (!bytes.is_number()) return nullptr;
  const double value = bytes.get<double>() / static_cast<double>(uint64_t{1} << shift);
  return std::round(value * 100) / 100;
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
                   std::string gateway, EventLoop& loop, NodeDirectory::Say say, bool keyed)
    : session_(session),
      nodes_(nodes),
      config_(config),
      loop_(loop),
      say_(std::move(say)),
      keyed_(keyed),
      publisher_(session),
      topics_(config.mqtt, std::move(gateway)),
      discovery_(publisher_, topics_, config, loop, say_) {
  sweep_timer_ = loop_.CreateTimer([this] {
    sweep_timer_->SetEnabled(false);
    Sweep();
  });
  believe_timer_ = loop_.CreateTimer([this] { Disbelieve(); });
  believe_timer_->SetInterval(config_.echo_seconds * 1000 * NodeDirectory::kUnansweredEchoes);
  remember_timer_ = loop_.CreateTimer([this] { Remember(); });

  device_timer_ = loop_.CreateTimer([this] { PublishDueDevices(); });
  device_timer_->SetInterval(static_cast<int>(kGatherDeviceMs / 2));
}

int64_t MqttFace::Precision() const {
  return std::clamp<int64_t>(static_cast<int64_t>(config_.mqtt.forget_after_days * 3600), 1,
                             kRememberPrecisionSeconds);
}

std::string MqttFace::GatewayAvailabilityTopic() const { return topics_.GatewayAvailability(); }

void MqttFace::Connected() {
  const std::string& prefix = config_.mqtt.topic_prefix;
  session_.Subscribe(prefix + "/+/command", true);
  session_.Subscribe(prefix + "/+/program/+/set", true);
  session_.Subscribe(prefix + "/+/notify", true);
  session_.Subscribe(config_.mqtt.discovery_prefix + "/status", false);
  // Our configs retained from an earlier run or version: moved into their device, or removed.
  session_.Subscribe(config_.mqtt.discovery_prefix + "/+/+/+/config", false);
  session_.Subscribe(config_.mqtt.discovery_prefix + "/device/+/config", false);
  // What the broker holds of nodes, gathered for a while, and the times they were last heard:
  // a node no run has heard within ForgetAfter is cleared away.
  session_.Subscribe(topics_.Gateway("nodes"), false);
  session_.Subscribe(prefix + "/+/availability", false);
  session_.Subscribe(prefix + "/+/computer", false);
  session_.Subscribe(prefix + "/+/figures", false);
  session_.Subscribe(prefix + "/+/program/+/state", false);
  gathering_ = true;
  table_found_ = false;
  found_.clear();
  believed_.clear();
  sweep_timer_->SetEnabled(false);
  sweep_timer_->SetInterval(kSweepAfterMs);
  sweep_timer_->SetEnabled(true);
  remember_timer_->SetInterval(
      static_cast<int>(std::min<int64_t>(kRememberEveryMs, Precision() * 1000)));
  remember_timer_->SetEnabled(true);
  publisher_.ForgetAll();
  device_sent_ms_.clear();  // the new connection has none of them yet
  device_due_.clear();
  discovery_.Connected();
  republished_ms_ = loop_.NowMilliseconds();
  publisher_.Retain(GatewayAvailabilityTopic(), "online");
  discovery_.PublishGateway();
  PublishGatewayState();
  for (const auto& [key, node] : nodes_.nodes()) PublishNode(node);
}

void MqttFace::Republish() {
  // The configs are retained: a Home Assistant that starts within 10 s of the last sending
  // reads them from the broker, so a burst costs one sending.
  const int64_t now = loop_.NowMilliseconds();
  if (republished_ms_ && now - *republished_ms_ < kRepublishEveryMs) return;
  republished_ms_ = now;
  discovery_.PublishGateway();
  discovery_.PublishAgain();
}

bool MqttFace::MacTrusted(const NodeState& node) const {
  if (node.mac.empty() || (keyed_ && !node.verified)) return false;
  return std::none_of(nodes_.nodes().begin(), nodes_.nodes().end(), [&](const auto& other) {
    return other.second.word != node.word && EqualsIgnoringCase(other.second.mac, node.mac);
  });
}

void MqttFace::PublishNode(const NodeState& node) {
  held_.erase(node.word);  // its own again, not an earlier run's leftovers

  const bool mac_trusted = MacTrusted(node);
  publisher_.Retain(topics_.Node(node, "availability"), node.online ? "online" : "offline");
  // Not before its address is known: the Address sensor would read "" meanwhile.
  if (!node.address.empty()) {
    publisher_.Retain(topics_.Node(node, "computer"),
                      DumpJson(Json{{"name", node.computer},
                                    {"address", node.address},
                                    {"mac", mac_trusted ? node.mac : ""},
                                    {"verified", node.verified}}));
  }
  PublishDevice(node);
  PublishFigures(node);
  for (const ProgramConfig& program : node.offered) PublishProgram(node, program);
}

void MqttFace::PublishDevice(const NodeState& node) {
  if (!node.answered) return;  // no device yet
  const int64_t now = loop_.NowMilliseconds();
  auto sent = device_sent_ms_.find(node.word);
  if (sent == device_sent_ms_.end()) {
    // The first of this connection waits a moment: the node's answer to the list, asked as it
    // answered, comes in a burst, and its declared programs go in the same config.
    sent = device_sent_ms_.emplace(node.word, now - kDeviceEveryMs + kGatherDeviceMs).first;
  }
  if (now - sent->second < kDeviceEveryMs) {
    device_due_.insert(node.word);
    device_timer_->SetEnabled(true);
    return;
  }
  device_due_.erase(node.word);
  device_sent_ms_[node.word] = now;
  discovery_.PublishComputer(node, MacTrusted(node));
}

void MqttFace::PublishDueDevices() {
  const std::set<std::string> due = device_due_;
  for (const auto& [key, node] : nodes_.nodes()) {
    if (due.count(node.word) != 0) PublishDevice(node);
  }
  // Words whose node is gone meanwhile are nobody's.
  std::erase_if(device_due_, [&](const std::string& word) {
    return std::none_of(nodes_.nodes().begin(), nodes_.nodes().end(),
                        [&](const auto& entry) { return entry.second.word == word; });
  });
  if (device_due_.empty()) device_timer_->SetEnabled(false);
}

void MqttFace::PublishGatewayState() {
  size_t computers = 0;
  for (const auto& [key, node] : nodes_.nodes()) computers += node.answered ? 1 : 0;
  publisher_.Retain(topics_.Gateway("state"),
                    DumpJson(Json{{"computers", computers}, {"version", VARNIX_VERSION}}));
}

void MqttFace::PublishProgram(const NodeState& node, const ProgramConfig& program) {
  const ProgramState* state = node.Program(program.path);
  // Nothing is said of a program until its node has reported it.
  if (state == nullptr) return;
  publisher_.Retain(topics_.Program(node, program, "state"), state->Running() ? "ON" : "OFF");
  const Json attributes{{"path", state->path},
                        {"title", state->title},
                        {"pid", Figure(state->pid)},
                        {"priority", state->priority},
                        {"cpu", Figure(state->cpu)},
                        {"memory", Figure(state->ram)},
                        {"memory_mib", Scaled(Figure(state->ram), 20)},
                        {"running_time", Figure(state->elapsed)},
                        {"exit_code", Figure(state->exit_code)},
                        {"signal", state->signal.empty() ? Json(nullptr) : Json(state->signal)},
                        {"forced", state->forced}};
  // Figures come again at the next pass: one lost on the way is not worth an acknowledgement.
  publisher_.Retain(topics_.Program(node, program, "attributes"), DumpJson(attributes),
                    MqttSession::Delivery::kAtMostOnce);
  // What changes only with the instance, so that Home Assistant records it once per start:
  // when it started is reckoned once, from its first report's running time.
  const std::string instance = topics_.Program(node, program, "instance");
  Json started = nullptr;
  if (state->Running()) {
    auto& [pid, when] = started_[instance];
    if (pid != state->pid || when.empty()) {
      pid = state->pid;
      const int64_t elapsed =
          Figure(state->elapsed).is_number() ? Figure(state->elapsed).get<int64_t>() : 0;
      const Json at = IsoTime(UnixSecondsNow() - elapsed);
      when = at.is_string() ? at.get<std::string>() : "";
    }
    started = when;
  } else {
    started_.erase(instance);
  }
  publisher_.Retain(
      instance,
      DumpJson(Json{{"path", state->path},
                    {"pid", Figure(state->pid)},
                    {"started", started},
                    {"exit_code", Figure(state->exit_code)},
                    {"signal", state->signal.empty() ? Json(nullptr) : Json(state->signal)},
                    {"forced", state->forced},
                    // The node stopped starting it again: shown as such, not as a stop.
                    {"gave_up", state->gave_up},
                    {"last_end", state->gave_up ? Json(state->last_end) : Json(nullptr)}}));
}

void MqttFace::PublishFigures(const NodeState& node) {
  if (!node.answered) return;
  const NodeFigures& figures = node.figures;
  const auto number = [](const std::optional<uint64_t>& value) {
    return value ? Json(*value) : Json(nullptr);
  };
  Json temperatures = Json::object();
  for (const auto& [name, degrees] : figures.temperatures) temperatures[name] = degrees;
  // Figures come again with the next round: one lost on the way is not worth an
  // acknowledgement.
  publisher_.Retain(
      topics_.Node(node, "figures"),
      DumpJson(Json{
          {"cpu", number(figures.cpu)},
          {"memory", number(figures.MemoryPercent())},
          {"disk_free", number(figures.disk_free)},
          {"disk_free_gib", Scaled(number(figures.disk_free), 30)},
          {"booted",
           figures.booted ? IsoTime(static_cast<int64_t>(*figures.booted)) : Json(nullptr)},
          {"cpu_temperature",
           figures.cpu_temperature ? Json(*figures.cpu_temperature) : Json(nullptr)},
          {"temperatures", temperatures},
          {"user", figures.user ? Json(*figures.user) : Json(nullptr)},
          {"locked", figures.locked ? Json(*figures.locked) : Json(nullptr)},
          {"idle_seconds", number(figures.idle_seconds)},
          {"presence_problem",
           figures.presence_problem.empty() ? Json(nullptr) : Json(figures.presence_problem)}}),
      MqttSession::Delivery::kAtMostOnce);
}

void MqttFace::FiguresReported(const NodeState& node) { PublishFigures(node); }

void MqttFace::SensorReported(const NodeState& node, const UserSensorState& /*sensor*/) {
  // Every sensor of the computer in one kept message, each under its entity's id: a sensor
  // with no reading is null, and why is beside it.
  Json sensors = Json::object();
  for (const UserSensorState& sensor : node.sensors) {
    Json value = sensor.problem.empty() ? Json(sensor.value) : Json(nullptr);
    if (sensor.problem.empty() && sensor.kind == "number") {
      value = Json::parse(sensor.value, nullptr, false);
      if (!value.is_number()) value = nullptr;
    }
    sensors[HaDiscovery::SensorId(sensor)] = {
        {"value", value},
        {"problem", sensor.problem.empty() ? Json(nullptr) : Json(sensor.problem)}};
  }
  publisher_.Retain(topics_.Node(node, "sensors"), DumpJson(sensors));
}

void MqttFace::NodeChanged(const NodeState& node) {
  PublishNode(node);
  PublishGatewayState();
}

void MqttFace::ProgramReported(const NodeState& node, const ProgramState& reported) {
  for (const ProgramConfig& program : node.offered) {
    if (EqualsIgnoringCase(program.path, reported.path)) PublishProgram(node, program);
  }
}

void MqttFace::NodeEvent(const NodeState& node, const std::string& text) {
  // Said at every start of a node: noise in Home Assistant's logbook.
  if (NodeDirectory::StartupNotice(text)) return;
  Event(topics_.Node(node, "event"), text);
}

void MqttFace::Event(const std::string& topic, const std::string& text) {
  publisher_.Send(topic, DumpJson(EventJson(text)));
}

void MqttFace::NodeForgotten(const NodeState& node) {
  std::set<std::string> topics = {topics_.Node(node, "availability"),
                                  topics_.Node(node, "computer"), topics_.Node(node, "figures"),
                                  topics_.Node(node, "sensors")};
  for (const ProgramConfig& program : node.offered) {
    topics.insert(topics_.Program(node, program, "state"));
    topics.insert(topics_.Program(node, program, "attributes"));
    topics.insert(topics_.Program(node, program, "instance"));
  }
  remembered_.erase(node.word);
  device_sent_ms_.erase(node.word);
  device_due_.erase(node.word);
  if (const auto held = held_.find(node.word); held != held_.end()) {
    topics.merge(held->second);
    held_.erase(held);
  }
  ClearWord(node.word, std::move(topics));
}

void MqttFace::GatewayNotice(const std::string& text) { Event(topics_.Gateway("event"), text); }

void MqttFace::ClearWord(const std::string& word, std::set<std::string> topics) {
  if (!word.empty()) topics.merge(discovery_.Forget(word));
  for (const std::string& topic : topics) {
    // A program's figures go with its state.
    const std::string state = "/state";
    if (topic.size() > state.size() &&
        topic.compare(topic.size() - state.size(), state.size(), state) == 0) {
      for (const char* sibling : {"/attributes", "/instance"}) {
        publisher_.Clear(topic.substr(0, topic.size() - state.size()) + sibling);
      }
    }
    publisher_.Clear(topic);
  }
}

void MqttFace::Remember() {
  const int64_t now = UnixSecondsNow();
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
  publisher_.Retain(topics_.Gateway("nodes"), DumpJson(table));
}

void MqttFace::Sweep() {
  gathering_ = false;
  const std::string& prefix = config_.mqtt.topic_prefix;
  session_.Unsubscribe(prefix + "/+/availability");
  session_.Unsubscribe(prefix + "/+/computer");
  session_.Unsubscribe(prefix + "/+/figures");
  session_.Unsubscribe(prefix + "/+/program/+/state");
  for (auto& [word, topics] : discovery_.TakeUnclaimed()) found_[word].merge(topics);
  const int64_t now = UnixSecondsNow();
  const auto forget = static_cast<int64_t>(config_.mqtt.forget_after_days * 86400);
  for (auto& [word, topics] : found_) {
    const NodeState* node = NodeOfWord(word);
    // What this gateway never heard nor kept is another's (another site's gateway, a tool's):
    // left as it is.
    if (node == nullptr && !Ours(word)) continue;
    if (node != nullptr) {
      // A program no longer configured for it: its state goes with its entities.
      std::set<std::string> gone;
      for (const std::string& topic : topics) {
        const std::vector<std::string> levels = Levels(topic);
        const std::string& id = levels.size() >= 2 ? levels[levels.size() - 2] : "";
        const bool configured = std::any_of(node->offered.begin(), node->offered.end(),
                                            [&](const ProgramConfig& p) { return p.id == id; });
        if (levels.back() == "state" && !configured) gone.insert(topic);
      }
      if (!gone.empty()) ClearWord("", std::move(gone));
      continue;
    }
    const auto heard = remembered_.find(word);
    // Kept, but not believed: a computer that has not answered since this run began is
    // offline, whatever an earlier run left retained (said so as soon as it was found).
    const bool kept =
        (heard != remembered_.end() && now - heard->second < forget + Precision()) || !table_found_;
    if (kept) {
      if (heard == remembered_.end()) remembered_[word] = now - now % Precision();
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

void MqttFace::Message(const std::string& topic, const std::string& payload, bool retained) {
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
      // Home Assistant started again and forgot what it was told.
      if (!retained && TrimSpaces(payload) == "online") Republish();
      return;
    }
    discovery_.Found(rest, topic, payload);
    return;
  }
  if (topic == topics_.Gateway("nodes")) {
    // The one the broker kept; our own, come back, tells nothing new.
    if (!retained) return;
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
  // Gateways' own topics (varnix/gateway/<computer>/...) are four levels deep and match none
  // of the shapes below; a computer called "gateway" is a computer like any other.
  if (rest.size() < 2 || !MqttTopics::IsWord(rest[0])) return;
  const bool node_level = rest.size() == 2 && (rest[1] == "availability" || rest[1] == "computer" ||
                                               rest[1] == "figures" || rest[1] == "sensors");
  const bool state_level = rest.size() == 4 && rest[1] == "program" && rest[3] == "state";
  if (node_level || state_level) {
    if (gathering_ && retained && !payload.empty()) Gathered(rest[0], topic, rest[1], payload);
    return;
  }
  const bool command = rest.size() == 2 && rest[1] == "command";
  const bool set = rest.size() == 4 && rest[1] == "program" && rest[3] == "set";
  const bool notify = rest.size() == 2 && rest[1] == "notify";
  // An empty message is how a kept one is cleared, ours included: no command.
  if (!(command || set || notify) || payload.empty()) return;
  if (retained) {
    StaleCommand(topic, payload);
  } else if (notify) {
    Notify(rest[0], payload);
  } else {
    Command(rest[0], set ? rest[2] : "", payload);
  }
}

void MqttFace::Gathered(const std::string& word, const std::string& topic, const std::string& level,
                        const std::string& payload) {
  if (level == "computer") Recall(payload);
  if (found_.size() < 4 * NodeDirectory::kMaxNodes || found_.count(word) != 0) {
    found_[word].insert(topic);
  }
  // Believed until its echo window has passed: a computer that answers keeps "online" without
  // a flicker at each start of the gateway; one that does not, whose node may have died while
  // the gateway was away, is said offline then.
  if (level == "availability" && payload != "offline" &&
      believed_.size() < NodeDirectory::kMaxNodes) {
    believed_.insert(word);
    if (!believe_timer_->Enabled()) believe_timer_->SetEnabled(true);
  }
}

bool MqttFace::Ours(const std::string& word) const {
  // A computer this gateway has heard (its table says so), or one no other maker's device
  // config names: a stranger's leftovers are ours to tidy, another gateway's computer and a
  // config someone planted are not.
  return remembered_.count(word) != 0 || !discovery_.Foreign(word);
}

void MqttFace::Disbelieve() {
  believe_timer_->SetEnabled(false);
  for (const std::string& word : believed_) {
    const NodeState* node = NodeOfWord(word);
    if ((node == nullptr || !node->online) && Ours(word)) {
      publisher_.Retain(topics_.Word(word, "availability"), "offline");
    }
  }
  believed_.clear();
}

void MqttFace::StaleCommand(const std::string& topic, const std::string& payload) {
  // Kept by the broker, it would be carried out again at every connection; a command counts
  // only as it is sent. Said before it is cleared: a gateway ended between the two finds it
  // again at its next start and says it then, where the other order would lose it unsaid.
  const bool printable = payload.size() <= kMaxCommandBytes &&
                         std::none_of(payload.begin(), payload.end(), IsControlByte);
  // Said where the gateway's own notices go: at our connection its computer may not be known.
  Refuse(nullptr,
         "a retained command" +
             (printable ? " \"" + std::string(TrimSpaces(payload)) + "\"" : std::string()) +
             " on " + Bounded(topic) +
             " was cleared, not carried out; send commands without the retain flag");
  publisher_.Clear(topic);
}

void MqttFace::Recall(const std::string& payload) {
  // What an earlier run said of a computer: enough to wake it while it is off.
  const Json computer = Json::parse(payload, nullptr, false);
  if (!computer.is_object()) return;
  const auto text = [&](const char* name) {
    const auto found = computer.find(name);
    return found != computer.end() && found->is_string() ? found->get<std::string>() : "";
  };
  if (!ComputerOf("qel.Process." + text("name")).empty())
    nodes_.Recall(text("name"), text("mac"), text("address"));
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
      Event(topics_.Word(word, "event"), said);
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
    Event(topics_.Word(word, "event"), text);
    return;
  }
  // Another gateway's computer: that gateway answers.
  if (node == nullptr && discovery_.Foreign(word)) return;
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
    if (HaDiscovery::IsComputerAction(action)) {
      nodes_.ControlComputer(node->computer, action);
    } else {
      Refuse(node, "\"" + payload +
                       "\" is not a computer command (shutdown, reboot, sleep, hibernate, lock, "
                       "logoff, screenoff, reload, wake)");
    }
    return;
  }
  const auto program = std::find_if(node->offered.begin(), node->offered.end(),
                                    [&](const ProgramConfig& p) { return p.id == program_id; });
  if (program == node->offered.end()) {
    Refuse(node, "no program " + program_id + " is configured for " + node->computer);
  } else if (action == "on" || action == "restart") {
    nodes_.StartProgram(node->computer, *program, action == "restart");
  } else if (action == "off") {
    nodes_.StopProgram(node->computer, *program);
  } else {
    Refuse(node, "\"" + payload + "\" is not a program command (ON, OFF, RESTART)");
  }
}

void MqttFace::Notify(const std::string& word, const std::string& payload) {
  const NodeState* node = NodeOfWord(word);
  if (node == nullptr && discovery_.Foreign(word)) return;
  if (node == nullptr) {
    Refuse(nullptr, "no node of the name " + word + " is known; the notice went nowhere");
    return;
  }
  if (payload.size() > kMaxNoticeBytes) {
    Refuse(node, "a notice of " + std::to_string(payload.size()) + " bytes was not sent (at most " +
                     std::to_string(kMaxNoticeBytes) + ")");
    return;
  }
  // Home Assistant's notify entity sends the message alone; an automation that publishes
  // itself may give the rest in JSON.
  NoticeText notice;
  const Json asked = Json::parse(payload, nullptr, false);
  if (asked.is_object() && asked.contains("message")) {
    const auto text = [&](const char* name) {
      const auto found = asked.find(name);
      if (found == asked.end()) return std::string();
      return found->is_string() ? found->get<std::string>() : found->dump();
    };
    notice.text = text("message");
    notice.title = text("title");
    notice.timeout = text("timeout");
    if (const auto actions = asked.find("actions"); actions != asked.end() && actions->is_array()) {
      for (const Json& action : *actions) {
        if (!action.is_string()) continue;
        notice.actions += (notice.actions.empty() ? "" : ";") + action.get<std::string>();
      }
    } else {
      notice.actions = text("actions");
    }
  } else {
    notice.text = payload;
  }
  nodes_.Notify(node->computer, notice);
}

void MqttFace::NoticeTold(const NodeState& node, const NoticeOutcome& told) {
  std::string type = told.outcome;
  std::replace(type.begin(), type.end(), ' ', '_');
  const auto given = [](const std::string& text) {
    return text.empty() ? Json(nullptr) : Json(text);
  };
  publisher_.Send(topics_.Node(node, "notice"), DumpJson(Json{{"event_type", type},
                                                              {"title", told.title},
                                                              {"action", given(told.action)},
                                                              {"problem", given(told.problem)},
                                                              {"request", given(told.request)}}));
}

void MqttFace::Refuse(const NodeState* node, const std::string& text) {
  // Said once a minute at most: a client that repeats itself must not flood the log.
  const int64_t now = loop_.NowMilliseconds();
  if (refusals_said_.size() > 256) refusals_said_.clear();
  const auto said = refusals_said_.find(text);
  if (said != refusals_said_.end() && now - said->second < kRefusalRepeatMs) return;
  refusals_said_[text] = now;
  say_("refused: " + text);
  Event(node != nullptr ? topics_.Node(*node, "event") : topics_.Gateway("event"),
        "Refused: " + text);
}

}  // namespace varnix
