// The gateway's picture of the Varnix nodes on the LAN, kept from what they say: each node's
// computer and address, whether it answers, and the programs it reports.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "gateway/gateway_config.h"
#include "gateway/node_logs.h"
#include "gateway/node_state.h"
#include "platform/event_loop.h"
#include "xap/xap_link.h"

namespace varnix {

// What the directory tells of the nodes, as it learns it.
class NodeObserver {
 public:
  virtual ~NodeObserver() = default;
  // A node came or went, or its computer, address or availability changed.
  virtual void NodeChanged(const NodeState& node) = 0;
  virtual void ProgramReported(const NodeState& node, const ProgramState& program) = 0;
  // The computer's own figures came (they come with every echo round).
  virtual void FiguresReported(const NodeState& /*node*/) {}
  // A sensor of the user's own was read (NodeChanged comes first for one not known before).
  virtual void SensorReported(const NodeState& /*node*/, const UserSensorState& /*sensor*/) {}
  // The node's event text (a failure, a refusal).
  virtual void NodeEvent(const NodeState& node, const std::string& text) = 0;
  // The node is forgotten (silent too long, or a stranger making room): what was said of it
  // goes. `node` is valid during the call only.
  virtual void NodeForgotten(const NodeState& /*node*/) {}
  // Something the gateway itself has to say of the network, beside its log.
  virtual void GatewayNotice(const std::string& /*text*/) {}
  // The node told what became of a notice.
  virtual void NoticeTold(const NodeState& /*node*/, const NoticeOutcome& /*told*/) {}
};

class NodeDirectory {
 public:
  using Items = std::vector<std::pair<std::string, std::string>>;
  // Sends one request; throws Error when the system refuses it.
  using Send = std::function<void(const std::string& target, const std::string& klass,
                                  const std::string& section, const Items& items)>;
  using Say = std::function<void(const std::string& text)>;
  // Sends the magic packet for a MAC to the LAN of an address; returns where it went, or
  // throws Error saying why it could not go.
  using SendWake = std::function<std::string(const std::string& mac, const std::string& address)>;

  // Bounds against a LAN that invents nodes, programs and texts without end.
  static constexpr size_t kMaxNodes = 1024;
  static constexpr size_t kMaxProgramsPerNode = 256;
  // What every program reported or declared takes at most, all nodes together: the page's
  // bound.
  static constexpr size_t kMaxStateBytes = 1024 * 1024;
  // Requests to nodes that have never answered an echo, per second and in one burst: a flood
  // of made-up heartbeats costs the LAN a few requests a second, not four each.
  static constexpr int kStrangerRequestsPerSecond = 4;
  static constexpr int kStrangerRequestBurst = 8;
  static constexpr int64_t kAskEveryoneEveryMs = 2000;
  static constexpr int64_t kWakeEveryMs = 1000;  // per MAC
  // Echo rounds a computer may leave unanswered before it is offline, the last included.
  static constexpr int kUnansweredEchoes = 3;

  // What a declared program takes of the state, about.
  static size_t DeclaredBytes(const ProgramConfig& program);
  // The notice a node gives at every start ("Using xAP port ..."): no news to anyone.
  static bool StartupNotice(const std::string& text);

  // `access_key`: the key beside the gateway ("" for none), which opens what nodes seal.
  NodeDirectory(EventLoop& loop, const GatewayConfig& config, Send send, Say say,
                SendWake send_wake, std::string access_key = "");

  void AddObserver(NodeObserver& observer) { observers_.push_back(&observer); }
  // Asks every node for its computer, and starts the echoes.
  void Start();
  void Hear(const Heard& heard);
  // `sender` signs nothing, and the gateway follows only nodes that sign: said once.
  void RefusedUnsigned(const std::string& sender);

  // Requests to a node, by its computer name (any letter case). Sent only to a node that is
  // known and online; to one that is offline nothing goes, and that is said as its event.
  enum class Sent { kSent, kUnknown, kOffline, kFailed };
  Sent StartProgram(const std::string& computer, const ProgramConfig& program, bool restart);
  Sent StopProgram(const std::string& computer, const ProgramConfig& program);
  Sent ControlComputer(const std::string& computer, const std::string& action);
  // Asks the node to show a notice; its text is cut to what the node shows (NoticeBoard's
  // bounds), each line break made a space, since an item is one line.
  Sent Notify(const std::string& computer, const NoticeText& notice);
  // Wakes the computer, off or on, by the MAC its node last told and on the LAN it was heard
  // on; what came of it is said as its event, and in `said`. A computer an earlier run of the
  // gateway knew is woken by what that run kept (see Recall).
  Sent Wake(const std::string& computer, std::string* said = nullptr);
  // What an earlier run knew of a computer not heard in this one, kept for waking it.
  void Recall(const std::string& computer, const std::string& mac, const std::string& address);

