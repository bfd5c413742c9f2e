// The MQTT face against a broker that, like a real one, keeps retained messages and hands every
// publish back to its own subscriptions: what the gateway sends comes back to it.
#include "gateway/mqtt_face.h"

#include <gtest/gtest.h>

#include <deque>
#include <tuple>

#include "core/text.h"
#include "core/unix_time.h"
#include "fakes/fake_event_loop.h"

namespace varnix {
namespace {

using Json = nlohmann::json;

class EchoingBroker : public MqttSession {
 public:
  struct Delivery {
    std::string topic;
    std::string payload;
    bool retained;
  };

  void Publish(const std::string& topic, const std::string& payload, bool retain,
               MqttSession::Delivery) override {
    published.push_back({topic, payload, retain});
    if (retain && payload.empty()) {
      held.erase(topic);
    } else if (retain) {
      held[topic] = payload;
    }
    // MQTT 5: a subscription "as published" sees the retain flag of a live message.
    const auto as_published = std::find_if(patterns_.begin(), patterns_.end(),
                                           [&](auto& p) { return Matches(p.first, topic); });
    if (as_published != patterns_.end()) {
      queue_.push_back({topic, payload, retain && as_published->second});
    }
  }
  void Subscribe(const std::string& pattern, bool as_published) override {
    patterns_[pattern] = as_published;
    for (const auto& [topic, payload] : held) {
      if (Matches(pattern, topic)) queue_.push_back({topic, payload, true});
    }
  }
  void Unsubscribe(const std::string& pattern) override { patterns_.erase(pattern); }

  // Hands what is waiting to the face, and what that makes it send, at most `limit` messages.
  void Deliver(MqttFace& face, int limit = 100000) {
    while (!queue_.empty() && limit-- > 0) {
      const Delivery next = queue_.front();
      queue_.pop_front();
      face.Message(next.topic, next.payload, next.retained);
    }
  }
  size_t Count(const std::string& topic) const {
    return static_cast<size_t>(std::count_if(published.begin(), published.end(),
                                             [&](const auto& p) { return p.topic == topic; }));
  }

  std::map<std::string, std::string> held;
  std::vector<Delivery> published;

 private:
  static bool Matches(const std::string& pattern, const std::string& topic) {
    const std::vector<std::string> want = Split(pattern, '/');
    const std::vector<std::string> have = Split(topic, '/');
    for (size_t i = 0; i < want.size(); ++i) {
      if (want[i] == "#") return true;
      if (i >= have.size() || (want[i] != "+" && want[i] != have[i])) return false;
    }
    return want.size() == have.size();
  }
  std::map<std::string, bool> patterns_;  // -> as published
  std::deque<Delivery> queue_;
};

class MqttFaceTest : public ::testing::Test {
 protected:
  MqttFaceTest() {
    ProgramConfig helper;
    helper.name = "Helper";
    helper.id = "helper";
    helper.computer = "*";
    helper.path = "/bin/helper";
    config_.programs.push_back(helper);
  }

  // What `computer` says, heard now.
  void Hear(NodeDirectory& nodes, const std::string& computer, const std::string& section,
            NodeDirectory::Items items, bool verified = false) {
    Heard heard{"qel.Process." + computer, "xAP", section, std::move(items)};
    heard.at_ms = loop_.NowMilliseconds();
    heard.verified = verified;
    nodes.Hear(heard);
  }
  // A face on the broker for `nodes`, connected; `keyed`: the gateway holds the house's key.
  std::unique_ptr<MqttFace> Connect(NodeDirectory& nodes, bool keyed = false) {
    auto face = std::make_unique<MqttFace>(
        broker_, nodes, config_, "gw", loop_, [](const std::string&) {}, keyed);
    nodes.AddObserver(*face);
    face->Connected();
    return face;
  }
  // A computer that answers, with its address and card.
  void Answer(NodeDirectory& nodes, const std::string& computer, const std::string& mac,
              bool verified = false) {
    Hear(nodes, computer, "echo.response", {{"Response", "varnix-gateway"}}, verified);
    Hear(nodes, computer, "computer.notification", {{"IP", "192.168.1.7"}}, verified);
    Hear(nodes, computer, "computer.status", {{"CPU", "5"}, {"MAC", mac}}, verified);
    // Its device config goes once the window has passed, whole.
    loop_.Advance(MqttFace::kDeviceEveryMs);
  }

