// Tests of what the gateway takes from the LAN: which names are computers', and how texts are cut.
#include "gateway/node_directory.h"

#include <gtest/gtest.h>

namespace varnix {
namespace {

TEST(NodeDirectoryTest, ANodesNameIsOneComputersNameOrNothing) {
  const struct {
    std::string source;
    std::string computer;
  } rows[] = {
      {"qel.Process.OfficePC", "OfficePC"},
      {"QEL.PROCESS.office-pc_2", "office-pc_2"},
      {"qel.Process.Büro", "Büro"},
      {"qel.Process.Надзор:sub.part", "Надзор"},
      {"qel.Process." + std::string(63, 'a'), std::string(63, 'a')},
      {"qel.Process." + std::string(64, 'a'), ""},
      {"qel.Process.office.pc", ""},  // a node "pc" would take its requests as its own
      {"qel.Process.office pc", ""},
      {"qel.Process.pc\x1b[2J", ""},
      {"qel.Process.pc\xc2\x85", ""},      // a C1 control
      {"qel.Process.pc\xe2\x80\x8b", ""},  // an invisible space
      {"qel.Process.pc\xff", ""},          // not UTF-8
      {"qel.Process.*", ""},
      {"qel.Process.", ""},
      {"acme.tool.pc", ""},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(NodeDirectory::ComputerOf(row.source), row.computer) << row.source;
  }
  const std::string cut = NodeDirectory::Bounded(std::string(510, 'x') + "ééé");
  EXPECT_EQ(cut, std::string(510, 'x') + "é... (4 bytes more)");
  EXPECT_EQ(NodeDirectory::Bounded("short"), "short");
}

}  // namespace
}  // namespace varnix
