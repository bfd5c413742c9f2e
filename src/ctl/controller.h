// One varnixctl command carried out: the requests, the waits for the replies, what is shown,
// and the exit status.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "ctl/ctl_command.h"
#include "ctl/known_computers.h"
#include "ctl/report_view.h"
#include "platform/event_loop.h"
#include "xap/xap_link.h"

namespace varnix {

class Controller {
 public:
  static constexpr int kDefaultTimeoutMs = 3000;
  static constexpr int kDefaultDiscoveryMs = 1000;
  // A stop waits for the program's window and then its end before the node answers again.
  static constexpr int kRequestLimitMs = 60000;
  // How long a refusal of a shutdown may take to come back.
  static constexpr int kRefusalWaitMs = 1000;
  // How often `logs -f` asks a node that does not tell new lines as they come for them.
  static constexpr int kFollowEveryMs = 500;
  // How long a node that does tell them is asked to (Follow=), and how often that is renewed.
  static constexpr int kFollowSeconds = 30;
  static constexpr int kRenewFollowMs = 20000;
  // How far ahead of this computer's clock a node's may be before its stamps are not followed.
  static constexpr int64_t kFutureSlackSeconds = 600;
  static constexpr int kMostLogLines = 200;

  struct Output {
    std::FILE* out;
    std::FILE* err;
    bool terminal;  // out is a terminal that can be redrawn in place
  };

  // Sends the magic packet for a MAC to the LAN of an address ("" for this computer's own);
  // returns where it went, or throws Error saying why it could not go.
  using SendWake = std::function<std::string(const std::string& mac, const std::string& address)>;

  Controller(EventLoop& loop, XapLink& link, CtlCommand command, std::string this_computer,
             Output output, KnownComputers& known, SendWake send_wake);

  // Everything the link hears comes here.
  void Hear(const Heard& heard);
  // 0 when every node asked replied and did what was asked; 1 otherwise.
  int Run();

 private:
  struct Node {
    std::string address;
    std::string ip;
    int64_t answered_ms = 0;
  };

  // An echo that no node answers is sent again this often while its wait lasts.
  static constexpr int kEchoAgainMs = 1000;

  int On(const std::string& target);
  int Wake(const std::string& target);
  // The card that a node's status answer tells, with the address its address answer (heard
  // since `mark`) gives; kept for a later wake.
  KnownComputers::Card KeepCard(const std::string& target, size_t mark, const Heard& status);
  int Program(const std::string& target);
  int Watch(const std::vector<std::string>& targets);
  // The programs declared on the target's computer, one row each.
  int List(const std::string& target);
  // start, stop or restart of a group of declared programs, or of all: a row for each.
  int Group(const std::string& target);
  int Reload(const std::string& target);
  // A notice on the computer's screen; waits for what became of it.
  int Notify(const std::string& target);
  // A program's last lines, and with -f the new ones as they come.
  int Logs(const std::string& target);
  // The lines of one answer to a log request (from the stamp `after`, when given), in order;
  // nothing when the node did not answer whole or refused, which is said.
  // With `follow`, the node is asked to tell the lines kept after them too: `follow->token`
  // is the request's, and `follow->granted` whether the node said it would.
  struct LogFollow {
    std::string token;
    bool granted = false;
    uint64_t next_push = 1;  // the number of the next lines it tells of its own accord
  };
  std::optional<std::vector<std::string>> AskLog(const std::string& target, int lines,
                                                 const std::string& after, bool quiet,
                                                 LogFollow* follow = nullptr);
  // Takes the lines a node told of its own accord for `follow`, in the order it told them;
  // false once one was lost on the way (a later one came whole before it).
  bool TakePushed(const std::string& target, LogFollow& follow,
                  const std::function<void(std::vector<std::string>)>& take);
  // What `target` said since message `mark`: its events are said on standard error, and make
  // `refused` true; the rest is returned.
  std::vector<Heard> SaidSince(const std::string& target, size_t mark, bool& refused);
  int Nodes();

  // Whether the node answers an echo within the timeout; says so on standard error if not.
  bool Ping(const std::string& target);
  // How a fence came out.
  enum class Fenced { kAnswered, kNodeEnded, kSilent };
  // Waits until the node has handled everything sent to it so far: it answers messages in
  // order, so its answer to an echo sent now comes after its answers to those. A node that
  // says goodbye meanwhile will not answer.
  Fenced Fence(const std::string& target, int limit_ms);
  // The first message from `target` after the first `mark` heard that is `wanted`, or its
  // goodbye heartbeat (class xap-hbeat.stopped), within `limit_ms`.
  std::optional<Heard> Await(const std::string& target, size_t mark, int limit_ms,
                             const std::function<bool(const Heard&)>& wanted);
  // An echo of `query` to `target`, sent every kEchoAgainMs until an answer `wanted` comes
  // (heard after `mark`) or `limit_ms` pass; `sent`, when given, gets when the last one went.
  std::optional<Heard> EchoUntilAnswered(const std::string& target, const std::string& query,
                                         size_t mark, int limit_ms, int64_t* sent,
                                         const std::function<bool(const Heard&)>& wanted);
  // Every Varnix node that answers within `window_ms`.
  std::vector<Node> Discover(int window_ms);
  bool WaitFor(const std::function<bool()>& done, int64_t limit_ms);
  void SendControl(const std::string& target, const std::string& section,
                   std::vector<std::pair<std::string, std::string>> items);
  // The Process.Control items that name the program: the action, its path and its title.
  std::vector<std::pair<std::string, std::string>> ProgramItems(const std::string& action) const;
  std::string NextToken();
  bool From(const Heard& heard, const std::string& target) const;
  bool AboutTheProgram(const Heard& heard) const;
  void Print(const std::string& text);
  // Each says why on standard error and returns the exit status for it.
  int ComplainNoReply(const std::string& target);
  int ComplainNoNodes();
  void Complain(const std::string& text);
  // Whether the node of `source` signed to this varnixctl before, as known-computers.txt says.
  bool SignedBefore(const std::string& source);

  EventLoop& loop_;
  XapLink& link_;
  CtlCommand command_;
  std::string this_computer_;
  Output output_;
  KnownComputers& known_;
  SendWake send_wake_;
  int timeout_ms_;
  std::vector<Heard> heard_;
  int tokens_ = 0;
  ProgramTable table_;
  std::set<std::string> unsigned_nodes_;  // said to be unsigned, lower-cased
  std::map<std::string, bool> signs_;     // computer, lower-cased: whether it signed before
  // Senders whose unsigned answers --require-signed refused (bounded): their silence is no
  // silence, and the user is told so.
  std::set<std::string> refused_unsigned_;
};

}  // namespace varnix
