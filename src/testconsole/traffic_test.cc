// Tests of the field extraction behind the protocol test window.
#include "testconsole/traffic.h"

#include <gtest/gtest.h>

namespace varnix {
namespace {

constexpr char kWire[] =
    "xap-header\n{\nv=12\nhop=1\nuid=FF000800\nclass=Homeseer.Event\n"
    "source=qel.Process.OFFICEPC\n}\nEvent.Log\n{\nType=Korvane\nData=Using xAP port 32768\n}\n";

// The wire example field by field is checked on the real console window, under a desktop.
TEST(SimpleTestTest, LeavesLaterBoxesWhenAStepCannotRun) {
  SimpleTest test;
  test.UpdateTraffic(kWire);
  test.UpdateTraffic("xap-header\n{\nclass=No.Body\n}\n");  // no body section
  EXPECT_EQ(test.fields().aClass, "No.Body");
  EXPECT_EQ(test.fields().aSection, "event.log");
  EXPECT_EQ(test.fields().aKey, "Type");

  test.UpdateTraffic("xap-header\n{\n}\nFirst\n{\nno equals here\n}\n");
  EXPECT_EQ(test.fields().aSection, "first");
  EXPECT_EQ(test.fields().aKey, "Type") << "no item with an =: the key stays";
  test.UpdateTraffic("xap-header\n{\n}\nFirst\n{\n Key = v \n}\n");
  EXPECT_EQ(test.fields().aSection, "first");
  EXPECT_EQ(test.fields().aKey, " Key ");
  EXPECT_EQ(test.fields().aValue, "Unknown") << "the look-up does not trim, as the node's does not";

  test.UpdateTraffic("");
  EXPECT_EQ(test.fields().aKey, " Key ") << "the empty text changes nothing";
}

TEST(SimpleTestTest, CarriageReturnsAndHeartbeatsParseToNothing) {
  SimpleTest test;
  test.UpdateTraffic("xap-header\r\n{\r\nclass=a\r\n}\r\nS\r\n{\r\nk=v\r\n}\r\n");
  EXPECT_EQ(test.fields().aClass, "a\r");
  EXPECT_EQ(test.fields().aSection, std::nullopt);
  test.UpdateTraffic("xap-hbeat\n{\nv=12\nclass=xap-hbeat.alive\nsource=a.b.c\n}\n");
  EXPECT_EQ(test.fields().aClass, "Unknown");
  EXPECT_EQ(test.fields().aSource, "Unknown");
}

// A file as a person saved it: Notepad's UTF-8 with or without its mark, or the bytes of the
// code page; CR LF as the wire's LF, a lone CR kept.
TEST(SimpleTestTest, AMessageFileIsReadAsItWasSaved) {
  const auto latin1 = [](const std::string& bytes) {
    std::string text;
    for (const char c : bytes) text += c == '\xDC' ? std::string("Ü") : std::string(1, c);
    return text;
  };
  EXPECT_EQ(MessageFromFile("\xEF\xBB\xBFxap-header\r\n{\r\nPath=\xC3\x9C\r\n", latin1),
            "xap-header\n{\nPath=Ü\n");
  EXPECT_EQ(MessageFromFile("Path=\xC3\x9C\nx\ry", latin1), "Path=Ü\nx\ry");
  EXPECT_EQ(MessageFromFile("Path=\xDC\r\n", latin1), "Path=Ü\n");
}

}  // namespace
}  // namespace varnix
