// Tests of reading gateway.ini: what is taken, and every refusal naming file, key and value.
#include "gateway/gateway_config.h"

#include <gtest/gtest.h>

#include "core/failure.h"
#include "fakes/fake_file_system.h"

namespace varnix {
namespace {

ConfigResult Read(const std::string& text) {
  FakeFileSystem files;
  files.folders.insert("/etc");
  files.files["/etc/gateway.ini"] = text;
  QuietReports quiet;
  IniTool ini(files, quiet, PathRules::Posix());
  ini.Load("/etc/gateway.ini");
  return ReadGatewayConfig(ini);
}

TEST(GatewayConfigTest, TakesTheBrokerAndProgramsAsWritten) {
  const ConfigResult read = Read(
      "[Mqtt]\nBroker=mqtt.home:8883\nTopicPrefix=home/pcs\n"
      "[Program Kodi Player]\nComputer=OFFICEPC\nPath=C:\\Kodi\\kodi.exe\nParameter=-fs\n"
      "Priority=below_normal\nRestart=On-Failure\n[program all]\nComputer=*\nPath=/bin/x\n");
  ASSERT_TRUE(read.config) << read.error;
  const GatewayConfig& config = *read.config;
  EXPECT_EQ(config.mqtt.host, "mqtt.home");
  EXPECT_EQ(config.mqtt.port, 8883);
  EXPECT_EQ(config.mqtt.topic_prefix, "home/pcs");
  EXPECT_EQ(config.mqtt.discovery_prefix, "homeassistant");
  ASSERT_EQ(config.programs.size(), 2u);
  const ProgramConfig& kodi = config.programs[0];
  EXPECT_EQ(kodi.id, "kodi_player");
  EXPECT_EQ(kodi.priority, "BELOW_NORMAL");
  EXPECT_EQ(kodi.restart, "on-failure");
  EXPECT_TRUE(kodi.ForComputer("officepc"));
  EXPECT_FALSE(kodi.ForComputer("other"));
  EXPECT_TRUE(config.programs[1].ForComputer("any"));
  EXPECT_EQ(config.web.address, "127.0.0.1") << "the page on loopback unless told";
  EXPECT_EQ(Read("[Mqtt]\nBroker=\n").config->mqtt.host, "") << "no broker: no MQTT";
  EXPECT_EQ(Read("[Web]\nListen=\n").config->web.address, "") << "no page";
  EXPECT_TRUE(Read("[Web]\nListen=10.0.0.2:8080\nPasswordFile=/etc/p\n").config);
}

TEST(GatewayConfigTest, RefusesWhatItCannotUseNamingFileKeyAndValue) {
  const struct {
    const char* text;
    const char* said;
  } rows[] = {
      {"[Mqtt]\nBroker=host:99999\n", "[Mqtt] Broker=host:99999: takes HOST:PORT"},
      {"[Mqtt]\nBroker=:1883\n", "[Mqtt] Broker=:1883: takes HOST:PORT"},
      {"[Mqtt]\nTopicPrefix=varnix/#\n", "[Mqtt] TopicPrefix=varnix/#: a topic takes no"},
      {"[Mqtt]\nDiscoveryPrefix=/ha\n", "[Mqtt] DiscoveryPrefix=/ha: a topic takes no"},
      {"[Xap]\nEchoSeconds=1\n", "[Xap] EchoSeconds=1: takes 5 to 3600 seconds"},
      {"[Program A]\nPath=/bin/a\n", "[Program A] Computer=: names a computer"},
      {"[Program A]\nComputer=*\n", "[Program A] Path=: names the program's file"},
      {"[Program A]\nComputer=*\nPath=/a\nPriority=fast\n", "[Program A] Priority=fast: takes"},
      {"[Program A]\nComputer=*\nPath=/a\nRestart=sometimes\n", "Restart=sometimes: takes no,"},
      {"[Web]\nListen=0.0.0.0:80\n", "[Web] Listen=0.0.0.0:80: a page on an address other than"},
      {"[Web]\nListen=8470\n", "[Web] Listen=8470: takes ADDRESS:PORT"},
      {"[Web]\nCertificateFile=/c.pem\n", "[Web] KeyFile=: HTTPS needs both"},
      {"[Program A b]\nComputer=*\nPath=/a\n[Program a_B]\nComputer=*\nPath=/b\n",
       "[Program a_B] =: the same name as [Program A b]"},
      {"[Web]\nHosts=pc.example, a b\n", "[Web] Hosts= a b: takes names"},
      {"[Mqtt]\nForgetAfter=never\n", "[Mqtt] ForgetAfter=never: takes days"},
      {"[Access]\nRequireSignedNodes=ja\n", "[Access] RequireSignedNodes=ja: takes yes or no"},
  };
  for (const auto& row : rows) {
    const ConfigResult read = Read(row.text);
    EXPECT_FALSE(read.config) << row.text;
    EXPECT_EQ(read.error.rfind("/etc/gateway.ini: ", 0), 0u) << read.error;
    EXPECT_NE(read.error.find(row.said), std::string::npos) << read.error;
  }
}

// The page answers only to its own names: a request under any other Host came through a name
// that someone else pointed at this computer.
TEST(GatewayConfigTest, ThePageAnswersToItsOwnNamesOnly) {
  const ConfigResult read =
      Read("[Web]\nListen=192.168.1.5:8470\nPasswordFile=/p\nHosts=Office.example, pc:8470\n");
  ASSERT_TRUE(read.config) << read.error;
  const WebConfig& web = read.config->web;
  for (const char* host : {"localhost", "LOCALHOST:8470", "127.0.0.1:8470", "[::1]:8470",
                           "192.168.1.5", "192.168.1.5:8470", "office.example:8470", "pc"}) {
    EXPECT_TRUE(web.AnswersTo(host)) << host;
  }
  for (const char* host : {"", "evil.example:8470", "localhost:8471", "localhost.evil.example",
                           "127.0.0.1:80", "office.example:1", "[::1]:", "pc:x"}) {
    EXPECT_FALSE(web.AnswersTo(host)) << host;
  }
}

}  // namespace
}  // namespace varnix
