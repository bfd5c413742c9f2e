// Feeds the gateway arbitrary settings, a node's report and an MQTT message: the settings are
// read or refused, every command is acted on or refused, and what it publishes is valid JSON.
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "core/failure.h"
#include "core/text.h"
#include "fakes/fake_event_loop.h"
#include "fakes/fake_file_system.h"
#include "fuzz_support.h"
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
  void Subscribe(const std::string&) override {}
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
      [](const std::string&) {});
  CheckingSession session;
  varnix::MqttFace face(session, nodes, *read.config, "fuzzhost", loop, [](const std::string&) {});
  nodes.AddObserver(face);
  face.Connected();
  // The report: its first line is the node's source, the rest its items.
  const std::vector<std::string> lines = varnix::SplitLines(parts[1]);
  varnix::Heard heard;
  heard.source = "qel.Process." + (lines.empty() ? std::string("PC") : lines[0]);
  heard.klass = "xAPBSC.info";
  heard.section = "process.notification";
  for (size_t i = 1; i < lines.size(); ++i) {
    const size_t mark = lines[i].find('=');
    if (mark != std::string::npos)
      heard.items.emplace_back(lines[i].substr(0, mark), lines[i].substr(mark + 1));
  }
  nodes.Hear(heard);
  face.Message(parts[2], parts[3]);
  // The same texts as a request to the web page: its path, and a body for an action.
  varnix::WebFace web(nodes, *read.config, loop, "token", [](const std::string&) {});
  varnix::HttpRequest request{"POST", "/api/action", {{"x-varnix-token", "token"}}, parts[3]};
  web.Handle(request);
  request.method = "GET";
  request.path = parts[2];
  web.Handle(request);
  if (!nlohmann::json::accept(web.StateJson())) std::abort();
  return 0;
}
