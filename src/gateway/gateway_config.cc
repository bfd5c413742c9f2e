// Reading gateway.ini: every value is checked here, so that the rest of the gateway meets
// only values it can use.
#include "gateway/gateway_config.h"

#include <algorithm>
#include <charconv>

#include "core/text.h"
#include "supervision/process_operations.h"
#include "supervision/restart_plans.h"

namespace varnix {
namespace {

constexpr char kSectionPrefix[] = "program ";

std::optional<int> Number(std::string_view text, int low, int high) {
  int value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value < low || value > high) {
    return std::nullopt;
  }
  return value;
}

// A topic level of our own: no wildcard, no empty level, nothing unprintable.
bool IsTopicPrefix(std::string_view text) {
  if (text.empty() || text.front() == '/' || text.back() == '/') return false;
  if (text.find("//") != std::string_view::npos) return false;
  for (const char c : text) {
    if (c == '+' || c == '#' || IsControlByte(c)) return false;
  }
  return true;
}

}  // namespace

bool WebConfig::AnswersTo(std::string_view host_header) const {
  const std::string host = LowerCase(TrimSpaces(host_header));
  // "[v6]:port", "name:port", or either without the port.
  const size_t bracket = host.rfind(']');
  const size_t colon = host.rfind(':');
  std::string name = host;
  if (colon != std::string::npos && (bracket == std::string::npos || colon > bracket)) {
    const std::optional<int> written = Number(std::string_view(host).substr(colon + 1), 1, 65535);
    if (!written || *written != port) return false;
    name = host.substr(0, colon);
  }
  if (name.empty()) return false;
  const std::string listen = LowerCase(address);
  const std::string listen_v6 = listen.find(':') != std::string::npos ? "[" + listen + "]" : "";
  return name == "localhost" || name == "127.0.0.1" || name == "[::1]" || name == listen ||
         name == listen_v6 || std::find(hosts.begin(), hosts.end(), name) != hosts.end();
}

bool ProgramConfig::ForComputer(const std::string& node_computer) const {
  return computer == "*" || EqualsIgnoringCase(computer, node_computer);
}

std::string TopicWord(const std::string& text) {
  std::string word = LowerCase(text);
  for (char& c : word) {
    const bool kept = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
    if (!kept) c = '_';
  }
  return word;
}