  // What is shown of a program is asked again this often at least, whoever changed it: a
  // report the node does not send by itself (a program started by hand, one that ended before
  // the node's first look) must not leave a switch wrong.
  static constexpr int64_t kRefreshMs = 30000;
  // A running program's report, due every ten seconds, is overdue after this.
  static constexpr int64_t kOverdueMs = 15000;
  // What is heard asks for a program's reports at most this often.
  static constexpr int64_t kReportsAskedEveryMs = 60000;
  // A node that started anew has this long to tell each of its sensors again.
  static constexpr int64_t kSensorsAnswerMs = 10000;
  // A program's failed runs are told at most this often; the others are counted in the next.
  static constexpr int64_t kFailureEveryMs = 10000;

  // The last lines of a program the node reports or offers, for the page (NodeLogs::Open);
  // nullptr when the node is unknown or offline, or the program is none of its own.
  const NodeLogs::View* Log(const std::string& computer, const std::string& path);

  const std::map<std::string, NodeState>& nodes() const { return nodes_; }
  const NodeState* Find(const std::string& computer) const;

 private:
  NodeState* Learn(const std::string& source);
  // One handler for each kind of message a node sends beside its echo and heartbeat.
  void HearReport(NodeState& node, const Heard& heard);
  void HearStatus(NodeState& node, const Heard& heard);
  void HearSensor(NodeState& node, const Heard& heard);
  // Its first word of who is at it adds those sensors to the computer: true then.
  bool NotePresence(NodeState& node);
  void HearEvent(NodeState& node, const Heard& heard);
  // A run of `program` that failed, told as its event with its last lines (bounded).
  void TellFailure(const NodeState& node, ProgramState& program);
  // Makes room for a node when the directory is full, by forgetting the stranger heard
  // longest ago; false when every node has answered an echo.
  bool MakeRoom();
  void Forget(const std::string& key);
  // Whether a request to `node` may go now: always to a node that has answered.
  bool MaySend(const NodeState& node);
  void SayOnce(const std::string& name, const std::string& text);
  void SetOnline(NodeState& node, bool online);
  // The configured programs, then the declared ones of other paths and names.
  void Offer(NodeState& node);
  // Takes one entry of a node's list; true when the declared programs changed.
  bool LearnDeclared(NodeState& node, const Heard& heard);
  // Takes `after` bytes in place of `before` within kMaxStateBytes, the bound of everything
  // kept of the programs; false, said once, when they do not fit.
  bool Charge(size_t before, size_t after);
  // Every offered program's reports, each at most once in kReportsAskedEveryMs unless
  // `timed` (the refresh's own round, which keeps its own time).
  void AskForReports(NodeState& node, bool timed = false);
  // Asks the node for its declared programs, under a token of its own.
  void AskForList(NodeState& node);
  // Asks again of every node what has not been told for a while.
  void Refresh();
  // The node to send `action` to: nullptr, saying why, when it is unknown or offline.
  NodeState* Reachable(const std::string& computer, const std::string& action, Sent& sent);
  void Echo();
  // One echo (and, `with_address`, one address query) to every node at once, at most every
  // kAskEveryoneEveryMs; sooner calls are gathered into one at the end of that time.
  void AskEveryone(bool with_address);
  void Request(const NodeState& node, const std::string& klass, const std::string& section,
               const Items& items);
  template <typename Call>
  void Tell(Call call) {
    for (NodeObserver* observer : observers_) call(*observer);
  }

  EventLoop& loop_;
  const GatewayConfig& config_;
  Send send_;
  Say say_;
  SendWake send_wake_;
  std::vector<NodeObserver*> observers_;
  std::map<std::string, NodeState> nodes_;    // by the lower-cased computer name
  std::map<std::string, std::string> words_;  // word -> the key of the node it names
  std::set<std::string> said_;                // names refused aloud once already (bounded)
  std::map<std::string, int64_t> woken_ms_;   // MAC -> when its packet last went (bounded)
  // Computers of earlier runs, by their word: their MAC and address (bounded).
  std::map<std::string, std::pair<std::string, std::string>> recalled_;
  std::mt19937_64 list_tokens_{std::random_device{}()};  // unguessable before they are sent
  double stranger_tokens_ = kStrangerRequestBurst;
  int64_t tokens_at_ms_ = 0;
  std::unique_ptr<Timer> echo_timer_;
  std::unique_ptr<Timer> ask_timer_;
  std::unique_ptr<Timer> refresh_timer_;
  int64_t refreshed_ms_ = 0;
  std::optional<int64_t> asked_everyone_ms_;
  // Nodes come in bursts (the gateway's start, a LAN that wakes): the heap they grew is given
  // back once they have been quiet for a while.
  std::unique_ptr<Timer> trim_timer_;
  bool said_full_ = false;
  size_t state_bytes_ = 0;  // of every node's programs (ProgramState::Bytes)
  bool said_state_full_ = false;
  NodeLogs logs_;
  // Programs the gateway asked to start, until their next report: by node key and path.
  std::set<std::pair<std::string, std::string>> starting_;
};

}  // namespace varnix
