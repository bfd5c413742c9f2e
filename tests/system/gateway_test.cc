// The real gateway between the real node (behind the real hub) and real Mosquitto brokers: a
// site broker bridged to a central one, where mosquitto_pub and mosquitto_sub stand in for
// Home Assistant.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>

#include "core/text.h"
#include "core/unix_time.h"
#include "gateway/gateway_config.h"
#include "gateway/mqtt_face.h"
#include "platform/crypto.h"
#include "platform/private_file.h"
#include "system/hub_fixture.h"
#include "xap/message_signature.h"

namespace varnix {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

using Json = nlohmann::json;

constexpr int kCentralPort = 18831;
constexpr int kSitePort = 18832;

class GatewayTest : public HubFixture {
 protected:
  void SetUp() override {
    computer_ = TopicWord(platform_.machine->ComputerName());
    StartBroker("central", kCentralPort, "");
    // The site's broker joins the central one by Mosquitto's own bridge.
    StartBroker("site", kSitePort,
                "connection central\naddress 127.0.0.1:" + std::to_string(kCentralPort) +
                    "\ntopic varnix/# both 1\ntopic homeassistant/# both 1\n"
                    "restart_timeout 1\n");
    central_log_ = folder_.path("central.log");
    subscriber_ = StartChildProcess("/usr/bin/mosquitto_sub",
                                    {"-p", std::to_string(kCentralPort), "-v", "-t", "#"}, "", {},
                                    central_log_);
    StartHub();
    WriteSettings();
    // A processor's sensor of the test's own, whatever this machine shows.
    const std::string sensor = folder_.path("sys/class/hwmon/hwmon0");
    std::filesystem::create_directories(sensor);
    platform_.files->WriteAll(sensor + "/name", "k10temp\n");
    platform_.files->WriteAll(sensor + "/temp1_input", "47125\n");
    platform_.files->WriteAll(sensor + "/temp1_label", "Tctl\n");
    ::setenv("VARNIX_SYSFS", folder_.path("sys").c_str(), 1);
    // Sensors of the user's own, one of each kind.
    const auto declared = [&](const std::string& name, const std::string& parameter,
                              const std::string& more) {
      return "[Sensor " + name + "]\nCommand=" + helper_ + "\nParameter=--helper " + parameter +
             "\n" + more;
    };
    platform_.files->WriteAll(Path("Config/settings.ini"),
                              declared("Fan", "print 1200", "Kind=number\nUnit=rpm\n") +
                                  declared("Door", "print off", "Kind=on-off\n") +
                                  declared("Mode", "later 9000 0", "Timeout=1\n"));
    logind_ = std::make_unique<StandInLogind>(*platform_.loop);
    ASSERT_TRUE(logind_->ready());
    node_environment_.push_back(logind_->environment());
    StartNodeWithStandIns({"systemctl"});  // reboots reach a stand-in that records them
    StartGateway();
  }

  void TearDown() override {
    ::unsetenv("VARNIX_SYSFS");
    gateway_.reset();
    subscriber_.reset();
    brokers_.clear();
    logind_.reset();
    HubFixture::TearDown();
  }

  void StartBroker(const std::string& name, int port, const std::string& more) {
    const std::string config = folder_.path(name + ".conf");
    platform_.files->WriteAll(config, "listener " + std::to_string(port) +
                                          " 127.0.0.1\nallow_anonymous true\npersistence false\n" +
                                          more);
    brokers_[name] = StartChildProcess("/usr/sbin/mosquitto", {"-c", config}, "", {},
                                       folder_.path(name + "-broker.log"));
    ASSERT_TRUE(Within(milliseconds(10000),
                       [&] {
                         return RunToEnd("/usr/bin/mosquitto_pub",
                                         {"-p", std::to_string(port), "-t", "up", "-n"})
                                    .code == 0;
                       }))
        << name << " broker did not come up";
  }

  // A gateway's folder `name`, its settings at the site's broker, echoing every 5 s; `mqtt`
  // adds lines to the [Mqtt] section, `more` sections after. Returns its gateway.ini.
  std::string GatewayFolder(const std::string& name, const std::string& mqtt,
                            const std::string& more) {
    const std::string folder = folder_.path(name);
    platform_.files->CreateFolder(folder);
    platform_.files->CreateFolder(folder + "/Config");
    platform_.files->WriteAll(folder + "/Config/qelXap.ini",
                              "[Interface]\r\nBroadcastAddress=127.0.0.1\r\n");
    platform_.files->WriteAll(folder + "/Config/gateway.ini",
                              "[Mqtt]\nBroker=127.0.0.1:" + std::to_string(kSitePort) + "\n" +
                                  mqtt + "[Xap]\nEchoSeconds=5\n" + more);
    return folder + "/Config/gateway.ini";
  }
  void StartGateway(bool with_helper = true, const std::string& mqtt = "",
                    const std::string& more = "") {
    const std::string ini = GatewayFolder(
        "gateway", mqtt,
        (with_helper
             ? "[Program Helper]\nComputer=*\nPath=" + helper_ + "\nParameter=--helper polite\n"
             : "") +
            more);
    gateway_ = StartChildProcess(NativePath(VARNIX_GATEWAY_BINARY, separator_), {"--config", ini},
                                 folder_.path("gateway"), {}, folder_.path("gateway.log"));
  }

  // Publishes as Home Assistant does, at the central broker unless `port` says; `retain` asks
  // the broker to keep it (an empty payload, to clear what it kept).
  void Publish(const std::string& topic, const std::string& payload, int port = kCentralPort,
               bool retain = false) {
    std::vector<std::string> words{"-p", std::to_string(port), "-t", topic};
    if (retain) words.push_back("-r");
    if (retain && payload.empty()) words.push_back("-n");
    if (!retain || !payload.empty()) words.insert(words.end(), {"-m", payload});
    ASSERT_EQ(RunToEnd("/usr/bin/mosquitto_pub", words).code, 0);
  }

  // What the broker at `port` holds retained under `filter`, by topic.
  std::map<std::string, std::string> Retained(int port, const std::string& filter) {
    const std::string output =
        RunToEnd("/usr/bin/mosquitto_sub",
                 {"-p", std::to_string(port), "-t", filter, "-v", "--retained-only", "-W", "1"})
            .output;
    std::map<std::string, std::string> found;
    for (const std::string& line : SplitLines(output)) {
      // mosquitto_sub says "Timed out" in the same file when -W ends it.
      const size_t space = line.find(' ');
      if (space != std::string::npos && line != "Timed out")
        found[line.substr(0, space)] = line.substr(space + 1);
    }
    return found;
  }

