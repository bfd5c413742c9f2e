// The gateway's settings (Config/gateway.ini): its broker, its topics, and the programs it
// offers as switches.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "settings/ini_tool.h"

namespace varnix {

struct MqttConfig {
  std::string host;  // "" for no broker
  uint16_t port = 1883;
  std::string ca_file;  // TLS, with the broker's certificate checked, when set
  std::string username;
  std::string password_file;
  std::string discovery_prefix = "homeassistant";
  std::string topic_prefix = "varnix";
  // A node silent this long is forgotten, and what the broker holds of it cleared.
  double forget_after_days = 30;
};

// A program that the gateway offers as a switch, on one computer or on every node ("*").
struct ProgramConfig {
  std::string name;  // from the section, "[Program NAME]"
  std::string id;    // the name as topics and Home Assistant ids take it
  std::string computer;
  std::string path;
  std::string parameter;
  std::string priority;  // upper-cased, as the node names priorities; "" for the node's own
  std::string restart;   // lower-cased policy; "" for the node's own
  // Declared on the computer itself (its programs.ini), not here: asked for by its name, with
  // the node's own settings for it.
  bool declared = false;

  bool ForComputer(const std::string& node_computer) const;
};

// The web page: where it listens ("" for no page), and what guards it.
struct WebConfig {
  std::string address = "127.0.0.1";  // "" for no page
  uint16_t port = 8470;
  std::string password_file;     // "user:password" lines, for HTTP Basic
  std::string certificate_file;  // HTTPS when both are set
  std::string key_file;

  std::vector<std::string> hosts;  // more names the page answers to ([Web] Hosts=), lower case

  bool Loopback() const { return address.rfind("127.", 0) == 0 || address == "::1"; }
  // Whether a request's Host header names this page: localhost, 127.0.0.1, [::1], the Listen
  // address or one of `hosts`, with no port or the page's own. Anything else came through a
  // name that someone pointed at this computer (DNS rebinding), or was sent by hand.
  bool AnswersTo(std::string_view host_header) const;
};

struct GatewayConfig {
  MqttConfig mqtt;
  WebConfig web;
  int echo_seconds = 30;
  // Nodes that do not sign under the key in access.key are not followed at all.
  bool require_signed_nodes = false;
  std::vector<ProgramConfig> programs;
};

struct ConfigResult {
  std::optional<GatewayConfig> config;
  std::string error;  // names the file, the key and the value that could not be read
};

// Reads the loaded file. Unknown sections and keys are left alone, for other programs.
ConfigResult ReadGatewayConfig(const IniTool& ini);

// `text` in the form that MQTT topics and Home Assistant ids take safely: lower case, and
// any character other than a letter, digit, '-' or '_' made '_'.
std::string TopicWord(const std::string& text);

}  // namespace varnix
