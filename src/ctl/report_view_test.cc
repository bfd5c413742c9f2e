// Tests of what varnixctl shows of remote text: nothing raw reaches a terminal or a JSON reader.
#include "ctl/report_view.h"

#include <gtest/gtest.h>

#include "core/text.h"
#include "core/wire_text.h"

namespace varnix {
namespace {

TEST(ReportViewTest, ShowsStatesAndKeepsRemoteTextHarmless) {
  EXPECT_EQ(Escaped("a\x1b]0;owned\x07\x1b[2Jb\x7f"), "a\\x1b]0;owned\\x07\\x1b[2Jb\\x7f");
  // C1 controls, raw and as characters, which an 8-bit terminal obeys like ESC sequences.
  EXPECT_EQ(Escaped("\x9d"
                    "0;owned\x9c \xc2\x9b"
                    "2J \xc2\xa0\xe2\x80\x9c"),
            "\\x9d0;owned\\x9c \\u009b2J \xc2\xa0\xe2\x80\x9c");
  // The direction controls, which turn "EVIL4<RLO>exe.txt" into what reads "EVIL4txt.exe".
  EXPECT_EQ(
      Escaped("EVIL4\xe2\x80\xae"
              "exe.txt \xe2\x81\xa6x\xe2\x81\xa9 \xe2\x80\xaa \xe2\x80\x8e\xe2\x80\x8f\xd8\x9c"),
      "EVIL4\\u202eexe.txt \\u2066x\\u2069 \\u202a \\u200e\\u200f\\u061c");
  EXPECT_EQ(ShownSafely(std::string(3000, 'n'), 1024),
            std::string(1024, 'n') + "... (1976 bytes more)");
  EXPECT_EQ(AlignColumns({{"PATH", "X"}, {"/x\x1b[31m", "y"}}), "PATH        X\n/x\\x1b[31m  y\n");
  // Aligned by characters, not bytes: "Übung" and "Надзор" are five and six wide.
  EXPECT_EQ(AlignColumns({{"Übung", "1"}, {"Надзор", "2"}, {"x", "3"}}),
            "Übung   1\nНадзор  2\nx       3\n");
  // An event in words: the routine and its step are the node's, not the reader's.
  const auto event = [](const std::string& data) {
    return EventWords(Heard{"a.b.c", "", "event.log", {{"Data", data}}, 0});
  };
  EXPECT_EQ(event("Lock Line 0 this system cannot lock the computer"),
            "this system cannot lock the computer");
  EXPECT_EQ(event("StartProcess Line -1 Cannot start x"), "Cannot start x");
  EXPECT_EQ(event("Refused start of /x from a.b.c"), "Refused start of /x from a.b.c");
  EXPECT_EQ(event("Odd Line x"), "Odd Line x");
  const auto state = [](std::vector<std::pair<std::string, std::string>> items) {
    return ProgramState(Heard{"a.b.c", "", "process.notification", std::move(items), 0});
  };
  EXPECT_EQ(state({{"PID", "0"}, {"Signal", "SIGKILL"}, {"Forced", "yes"}}), "killed (SIGKILL)");
  EXPECT_EQ(state({{"PID", "0"}, {"ExitCode", "1"}, {"Forced", "yes"}}), "killed (exit 1)");
  EXPECT_EQ(state({{"PID", "0"}, {"ExitCode", "1"}}), "exit 1");
  EXPECT_EQ(state({{"PID", "7"}, {"Output", "not kept: its relay ended at 20:06"}}),
            "running, output not kept: its relay ended at 20:06");

  // A name in letters the wire's code page lacks goes out with them written as numbers, and
  // is shown as it was; a number that is no such letter stays as it came.
  const std::string name = "Счётчик Überwachung";
  EXPECT_TRUE(WhyNotCarried(CarriedForm(name)).empty());
  EXPECT_EQ(FromCarriedForm(CarriedForm(name)), name);
  EXPECT_EQ(FromCarriedForm("\\u{421}\\u{41}\\u{D800}\\u{110000}\\u{42"),
            "С\\u{41}\\u{D800}\\u{110000}\\u{42");
  EXPECT_EQ(Escaped("\\u{421}\x1b"), "С\\x1b");

  struct Row {
    std::string in;
    std::string json;
  };
  const Row rows[] = {
      {"Übung Надзор 日本 \xF0\x9F\x99\x82", "Übung Надзор 日本 \xF0\x9F\x99\x82"},  // kept
      {"a\xFF"
       "b",
       "a\xEF\xBF\xBD"
       "b"},                                                                     // not UTF-8 at all
      {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},                                  // an overlong '/'
      {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},                  // a surrogate
      {"\xF4\x90\x80\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // past U+10FFFF
      {"cut \xE6\x97", "cut \xEF\xBF\xBD\xEF\xBF\xBD"},
      {"q\"\\\x1b\x7f", "q\\\"\\\\\\u001b\\u007f"},
      {"\xc2\x9b"
       "2J",
       "\\u009b2J"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(
        JsonLine(Heard{"a.b.c", "", "s", {{"v", row.in}}, 0}),
        "{\"node\":\"a.b.c\",\"message\":\"s\",\"verified\":false,\"v\":\"" + row.json + "\"}")
        << row.in;
  }
}

}  // namespace
}  // namespace varnix
