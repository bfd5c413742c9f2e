// Tests of private items sealed for the holders of the access key.
#include "xap/sealed_items.h"

#include <gtest/gtest.h>

namespace varnix {
namespace {

TEST(SealedItemsTest, OnlyTheKeysHoldersReadThePrivateItemsInTheirPlace) {
  const std::string key(32, 'k');
  const Items told{{"CPU", "5"}, {"User", "alice"}, {"Locked", "no"}, {"DiskFree", "9"}};
  const auto is_private = [](std::string_view name) { return name == "User" || name == "Locked"; };
  EXPECT_EQ(SealPrivate("", "Computer.Status", told, is_private), told) << "no key: as they are";

  const Items sealed = SealPrivate(key, "Computer.Status", told, is_private);
  ASSERT_EQ(sealed.size(), 3u);
  EXPECT_EQ(sealed[1].first, "Sealed");
  EXPECT_EQ(sealed[1].second.find("alice"), std::string::npos);
  EXPECT_NE(SealPrivate(key, "Computer.Status", told, is_private), sealed) << "a fresh nonce";
  EXPECT_EQ(OpenPrivate(key, "computer.status", sealed), told);

  // Another key, none, another block, or a changed byte: still sealed, never garbage.
  for (const auto& [with, section] :
       {std::pair<std::string, std::string>{std::string(32, 'x'), "Computer.Status"},
        {"", "Computer.Status"},
        {key, "Computer.Presence"}}) {
    EXPECT_TRUE(StillSealed(OpenPrivate(with, section, sealed))) << section;
  }
  Items tampered = sealed;
  tampered[1].second.back() = tampered[1].second.back() == '0' ? '1' : '0';
  EXPECT_TRUE(StillSealed(OpenPrivate(key, "Computer.Status", tampered)));
  EXPECT_FALSE(StillSealed(told));
}

}  // namespace
}  // namespace varnix
