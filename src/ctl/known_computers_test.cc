// Tests of the cards varnixctl keeps for waking computers: kept, replaced, and read warily.
#include "ctl/known_computers.h"

#include <gtest/gtest.h>

#include "fakes/fake_file_system.h"

namespace varnix {
namespace {

TEST(KnownComputersTest, KeepsEachComputersLastCardAndPassesOverLinesItDidNotWrite) {
  FakeFileSystem files;
  const std::string path = "/home/u/.local/state/varnix/known-computers.txt";
  KnownComputers known(files, PathRules::Posix(), path);
  EXPECT_FALSE(known.Find("OfficePC"));
  known.Remember("OfficePC", {"aa:bb:cc:dd:ee:01", "192.168.1.20"});
  known.Remember("den", {"aa:bb:cc:dd:ee:02", ""});
  known.Remember("officepc", {"aa:bb:cc:dd:ee:03", "192.168.1.21"});
  EXPECT_EQ(files.folders.count("/home/u/.local/state/varnix"), 1u);
  ASSERT_TRUE(known.Find("OFFICEPC"));
  EXPECT_EQ(known.Find("OFFICEPC")->mac, "aa:bb:cc:dd:ee:03");
  EXPECT_EQ(known.Find("OFFICEPC")->address, "192.168.1.21");
  EXPECT_EQ(known.Find("den")->address, "");
  // Once its node signed, a card stays marked so, whatever later cards say.
  EXPECT_FALSE(known.Find("den")->signs);
  known.Remember("den", {"aa:bb:cc:dd:ee:02", "", true});
  known.Remember("den", {"aa:bb:cc:dd:ee:02", "192.168.1.30", false});
  EXPECT_TRUE(known.Find("den")->signs);
  EXPECT_EQ(known.Find("den")->address, "192.168.1.30");

  files.files[path] +=
      "evil ff:ff:ff:ff:ff:ff 192.168.1.9\nbad aa:bb:cc:dd:ee:04 300.1.1.1\n"
      "short aa:bb\n\nodd aa:bb:cc:dd:ee:06 - sure\n";
  for (const char* refused : {"evil", "bad", "short", "odd"}) EXPECT_FALSE(known.Find(refused));
  EXPECT_EQ(known.Find("den")->mac, "aa:bb:cc:dd:ee:02");

  // A file grown huge by anyone is read only as far as 1,024 cards can reach.
  files.files[path] =
      std::string(KnownComputers::kMaxComputers * KnownComputers::kMaxLineBytes, '#') +
      "\nlate aa:bb:cc:dd:ee:05 192.168.1.22\n";
  EXPECT_FALSE(known.Find("late"));
}

}  // namespace
}  // namespace varnix