  // Waits for the central subscriber to see `topic` with a payload holding `needle`, past
  // line `from` of its log; returns the line's index, or -1.
  long Sees(const std::string& topic, const std::string& needle, long from = 0,
            milliseconds limit = milliseconds(30000)) {
    long index = -1;
    Within(limit, [&] {
      const std::vector<std::string> lines = SplitLines(platform_.files->ReadAll(central_log_));
      for (long i = from; i < static_cast<long>(lines.size()); ++i) {
        if (lines[i].rfind(topic + " ", 0) == 0 &&
            lines[i].find(needle, topic.size()) != std::string::npos) {
          index = i;
          return true;
        }
      }
      return false;
    });
    return index;
  }
  long LogLines() {
    return static_cast<long>(SplitLines(platform_.files->ReadAll(central_log_)).size());
  }
  // How many messages on `topic` holding `needle` a subscriber wrote to `log` (the central
  // one's when empty), past its line `from`.
  long Count(const std::string& topic, const std::string& needle, long from = 0,
             const std::string& log = "") {
    const std::vector<std::string> lines =
        SplitLines(platform_.files->ReadAll(log.empty() ? central_log_ : log));
    return std::count_if(lines.begin() + std::min<long>(from, lines.size()), lines.end(),
                         [&](const std::string& line) {
                           return line.starts_with(topic + " ") &&
                                  line.find(needle, topic.size()) != std::string::npos;
                         });
  }
  // The payload of the central subscriber's line `index`.
  std::string PayloadAt(long index) {
    const std::string line = SplitLines(platform_.files->ReadAll(central_log_)).at(index);
    return line.substr(line.find(' ') + 1);
  }
  std::string GatewayTopic(const std::string& rest) const {
    return "varnix/gateway/" + computer_ + "/" + rest;
  }

  std::string Topic(const std::string& rest) const { return "varnix/" + computer_ + "/" + rest; }

  // What the page shows of every computer, as it asks for it.
  Json PageState() {
    return Json::parse(
        RunToEnd("/usr/bin/python3",
                 {"-c",
                  "import sys, urllib.request; "
                  "sys.stdout.write(urllib.request.urlopen(sys.argv[1]).read().decode())",
                  "http://127.0.0.1:8470/api/nodes"})
            .output);
  }

