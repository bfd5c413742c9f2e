// The node's command interpreter: every received message passes through Readmessage.
#pragma once

#include <optional>
#include <string>

#include "computer/computer_control.h"
#include "core/app_values.h"
#include "core/failure.h"
#include "settings/access_rules.h"
#include "settings/declared_programs.h"
#include "supervision/answer_budget.h"
#include "supervision/log_followers.h"
#include "supervision/process_operations.h"
#include "supervision/program_log.h"
#include "supervision/promise_store.h"
#include "supervision/registry.h"
#include "supervision/restart_plans.h"
#include "xap/message_signature.h"
#include "xap/outgoing_queue.h"
#include "xap/xap_message.h"
#include "xap/xap_transport.h"

namespace varnix {

class CommandHandler {
 public:
  // Longer echo queries are not answered; how often that is said in the log at most.
  static constexpr size_t kMaxEchoBytes = 1024;
  static constexpr int64_t kEchoesSaidEveryMs = 60000;

  // `rules` say who may ask for what; the default allows everything.
  // The lines one log request may ask for, and those it gets when it names no number.
  static constexpr size_t kMostLogLines = 200;
  static constexpr size_t kDefaultLogLines = 20;
  // What the lines of one Process.Log message come to at most, and one line of it: with its
  // header, the program's name and path (each cut at 256 bytes), and a signature, a message
  // fits in one datagram of 1,500 bytes.
  static constexpr size_t kLogMessageBytes = 800;
  static constexpr size_t kLogLineBytes = 320;

  // `declared` reads the programs of programs.ini, at the start and at each reload;
  // `promises_path`, where what the node keeps running is kept across its restarts ("" for
  // nowhere); `logs`, where the output of the programs it starts is kept (nullptr: where the node's
  // own goes).
  CommandHandler(const AppValues& values, XapTransport& xap, OutgoingQueue& queue, ErrorLog& log,
                 EventReport& events, ProcessOperations& operations, ComputerControl& computer,
                 AccessRules rules = {}, size_t max_records = ProcessRegistry::kDefaultMaxRecords,
                 DeclaredSource declared = nullptr, std::string promises_path = "",
                 ProgramLogs* logs = nullptr);

  // At the node's start: adopts the programs its last run kept that still run (the others
  // are started as their rule says), then, once the loop runs, starts the declared programs
  // of Start=boot in After order.
  // `boot_id` is the system's name for this boot, `booted` when it started (Unix seconds; 0
  // when unknown), which serves where the system names no boot: promises made before a
  // reboot were made to a computer that is gone.
  ~CommandHandler();
  CommandHandler(const CommandHandler&) = delete;
  CommandHandler& operator=(const CommandHandler&) = delete;

  void Begin(int64_t booted = 0, std::string boot_id = "");
  // Reads programs.ini again and applies what changed: a new program starts (if Start=boot),
  // a removed one stops, a changed one that runs is restarted with its new settings; the
  // rest, and a program held stopped, are left alone. A file with a bad value changes
  // nothing. Said in the log; answered to `asker` (with its `request` token) when there is
  // one. Taken up once no request is under way, whose waits may dispatch.
  void Reload(const std::string& asker, const std::string& request = "");
  void Readmessage(const std::string& text);
  void SupervisionPass() { registry_.SupervisionPass(); }

  ProcessRegistry& registry() { return registry_; }
  RestartPlans& restarts() { return restarts_; }

