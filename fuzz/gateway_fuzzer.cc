// Feeds the gateway arbitrary settings, what many made-up nodes say (heartbeats, reports,
// events, echoes) and an MQTT message: the settings are read or refused, every command is acted
// on or refused, what it publishes is valid JSON, no word names two nodes, and the page's state
// stays within its bound.
#include <algorithm>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <set>

#include "core/failure.h"
#include "core/text.h"
#include "core/wake_on_lan.h"
#include "fakes/fake_event_loop.h"
#include "fakes/fake_file_system.h"
#include "fuzz_support.h"
#include "gateway/computer_name.h"
#include "gateway/gateway_config.h"
#include "gateway/mqtt_face.h"
#include "gateway/node_directory.h"
#include "gateway/web_face.h"
#include "settings/ini_tool.h"

namespace {

class CheckingSession : public varnix::MqttSession {
 public:
  void Publish(const std::string& topic, const std::string& payload, bool, Delivery) override {
    if (topic.find_first_of("+#") != std::string::npos) std::abort();
    const bool json = !payload.empty() && payload[0] == '{';
    if (json && !nlohmann::json::accept(payload)) std::abort();
  }
  void Subscribe(const std::string&, bool) override {}
  void Unsubscribe(const std::string&) override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<std::string> parts = varnix::fuzz::Parts(data, size, 4);
  varnix::QuietReports reports;
  varnix::FakeFileSystem files;
  files.files["/cfg/gateway.ini"] = parts[0];
  files.folders.insert("/cfg");
  varnix::IniTool ini(files, reports, varnix::PathRules::Posix());
  ini.Load("/cfg/gateway.ini");
  const varnix::ConfigResult read = varnix::ReadGatewayConfig(ini);
  if (!read.config) return 0;

  varnix::FakeEventLoop loop;
  varnix::NodeDirectory nodes(
      loop, *read.config,
      [](const std::string&, const std::string&, const std::string&,
         const varnix::NodeDirectory::Items&) {},
      [](const std::string&) {},
      [](const std::string& mac, const std::string&) {
        // Only a MAC the gateway checked may ever make a packet.
        if (varnix::NormalMac(mac) != mac) std::abort();
        return std::string("192.168.1.255");
      });
  CheckingSession session;
  varnix::MqttFace face(session, nodes, *read.config, "fuzzhost", loop, [](const std::string&) {});
  nodes.AddObserver(face);
  face.Connected();
  varnix::WebFace web(nodes, *read.config, loop, "token", [](const std::string&) {});
  nodes.AddObserver(web);
  // One message a line: "NAME|KIND|item=value|...", KIND choosing a heartbeat, a goodbye, a
  // report, an event, an echo's answer or a computer's status.
  static const char* const kKinds[][3] = {{"xap-hbeat.alive", "", ""},
                                          {"xap-hbeat.stopped", "", ""},
                                          {"Computer.Process", "process.notification", "Path"},
                                          {"Homeseer.Event", "event.log", "Data"},
                                          {"WDT.Echo", "echo.response", "Response"},
                                          {"Computer.Process", "computer.status", "MAC"}};
  for (const std::string& line : varnix::SplitLines(parts[1])) {
    const std::vector<std::string> fields = varnix::Split(line, '|');
    varnix::Heard heard;
    // "@" gives the whole source as written: sub-addresses, wildcards, other vendors.
    heard.source = fields[0].rfind('@', 0) == 0 ? fields[0].substr(1) : "qel.Process." + fields[0];
    const auto& kind = kKinds[fields.size() > 1 ? fields[1].size() % 6 : 0];
    heard.klass = kind[0];
    heard.section = kind[1];
    for (size_t i = 2; i < fields.size(); ++i) {
      const size_t mark = fields[i].find('=');
      std::string value = fields[i].substr(mark == std::string::npos ? 0 : mark + 1);
      // "#N" is N nines (at most a datagram's worth): huge figures cost the input nothing.
      if (value.rfind('#', 0) == 0) {
        value =
            std::string(std::min<size_t>(std::strtoul(value.c_str() + 1, nullptr, 10), 65000), '9');
      }
      heard.items.emplace_back(mark == std::string::npos ? kind[2] : fields[i].substr(0, mark),
                               std::move(value));
    }
    loop.Advance(700);  // the echo rounds and the forgetting run among them
    nodes.Hear(heard);
  }
  std::set<std::string> words;
  size_t state_bytes = 0;
  for (const auto& [key, node] : nodes.nodes()) {
    if (!words.insert(node.word).second) std::abort();
    // One node per computer name, whatever spelling of its address it was heard under.
    if (varnix::ComputerOf("qel.Process." + node.computer) != node.computer) {
      std::abort();
    }
    for (const auto& [path, program] : node.programs) state_bytes += program.Bytes();
  }
  if (state_bytes > varnix::NodeDirectory::kMaxStateBytes) std::abort();
  face.Message(parts[2], parts[3], !parts[3].empty() && parts[3][0] == 'r');
  // The same texts as a request to the web page: its path, and a body for an action.
  varnix::HttpRequest request{
      "POST", "/api/action", {{"x-varnix-token", "token"}, {"host", "127.0.0.1"}}, parts[3]};
  web.Handle(request);
  request.method = "GET";
  request.path = parts[2];
  web.Handle(request);
  const std::string state = web.StateJson();
  if (!nlohmann::json::accept(state) || state.size() > varnix::WebFace::kMaxStateBytes) {
    std::abort();
  }
  return 0;
}