  std::string computer_;
  std::string helper_ = CopyOfThisProgram("vxgw");
  std::string central_log_;
  std::map<std::string, std::unique_ptr<ChildProcess>> brokers_;
  std::unique_ptr<ChildProcess> subscriber_;
  std::unique_ptr<ChildProcess> gateway_;
  std::unique_ptr<StandInLogind> logind_;
  long mark_ = 0;
};

TEST_F(GatewayTest, PutsTheNodeIntoHomeAssistantAndFollowsItThroughFaults) {
  ASSERT_GE(Sees(Topic("availability"), "online"), 0) << ReadFile("gateway.log");
  const std::string node_id = "varnix_" + computer_;
  const std::string device_topic = "homeassistant/device/" + node_id + "/config";
  // Joined with what the router knows of the computer, once its node has told its card, and
  // with its processor's temperature once told.
  ASSERT_GE(Sees(device_topic, "\"connections\":[[\"mac\",\""), 0) << ReadFile("gateway.log");
  ASSERT_GE(Sees(device_topic, "\"cpu_temperature\""), 0) << ReadFile("gateway.log");
  // Each sensor of the user's own as the kind it declares; one with no reading says why.
  ASSERT_GE(Sees(device_topic, "\"sensor_mode\""), 0) << ReadFile("gateway.log");
  ASSERT_GE(Sees(device_topic, "\"locked\""), 0) << ReadFile("gateway.log");
  // Who is at it: a lock is told at once, not at the next round.
  const long before_lock = LogLines();
  logind_->Tell({"org.varnix.Test.Lock", "boolean:true"});
  EXPECT_GE(Sees(Topic("figures"), "\"locked\":true", before_lock, milliseconds(3000)), 0);
  EXPECT_GE(Sees(Topic("sensors"),
                 "{\"sensor_door\":{\"problem\":null,\"value\":\"off\"},\"sensor_fan\":{"
                 "\"problem\":null,\"value\":1200},\"sensor_mode\":{\"problem\":\"timed out "
                 "after 1 s\",\"value\":null}}"),
            0);
  EXPECT_GE(Sees(Topic("figures"), "\"temperatures\":{\"k10temp Tctl\":47.1}"), 0);

  // One config per computer, as Home Assistant's device discovery asks: its device, the
  // origin, and each component with its platform and the unique id it had before, so that its
  // history stays.
  // A reading ends early when a message comes meanwhile, so only a whole one settles it.
  const std::string gateway_topic = "homeassistant/device/varnix-gateway_" + computer_ + "/config";
  std::map<std::string, std::string> configs;
  bool settled = false;
  for (const auto until = Clock::now() + milliseconds(15000); !settled && Clock::now() < until;) {
    configs = Retained(kSitePort, "homeassistant/#");
    settled = configs.count(device_topic) == 1 && configs.count(gateway_topic) == 1;
  }
  ASSERT_TRUE(settled);
  EXPECT_EQ(configs.size(), 2u) << "the computer's device and the gateway's";
  const Json config = Json::parse(configs.at(device_topic));
  EXPECT_EQ(config["device"]["identifiers"][0], node_id);
  EXPECT_EQ(config["device"]["via_device"], "varnix-gateway_" + computer_);
  EXPECT_EQ(config["origin"]["name"], "varnix-gateway");
  const Json gateway = Json::parse(configs.at(gateway_topic));
  EXPECT_EQ(gateway["components"]["computers"]["state_topic"], GatewayTopic("state"));
  // Each component by its platform; the topics each needs are the schemas' to check.
  const std::map<std::string, std::vector<std::string>> platforms{
      {"button",
       {"shutdown", "reboot", "sleep", "hibernate", "lock", "logoff", "screenoff", "reload", "wake",
        "helper_restart"}},
      {"sensor",
       {"cpu_temperature", "address", "cpu", "memory", "disk_free", "booted", "helper_started",
        "helper_cpu", "helper_memory", "sensor_fan", "sensor_mode", "user", "idle"}},
      {"binary_sensor", {"online", "sensor_door", "locked"}},
      {"event", {"event", "notice"}},
      {"switch", {"helper"}},
      {"notify", {"notify"}}};
  size_t components = 0;
  for (const auto& [platform, objects] : platforms) {
    for (const std::string& object : objects) {
      ++components;
      ASSERT_TRUE(config["components"].contains(object)) << object;
      const Json& component = config["components"][object];
      EXPECT_EQ(component["platform"], platform) << object;
      // A button sends the word the gateway acts on, not Home Assistant's "PRESS".
      EXPECT_TRUE(platform != "button" || component.contains("payload_press")) << object;
      EXPECT_EQ(component["unique_id"], node_id + "_" + object);
      // Every entity goes unavailable with the node or the gateway, but the one that says
      // whether the computer answers, Wake, which is for a computer that does not, and the
      // events, which tell of a computer that is off.
      EXPECT_EQ(component["availability"].size(),
                object == "online" || object == "wake" || object == "event" ? 1u : 2u)
          << object;
      EXPECT_EQ(component["default_entity_id"], platform + "." + node_id + "_" + object);
    }
  }
  EXPECT_EQ(config["components"].size(), components) << config["components"].dump();
  for (const char* rare : {"hibernate", "logoff", "screenoff"}) {
    EXPECT_EQ(config["components"][rare]["enabled_by_default"], false) << rare;
  }
  for (const char* measured : {"cpu", "memory", "helper_cpu", "helper_memory"}) {
    EXPECT_EQ(config["components"][measured]["state_class"], "measurement") << measured;
  }
  for (const char* detail : {"address", "booted"}) {
    EXPECT_EQ(config["components"][detail]["entity_category"], "diagnostic") << detail;
  }
  EXPECT_EQ(config["components"]["helper_memory"]["device_class"], "data_size");
  EXPECT_EQ(config["components"]["helper_memory"]["unit_of_measurement"], "MiB");
  EXPECT_EQ(config["components"]["disk_free"]["unit_of_measurement"], "GiB");
  EXPECT_EQ(gateway["components"]["event"]["state_topic"], GatewayTopic("event"));
  // Every config as Home Assistant's own MQTT code reads it: nothing refused, nothing dropped.
  const std::string checked = folder_.path("configs.json");
  platform_.files->WriteAll(checked, Json(configs).dump());
  const Ran schemas = RunToEnd("/usr/bin/python3", {VARNIX_HA_SCHEMAS, checked});
  EXPECT_EQ(schemas.code, 0) << schemas.output;
  // The computer's figures, as its sensors read them, refreshed with each echo round.
  const Json figures = Json::parse(Retained(kCentralPort, Topic("figures")).at(Topic("figures")));
  EXPECT_LE(figures["cpu"].get<int>(), 100);
  EXPECT_GT(figures["memory"].get<int>(), 0);
  EXPECT_GT(figures["disk_free"].get<uint64_t>(), 0u);
  EXPECT_NEAR(figures["disk_free_gib"].get<double>(),
              static_cast<double>(figures["disk_free"].get<uint64_t>()) / (1 << 30), 0.01);
  EXPECT_TRUE(std::regex_match(figures["booted"].get<std::string>(),
                               std::regex("20[0-9-]{8}T[0-9:]{8}\\+00:00")))
      << figures.dump();
  // Wake goes to the LAN the computer was heard on, and says so where its events go.
  const long before_wake = LogLines();
  Publish(Topic("command"), "wake");
  EXPECT_GE(Sees(Topic("event"), "went to 10.254.0.255", before_wake), 0)
      << ReadFile("gateway.log");
  const auto node_topics = Retained(kCentralPort, Topic("#"));
  EXPECT_NE(Json::parse(node_topics.at(Topic("computer")))["address"], "");
  // Without a key nothing can be verified, and the gateway says so.
  EXPECT_EQ(Json::parse(node_topics.at(Topic("computer")))["verified"], false);

  // The switch, from the central broker through the bridge: a real program on, then off.
  long mark = LogLines();
  Publish(Topic("program/helper/set"), "ON");
  ASSERT_GE(Sees(Topic("program/helper/state"), "ON", mark), 0) << ReadFile("gateway.log");
  const long attributes = Sees(Topic("program/helper/attributes"), "\"pid\":", mark);
  ASSERT_GE(attributes, 0);
  const Json state = Json::parse(PayloadAt(attributes));
  ASSERT_TRUE(state["pid"].is_number());
  const std::string proc = "/proc/" + std::to_string(state["pid"].get<long>());
  EXPECT_EQ(std::filesystem::read_symlink(proc + "/exe").string(), helper_);
  EXPECT_EQ(state["path"], helper_);
  mark = LogLines();
  Publish(Topic("program/helper/set"), "off");
  ASSERT_GE(Sees(Topic("program/helper/state"), "OFF", mark), 0);
  EXPECT_TRUE(Within(milliseconds(10000), [&] { return !std::filesystem::exists(proc); }));

  // Commands that are not: each refused once, on the node's event topic, and nothing done.
  mark = LogLines();
  Publish(Topic("program/helper/set"), "FLY");
  Publish(Topic("program/helper/set"), std::string(5000, 'x'));
  Publish(Topic("program/other/set"), "ON");
  Publish(Topic("command"), "format c:");
  Publish("varnix/nosuchcomputer/command", "reboot");
  EXPECT_GE(Sees(Topic("event"), "not a program command", mark), 0);
  EXPECT_GE(Sees(Topic("event"), "5000 bytes", mark), 0);
  EXPECT_GE(Sees(Topic("event"), "no program other is configured", mark), 0);
  EXPECT_GE(Sees(Topic("event"), "not a computer command", mark), 0);
  EXPECT_GE(Sees(GatewayTopic("event"), "nosuchcomputer", mark), 0);
  EXPECT_LT(Sees(Topic("program/helper/state"), "ON", mark, milliseconds(0)), 0);
  // Published with the retain flag while the gateway listens (MQTT 5 shows it the flag), at
  // the site and through the bridge: cleared and said (once a minute), never carried out.
  for (const int port : {kSitePort, kCentralPort}) {
    mark = LogLines();
    Publish(Topic("program/helper/set"), "ON", port, /*retain=*/true);
    if (port == kSitePort) {
      EXPECT_GE(Sees(GatewayTopic("event"), "retained command", mark), 0)
          << ReadFile("gateway.log");
    }
    EXPECT_TRUE(Within(milliseconds(5000),
                       [&] { return Retained(port, Topic("program/helper/set")).empty(); }));
  }
  EXPECT_LT(Sees(Topic("program/helper/state"), "ON", mark, milliseconds(2000)), 0);

  // Home Assistant started again: every config once more (at most every 10 s, so it may take
  // a second birth message).
  mark = LogLines();
  bool again = false;
  for (int i = 0; i < 12 && !again; ++i) {
    Publish("homeassistant/status", "online");
    again = Sees(device_topic, "helper", mark, milliseconds(2000)) >= 0;
  }
  EXPECT_TRUE(again);

  // The site's broker stopped and started again, with nothing kept: all is published again.
  brokers_.erase("site");
  StartBroker("site", kSitePort,
              "connection central\naddress 127.0.0.1:" + std::to_string(kCentralPort) +
                  "\ntopic varnix/# both 1\ntopic homeassistant/# both 1\nrestart_timeout 1\n");
  ASSERT_TRUE(Within(milliseconds(60000), [&] {
    const auto retained = Retained(kSitePort, "#");
    return retained.count(Topic("availability")) != 0 && retained.count(device_topic) != 0;
  })) << ReadFile("gateway.log");

  // The node killed without a word: offline once two echoes go unanswered; back when it is.
  mark = LogLines();
  KillNode();
  EXPECT_GE(Sees(Topic("availability"), "offline", mark, milliseconds(90000)), 0);
  mark = LogLines();
  StartNodeWithStandIns({"systemctl"});
  EXPECT_GE(Sees(Topic("availability"), "online", mark), 0);

  // The Reboot button reaches the system's reboot (a stand-in here).
  Publish(Topic("command"), "reboot");
  EXPECT_TRUE(Called("systemctl reboot\n"));
  // Reload Programs has the node read programs.ini again.
  Publish(Topic("command"), "reload");
  EXPECT_TRUE(FileHolds(Path("Data/Korvane.txt"), "programs.ini read again", milliseconds(10000)));

  // The gateway killed: the broker says so by its will.
  mark = LogLines();
  gateway_->Kill();
  EXPECT_GE(Sees(GatewayTopic("availability"), "offline", mark), 0);

  // Started again without the program: its entities leave Home Assistant, and its state the
  // broker.
  mark = LogLines();
  StartGateway(false);
  ASSERT_TRUE(Within(milliseconds(30000), [&] {
    const auto held = Retained(kCentralPort, "#");
    return held.count(device_topic) != 0 &&
           held.at(device_topic).find("helper") == std::string::npos &&
           held.count(Topic("program/helper/state")) == 0;
  })) << ReadFile("gateway.log");
}

// What Home Assistant shows is re-checked against the node: a program started or ended by
// anyone, a node restarted while its program ended, a node that died while the gateway was
// down, and a command to a computer that is offline, which is said rather than lost.
TEST_F(GatewayTest, WhatHomeAssistantShowsStaysTrue) {
  ASSERT_GE(Sees(Topic("program/helper/state"), "OFF"), 0) << ReadFile("gateway.log");
  Publish(Topic("command"), "shutdown");
  EXPECT_TRUE(Called("systemctl poweroff\n")) << "the power goes off, as on Windows";

  long mark = LogLines();
  auto by_hand = StartChildProcess(helper_, {"--helper", "polite"});
  EXPECT_GE(Sees(Topic("program/helper/state"), "ON", mark, milliseconds(35000)), 0);
  mark = LogLines();
  by_hand->Kill();
  by_hand->WaitForExit(milliseconds(5000));
  EXPECT_GE(Sees(Topic("program/helper/state"), "OFF", mark, milliseconds(35000)), 0);

  mark = LogLines();
  Publish(Topic("program/helper/set"), "ON");
  // The figures of the program ended by hand, or of its end, may still be on their way; the
  // new one's are wanted.
  Json pid;
  for (long at = mark; !pid.is_number() || pid == 0 || pid == by_hand->Pid(); ++at) {
    at = Sees(Topic("program/helper/attributes"), "\"pid\":", at);
    ASSERT_GE(at, 0);
    pid = Json::parse(PayloadAt(at))["pid"];
  }
  KillNode();
  EXPECT_TRUE(platform_.processes->Terminate(pid.get<ProcessId>()));
  mark = LogLines();
  StartNodeWithStandIns({"systemctl"});
  EXPECT_GE(Sees(Topic("program/helper/state"), "OFF", mark, milliseconds(35000)), 0);

  // The node dies while the gateway is down: the gateway, started again, does not believe the
  // "online" the broker kept.
  gateway_.reset();
  KillNode();
  mark = LogLines();
  StartGateway();
  EXPECT_GE(Sees(Topic("availability"), "offline", mark, milliseconds(30000)), 0)
      << ReadFile("gateway.log");
  Publish(Topic("command"), "lock");
  EXPECT_GE(Sees(Topic("event"), "is offline: lock not sent", mark), 0);
  // Wake alone still goes: by the card that the earlier run left with the broker.
  Publish(Topic("command"), "wake");
  EXPECT_GE(Sees(Topic("event"), "went to 10.254.0.255", mark), 0) << ReadFile("gateway.log");
}

// An upgrade from what an earlier version left in the broker, with Home Assistant announcing
// itself in a burst: every message on the gateway's broker is counted for a minute, across a
// gateway stopped right after its start and started again. Each old config is moved or
// cleared once, a kept command is not carried out, the gateway's device under its earlier id
// is cleared, a computer of its table that died meanwhile is shown offline once its echo
// window has passed, and the one that answers never is.
TEST_F(GatewayTest, AnUpgradeSettlesOnceAndTheBrokerStaysQuiet) {
  ASSERT_GE(Sees(Topic("availability"), "online"), 0) << ReadFile("gateway.log");
  gateway_.reset();
  const std::string site = std::to_string(kSitePort);
  const auto plant = [&](const std::string& topic, const std::string& payload) {
    Publish(topic, payload, kSitePort, /*retain=*/true);
  };
  const std::string node_id = "varnix_" + computer_;
  const std::string device_topic = "homeassistant/device/" + node_id + "/config";
  const std::string moved = "homeassistant/switch/" + node_id + "/helper/config";
  const std::string retired = "homeassistant/switch/" + node_id + "/retired/config";
  const std::string bare = "homeassistant/sensor/" + node_id + "/cpu/config";
  const std::string device = R"("device":{"identifiers":[")" + node_id + R"("]})";
  plant(moved, R"({"unique_id":")" + node_id + R"(_helper","command_topic":"a",)" + device + "}");
  plant(retired,
        R"({"unique_id":")" + node_id + R"(_retired","command_topic":"a",)" + device + "}");
  plant(bare, R"({"unique_id":")" + node_id + R"(_cpu","state_topic":"a"})");
  plant(Topic("command"), "reboot");
  plant("varnix/ghost/availability", "online");
  plant(GatewayTopic("nodes"), Json{{"ghost", UnixSecondsNow()}}.dump());
  const std::string earlier_gateway =
      "homeassistant/device/varnix_gateway_" + computer_ + "/config";
  plant(earlier_gateway,
        Json{{"components", {{"computers", {{"state_topic", GatewayTopic("state")}}}}}}.dump());
  const std::string counted = folder_.path("site.log");
  auto counter =
      StartChildProcess("/usr/bin/mosquitto_sub", {"-p", site, "-v", "-t", "#"}, "", {}, counted);
  const auto lines = [&] { return SplitLines(platform_.files->ReadAll(counted)); };
  const auto seen = [&](const std::string& topic, const std::string& needle) {
    return Count(topic, needle, 0, counted);
  };
  ASSERT_TRUE(Within(milliseconds(5000), [&] { return seen(bare, "") > 0; }));
  const auto began = Clock::now();
  const size_t before = lines().size();

  // Stopped as soon as it has said it is there, and started again.
  StartGateway();
  ASSERT_TRUE(Within(milliseconds(10000),
                     [&] { return seen(GatewayTopic("availability"), "online") > 0; }));
  gateway_->Kill();
  gateway_->WaitForExit(milliseconds(5000));
  for (const auto& [topic, payload] : Retained(kSitePort, "homeassistant/#")) {
    EXPECT_THAT(payload, Not(HasSubstr("migrate_discovery"))) << topic << " kept";
  }
  const auto restarted = Clock::now();
  StartGateway();
  // A computer of the earlier run's table that the broker kept as online, not heard since:
  // offline once its echo window (three rounds of 5 s) has passed.
  EXPECT_TRUE(Within(milliseconds(25000), [&] {
    return seen("varnix/ghost/availability", "offline") > 0;
  })) << ReadFile("gateway.log");
  EXPECT_GE(Clock::now() - restarted, milliseconds(10000));
  ASSERT_TRUE(
      Within(milliseconds(20000), [&] { return seen(Topic("program/helper/state"), "") > 0; }));
  // Home Assistant's birth message, 200 times in a burst, once the device is whole.
  ASSERT_TRUE(
      Within(milliseconds(20000), [&] { return seen(device_topic, "\"connections\"") > 0; }));
  // Counted where Home Assistant reads, past the bridge, which hands the site's own back once.
  const long births = Count(device_topic, "");
  ASSERT_EQ(RunToEnd("/bin/sh", {"-c", "yes online | head -n 200 | /usr/bin/mosquitto_pub -p " +
                                           site + " -t homeassistant/status -l"})
                .code,
            0);
  DispatchUntil(
      *platform_.loop,
      std::chrono::duration_cast<milliseconds>(milliseconds(40000) - (Clock::now() - began)),
      [] { return false; });

  const std::vector<std::string> all = lines();
  const auto messages = std::count_if(
      all.begin() + static_cast<long>(before), all.end(),
      [](const std::string& line) { return line.rfind("homeassistant/status ", 0) != 0; });
  // The loop this guards against sent thousands a second.
  EXPECT_LE(messages, 150) << "in 40 s, beside the 200 birth messages";
  std::cout << messages << " messages on the gateway's broker in 40 s\n";
  EXPECT_LE(Count(device_topic, "") - births, 1) << "once for the burst";
  EXPECT_EQ(seen(moved, "migrate_discovery"), 1) << "moved once";
  EXPECT_EQ(seen(Topic("availability"), "offline"), 0) << "no flicker at either start";
  const auto held = Retained(kSitePort, "homeassistant/#");
  EXPECT_EQ(held.size(), 2u) << "the computer's device and the gateway's, nothing else";
  ASSERT_EQ(held.count(device_topic), 1u);
  EXPECT_EQ(Json::parse(held.at(device_topic))["components"]["helper"]["unique_id"],
            node_id + "_helper");
  // The kept command: cleared, said, never carried out.
  EXPECT_EQ(Retained(kSitePort, Topic("command")).size(), 0u);
  EXPECT_GE(seen(GatewayTopic("event"), "retained command"), 1);
  EXPECT_FALSE(platform_.files->FileExists(calls_) && !platform_.files->ReadAll(calls_).empty())
      << "carried out: " << platform_.files->ReadAll(calls_);
  // The node's start-up notice is no event.
  mark_ = LogLines();
  EndNode();
  StartNodeWithStandIns({"systemctl"});
  ASSERT_GE(Sees(Topic("availability"), "online", mark_), 0);
  Pause(milliseconds(2000));
  EXPECT_LT(Sees(Topic("event"), "Using xAP port", mark_, milliseconds(0)), 0);
}

// Strangers on the LAN: a name that is no computer's, or that folds to another's word, is not
// followed; a flood of made-up computers makes no device, costs few requests, keeps no real
// computer out, and is forgotten once silent.
TEST_F(GatewayTest, StrangersNeitherTakeOverNorCrowdOutComputers) {
  ASSERT_GE(Sees(Topic("availability"), "online"), 0) << ReadFile("gateway.log");
  const auto beat = [&](const std::string& name) {
    peer_.Send(
        "xap-hbeat\n{\nv=12\nhop=1\nuid=FF000800\nclass=xap-hbeat.alive\nsource=qel.Process." +
        name + "\ninterval=60\nport=40000\n}\n");
  };
  long mark = LogLines();
  for (const std::string& name : {std::string("office.pc"), std::string(65000, 'n'),
                                  std::string("b\xc3\xbcro"), std::string("b\xc3\xa4ro")}) {
    beat(name);
  }
  // Read in order: once the second of the two names is refused, the others have been read.
  ASSERT_GE(Sees(GatewayTopic("event"), "its name makes the word b__ro", mark), 0)
      << ReadFile("gateway.log");
  EXPECT_LT(Sees("varnix/office_pc/", "", mark, milliseconds(0)), 0);
  EXPECT_LT(Sees("varnix/" + std::string(64, 'n'), "", mark, milliseconds(0)), 0);
  EXPECT_THAT(ReadFile("gateway.log"), Not(HasSubstr(std::string(2000, 'n'))))
      << "a stranger's name is logged whole";

  // The gateway starts afresh, forgetting silence within seconds; 1,100 made-up computers
  // beat, then the real one comes.
  gateway_.reset();
  EndNode();
  mark = LogLines();
  StartGateway(true, "ForgetAfter=0.0002\n");  // 17 seconds
  ASSERT_GE(Sees(GatewayTopic("availability"), "online", mark), 0);
  peer_.received.clear();
  const auto flood_start = std::chrono::steady_clock::now();
  for (int i = 0; i < 1100; ++i) beat("made-up" + std::to_string(i));
  StartNodeWithStandIns({"systemctl"});
  ASSERT_GE(Sees(Topic("availability"), "online", mark), 0) << ReadFile("gateway.log");
  ASSERT_GE(Sees("homeassistant/device/varnix_" + computer_ + "/config", "helper", mark), 0);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - flood_start).count();
  const auto requests =
      std::count_if(peer_.received.begin(), peer_.received.end(), [](const std::string& text) {
        return text.find("source=qel.Gateway.") != std::string::npos &&
               text.find("xap-hbeat") == std::string::npos;
      });
  EXPECT_LE(requests, 30 + static_cast<long>(4 * seconds)) << "in " << seconds << " s";
  // Devices only for the computer that answers.
  EXPECT_EQ(Retained(kCentralPort, "homeassistant/#").size(), 2u);

