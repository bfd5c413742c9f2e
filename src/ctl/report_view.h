// How varnixctl shows what nodes say: a table with units for people, JSON lines for scripts.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "xap/xap_link.h"

namespace varnix {

// The computer's name from a node's address: its last part ("pc2" of "qel.Process.pc2").
std::string NodeName(const std::string& source);
// Bytes as mebibytes with one decimal ("12.5 MiB"); "-" for an empty figure.
std::string Mebibytes(const std::string& bytes);
// Seconds as h:mm:ss; "-" for an empty figure.
std::string RunningTime(const std::string& seconds);
// A time span as people read it: "2 h 05 min", "3 min", "5 d 2 h"; "-" when not a number.
std::string Span(int64_t seconds);
// Bytes as "15.5 GiB" (or MiB below one GiB); "-" when not a number.
std::string Gibibytes(const std::string& bytes);
// The rows of a computer's Computer.Status reply, under their column names.
std::vector<std::vector<std::string>> StatusRows(const Heard& status, int64_t now_seconds);
// How the reported program stands: "running", "exit 3", "SIGKILL", "killed (SIGKILL)" when
// the node had to end it by force, or "not running".
std::string ProgramState(const Heard& report);

// The programs that reports describe, one row each, newest report first in place.
class ProgramTable {
 public:
  // Takes a Process.Notification; a program already shown gets its row replaced.
  void Take(const Heard& report);
  // The header and the rows, aligned; with the node's name when reports came from several.
  std::string Render() const;
  bool empty() const { return reports_.empty(); }

 private:
  std::vector<Heard> reports_;
};

// Remote text as it may reach a terminal: each control character written out ("\x1b"), so
// that no report can move the cursor, clear the screen or retitle the window.
std::string Escaped(std::string_view text);

// The rows as lines, each column as wide as its widest cell and two spaces from the next;
// cells are Escaped.
std::string AlignColumns(const std::vector<std::vector<std::string>>& rows);

// One message as a line of JSON: its node, its section and its items, every value a string.
// Always valid UTF-8: a byte that is not part of a well-formed character becomes U+FFFD.
std::string JsonLine(const Heard& heard);

}  // namespace varnix
