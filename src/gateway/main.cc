// varnix-gateway: brings every Varnix node of the LAN into MQTT, and so into Home Assistant.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "core/failure.h"
#include "core/text.h"
#include "core/wake_on_lan.h"
#include "gateway/gateway_config.h"
#include "gateway/http_server.h"
#include "gateway/mosquitto_session.h"
#include "gateway/mqtt_face.h"
#include "gateway/node_directory.h"
#include "gateway/web_face.h"
#include "platform/crypto.h"
#include "platform/error.h"
#include "platform/platform.h"
#include "platform/terminal.h"
#include "settings/ini_tool.h"
#include "settings/link_addresses.h"
#include "xap/message_signature.h"
#include "xap/xap_link.h"

namespace {

constexpr char kUsage[] =
    "usage: varnix-gateway [--config FILE]\n"
    "  Follows every Varnix node on the network and publishes their computers and the\n"
    "  configured programs to an MQTT broker, as Home Assistant devices.\n"
    "  --config FILE  the settings (Config/gateway.ini beside the program unless given)\n";

// What came from the network (a node's name, an event) is kept on its one line, harmless to a
// terminal, and bounded: a stranger's 64 KiB name is not logged whole at every request.
constexpr size_t kMaxLineBytes = 1024;

void Say(const std::string& text) {
  const std::string line = "varnix-gateway: " + varnix::ShownSafely(text, kMaxLineBytes) + "\n";
  std::fputs(line.c_str(), stderr);
}

// The first line of the password file; a password kept apart lets the INI be read by all.
std::optional<std::string> ReadPassword(varnix::FileSystem& files, const std::string& path) {
  try {
    const std::vector<std::string> lines = varnix::SplitLines(files.ReadAll(path));
    return lines.empty() ? "" : std::string(varnix::TrimSpaces(lines[0]));
  } catch (const varnix::Error& e) {
    Say("cannot read the password file " + path + ": " + e.description());
    return std::nullopt;
  }
}

// The page's users ("name:password" lines) and its certificate, read once at start.
bool ReadWebSecrets(varnix::FileSystem& files, const varnix::WebConfig& web,
                    varnix::HttpServer::Options& options) {
  try {
    if (!web.password_file.empty()) {
      for (const std::string& line : varnix::SplitLines(files.ReadAll(web.password_file))) {
        const size_t colon = line.find(':');
        if (line.empty() || line[0] == '#') continue;
        if (colon == std::string::npos || colon == 0) {
          Say(web.password_file + ": each line is name:password");
          return false;
        }
        options.users[line.substr(0, colon)] = line.substr(colon + 1);
      }
      if (options.users.empty()) {
        Say(web.password_file + " names no user: the page would let nobody in");
        return false;
      }
    }
    if (!web.certificate_file.empty()) {
      options.certificate_pem = files.ReadAll(web.certificate_file);
      options.key_pem = files.ReadAll(web.key_file);
    }
  } catch (const varnix::Error& e) {
    Say("cannot read the page's settings: " + e.description());
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> words = varnix::ProgramArguments(argc, argv);
  std::string config_path;
  for (size_t i = 0; i < words.size(); ++i) {
    if (words[i] == "--config" && i + 1 < words.size()) {
      config_path = words[++i];
    } else {
      const bool asked = words[i] == "--help" || words[i] == "-h" || words[i] == "-?";
      std::fputs(kUsage, asked ? stdout : stderr);
      return asked ? 0 : 2;
    }
  }

  varnix::Platform platform = varnix::MakeWindowlessPlatform();
  varnix::Machine& machine = *platform.machine;
  const char separator = machine.Paths().separator();
  if (config_path.empty()) {
    config_path = machine.ProgramFolder() + separator + "Config" + separator + "gateway.ini";
  }
  varnix::QuietReports quiet;
  // Without a file the defaults hold; said, as the file the settings store leaves is empty.
  if (!platform.files->FileExists(config_path)) {
    Say("no settings in " + config_path +
        ": the defaults hold (the broker at 127.0.0.1:1883, the page at 127.0.0.1:8470)");
  }
  varnix::IniTool ini(*platform.files, quiet, machine.Paths());
  try {
    ini.Load(config_path);
  } catch (const varnix::Error& e) {
    Say("cannot read " + config_path + ": " + e.description());
    return 2;
  }
  const varnix::ConfigResult read = varnix::ReadGatewayConfig(ini);
  if (!read.config) {
    Say(read.error);
    return 2;
  }
  const varnix::GatewayConfig& config = *read.config;
  std::string password;
  if (!config.mqtt.password_file.empty()) {
    const std::optional<std::string> found =
        ReadPassword(*platform.files, config.mqtt.password_file);
    if (!found) return 2;
    password = *found;
  }

  std::string computer;
  try {
    computer = machine.ComputerName();
  } catch (const varnix::Error& e) {
    Say("this computer's name is unknown: " + e.description());
    return 1;
  }
  varnix::EventLoop& loop = *platform.loop;
  const varnix::LinkAddresses addresses = varnix::ConfiguredLinkAddresses(*platform.files, machine);
  varnix::NodeDirectory* directory = nullptr;
  varnix::XapLink link(loop, "qel.Gateway." + computer, addresses.local, addresses.broadcast,
                       [&](const varnix::Heard& heard) {
                         if (directory != nullptr) directory->Hear(heard);
                       });
  link.HearHeartbeats();
  // Signed with the key beside the gateway, where there is one: nodes that require
  // signatures act on nothing else. With it, what nodes say is believed only when they
  // signed it, or shown as unverified when they sign nothing.
  // Beside the settings: with --config, a gateway's folder is the settings' folder.
  const std::string key_path =
      config_path.substr(0, config_path.find_last_of("/\\") + 1) + "access.key";
  const bool keyed = platform.files->FileExists(key_path);
  if (keyed) {
    const varnix::LoadedKey key = varnix::LoadAccessKey(*platform.files, key_path);
    if (!key.key) {
      Say(key.problem);
      return 2;
    }
    link.SignWith(*key.key);
    link.VerifyWith(*key.key, config.require_signed_nodes);
  } else if (config.require_signed_nodes) {
    Say("[Access] RequireSignedNodes=yes needs the key in " + key_path);
    return 2;
  }
  try {
    link.Join();
  } catch (const varnix::Error& e) {
    Say("cannot join the xAP network: " + e.description());
    return 1;
  }
  varnix::WakeOnLan waker(loop, machine);
  varnix::NodeDirectory nodes(
      loop, config,
      [&](const std::string& target, const std::string& klass, const std::string& section,
          const varnix::NodeDirectory::Items& items) { link.Send(target, klass, section, items); },
      Say,
      [&](const std::string& mac, const std::string& address) { return waker.Wake(mac, address); },
      link.Key());
  directory = &nodes;
  link.OnUnsignedRefused([&](const std::string& sender) { nodes.RefusedUnsigned(sender); });
  link.OnPortNotice(Say);

  std::unique_ptr<varnix::MosquittoSession> session;
  std::unique_ptr<varnix::MqttFace> face;
  if (!config.mqtt.host.empty()) {
    varnix::MosquittoSession::Options options;
    options.host = config.mqtt.host;
    options.port = config.mqtt.port;
    options.client_id = "varnix-gateway-" + varnix::TopicWord(computer);
    options.username = config.mqtt.username;
    options.password = password;
    options.ca_file = config.mqtt.ca_file;
    options.will_topic = varnix::MqttTopics(config.mqtt, computer).GatewayAvailability();
    try {
      session = std::make_unique<varnix::MosquittoSession>(
          loop, options,
          varnix::MosquittoSession::Handlers{
              [&] { face->Connected(); },
              [&](const std::string& topic, const std::string& payload, bool retained) {
                face->Message(topic, payload, retained);
              },
              Say});
    } catch (const varnix::Error& e) {
      Say(e.description());
      return 2;
    }
    face = std::make_unique<varnix::MqttFace>(*session, nodes, config, computer, loop, Say, keyed);
    nodes.AddObserver(*face);
    session->Start();
  }
  std::unique_ptr<varnix::WebFace> web;
  std::unique_ptr<varnix::HttpServer> server;
  if (!config.web.address.empty()) {
    varnix::HttpServer::Options options;
    options.address = config.web.address;
    options.port = config.web.port;
    if (!ReadWebSecrets(*platform.files, config.web, options)) return 2;
    try {
      // The page carries it, and every action must: another site's page cannot read it.
      web = std::make_unique<varnix::WebFace>(*directory, config, loop,
                                              varnix::HexOf(varnix::RandomBytes(16)), Say, keyed);
      server = std::make_unique<varnix::HttpServer>(loop, *web, options);
    } catch (const varnix::Error& e) {
      Say(e.description());
      return 1;
    }
    nodes.AddObserver(*web);
    // Built only for a page that is open: a flood with nobody watching costs no state.
    web->OnChange([&] {
      if (server->Streams() > 0) server->Broadcast(web->StateJson());
    });
    Say(std::string("the page is at http") + (options.certificate_pem.empty() ? "" : "s") + "://" +
        options.address + ":" + std::to_string(options.port) + "/");
  }
  nodes.Start();
  Say("following the Varnix nodes as qel.Gateway." + computer);
  loop.OnEndRequest([&] { loop.Quit(); });
  loop.Run();
  return 0;
}