  // 300 made-up list reports in the real node's name, loose or with a token the gateway never
  // gave: no program of theirs shows anywhere, and they cost a handful of requests and configs.
  const long reports_mark = LogLines();
  peer_.received.clear();
  const auto reports_start = std::chrono::steady_clock::now();
  for (int i = 0; i < 300; ++i) {
    peer_.Send(XapRequest("",
                          "Process.Notification\n{\nName=Fake" + std::to_string(i) +
                              "\nPath=/opt/fake" + std::to_string(i) + "\nState=running\n" +
                              (i % 2 == 0 ? "Request=gateway-list-1\n" : "") + "}\n",
                          "Computer.Process", Target()));
  }
  Pause(milliseconds(12000));
  const double report_seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - reports_start).count();
  const auto to_node =
      std::count_if(peer_.received.begin(), peer_.received.end(), [&](const std::string& text) {
        return text.find("source=qel.Gateway.") != std::string::npos &&
               text.find("target=" + Target()) != std::string::npos;
      });
  EXPECT_LE(to_node, 10 + static_cast<long>(2 * report_seconds)) << "in " << report_seconds << " s";
  EXPECT_LE(Count("homeassistant/device/varnix_" + computer_ + "/config", "", reports_mark), 2);
  for (const auto& [topic, payload] : Retained(kSitePort, "#")) {
    EXPECT_THAT(payload, Not(HasSubstr("Fake"))) << topic;
    EXPECT_THAT(payload, Not(HasSubstr("/opt/fake"))) << topic;
  }
  EXPECT_THAT(PageState().dump(), Not(HasSubstr("/opt/fake")));
  // Silent for the time set, the made-up ones are forgotten and the broker keeps nothing of
  // them; the computer that answers stays. Read at the gateway's own broker: a bridge drops
  // what passes its queue, some of a thousand clearings among them.
  EXPECT_TRUE(Within(milliseconds(60000),
                     [&] {
                       const auto held = Retained(kSitePort, "varnix/+/availability");
                       return held.size() == 1 && held.count(Topic("availability")) == 1;
                     }))
      << [&] {
           std::string held;
           for (const auto& [topic, payload] : Retained(kSitePort, "varnix/+/availability"))
             held += topic + " ";
           return held;
         }();
}

