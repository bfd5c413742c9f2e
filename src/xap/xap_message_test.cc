// Tests of the xAP wire format: writing, parsing, item look-up and address matching.
#include "xap/xap_message.h"

#include <gtest/gtest.h>

#include "allocation_counter.h"
#include "fakes/recording_error_log.h"

namespace varnix {
namespace {

using Lines = std::vector<std::string>;

constexpr char kWireExample[] =
    "xap-header\n{\nv=12\nhop=1\nuid=FF000800\nclass=Homeseer.Event\n"
    "source=qel.Process.OFFICEPC\n}\nEvent.Log\n{\nType=Korvane\n"
    "Data=Using xAP port 32768\n}\n";

class XapMessageTest : public ::testing::Test {
 protected:
  XapMessage Parse(std::string_view text) {
    XapMessage message(log_);
    message.FromXap(text);
    return message;
  }

  RecordingErrorLog log_;
};

TEST_F(XapMessageTest, WritesTheWireExample) {
  XapMessage message(log_);
  message.msgClass("Homeseer.Event");
  message.msgSource("qel.Process.OFFICEPC");
  message.msgTarget("");
  message.AddHeader(XapHeaderPrefix("FF000800"));
  message.AddSection("Event.Log");
  message.AddItem("Event.Log", "Type", "Korvane");
  message.AddItem("Event.Log", "Data", "Using xAP port 32768");
  EXPECT_EQ(message.ToXap(), kWireExample);
  EXPECT_EQ(message.ToXap(), kWireExample) << "ToXap may be called again";
}

TEST_F(XapMessageTest, WriterEdges) {
  XapMessage two(log_);
  two.msgClass("c");
  two.msgSource("s");
  two.AddHeader(XapHeaderPrefix("U"));
  two.AddSection("A");
  two.AddItem("ignored", "k", "v");
  two.AddSection("B");
  EXPECT_EQ(two.ToXap(),
            "xap-header\n{\nv=12\nhop=1\nuid=U\nclass=c\nsource=s\ntarget=Unknown\n}\n"
            "A\n{\nk=v\n}\nB\n{\n}\n");

  XapMessage bare(log_);
  bare.msgTarget("");
  bare.AddHeader("");
  EXPECT_EQ(bare.ToXap(), "class=Unknown\nsource=Unknown\n}\n}\n");

  bare.Init("ignored");
  EXPECT_EQ(bare.ToXap(), "}\n");
}

TEST_F(XapMessageTest, HeaderPrefixTurnsBarsIntoLineFeeds) {
  EXPECT_EQ(XapHeaderPrefix("FF000800"), "xap-header\n{\nv=12\nhop=1\nuid=FF000800\n");
  EXPECT_EQ(XapHeaderPrefix("A|B"), "xap-header\n{\nv=12\nhop=1\nuid=A\nB\n");
}

TEST_F(XapMessageTest, ParsesTheWireExample) {
  const XapMessage message = Parse(kWireExample);
  EXPECT_EQ(message.msgUID(), "FF000800");
  EXPECT_EQ(message.msgClass(), "Homeseer.Event");
  EXPECT_EQ(message.msgSource(), "qel.Process.OFFICEPC");
  EXPECT_EQ(message.msgTarget(), "Unknown");
  EXPECT_EQ(message.msgSection(), Lines{"event.log"});
  EXPECT_EQ(message.msgCollection(0), (Lines{"Type=Korvane", "Data=Using xAP port 32768"}));
  EXPECT_EQ(message.msgCollection(1), Lines{});
  EXPECT_EQ(message.msgCollection(2), std::nullopt);
  EXPECT_EQ(message.msgCollection(-1), std::nullopt);
  EXPECT_EQ(message.GetItem("EVENT.LOG", "DATA"), "Using xAP port 32768");
  EXPECT_EQ(message.GetItem("Event.Log", "Time"), "Unknown");
  EXPECT_EQ(message.GetItem("Other", "Data"), "Unknown");
  EXPECT_TRUE(message.CompareTarget("Unknown"));
  EXPECT_TRUE(message.CompareClass("HOMESEER.event"));
  EXPECT_FALSE(message.CompareClass("Homeseer.*"));
  EXPECT_TRUE(message.CompareSource("qel.process.*"));
  EXPECT_TRUE(log_.lines.empty());
}

TEST_F(XapMessageTest, LeavesTextWithoutAnXapHeaderUnparsed) {
  for (const char* text :
       {"", "xap-hbeat\n{\nv=12\nclass=xap-hbeat.alive\n}\n", "hello\n}\nsection\n{\na=b\n}\n"}) {
    const XapMessage message = Parse(text);
    EXPECT_EQ(message.msgClass(), "Unknown") << text;
    EXPECT_EQ(message.msgUID(), "Unknown");
    EXPECT_EQ(message.msgCollection(0), std::nullopt);
  }
  EXPECT_EQ(Parse("XAP-HEADER\n{\nclass=x\n}\n").msgClass(), "x");
  EXPECT_EQ(Parse("  xap-header  \n{\nclass=x\n}\n").msgClass(), "x");
}

TEST_F(XapMessageTest, HeaderLinesAreTrimmedAndFolded) {
  EXPECT_EQ(Parse("xap-header\n{\n Class = Process.Control \n}\n").msgClass(), "Process.Control");
  EXPECT_EQ(Parse("xap-header\n{\nCLASS=Process.Control\n}\n").msgClass(), "Process.Control");
  // The first two lines are never examined.
  EXPECT_EQ(Parse("xap-header class=a\nclass=b\n}\n").msgClass(), "Unknown");

  const XapMessage empty_target = Parse("xap-header\n{\ntarget=\n}\n");
  EXPECT_EQ(empty_target.msgTarget(), "");
  EXPECT_FALSE(empty_target.CompareTarget("Unknown"));
  EXPECT_FALSE(empty_target.CompareTarget("*"));

  // Carriage returns stay: "}\r" closes nothing and every pair is a header line.
  const XapMessage crlf = Parse("xap-header\r\n{\r\nclass=a.b\r\n}\r\nS\r\n{\r\ntarget=t\r\n}\r\n");
  EXPECT_EQ(crlf.msgClass(), "a.b\r");
  EXPECT_EQ(crlf.msgTarget(), "t\r");
  EXPECT_EQ(crlf.msgCollection(0), std::nullopt);
}

// The glance decides what is dropped unread, so it must read target and class as the whole
// parse does, however the header is written.
TEST_F(XapMessageTest, TheHeaderGlanceReadsAsTheParseDoes) {
  for (const char* wire : {
           "xap-header\n{\nclass=a.b\ntarget=x.y.z\n}\nS\n{\ntarget=other\n}\n",
           "xap-header\n{\n Target = x.y.z \nCLASS=a\n}\n",
           "xap-header\n{\ntarget=first\ntarget=last\n}\n",
           "xap-header\n{\ntarget=\n}\n",
           "xap-header\n{\nclass=a\n}\nS\n{\ntarget=in.a.section\n}\n",
           "xap-header\r\n{\r\ntarget=t\r\n}\r\nS\r\n{\r\ntarget=u\r\n}\r\n",
           "xap-header target=skipped\n{\n}\n",
       }) {
    const XapMessage parsed = Parse(wire);
    const HeaderGlance glance = GlanceAtHeader(wire);
    EXPECT_EQ(std::string(glance.target.value_or("Unknown")), parsed.msgTarget()) << wire;
    EXPECT_EQ(glance.klass.empty() ? "Unknown" : std::string(glance.klass), parsed.msgClass())
        << wire;
  }
}

TEST_F(XapMessageTest, ItemsKeepTheirRawText) {
  const XapMessage message = Parse(
      "xap-header\n{\n}\nS\n{\nTitle = Notepad\nData=a=b\nclass=body\n}\nEvent.Log \n{\nk=v\n}\n"
      "x=y\n{\nz=1\n}\n");
  EXPECT_EQ(message.GetItem("s", "title"), " Notepad");
  EXPECT_EQ(message.GetItem("S", "TITLE"), " Notepad");
  EXPECT_EQ(message.GetItem("S", "data"), "a=b");
  EXPECT_EQ(message.GetItem("S", "class"), "body");
  EXPECT_EQ(message.msgClass(), "Unknown") << "after the first } every pair is a section item";
  EXPECT_EQ(message.GetItem("Event.Log", "k"), "Unknown");
  EXPECT_EQ(message.GetItem("Event.Log ", "k"), "v");
  EXPECT_EQ(message.GetItem("x=y", "z"), "1") << "the line after } names a section";
  EXPECT_EQ(message.msgSection(), (Lines{"s", "event.log ", "x=y"}));
  EXPECT_EQ(message.msgCollection(0), (Lines{"Title = Notepad", "Data=a=b", "class=body"}));
}

// Line ends are found sixteen and sixty-four bytes at a time: values of every length from 0 to
// 140 put a line end at every place in those blocks, in messages short and past the inline
// room (1,536 bytes, 64 items).
TEST_F(XapMessageTest, EveryValueIsReadWholeWhereverItsLineEnds) {
  std::string text = "xap-header\n{\n}\nS\n{\n";
  for (int length = 0; length <= 140; ++length) {
    text += "k" + std::to_string(length) + "=" + std::string(length, 'v') + "\n";
    const XapMessage message = Parse(text);
    for (int earlier = 0; earlier <= length; ++earlier) {
      ASSERT_EQ(message.GetItem("S", "K" + std::to_string(earlier)), std::string(earlier, 'v'))
          << "in a message of " << text.size() << " bytes";
    }
    ASSERT_EQ(message.msgCollection(0)->size(), static_cast<size_t>(length) + 1);
  }
  EXPECT_GT(text.size(), 1536u);
  EXPECT_TRUE(log_.lines.empty());
}

TEST_F(XapMessageTest, LogsTheFailuresThatRealInputCauses) {
  const XapMessage repeated = Parse("xap-header\n{\n}\nA\n{\nk=1\nK = 2\n}\na\n{\nj=3\n}\n");
  EXPECT_EQ(repeated.GetItem("a", "k"), "1");
  EXPECT_EQ(repeated.GetItem("a", "j"), "Unknown") << "the name keeps its first section";
  EXPECT_EQ(repeated.msgCollection(1), Lines{"j=3"});
  // One line for the datagram, however many faults it holds.
  EXPECT_EQ(
      log_.lines,
      Lines{"From XAP  100 This key is already associated with an element of this collection"});

  // Past the first few keys and sections the repeats are found through an index: the same rules.
  std::string many = "xap-header\n{\n}\nS\n{\n";
  for (int i = 0; i < 3000; ++i) many += "k" + std::to_string(i) + "=" + std::to_string(i) + "\n";
  many += "K17=again\nK2999=again\n}\n";
  for (int i = 0; i < 40; ++i)
    many += "T" + std::to_string(i) + "\n{\nv=" + std::to_string(i) + "\n}\n";
  many += "t39\n{\nv=again\n}\ns\n{\nv=again\n}\n";
  log_.lines.clear();
  const XapMessage large = Parse(many);
  EXPECT_EQ(large.GetItem("s", "k17"), "17");
  EXPECT_EQ(large.GetItem("s", "k2999"), "2999");
  EXPECT_EQ(large.GetItem("t39", "v"), "39");
  EXPECT_EQ(large.msgSection().size(), 41u) << "the repeated names are not indexed";
  EXPECT_EQ(log_.lines.size(), 1u);

  log_.lines.clear();
  const XapMessage unterminated = Parse("xap-header\n{\n}\nA\n{\nk=1\n}");
  EXPECT_EQ(log_.lines, Lines{"From XAP  60 Subscript out of range"});
  EXPECT_EQ(unterminated.msgCollection(1), Lines{});
  EXPECT_EQ(unterminated.msgSection(), Lines{}) << "the last recorded name is always left out";
  EXPECT_EQ(unterminated.GetItem("A", "k"), "1");
}

struct AddressCase {
  const char* item1;
  const char* item2;
  bool match;
};

class CompareAddressTest : public ::testing::TestWithParam<AddressCase> {};

TEST_P(CompareAddressTest, MatchesSymmetrically) {
  const AddressCase& c = GetParam();
  EXPECT_EQ(CompareAddress(c.item1, c.item2), c.match) << c.item1 << " ~ " << c.item2;
  EXPECT_EQ(CompareAddress(c.item2, c.item1), c.match) << c.item2 << " ~ " << c.item1;
}

INSTANTIATE_TEST_SUITE_P(
    Table, CompareAddressTest,
    ::testing::Values(AddressCase{"qel.Process.PC1", "QEL.process.pc1", true},
                      AddressCase{"qel.Process.*", "qel.Process.PC1", true},
                      AddressCase{"qel.*.PC1", "qel.Process.PC2", false},
                      AddressCase{"qel.>", "qel.Process.PC1", true},
                      AddressCase{"qel.>.PC9", "qel.Process.PC1", true},
                      AddressCase{"qel.Process", "qel.Process.PC1", false},
                      AddressCase{"qel.Process.>", "qel.Process", false},
                      AddressCase{"*", "qel.Process", false},
                      AddressCase{"qel.Process.*", "qel.Process.PC1:Disk", true},
                      AddressCase{"qel.Process.PC1", "", false}, AddressCase{"", "", false},
                      AddressCase{">", "anything.at.all", true}, AddressCase{"a..b", "a.*.b", true},
                      AddressCase{"a.", "a", false}));

TEST_F(XapMessageTest, ReadingARequestMakesNoHeapAllocation) {
  constexpr char kProcessControl[] =
      "xap-header\n{\nv=12\nhop=1\nuid=FF123400\nclass=Computer.Process\n"
      "source=acme.controller.homeseer\ntarget=qel.Process.OFFICEPC\n}\nProcess.Control\n{\n"
      "Action=start\nPath=C:\\Program Files\\Notes\\notes.exe\nTitle=Notes\nPriority=HIGH\n"
      "Parameter=/safe \"C:\\My Notes\\today.txt\"\nWindow=2\nAutoNotify=yes\n}\n";
  for (const std::string_view text :
       {std::string_view(kWireExample), std::string_view(kProcessControl)}) {
    const uint64_t before = HeapAllocations();
    XapMessage message(log_);
    message.FromXap(text);
    const bool is_request = message.CompareClass("Computer.Process");
    const std::string_view first =
        message.GetItem(is_request ? "Process.Control" : "Event.Log", is_request ? "Path" : "Data");
    EXPECT_EQ(HeapAllocations() - before, 0u) << text;
    EXPECT_EQ(first, is_request ? "C:\\Program Files\\Notes\\notes.exe" : "Using xAP port 32768");
  }
}

}  // namespace
}  // namespace varnix
