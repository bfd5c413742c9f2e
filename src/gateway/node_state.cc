// Reading the nodes' reports and status answers into the gateway's state.
#include "gateway/node_state.h"

#include <algorithm>
#include <charconv>

#include "core/text.h"
#include "xap/sealed_items.h"

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

// Degrees Celsius as a node writes them ("-5.5", "47.1"); nothing for anything else, or for a
// figure no sensor of a working computer reads.
std::optional<double> Degrees(const std::string& text) {
  double degrees = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), degrees);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() ||
      !(degrees > -60 && degrees < 200)) {
    return std::nullopt;
  }
  return degrees;
}

// As many as a node sends.
constexpr size_t kMostTemperatures = 32;

}  // namespace

std::optional<uint64_t> NodeFigures::MemoryPercent() const {
  if (!memory_used || !memory_total || *memory_total == 0) return {};
  return (*memory_used * 100 + *memory_total / 2) / *memory_total;
}

std::string Bounded(std::string text) {
  if (text.size() <= kMaxTextBytes) return text;
  const size_t cut = CutAtCharacter(text, kMaxTextBytes).size();
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
  NodeFigures figures;
  figures.cpu = WholeNumber(heard.Item("CPU"));
  figures.memory_used = WholeNumber(heard.Item("MemoryUsed"));
  figures.memory_total = WholeNumber(heard.Item("MemoryTotal"));
  figures.disk_free = WholeNumber(heard.Item("DiskFree"));
  figures.booted = WholeNumber(heard.Item("Booted"));
  if (figures.cpu > 100u) figures.cpu.reset();
  if (!figures.memory_total || figures.memory_used > figures.memory_total) {
    figures.memory_used.reset();
    figures.memory_total.reset();
  }
  figures.cpu_temperature = Degrees(heard.Item("CPUTemperature"));
  // "47.5 k10temp Tctl": the degrees, then the sensor's name; as many as a node sends at most.
  for (size_t i = 1; i <= kMostTemperatures; ++i) {
    const std::string item = heard.Item("Temperature" + std::to_string(i));
    const size_t space = item.find(' ');
    const std::optional<double> degrees = Degrees(item.substr(0, space));
    if (!degrees || space == std::string::npos) break;
    figures.temperatures.emplace_back(Bounded(item.substr(space + 1)), *degrees);
  }
  ReadPresence(heard, figures);
  return figures;
}

void ReadPresence(const Heard& heard, NodeFigures& figures) {
  // The node says "not known: why"; kept is the why, which each face words as it shows it.
  std::string problem = heard.Item("Presence");
  if (problem.starts_with("not known: ")) problem.erase(0, 11);
  figures.presence_problem = Bounded(std::move(problem));
  if (StillSealed(heard.items)) figures.presence_problem = kSealedForOthers;
  const bool told = heard.Item("User", "\x01") != "\x01";  // no user a node can name
  figures.user = told ? std::optional<std::string>(Bounded(heard.Item("User"))) : std::nullopt;
  const std::string locked = heard.Item("Locked");
  figures.locked = locked == "yes"  ? std::optional<bool>(true)
                   : locked == "no" ? std::optional<bool>(false)
                                    : std::nullopt;
  figures.idle_seconds = WholeNumber(heard.Item("IdleSeconds"));
}

std::optional<UserSensorState> ReadSensor(const Heard& heard) {
  UserSensorState sensor;
  sensor.name = heard.Item("Name");
  sensor.kind = LowerCase(heard.Item("Kind"));
  // The node's own bounds: a name of 64 bytes, a unit of 16.
  if (sensor.name.empty() || sensor.name.size() > 64 ||
      (sensor.kind != "number" && sensor.kind != "text" && sensor.kind != "on-off")) {
    return std::nullopt;
  }
  sensor.unit = heard.Item("Unit");
  if (sensor.unit.size() > 16) sensor.unit.clear();
  sensor.problem = StillSealed(heard.items) ? kSealedForOthers : Bounded(heard.Item("Problem"));
  if (sensor.problem.empty()) sensor.value = Bounded(heard.Item("Value"));
  return sensor;
}

std::optional<NoticeOutcome> ReadNoticeOutcome(const Heard& heard) {
  NoticeOutcome told;
  told.outcome = heard.Item("Outcome");
  static constexpr std::string_view kOutcomes[] = {"answered", "dismissed", "no answer",
                                                   "not shown"};
  if (std::find(std::begin(kOutcomes), std::end(kOutcomes), told.outcome) == std::end(kOutcomes)) {
    return std::nullopt;
  }
  told.title = Bounded(heard.Item("Title"));
  told.request = Bounded(heard.Item("Request"));
  if (StillSealed(heard.items)) {
    told.problem = kSealedForOthers;
  } else {
    told.action = Bounded(heard.Item("Action"));
    told.problem = Bounded(heard.Item("Problem"));
  }
  return told;
}

}  // namespace varnix