// A second site's gateway on the same broker, on a computer called site2, follows none of the
// first site's computers (it wants signed nodes, and they sign nothing). Over the echo window
// and the sweep, neither gateway says the other's computers offline, clears their configs or
// answers their commands; a config cleared by hand is published again by its owner.
TEST_F(GatewayTest, TwoSitesGatewaysEachKeepToWhatTheyMade) {
  const std::string device_topic = "homeassistant/device/varnix_" + computer_ + "/config";
  ASSERT_GE(Sees(device_topic, "helper"), 0) << ReadFile("gateway.log");
  const std::string ini =
      GatewayFolder("site2", "", "[Web]\nListen=\n[Access]\nRequireSignedNodes=yes\n");
  const std::string folder = folder_.path("site2");
  WritePrivateFile(folder + "/Config/access.key", HexOf(RandomBytes(32)));
  long mark = LogLines();
  auto second = StartChildProcess("/usr/bin/unshare",
                                  {"-u", "/bin/sh", "-c", "hostname site2 && exec \"$0\" \"$@\"",
                                   NativePath(VARNIX_GATEWAY_BINARY, separator_), "--config", ini},
                                  folder, {}, folder_.path("site2.log"));
  ASSERT_GE(Sees("varnix/gateway/site2/availability", "online", mark), 0)
      << platform_.files->ReadAll(folder_.path("site2.log"));
  Publish(Topic("program/other/set"), "ON");  // the first site's computer: its gateway answers
  Pause(milliseconds(5000 * NodeDirectory::kUnansweredEchoes + MqttFace::kSweepAfterMs));
  EXPECT_LT(Sees(Topic("availability"), "offline", mark, milliseconds(0)), 0);
  EXPECT_LT(Sees("varnix/gateway/site2/event", "no node of the name", mark, milliseconds(0)), 0);
  const auto configs = Retained(kSitePort, "homeassistant/#");
  for (const std::string& id : {"varnix_" + computer_, "varnix-gateway_" + computer_,
                                std::string("varnix-gateway_site2")}) {
    EXPECT_EQ(configs.count("homeassistant/device/" + id + "/config"), 1u) << id;
  }
  // Cleared by hand: its owner publishes it again.
  Publish(device_topic, "", kSitePort, /*retain=*/true);
  EXPECT_TRUE(Within(milliseconds(15000), [&] {
    return Retained(kSitePort, device_topic).count(device_topic) == 1;
  })) << ReadFile("gateway.log");
}

