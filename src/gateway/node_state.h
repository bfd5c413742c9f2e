// What the gateway keeps of each node and its programs, and how it reads them from what the
// nodes say: every text bounded, every figure a number or nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "gateway/gateway_config.h"
#include "xap/xap_link.h"

namespace varnix {

// A path, title or event is cut beyond this many bytes.
constexpr size_t kMaxTextBytes = 512;

// `text` cut at kMaxTextBytes on a character's edge, saying how much was left out.
std::string Bounded(std::string text);

// One program as its node last reported it.
struct ProgramState {
  std::string path;
  std::string title;
  std::string pid = "0";  // "0" when it does not run
  std::string priority;
  std::string cpu;      // percent
  std::string ram;      // bytes
  std::string elapsed;  // seconds
  std::string exit_code;
  std::string signal;
  bool forced = false;      // the node ended it by force
  bool gave_up = false;     // the node kept it running until it failed too often
  std::string last_end;     // how its last run ended, when it gave up ("exit 3")
  int64_t reported_ms = 0;  // when the node last reported it, on the loop's clock
  int64_t asked_ms = 0;     // when it was last asked about because a report was overdue
  std::string ended;        // the pid of the last run whose end its node reported (in this report)
  // Its failed runs, as told in events: when the last was, and how many came since untold.
  struct Failures {
    std::optional<int64_t> told_ms;
    int untold = 0;
  } failures;

  bool Running() const { return pid != "0" && !pid.empty(); }
  // What it takes of the gateway's state, about.
  size_t Bytes() const {
    return sizeof(ProgramState) + path.size() * 2 + title.size() + priority.size() + pid.size() +
           cpu.size() + ram.size() + elapsed.size() + exit_code.size() + signal.size() +
           last_end.size() + ended.size();
  }
};

// The computer's own figures, as its last status answer gave them; each empty until given.
struct NodeFigures {
  std::optional<uint64_t> cpu;  // percent of every processor
  std::optional<uint64_t> memory_used;
  std::optional<uint64_t> memory_total;  // bytes, as both
  std::optional<uint64_t> disk_free;     // bytes
  std::optional<uint64_t> booted;        // Unix seconds
  // Degrees Celsius: the processor's hottest sensor, and each sensor by the system's name for
  // it, in the node's order.
  std::optional<double> cpu_temperature;
  std::vector<std::pair<std::string, double>> temperatures;
  // Who is at it: the active session's user ("" for nobody), its lock and idle time, each as
  // told; or why the node cannot tell.
  std::optional<std::string> user;
  std::optional<bool> locked;
  std::optional<uint64_t> idle_seconds;
  std::string presence_problem;

  // Memory used, in whole percent of the total; empty without both.
  std::optional<uint64_t> MemoryPercent() const;
};

// A sensor of the user's own, as its node last told it.
struct UserSensorState {
  std::string name;
  std::string kind;     // "number", "text" or "on-off"
  std::string unit;     // "" for none
  std::string value;    // "" with a problem
  std::string problem;  // why there is no value; "" with one
  // Told since its node last started; one not told again after a restart was removed.
  bool confirmed = true;

  bool operator==(const UserSensorState&) const = default;
};

// As many as a node has.
constexpr size_t kMaxUserSensors = 32;

// A Computer.Sensor message as heard; nothing when it names no sensor, or one of no known
// kind (its node answering that it has none among them).
std::optional<UserSensorState> ReadSensor(const Heard& heard);
// Why a personal reading is not shown: the node sealed it under a key this program lacks.
inline constexpr std::string_view kSealedForOthers =
    "sealed with the node's access key, which this gateway does not hold";

// What became of a notice, as its node told it in Computer.Notice.
struct NoticeOutcome {
  std::string title;
  std::string request;  // the asker's token; "" for none
  std::string outcome;  // "answered", "dismissed", "no answer" or "not shown"
  std::string action;   // the answer chosen
  std::string problem;  // why it was not shown, or why the answer cannot be read here
};

// A Computer.Notice message as heard; nothing when it tells no outcome the gateway knows.
std::optional<NoticeOutcome> ReadNoticeOutcome(const Heard& heard);

// A notice for a node, as a controller asks for one (NodeDirectory::Notify).
struct NoticeText {
  std::string text;
  std::string title;
  std::string actions;  // "Yes;No"
  std::string timeout;  // seconds; "" for the node's own
};

struct NodeState {
  std::string source;    // "qel.Process.NAME"
  std::string computer;  // NAME, as the node writes it
  std::string word;      // NAME as topics and ids take it; one word names one node
  std::string address;   // its IPv4 address, once it has said it
  bool online = false;
  // It has answered an echo: a computer, not a name someone put in a heartbeat.
  bool answered = false;
  // Its last message was signed under the gateway's key; never without a key.
  bool verified = false;
  // It has told a processor temperature: its device has that sensor from then on.
  bool cpu_sensor = false;
  // It has told who is at it: its device has those sensors from then on.
  bool presence_sensors = false;
  int64_t last_heard_ms = 0;  // on the loop's clock
  // Lower-cased path -> when its reports were last asked for because of what was heard (a
  // list answer, the node coming back): what others can make happen in a burst.
  std::map<std::string, int64_t> reports_asked_ms;
  int unanswered_echoes = 0;
  NodeFigures figures;
  // Its sensors of the user's own, in the order they were first told.
  std::vector<UserSensorState> sensors;
  // When its sensors were asked for again after it started anew: those not told by
  // NodeDirectory::kSensorsAnswerMs later go.
  std::optional<int64_t> sensors_asked_ms;
  // Of the interface at `address`; kept while the computer is off, since a wake needs it.
  std::string mac;
  // Keyed by the lower-cased path, so that the node's own letter case is kept in the value.
  std::map<std::string, ProgramState> programs;
  // The programs its node declares (its answer to a list), and those offered as switches and
  // buttons: the ones gateway.ini configures for it, then the declared ones of other paths.
  std::vector<ProgramConfig> declared;
  std::vector<ProgramConfig> offered;
  // The token of the gateway's last list request to it: only a list given back with it
  // declares programs, never reports anyone on the LAN may make up.
  std::string list_token;

  const ProgramState* Program(const std::string& path) const;
};

// A program's report as heard; its path is empty when the report names none.
ProgramState ReadReport(const Heard& heard);
// A computer's status answer; figures no computer has are left out rather than shown.
NodeFigures ReadFigures(const Heard& heard);
// Who is at the computer, from a status answer or a Computer.Presence message, into `figures`.
void ReadPresence(const Heard& heard, NodeFigures& figures);

}  // namespace varnix
