// Home Assistant's discovery: one device config per computer and one for the gateway, and the
// configs that earlier versions left in the broker, each moved into its device or cleared once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "gateway/gateway_config.h"
#include "gateway/mqtt_publisher.h"
#include "gateway/node_state.h"
#include "platform/event_loop.h"

namespace varnix {

struct NodeState;

class HaDiscovery {
 public:
  using Say = std::function<void(const std::string& text)>;

  // Every event carries this event type, the one each event entity knows.
  static constexpr char kEventType[] = "notice";
  // Earlier configs handled in one connection. Beyond it nothing more is done with them (and
  // that is said): a client that plants configs without end gets no more work out of us.
  static constexpr size_t kMaxEarlierConfigs = 4096;
  static constexpr int kGatherMovesMs = 250;
  // A config of ours that someone clears is published again, at most this often.
  static constexpr int64_t kRestoreEveryMs = 10000;

  HaDiscovery(RetainedPublisher& publisher, const MqttTopics& topics, const GatewayConfig& config,
              EventLoop& loop, Say say);

  // The entity id of a sensor of the user's own within its computer's device, the same for the
  // same name ("Fan speed": sensor_fan_speed). A name beyond ASCII, whose letters the id cannot
  // keep, gets a number of the whole name too, so that two such names stay two.
  static std::string SensorId(const UserSensorState& sensor);
  // Whether `action` is one of the computer's buttons (shutdown, reboot, ...).
  static bool IsComputerAction(const std::string& action);

  // A new connection: what the broker sends now is read afresh.
  void Connected();
  // The computer's device config (only for a computer that has answered). Its MAC joins the
  // device with what other integrations know only when `mac_trusted`: Home Assistant takes a
  // device of its MQTT entry that has the same MAC for this one.
  void PublishComputer(const NodeState& node, bool mac_trusted);
  void PublishGateway();
  // Home Assistant forgot everything: each config once more.
  void PublishAgain();
  // A message under the discovery prefix (its levels after the prefix), other than
  // Home Assistant's status.
  void Found(const std::vector<std::string>& levels, const std::string& topic,
             const std::string& payload);
  // Whether the broker holds a device config of the word that another gateway (or anyone but
  // this gateway) made: its computer is not ours.
  bool Foreign(const std::string& word) const;
  // Configs found of computers not heard in this run, by word; handed over once.
  std::map<std::string, std::set<std::string>> TakeUnclaimed();
  // The word's computer is forgotten: its config topics, to clear.
  std::set<std::string> Forget(const std::string& word);

 private:
  struct Device {
    std::string topic;
    std::string payload;
    std::map<std::string, std::string> platforms;  // component -> its platform
  };
  struct Earlier {
    std::string platform;  // "" for a device config
    std::string component;
    bool movable = false;  // a whole config of one entity, which Home Assistant can move
  };

  // Moves or clears one earlier config of a computer whose device is published.
  void Settle(const std::string& word, const std::string& topic, const Earlier& earlier);
  // The moves gathered since the last turn: each old topic told to move, each device that
  // takes entities published again once, then the old topics cleared.
  void Migrate();
  std::string PageUrl() const;
  // Whether a cleared config of the word ("" for the gateway's own) may be published again now.
  bool MayRestore(const std::string& word);
  std::string DefaultEntityId(const std::string& platform, const std::string& object) const;

  RetainedPublisher& publisher_;
  const MqttTopics& topics_;
  const GatewayConfig& config_;
  EventLoop& loop_;
  Say say_;
  std::string gateway_payload_;    // the gateway's own device config, as last published
  std::set<std::string> foreign_;  // words of other gateways' devices (bounded)
  std::map<std::string, int64_t> restored_ms_;  // word -> when its config was last restored
  std::map<std::string, Device> published_;     // by word
  // Earlier configs of words whose computer has not been published in this run.
  std::map<std::string, std::map<std::string, Earlier>> unclaimed_;
  size_t unclaimed_count_ = 0;
  std::set<std::string> handled_;  // earlier topics moved or cleared in this connection
  std::map<std::string, std::set<std::string>> moving_;  // by word
  std::unique_ptr<Timer> migrate_timer_;
  bool said_full_ = false;
};

}  // namespace varnix
