// Process.Log lines: sealed lines open only with the key, for the answer they were sealed for.
#include "xap/log_lines.h"

#include <gtest/gtest.h>

#include "xap/message_signature.h"

namespace varnix {
namespace {

const std::string kKey(32, 'k');

Heard Answer(std::vector<std::pair<std::string, std::string>> items) {
  Heard heard;
  heard.section = "process.log";
  heard.items = std::move(items);
  return heard;
}

TEST(LogLinesTest, SealedLinesOpenOnlyWithTheKeyForTheirOwnAnswer) {
  const std::vector<std::string> lines{"1 O db password=hunter2", "2 E", "3 O last"};
  const std::string sealed = SealLines(kKey, "token-1", "2", lines);
  EXPECT_EQ(sealed.find("hunter2"), std::string::npos);
  EXPECT_EQ(sealed.find(HexOf("hunter2")), std::string::npos);
  EXPECT_NE(SealLines(kKey, "token-1", "2", lines), sealed) << "a fresh nonce each time";

  const auto open = [&](std::string_view key, std::string request, std::string part,
                        std::string value, std::string count = "3") {
    return LinesCarried(Answer({{"Request", std::move(request)},
                                {"Part", std::move(part)},
                                {"Lines", std::move(count)},
                                {"Sealed", std::move(value)}}),
                        key, 200);
  };
  EXPECT_EQ(open(kKey, "token-1", "2", sealed).lines, lines);
  EXPECT_EQ(open(kKey, "token-1", "2", sealed, "2").lines.size(), 2u) << "no more than it says";
  EXPECT_TRUE(open("", "token-1", "2", sealed).unopened);
  EXPECT_TRUE(open(std::string(32, 'x'), "token-1", "2", sealed).unopened);
  EXPECT_TRUE(open(kKey, "token-2", "2", sealed).unopened) << "moved to another request";
  EXPECT_TRUE(open(kKey, "token-1", "1", sealed).unopened) << "moved to another part";
  std::string changed = sealed;
  changed[40] = changed[40] == '0' ? '1' : '0';
  EXPECT_TRUE(open(kKey, "token-1", "2", changed).unopened);
  EXPECT_TRUE(open(kKey, "token-1", "2", "zz").unopened);
  EXPECT_TRUE(open(kKey, "token-1", "2", "").unopened);
}

TEST(LogLinesTest, LinesInClearAreTakenAsFarAsTheyAreCarried) {
  const Heard forged = Answer({{"Lines", "1000000000"}, {"Line1", "a"}, {"Line2", "b"}});
  EXPECT_EQ(LinesCarried(forged, kKey, 200).lines, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(LinesCarried(forged, "", 1).lines, (std::vector<std::string>{"a"}));
  EXPECT_FALSE(LinesCarried(forged, "", 1).unopened);
}

}  // namespace
}  // namespace varnix