ConfigResult ReadGatewayConfig(const IniTool& ini) {
  const std::string file = ini.path();
  const auto bad = [&](const std::string& section, const std::string& key, const std::string& value,
                       const std::string& why) {
    return ConfigResult{std::nullopt,
                        file + ": [" + section + "] " + key + "=" + value + ": " + why};
  };
  GatewayConfig config;

  // "Broker=" written empty means no MQTT at all; only a missing key takes the default. The
  // store reads an empty value as missing, so its list of keys tells the two apart.
  const std::vector<std::string> mqtt_keys = ini.Keys("Mqtt");
  const bool broker_written =
      std::find(mqtt_keys.begin(), mqtt_keys.end(), "BROKER") != mqtt_keys.end();
  const std::string broker =
      std::string(TrimSpaces(ini.Read("Mqtt", "Broker", broker_written ? "" : "127.0.0.1:1883")));
  if (!broker.empty()) {
    const size_t colon = broker.rfind(':');
    const std::optional<int> port =
        colon == std::string::npos ? 1883
                                   : Number(std::string_view(broker).substr(colon + 1), 1, 65535);
    config.mqtt.host = broker.substr(0, colon);
    if (!port || config.mqtt.host.empty()) {
      return bad("Mqtt", "Broker", broker, "takes HOST:PORT, such as 127.0.0.1:1883");
    }
    config.mqtt.port = static_cast<uint16_t>(*port);
  }
  config.mqtt.ca_file = ini.Read("Mqtt", "CaFile", "");
  config.mqtt.username = ini.Read("Mqtt", "Username", "");
  config.mqtt.password_file = ini.Read("Mqtt", "PasswordFile", "");
  for (auto [key, target] : {std::pair{"DiscoveryPrefix", &config.mqtt.discovery_prefix},
                             std::pair{"TopicPrefix", &config.mqtt.topic_prefix}}) {
    const std::string value = ini.Read("Mqtt", key, *target);
    if (!IsTopicPrefix(value)) {
      return bad("Mqtt", key, value, "a topic takes no '+', '#' or empty level");
    }
    *target = value;
  }
  const std::vector<std::string> web_keys = ini.Keys("Web");
  const bool listen_written =
      std::find(web_keys.begin(), web_keys.end(), "LISTEN") != web_keys.end();
  const std::string listen =
      std::string(TrimSpaces(ini.Read("Web", "Listen", listen_written ? "" : "127.0.0.1:8470")));
  config.web.address = "";
  if (!listen.empty()) {
    const size_t colon = listen.rfind(':');
    const std::optional<int> port =
        colon == std::string::npos ? std::nullopt
                                   : Number(std::string_view(listen).substr(colon + 1), 1, 65535);
    if (!port || colon == 0)
      return bad("Web", "Listen", listen, "takes ADDRESS:PORT, such as 127.0.0.1:8470");
    config.web.address = listen.substr(0, colon);
    config.web.port = static_cast<uint16_t>(*port);
  }
  for (const std::string& host : Split(ini.Read("Web", "Hosts", ""), ',')) {
    const std::string name = LowerCase(TrimSpaces(host));
    if (name.empty()) continue;
    if (name.find_first_of(" /@") != std::string::npos ||
        std::any_of(name.begin(), name.end(), IsControlByte)) {
      return bad("Web", "Hosts", host, "takes names, separated by commas (office.example.net)");
    }
    // A name written with the page's port means the same name.
    const size_t colon = name.rfind(':');
    const bool with_port =
        colon != std::string::npos && name.back() != ']' && name.find(':') == colon;
    config.web.hosts.push_back(with_port ? name.substr(0, colon) : name);
  }
  config.web.password_file = ini.Read("Web", "PasswordFile", "");
  config.web.certificate_file = ini.Read("Web", "CertificateFile", "");
  config.web.key_file = ini.Read("Web", "KeyFile", "");
  if (config.web.certificate_file.empty() != config.web.key_file.empty()) {
    return bad("Web", config.web.key_file.empty() ? "KeyFile" : "CertificateFile", "",
               "HTTPS needs both CertificateFile and KeyFile");
  }
  // A page that can start programs and halt computers is not for the whole LAN unguarded.
  if (!config.web.address.empty() && !config.web.Loopback() && config.web.password_file.empty()) {
    return bad("Web", "Listen", listen,
               "a page on an address other than loopback needs PasswordFile= (HTTP Basic)");
  }
  const std::string echo = ini.Read("Xap", "EchoSeconds", "30");
  const std::optional<int> echo_seconds = Number(echo, 5, 3600);
  if (!echo_seconds) return bad("Xap", "EchoSeconds", echo, "takes 5 to 3600 seconds");
  config.echo_seconds = *echo_seconds;
  const std::string require = ini.Read("Access", "RequireSignedNodes", "no");
  const std::string answer = LowerCase(TrimSpaces(require));
  if (answer != "yes" && answer != "no") {
    return bad("Access", "RequireSignedNodes", require, "takes yes or no");
  }
  config.require_signed_nodes = answer == "yes";
  const std::string forget = std::string(TrimSpaces(ini.Read("Mqtt", "ForgetAfter", "30")));
  double days = 0;
  const auto [forget_end, forget_error] =
      std::from_chars(forget.data(), forget.data() + forget.size(), days);
  if (forget_error != std::errc() || forget_end != forget.data() + forget.size() ||
      !(days >= 0.0001 && days <= 3650)) {
    return bad("Mqtt", "ForgetAfter", forget, "takes days, from 0.0001 to 3650");
  }
  config.mqtt.forget_after_days = days;

  for (const std::string& section : ini.Headers()) {
    if (!EqualsLowered(section.substr(0, sizeof kSectionPrefix - 1), kSectionPrefix)) continue;
    ProgramConfig program;
    program.name =
        std::string(TrimSpaces(std::string_view(section).substr(sizeof kSectionPrefix - 1)));
    program.id = TopicWord(program.name);
    if (program.name.empty()) return bad(section, "", "", "a program section needs a name");
    for (const ProgramConfig& other : config.programs) {
      if (other.id == program.id) {
        return bad(section, "", "", "the same name as [Program " + other.name + "]");
      }
    }
    program.computer = std::string(TrimSpaces(ini.Read(section, "Computer", "")));
    if (program.computer.empty()) {
      return bad(section, "Computer", "", "names a computer, or * for every node");
    }
    program.path = std::string(TrimSpaces(ini.Read(section, "Path", "")));
    if (program.path.empty()) return bad(section, "Path", "", "names the program's file");
    program.parameter = ini.Read(section, "Parameter", "");
    if (const std::string priority = ini.Read(section, "Priority", ""); !priority.empty()) {
      const std::optional<PriorityClass> known = PriorityFromName(priority);
      if (!known) {
        return bad(section, "Priority", priority,
                   "takes REALTIME, HIGH, ABOVE_NORMAL, NORMAL, BELOW_NORMAL or LOW");
      }
      program.priority = PriorityName(*known);
    }
    if (const std::string restart = ini.Read(section, "Restart", ""); !restart.empty()) {
      program.restart = LowerCase(restart);
      if (!RestartPolicyFromText(program.restart)) {
        return bad(section, "Restart", restart, "takes no, on-failure or always");
      }
    }
    for (const std::string* value : {&program.computer, &program.path, &program.parameter}) {
      for (const char c : *value) {
        if (IsControlByte(c)) return bad(section, "", *value, "holds a control character");
      }
    }
    config.programs.push_back(std::move(program));
  }
  return {std::move(config), ""};
}

}  // namespace varnix