// Computers called "gateway" and "gateway_<the gateway's computer>" are whole devices beside
// the gateway's own, and their switches work; a gateway restarted while the three computers
// answer says none of them offline.
TEST_F(GatewayTest, ComputersCalledGatewayAreComputersAndARestartIsNoOutage) {
  const std::string named = "gateway_" + computer_;
  std::vector<std::unique_ptr<ChildProcess>> others;
  for (const std::string& name : {std::string("gateway"), named}) {
    others.push_back(StartNodeNamed(name));
  }
  for (const std::string& id :
       {std::string("varnix_gateway"), "varnix_" + named, "varnix-gateway_" + computer_}) {
    const std::string topic = "homeassistant/device/" + id + "/config";
    ASSERT_TRUE(
        Within(milliseconds(30000), [&] { return Retained(kSitePort, topic).count(topic) == 1; }))
        << id << ReadFile("gateway.log");
  }
  const std::string config = "homeassistant/device/varnix_" + named + "/config";
  EXPECT_EQ(Json::parse(Retained(kSitePort, config).at(config))["device"]["name"], named);
  long mark = LogLines();
  Publish("varnix/gateway/program/helper/set", "ON");
  EXPECT_GE(Sees("varnix/gateway/program/helper/state", "ON", mark), 0) << ReadFile("gateway.log");
  Publish("varnix/gateway/program/helper/set", "OFF");
  EXPECT_GE(Sees("varnix/gateway/program/helper/state", "OFF", mark), 0);

  // Killed and started again: each computer's Online stays on throughout its echo window.
  gateway_.reset();
  mark = LogLines();
  StartGateway();
  ASSERT_GE(Sees(GatewayTopic("availability"), "online", mark), 0);
  Pause(milliseconds(5000 * NodeDirectory::kUnansweredEchoes + 5000));
  for (const std::string& word : {computer_, std::string("gateway"), named}) {
    EXPECT_LT(Sees("varnix/" + word + "/availability", "offline", mark, milliseconds(0)), 0)
        << word;
  }
  for (auto& other : others) other->RequestEnd();
}

