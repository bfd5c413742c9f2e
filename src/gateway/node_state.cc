// Reading the nodes' reports and status answers into the gateway's state.
#include "gateway/node_state.h"

#include "core/text.h"

namespace varnix {
namespace {

// A figure as the node writes it: a whole number, negative for some exit codes, of at most 20
// digits; "" for anything else.
std::string Number(const std::string& text) {
  const std::string_view digits = std::string_view(text).substr(text.rfind('-', 0) == 0 ? 1 : 0);
  if (digits.empty() || digits.size() > 20 ||
      digits.find_first_not_of("0123456789") != std::string_view::npos) {
    return "";
  }
  return text;
}

// A word such as a priority or a signal's name: 32 bytes are more than any has.
std::string Short(const std::string& text) { return text.size() <= 32 ? text : ""; }

}  // namespace

std::optional<uint64_t> NodeFigures::MemoryPercent() const {
  if (!memory_used || !memory_total || *memory_total == 0) return {};
  return (*memory_used * 100 + *memory_total / 2) / *memory_total;
}

std::string Bounded(std::string text) {
  if (text.size() <= kMaxTextBytes) return text;
  size_t cut = kMaxTextBytes;
  // Back to the start of the character that would be cut in two.
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  const size_t left_out = text.size() - cut;
  text.resize(cut);
  return text + "... (" + std::to_string(left_out) + " bytes more)";
}

const ProgramState* NodeState::Program(const std::string& path) const {
  const auto found = programs.find(LowerCase(path));
  return found == programs.end() ? nullptr : &found->second;
}

ProgramState ReadReport(const Heard& heard) {
  ProgramState reported;
  reported.path = Bounded(heard.Item("Path"));
  reported.title = Bounded(heard.Item("Title"));
  reported.priority = Short(heard.Item("Priority"));
  // Figures are numbers of a few digits: anything else is nobody's, and not kept.
  reported.pid = Number(heard.Item("PID", "0"));
  if (reported.pid.empty()) reported.pid = "0";
  reported.cpu = Number(heard.Item("CPU"));
  reported.ram = Number(heard.Item("RAM"));
  reported.elapsed = Number(heard.Item("Elapsed"));
  reported.exit_code = Number(heard.Item("ExitCode"));
  reported.signal = Short(heard.Item("Signal"));
  reported.ended = Number(heard.Item("Ended"));
  reported.forced = EqualsIgnoringCase(heard.Item("Forced"), "yes");
  reported.gave_up = EqualsIgnoringCase(heard.Item("GaveUp"), "yes");
  reported.last_end = reported.gave_up ? Short(heard.Item("LastEnd")) : "";
  reported.reported_ms = heard.at_ms;
  return reported;
}

NodeFigures ReadFigures(const Heard& heard) {
  NodeFigures figures{WholeNumber(heard.Item("CPU")), WholeNumber(heard.Item("MemoryUsed")),
                      WholeNumber(heard.Item("MemoryTotal")), WholeNumber(heard.Item("DiskFree")),
                      WholeNumber(heard.Item("Booted"))};
  if (figures.cpu > 100u) figures.cpu.reset();
  if (!figures.memory_total || figures.memory_used > figures.memory_total) {
    figures.memory_used.reset();
    figures.memory_total.reset();
  }
  return figures;
}

}  // namespace varnix