 private:
  // Whether a message with this header is one Readmessage acts on.
  bool Reads(const HeaderGlance& header) const;
  // True when the address ends in "." and this computer's name, letter case ignored.
  bool EndsWithThisComputer(std::string_view address) const;
  // Returns true when the message is finished with (nothing more is looked at).
  bool ComputerProcess(XapMessage& message, bool isForMe);
  // `isForMe`: addressed to this node by its own name, not to a wildcard or to nobody.
  void ProcessControl(XapMessage& message, bool isForMe);
  void Echo(XapMessage& message);
  void RoleQuery(XapMessage& message);
  void RoleAnnouncement(XapMessage& message);
  // True when the rules allow it; otherwise says so once in the log and once on the network.
  bool Allowed(bool allowed, std::string_view action, std::string_view what,
               std::string_view source);
  // True when no signature is required, or the message's is good; otherwise refuses as
  // Allowed does, saying why. Echo, role and address queries never ask.
  bool Authentic(std::string_view action, std::string_view what, std::string_view source,
                 bool say_unsigned = true);
  // Starts the program a start request names and reports it; its id, or 0 (also when a stop
  // came during its first second). A request starts nothing where a program of that file
  // name runs, as the protocol has it; one for an `own_instance` (a declared program, a
  // restart of a kept one) takes only its own run. A run to be kept under `policy` is kept
  // in the promises from the moment it exists. A start asked for over the network is
  // reported after its first second, so that an answer asked after it comes after it; the
  // others (`in_order` false: a plan's, the boot's) are reported at once and go side by side.
  ProcessId StartAndReport(const StartRequest& request, RestartPolicy policy,
                           bool own_instance = false, bool in_order = true);
  // The program's one key (see StartRequest::key), from its declared name or its path.
  std::string KeyOf(const std::string& name, const std::string& path);
  std::string KeyOf(const Status& record) const;
  // A stop ends the program's plan, and a start of it under way is not followed.
  void ForgetPlan(const std::string& key);
  // The declared programs as the source has them now, each path as a start finds its file.
  std::vector<DeclaredProgram> ReadDeclared(std::vector<std::string>* problems);
  // A declared program held stopped by a request.
  bool HeldStopped(const std::string& name) const;
  // The position of the first record that names this title or this path.
  std::optional<size_t> Match(const std::string& Title, const std::string& Path);
  // The process that the matching record follows; valid until the next wait, which may end
  // the record's hold.
  const ProcessHandle* Followed(const std::string& Title, const std::string& Path);
  // Stops the program, as StopProcess does, telling the registry whose end it waits for.
  // Politely as `declared` says, where the request names a declared program.
  bool Stop(const std::string& Path, const std::string& Title, const DeclaredProgram* declared);
  // The declared program of that file; nullptr for none.
  const DeclaredProgram* DeclaredAt(const std::string& path);
  // One report for each declared program, running or not, with how its plan stands; each
  // gives back `request` (the asker's token), "" for none.
  void List(const std::string& request);
  // Whether `source` may be sent an answer this large now; a refusal is said once a minute.
  bool WithinBudget(std::string_view source, size_t lines, size_t messages);
  // Logs `refusal` and tells it to the LAN, within a budget of its own: a flood of requests
  // that are refused must neither fill the log nor make the node answer one for one.
  void SayRefused(std::string_view source, const std::string& refusal);
  // Where a start's output goes: the relay into its log, or none for a program that keeps
  // none.
  OutputRelay RelayFor(const StartRequest& request);
  // Answers a log request with the program's last lines, in as many messages as they take,
  // and follows the log for the asker when asked to.
  void SendLog(XapMessage& message, const std::string& path, const DeclaredProgram* declared);
  // Sends `lines` of a program's log to `asker`, with `item`=`item_value` in each message (""
  // for none); false when its answer budget refused them.
  bool TellLines(const LogFollowers::Follower& asker, const std::vector<LogLine>& lines,
                 const std::string& item, const std::string& item_value);
  // What the plan for the record's path says of a program that does not run (it gave up).
  void TellPlan(Status& record);
  void Adopt(const Promise& promise);
  // Follows the running process of a declared program, found by its file, as its plan's run.
  void AdoptRunning(const DeclaredProgram& program);
  // What starts a declared program, as programs.ini declares it.
  StartRequest RequestOf(const DeclaredProgram& program);
  void StartAtBoot();
  void StartDeclared(const DeclaredProgram& program, std::string_view source = "programs.ini");
  // What a reload did, by program name.
  struct Reloaded {
    std::vector<std::string> added, changed, removed, left;
    std::string problem;  // why nothing changed; "" when the file was good
  };
  Reloaded ApplyReload();
  // Starts a declared program as at boot: at once, or once the program it comes after runs.
  void StartInTurn(const DeclaredProgram& program, std::string_view source);
  // Sends the program the signal that `signal_text` names, and answers with its report.
  void Signal(const std::string& Path, const std::string& Title, const std::string& key,
              std::string_view signal_text);
  // Starts, stops or restarts every declared program of `group` ("*" for all), many at once.
  void ControlGroup(const std::string& action, const std::string& group, std::string_view source);
  // Stops the declared programs of these names together, each as politely as it declares,
  // and holds them stopped.
  void StopTogether(const std::vector<std::string>& names);
  // Whether the program that `program` comes after runs: its own run, not a namesake.
  bool AfterRuns(const DeclaredProgram& program);
  // Starts each program waiting for its After that now runs; called once the plans change.
  void StartWaiting();
  void SavePromises();