// With the house's key beside the node and the gateway, what claims to come from the node
// counts only when the node signed it: a stranger's goodbye, report and event, and a replay of
// the node's own report, change nothing in Home Assistant or on the page. A node that signs
// nothing is still followed, shown as unverified.
TEST_F(GatewayTest, WithTheKeyOnlyTheNodesSignedWordCounts) {
  gateway_.reset();
  EndNode();
  const std::string key = HexOf(RandomBytes(32));
  WritePrivateFile(Path("Config/access.key"), key);
  WritePrivateFile(folder_.path("gateway") + "/Config/access.key", key);
  StartNodeWithStandIns({"systemctl"});
  long mark = LogLines();
  StartGateway();
  ASSERT_GE(Sees(Topic("computer"), "\"verified\":true", mark), 0) << ReadFile("gateway.log");
  // Who is at the computer, and what the user's own sensors read, travel sealed: the gateway,
  // with the key, shows them; the LAN never reads them.
  EXPECT_GE(Sees(Topic("figures"), "\"user\":\"alice\"", mark), 0);
  EXPECT_GE(Sees(Topic("sensors"), "\"value\":1200", mark), 0);
  for (const std::string& text : peer_.received) {
    EXPECT_THAT(text, Not(HasSubstr("alice")));
    EXPECT_THAT(text, Not(HasSubstr("Value=1200")));
  }
  // A notice from Home Assistant's notify entity, or with its answers from an automation; the
  // answer comes back as the notice's event, and the LAN never reads it.
  Publish(Topic("notify"),
          "{\"message\": \"Dinner?\", \"title\": \"Kitchen\", "
          "\"actions\": [\"Yes\", \"No\"]}");
  ASSERT_TRUE(Within(milliseconds(10000),
                     [&] { return logind_->Notices().find("Dinner?") != std::string::npos; }))
      << ReadFile("gateway.log") << "\nthe node's log:\n"
      << ReadFile("Data/Korvane.txt");
  logind_->Tell({"org.varnix.Test.Answer", "string:Yes"});
  EXPECT_GE(Sees(Topic("notice"),
                 "{\"action\":\"Yes\",\"event_type\":\"answered\",\"problem\":null,"
                 "\"request\":null,\"title\":\"Kitchen\"}",
                 mark),
            0);
  for (const std::string& text : peer_.received) {
    EXPECT_THAT(text, Not(HasSubstr("Action=Yes")));
  }
  Publish(Topic("program/helper/set"), "ON");
  ASSERT_GE(Sees(Topic("program/helper/state"), "ON", mark), 0);
  const std::string* report = nullptr;
  ASSERT_TRUE(Within(milliseconds(15000), [&] {
    report = FirstWith(peer_.received, "Path=" + helper_ + "\n");
    return report != nullptr;
  }));
  const std::string replayed = *report;

  mark = LogLines();
  const std::string node = Target();
  peer_.Send("xap-hbeat\n{\nv=12\nhop=1\nuid=FF000800\nclass=xap-hbeat.stopped\nsource=" + node +
             "\ninterval=60\nport=40000\n}\n");
  // The same under another spelling of its address, with a sub-address.
  peer_.Send("xap-hbeat\n{\nv=12\nhop=1\nuid=FF000800\nclass=xap-hbeat.stopped\nsource=" +
             LowerCase(node) + ":x\ninterval=60\nport=40000\n}\n");
  peer_.Send(XapRequest("", "Event.Log\n{\nData=Disk failure, shut down now\n}\n", "Homeseer.Event",
                        node + ":x"));
  peer_.Send(XapRequest("",
                        "Process.Notification\n{\nPath=" + helper_ +
                            "\nTitle=forged\nPID=0\nSignal=SIGKILL\nForced=yes\n}\n",
                        "Computer.Process", node));
  peer_.Send(XapRequest("", "Event.Log\n{\nData=Disk failure, shut down now\n}\n", "Homeseer.Event",
                        node));
  peer_.Send(replayed);
  // The same forgeries from a node that signs nothing: followed, and shown as unverified. The
  // gateway reads in order, so once these show, the ones above have been read.
  const std::string stranger = "qel.Process.Unsigned";
  peer_.Send(XapRequest(
      "", "Process.Notification\n{\nPath=" + helper_ + "\nTitle=forged\nPID=0\nSignal=SIGKILL\n}\n",
      "Computer.Process", stranger));
  peer_.Send(XapRequest("", "Event.Log\n{\nData=Disk failure\n}\n", "Homeseer.Event", stranger));
  ASSERT_GE(Sees("varnix/unsigned/event", "Disk failure", mark), 0) << ReadFile("gateway.log");
  EXPECT_GE(Sees("varnix/unsigned/availability", "online", mark), 0);
  EXPECT_LT(Sees(Topic("availability"), "offline", mark, milliseconds(0)), 0);
  EXPECT_LT(Sees(Topic("event"), "Disk failure", mark, milliseconds(0)), 0);
  EXPECT_LT(Sees(Topic("program/helper/state"), "OFF", mark, milliseconds(0)), 0);
  EXPECT_LT(Sees(Topic("program/helper/attributes"), "forged", mark, milliseconds(0)), 0);
  const Json page = PageState();
  bool shown = false;
  for (const Json& computer : page["nodes"]) {
    if (computer["computer"] != platform_.machine->ComputerName()) continue;
    shown = true;
    EXPECT_EQ(computer["online"], true);
    EXPECT_EQ(computer["verified"], true);
    EXPECT_THAT(computer.dump(), Not(HasSubstr("forged")));
  }
  EXPECT_TRUE(shown) << page.dump();

  // Following only nodes that sign, the gateway says once why one that signs nothing is not.
  gateway_.reset();
  mark = LogLines();
  StartGateway(true, "", "[Access]\nRequireSignedNodes=yes\n");
  ASSERT_GE(Sees(Topic("computer"), "\"verified\":true", mark), 0) << ReadFile("gateway.log");
  peer_.Send(XapRequest("", "Event.Log\n{\nData=hello\n}\n", "Homeseer.Event", stranger));
  EXPECT_GE(Sees(GatewayTopic("event"), "signs nothing", mark), 0) << ReadFile("gateway.log");
}