  FakeEventLoop loop_;
  GatewayConfig config_;
  // "target action" of each request the commands make (not the directory's own asks).
  std::vector<std::string> sent_;
  NodeDirectory nodes_{loop_, config_,
                       [this](const std::string& target, const std::string&, const std::string&,
                              const NodeDirectory::Items& items) {
                         if (!items.empty() && items[0].first == "Notify") {
                           std::string notice = target;
                           for (const auto& [name, value] : items)
                             notice += " " + name + "=" + value;
                           sent_.push_back(notice);
                           return;
                         }
                         const std::string action = items.empty() ? "" : items[0].second;
                         if (items.empty() || items[0].first != "Action" ||
                             action == "autonotify" || action == "list") {
                           return;
                         }
                         sent_.push_back(target + " " + action);
                       },
                       [](const std::string&) {}, [](auto&&...) { return std::string(); }};
  EchoingBroker broker_;
};

// An upgrade from per-entity configs: each one is moved once or cleared, with every publish
// coming back, and nothing of the move stays in the broker, across a stop in the middle.
TEST_F(MqttFaceTest, EarlierConfigsAreMovedOnceOrClearedWithTheEchoPresent) {
  const std::string old = "homeassistant/switch/varnix_pc1/helper/config";
  const std::string gone = "homeassistant/switch/varnix_pc1/removed/config";
  const std::string bare = "homeassistant/sensor/varnix_pc1/cpu/config";
  const std::string left = "homeassistant/button/varnix_pc1/helper_restart/config";
  const std::string device = "homeassistant/device/varnix_pc1/config";
  broker_.held[old] = R"({"unique_id":"varnix_pc1_helper","device":{"identifiers":["x"]}})";
  broker_.held[gone] = R"({"unique_id":"varnix_pc1_removed","device":{"identifiers":["x"]}})";
  broker_.held[bare] = R"({"unique_id":"varnix_pc1_cpu"})";
  broker_.held[left] = R"({"migrate_discovery":true})";  // a run stopped while moving
  // The first run is stopped as soon as it has read what the broker holds.
  for (const bool whole : {false, true}) {
    NodeDirectory nodes(
        loop_, config_, [](auto&&...) {}, [](const std::string&) {},
        [](auto&&...) { return std::string(); });
    const auto face = Connect(nodes);
    Answer(nodes, "pc1", "00:11:22:33:44:55");
    broker_.Deliver(*face);
    if (!whole) continue;
    const size_t start = broker_.published.size();
    const size_t devices = broker_.Count(device);
    for (int turn = 0; turn < 100; ++turn) {
      broker_.Deliver(*face);
      loop_.Advance(100);
    }
    // Told to move once, then the device that takes it, once; then cleared.
    EXPECT_EQ(broker_.Count(old), 2u);
    EXPECT_LE(broker_.Count(device) - devices, 1u) << "the echoes republished the device";
    for (const std::string& topic : {old, gone, bare, left}) {
      EXPECT_EQ(broker_.held.count(topic), 0u) << topic;
    }
    ASSERT_EQ(broker_.held.count(device), 1u);
    EXPECT_EQ(Json::parse(broker_.held[device])["components"]["helper"]["unique_id"],
              "varnix_pc1_helper");
    EXPECT_LE(broker_.published.size() - start, 60u);
    // Quiet once settled, however long the echoes have.
    const size_t settled = broker_.published.size();
    loop_.Advance(30000);
    broker_.Deliver(*face);
    EXPECT_LE(broker_.published.size(), settled + 4) << "the remembered times, the sweep";
  }
}

// Home Assistant's birth message in a burst: the configs once, at most every 10 s; a
// command the broker kept, or published retained while the gateway listens, is cleared and
// said, never carried out; a computer of ours the broker kept as online is believed for its
// echo window, then said offline.
TEST_F(MqttFaceTest, BurstsAndWhatTheBrokerKeptAreNotActedOnAgain) {
  broker_.held["varnix/pc1/command"] = "lock";
  broker_.held["varnix/pc2/availability"] = "online";
  broker_.held["varnix/gateway/gw/nodes"] = Json{{"pc2", UnixSecondsNow()}}.dump();
  const auto face = Connect(nodes_);
  const int64_t connected_ms = loop_.NowMilliseconds();
  Hear(nodes_, "pc1", "echo.response", {{"Response", "varnix-gateway"}});
  Hear(nodes_, "pc1", "computer.notification", {{"IP", "192.168.1.7"}});
  broker_.Deliver(*face);
  loop_.Advance(MqttFace::kGatherDeviceMs);
  EXPECT_EQ(broker_.held.count("varnix/pc1/command"), 0u);
  EXPECT_EQ(broker_.held["varnix/pc2/availability"], "online");
  const std::string device = "homeassistant/device/varnix_pc1/config";
  const size_t before = broker_.Count(device);
  face->Message("homeassistant/status", "online", false);
  EXPECT_EQ(broker_.Count(device), before) << "sent at the connection, not 10 s ago";
  loop_.Advance(10000);
  for (int i = 0; i < 200; ++i) {
    face->Message("homeassistant/status", "online", false);
    broker_.Deliver(*face);
    loop_.Advance(20);
  }
  loop_.Advance(10000);
  broker_.Deliver(*face);
  EXPECT_EQ(broker_.Count(device), before + 1) << "once for the burst";
  // Reconnections deliver the kept command again: never carried out.
  face->Connected();
  broker_.Deliver(*face);
  face->Message("varnix/pc1/command", "lock", true);
  broker_.Deliver(*face);
  broker_.Publish("varnix/pc1/command", "lock", true, MqttSession::Delivery::kAtLeastOnce);
  broker_.Deliver(*face);
  EXPECT_TRUE(sent_.empty()) << sent_.front();
  EXPECT_EQ(broker_.held.count("varnix/pc1/command"), 0u);
  const auto said =
      std::count_if(broker_.published.begin(), broker_.published.end(), [](const auto& p) {
        return p.topic == "varnix/gateway/gw/event" &&
               p.payload.find("retained command") != std::string::npos;
      });
  EXPECT_EQ(said, 1) << "said once a minute";
  // Said before it is cleared: a gateway ended between the two says it at its next start.
  const auto& published = broker_.published;
  const auto told = std::find_if(published.begin(), published.end(), [](const auto& p) {
    return p.topic == "varnix/gateway/gw/event" &&
           p.payload.find("retained command") != std::string::npos;
  });
  const auto cleared = std::find_if(published.begin(), published.end(), [](const auto& p) {
    return p.topic == "varnix/pc1/command" && p.payload.empty();
  });
  ASSERT_NE(cleared, published.end());
  EXPECT_LT(told - published.begin(), cleared - published.begin());
  face->Message("varnix/pc1/command", "lock", false);
  EXPECT_EQ(sent_, std::vector<std::string>{"qel.Process.pc1 lock"}) << "a fresh one goes";
  loop_.Advance(connected_ms + config_.echo_seconds * 1000 * NodeDirectory::kUnansweredEchoes -
                loop_.NowMilliseconds() - 1000);
  EXPECT_EQ(broker_.held["varnix/pc2/availability"], "online");
  loop_.Advance(1000);
  EXPECT_EQ(broker_.held["varnix/pc2/availability"], "offline");
}

// A notice as Home Assistant's notify entity sends it (the message alone, its lines made one), or
// with its title and answers as an automation may; the answer comes back as the notice's event.
TEST_F(MqttFaceTest, ANoticeGoesOneLineToItsNodeAndItsAnswerComesBack) {
  const auto face = Connect(nodes_);
  Answer(nodes_, "pc1", "aa:bb:cc:dd:ee:01");
  broker_.Deliver(*face);
  face->Message("varnix/pc1/notify", "Dinner\nis ready", false);
  face->Message("varnix/pc1/notify",
                R"({"message":"Tea?","title":"Kitchen","actions":["Yes","No"],"timeout":30})",
                false);
  face->Message("varnix/pc1/notify", "kept from long ago", true);
  face->Message("varnix/pc1/notify", std::string(MqttFace::kMaxNoticeBytes + 1, 'x'), false);
  EXPECT_EQ(sent_, (std::vector<std::string>{
                       "qel.Process.pc1 Notify=Dinner is ready",
                       "qel.Process.pc1 Notify=Tea? Title=Kitchen Actions=Yes;No Timeout=30"}));
  Hear(nodes_, "pc1", "computer.notice", {{"Title", "Kitchen"}, {"Outcome", "no answer"}});
  Hear(nodes_, "pc1", "computer.notice", {{"Title", "Kitchen"}, {"Outcome", "made up"}});
  ASSERT_EQ(broker_.Count("varnix/pc1/notice"), 1u);
  EXPECT_EQ(
      broker_.published.back().payload,
      R"({"action":null,"event_type":"no_answer","problem":null,"request":null,"title":"Kitchen"})");
}

// A MAC joins a computer's device only when no other computer claims it, and, with the key,
// only when its node signed it: Home Assistant merges devices of one MAC.
TEST_F(MqttFaceTest, AMacJoinsTheDeviceOnlyWhenItIsTrustworthy) {
  const auto face = Connect(nodes_, true);
  const auto connections = [&](const std::string& word) {
    return Json::parse(broker_.held["homeassistant/device/varnix_" + word + "/config"])["device"]
        .contains("connections");
  };
  Answer(nodes_, "pc1", "00:11:22:33:44:55", true);
  EXPECT_TRUE(connections("pc1"));
  Answer(nodes_, "pc2", "00:11:22:33:44:66", false);
  EXPECT_FALSE(connections("pc2")) << "not signed";
  Answer(nodes_, "pc3", "00:11:22:33:44:55", true);
  EXPECT_FALSE(connections("pc3")) << "pc1's";
}

// A computer's temperatures: each by its name in the figures, and a CPU temperature sensor on
// its device from the first that measures the processor, never before.
TEST_F(MqttFaceTest, TemperatureAndWhoIsAtItComeWithTheirFirstWord) {
  const auto face = Connect(nodes_, true);
  const auto config = [&] {
    return Json::parse(broker_.held["homeassistant/device/varnix_pc1/config"])["components"];
  };
  Answer(nodes_, "pc1", "00:11:22:33:44:55");
  EXPECT_FALSE(config().contains("cpu_temperature"));
  Hear(nodes_, "pc1", "computer.status",
       {{"CPU", "5"},
        {"Temperature1", "47.1 k10temp Tctl"},
        {"Temperature2", "38.9 nvme Composite"},
        {"Temperature3", "hot broken"},
        {"CPUTemperature", "47.1"}});
  const Json figures = Json::parse(broker_.held["varnix/pc1/figures"]);
  EXPECT_EQ(figures["cpu_temperature"], 47.1);
  EXPECT_EQ(figures["temperatures"], (Json{{"k10temp Tctl", 47.1}, {"nvme Composite", 38.9}}));
  loop_.Advance(MqttFace::kDeviceEveryMs);
  const Json sensor = config()["cpu_temperature"];
  EXPECT_EQ(sensor["device_class"], "temperature");
  EXPECT_EQ(sensor["unit_of_measurement"], "°C");
  EXPECT_EQ(sensor["value_template"], "{{ value_json.cpu_temperature }}");

  // Who is at it: its sensors come with the first word of it, and a lock is told at once.
  EXPECT_FALSE(config().contains("locked"));
  Hear(nodes_, "pc1", "computer.status",
       {{"CPU", "5"}, {"User", "alice"}, {"Locked", "no"}, {"IdleSeconds", "30"}});
  Hear(nodes_, "pc1", "computer.presence", {{"User", "alice"}, {"Locked", "yes"}});
  const Json now = Json::parse(broker_.held["varnix/pc1/figures"]);
  EXPECT_EQ(now["user"], "alice");
  EXPECT_EQ(now["locked"], true);
  EXPECT_EQ(now["idle_seconds"], nullptr) << "not told with the lock";
  loop_.Advance(MqttFace::kDeviceEveryMs);
  EXPECT_EQ(config()["locked"]["device_class"], "lock");
  EXPECT_EQ(config()["idle"]["device_class"], "duration");
  EXPECT_EQ(config()["user"]["value_template"], "{{ value_json.user }}");
}

TEST_F(MqttFaceTest, SensorsOfTheUsersOwnAreEntitiesOfTheirKindAndSayWhyWhenUnread) {
  const auto face = Connect(nodes_, true);
  Answer(nodes_, "pc1", "00:11:22:33:44:55");
  Hear(nodes_, "pc1", "computer.sensor",
       {{"Name", "Fan speed"}, {"Kind", "number"}, {"Unit", "rpm"}, {"Value", "1200.5"}});
  Hear(nodes_, "pc1", "computer.sensor", {{"Name", "Door"}, {"Kind", "on-off"}, {"Value", "on"}});
  Hear(nodes_, "pc1", "computer.sensor",
       {{"Name", "Счётчик"}, {"Kind", "text"}, {"Problem", "timed out after 10 s"}});
  Hear(nodes_, "pc1", "computer.sensor", {{"Sensors", "none"}});
  const Json sensors = Json::parse(broker_.held["varnix/pc1/sensors"]);
  EXPECT_EQ(sensors["sensor_fan_speed"], (Json{{"value", 1200.5}, {"problem", nullptr}}));
  EXPECT_EQ(sensors["sensor_door"]["value"], "on");
  ASSERT_EQ(sensors.size(), 3u) << sensors;
  const std::string counter = HaDiscovery::SensorId({"Счётчик", "text", "", "", ""});
  EXPECT_EQ(sensors[counter], (Json{{"value", nullptr}, {"problem", "timed out after 10 s"}}));
  EXPECT_NE(counter, HaDiscovery::SensorId({"Тест", "text", "", "", ""}));

  loop_.Advance(MqttFace::kDeviceEveryMs);
  const Json components =
      Json::parse(broker_.held["homeassistant/device/varnix_pc1/config"])["components"];
  const Json fan = components["sensor_fan_speed"];
  EXPECT_EQ(fan["platform"], "sensor");
  EXPECT_EQ(fan["unit_of_measurement"], "rpm");
  EXPECT_EQ(fan["value_template"], "{{ value_json['sensor_fan_speed'].value }}");
  EXPECT_EQ(components["sensor_door"]["platform"], "binary_sensor");
  EXPECT_EQ(components["sensor_door"]["payload_on"], "on");
  EXPECT_FALSE(components[counter].contains("unit_of_measurement"));
  EXPECT_EQ(components[counter]["json_attributes_template"],
            "{{ value_json['" + counter + "'] | tojson }}");

  // Started anew with the door's sensor taken out of its settings: what it tells again stays,
  // and the door goes, rather than showing its last reading for ever.
  nodes_.Start();
  Heard restarted{
      "qel.Process.pc1", "Homeseer.Event", "event.log", {{"Data", "Using xAP port 3639"}}};
  restarted.at_ms = loop_.NowMilliseconds();
  nodes_.Hear(restarted);
  Hear(nodes_, "pc1", "computer.sensor",
       {{"Name", "Fan speed"}, {"Kind", "number"}, {"Value", "9"}});
  Hear(nodes_, "pc1", "computer.sensor", {{"Name", "Счётчик"}, {"Kind", "text"}, {"Value", "x"}});
  loop_.Advance(NodeDirectory::kSensorsAnswerMs + 5000 + MqttFace::kDeviceEveryMs);
  const Json after =
      Json::parse(broker_.held["homeassistant/device/varnix_pc1/config"])["components"];
  EXPECT_TRUE(after.contains("sensor_fan_speed") && after.contains(counter)) << after;
  EXPECT_FALSE(after.contains("sensor_door")) << after;
}

// Two sites' gateways on one broker: each says offline and clears only what it made, and
// publishes again what it made when someone clears it. Computers called "gateway" and
// "gateway_<the gateway's computer>" are devices of their own, and the gateway's device under
// its earlier id is cleared once.
TEST_F(MqttFaceTest, EachGatewayOwnsWhatItPublishedAndNoComputerNameMeetsItsOwn) {
  broker_.held["varnix/gateway/gw/nodes"] = Json{{"pc9", UnixSecondsNow()}}.dump();
  const std::string earlier_device = "homeassistant/device/varnix_gateway_gw/config";
  broker_.held[earlier_device] =
      R"({"components":{"computers":{"state_topic":"varnix/gateway/gw/state"}}})";
  const auto face = Connect(nodes_);
  broker_.Deliver(*face);
  for (const char* computer : {"gateway", "gateway_gw", "pc1"})
    Answer(nodes_, computer,
           std::string("00:11:22:33:44:5") + computer[std::string(computer).size() - 1]);
  broker_.Deliver(*face);
  for (const char* id : {"varnix_gateway", "varnix_gateway_gw", "varnix-gateway_gw"})
    EXPECT_EQ(broker_.held.count(std::string("homeassistant/device/") + id + "/config"), 1u) << id;
  const Json named = Json::parse(broker_.held["homeassistant/device/varnix_gateway_gw/config"]);
  EXPECT_EQ(named["device"]["name"], "gateway_gw");
  // Entity ids as Home Assistant's slugs make them: a run of "_" is one.
  EXPECT_EQ(named["components"]["online"]["default_entity_id"],
            "binary_sensor.varnix_gateway_gw_online");
  Answer(nodes_, "my__pc-", "00:11:22:33:44:66");
  EXPECT_EQ(Json::parse(
                broker_.held["homeassistant/device/varnix_my__pc-/config"])["components"]["online"]
                                                                           ["default_entity_id"],
            "binary_sensor.varnix_my_pc_online");
  face->Message("varnix/gateway/command", "lock", false);
  face->Message("varnix/gateway_gw/program/helper/set", "ON", false);
  EXPECT_EQ(sent_,
            (std::vector<std::string>{"qel.Process.gateway lock", "qel.Process.gateway_gw start"}));
  loop_.Advance(MqttFace::kRememberEveryMs);
  broker_.Deliver(*face);
  EXPECT_NE(Json::parse(broker_.held["varnix/gateway/gw/nodes"]).count("pc9"), 0u)
      << broker_.held["varnix/gateway/gw/nodes"];

  // The second site's gateway hears none of these computers, on the same broker.
  EchoingBroker second;
  second.held = broker_.held;
  second.held["homeassistant/device/varnix_elsewhere/config"] =
      R"({"device":{"identifiers":["x"]}})";
  const auto before = second.held;
  NodeDirectory others(
      loop_, config_, [](auto&&...) {}, [](const std::string&) {},
      [](auto&&...) { return std::string(); });
  MqttFace other(second, others, config_, "site2", loop_, [](const std::string&) {});
  others.AddObserver(other);
  other.Connected();
  for (int turn = 0; turn < 20; ++turn) {
    second.Deliver(other);
    other.Message("varnix/pc1/command", "lock", false);
    loop_.Advance(10000);
  }
  second.Deliver(other);
  for (const auto& [topic, payload] : before) {
    ASSERT_EQ(second.held.count(topic), 1u) << topic;
    EXPECT_EQ(second.held[topic], payload) << topic;
  }
  for (const auto& message : second.published) {
    EXPECT_EQ(message.topic.rfind("varnix/gateway/site2/", 0) == 0 ||
                  message.topic == "homeassistant/device/varnix-gateway_site2/config",
              true)
        << message.topic << " " << message.payload;
  }

  // Cleared by hand: published again by its owner.
  const std::string device = "homeassistant/device/varnix_pc1/config";
  broker_.Publish(device, "", true, MqttSession::Delivery::kAtLeastOnce);
  broker_.Deliver(*face);
  EXPECT_EQ(broker_.held.count(device), 1u);
}

// A computer that answers and lists its declared programs in a burst gets one device config,
// with all of them.
TEST_F(MqttFaceTest, AComputersFirstConfigGathersItsDeclaredPrograms) {
  const auto face = Connect(nodes_);
  broker_.Deliver(*face);
  Hear(nodes_, "pc1", "echo.response", {{"Response", "varnix-gateway"}});
  Hear(nodes_, "pc1", "computer.status", {{"CPU", "5"}, {"MAC", "00:11:22:33:44:55"}});
  const std::string token = nodes_.Find("pc1")->list_token;
  for (const std::string name : {"a", "b", "c"}) {
    broker_.Deliver(*face);
    loop_.Advance(20);
    Hear(nodes_, "pc1", "process.notification",
         {{"Name", name}, {"Path", "/bin/" + name}, {"State", "running"}, {"Request", token}});
  }
  loop_.Advance(MqttFace::kDeviceEveryMs * 3);
  const std::string device = "homeassistant/device/varnix_pc1/config";
  EXPECT_EQ(broker_.Count(device), 1u);
  const Json components = Json::parse(broker_.held[device])["components"];
  for (const char* name : {"a", "b", "c"}) EXPECT_TRUE(components.contains(name)) << name;
}

}  // namespace
}  // namespace varnix