  const AppValues& values_;
  XapTransport& xap_;
  OutgoingQueue& queue_;
  ErrorLog& log_;
  EventReport& events_;
  ProcessOperations& operations_;
  ComputerControl& computer_;
  AccessRules rules_;
  std::optional<SignatureCheck> signatures_;  // when the rules require signatures
  const std::string* text_ = nullptr;         // the message being read, as it came
  std::optional<SignatureCheck::Verdict> verdict_;
  ProcessRegistry registry_;
  RestartPlans restarts_;
  DeclaredSource read_declared_;
  std::vector<DeclaredProgram> declared_;
  std::vector<std::string> stopped_;  // declared programs held stopped, by lower-cased name
  std::optional<PromiseStore> store_;
  ProgramLogs* logs_;
  std::optional<LogFollowers> followers_;        // with logs
  std::vector<const DeclaredProgram*> boot_;     // into declared_, made anew at each reload
  std::vector<const DeclaredProgram*> waiting_;  // for their After to run, in boot order
  std::unique_ptr<Timer> boot_timer_;
  std::unique_ptr<Timer> waiting_timer_;
  bool starting_waiting_ = false;
  // Runs started and still in their first second, kept in the promises already; found again
  // by id after that second, which dispatches.
  struct Spawning {
    uint64_t id = 0;
    Promise promise;
    bool stopped = false;  // a stop came meanwhile: not followed, not kept
  };
  std::vector<Spawning> spawning_;
  // Requests under way (their waits dispatch, and a request may come within one); a reload
  // waits for none to be, as it replaces what they point into.
  int acting_ = 0;
  struct ReloadAsked {
    std::string asker;
    std::string request;
  };
  std::vector<ReloadAsked> reloads_;
  std::unique_ptr<Timer> reload_timer_;
  uint64_t next_spawn_ = 1;
  int64_t booted_ = 0;
  std::string boot_id_;
  // The node's own program file, which runs the node and the relays that keep programs'
  // output: no request acts on it, whatever it is called.
  std::string own_key_;
  std::string relay_key_;  // of the relays' program, when it is not the node's
  bool said_no_temperatures_ = false;
  AnswerBudget budget_;
  // An asker that is refused hears why, a few times a minute; past that, only the log's count.
  AnswerBudget refusals_{"refused requests, each of which would have been told its refusal,", 10,
                         20};
  size_t echoes_refused_ = 0;
  std::optional<int64_t> echoes_said_at_;  // on the loop's clock
  std::optional<int64_t> full_said_;       // when a full replay cache was last said, Unix s
  bool path_unsent_said_ = false;          // that role answers name no path, said once
};

}  // namespace varnix