// A program declared on the computer, with nothing in gateway.ini: a Home Assistant switch of
// its own that starts and stops it, and a row with its buttons on the page; its giving up is
// told as such, and its failure with its last lines, sealed on the way.
TEST_F(GatewayTest, ADeclaredProgramComesIntoHomeAssistantAndThePageByItself) {
  gateway_.reset();
  EndNode();  // it may not have come up yet: how it ends does not matter here
  const std::string backup = CopyOfThisProgram("vxbackup");
  platform_.files->WriteAll(Path("Config/programs.ini"), "[Program Backup]\r\nPath=" + backup +
                                                             "\r\nParameter=--helper polite 120\r\n"
                                                             "[Program Flaky]\r\nPath=" +
                                                             CopyOfThisProgram("vxflaky") +
                                                             "\r\nParameter=--helper exit 3\r\n"
                                                             "[Program Talker]\r\nPath=" +
                                                             CopyOfThisProgram("vxtalker") +
                                                             "\r\nParameter=--helper say 4 3 "
                                                             "6000\r\nRestart=no\r\n");
  // With the house's key, so that the last lines come sealed, and the gateway opens them.
  const std::string key = HexOf(RandomBytes(32));
  WritePrivateFile(Path("Config/access.key"), key);
  WritePrivateFile(folder_.path("gateway") + "/Config/access.key", key);
  StartNodeWithStandIns({"systemctl"});
  long mark = LogLines();
  StartGateway(/*with_helper=*/false);
  ASSERT_GE(Sees(Topic("program/backup/state"), "ON", mark), 0) << ReadFile("gateway.log");
  const std::string device_topic = "homeassistant/device/varnix_" + computer_ + "/config";
  Json components;
  ASSERT_TRUE(Within(milliseconds(15000), [&] {
    const auto configs = Retained(kSitePort, device_topic);
    if (configs.count(device_topic) == 0) return false;
    components = Json::parse(configs.at(device_topic))["components"];
    return components.contains("backup");
  })) << components.dump();
  const Json& switch_config = components["backup"];
  EXPECT_EQ(switch_config["platform"], "switch");
  EXPECT_EQ(switch_config["name"], "Backup");
  EXPECT_EQ(switch_config["command_topic"], Topic("program/backup/set"));

  mark = LogLines();
  Publish(Topic("program/backup/set"), "OFF");
  EXPECT_GE(Sees(Topic("program/backup/state"), "OFF", mark), 0) << ReadFile("gateway.log");
  // The other gives up after five quick failures: off, with why, and the node's event.
  const long gave_up =
      Sees(Topic("program/flaky/instance"), "\"gave_up\":true", 0, milliseconds(60000));
  ASSERT_GE(gave_up, 0) << ReadFile("gateway.log");
  // Its first word of giving up says how it ended.
  EXPECT_EQ(Json::parse(PayloadAt(gave_up))["last_end"], "exit 3") << PayloadAt(gave_up);
  EXPECT_GE(Sees(Topic("event"), "Flaky: gave up after 5 starts"), 0);
  // Its failed runs (ending about 0, 1, 3, 7 and 15 s after the node started it) are each
  // told: at most one event in 10 s, the others counted in the next.
  EXPECT_GE(Sees(Topic("event"), "more failed run", 0, milliseconds(10000)), 0);
  const long failed = Count(Topic("event"), "Flaky ended (exit 3");
  EXPECT_GE(failed, 2) << ReadFile("gateway.log");
  EXPECT_LE(failed, 3);
  // A program that fails is told with what it said last: three lines, the last of them its
  // fourth of either stream (the two are read apart, so their order is within a few ms).
  const long ended = Sees(Topic("event"), "Talker ended (exit 3): ... ", 0, milliseconds(30000));
  ASSERT_GE(ended, 0) << platform_.files->ReadAll(central_log_);
  const std::string told = PayloadAt(ended);
  EXPECT_TRUE(std::regex_search(
      told, std::regex("\\(exit 3\\):( \\.\\.\\. (line [34] <b>bold</b>|trouble [34])){3}\"")))
      << told;

  const Json page = PageState();
  std::string rows;
  for (const Json& computer : page["nodes"]) {
    for (const Json& program : computer["programs"]) rows += program.dump() + "\n";
  }
  EXPECT_THAT(rows, HasSubstr("\"configured\":\"backup\""));
  EXPECT_THAT(rows, HasSubstr("\"gave_up\":true"));
}

}  // namespace
}  // namespace varnix
