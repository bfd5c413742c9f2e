// NodeSupervisor: the process operations, computer control and the command handler, owned together.
#include "node/node_supervisor.h"

#include "computer/close_windows.h"
#include "computer/notice_board.h"
#include "computer/presence_report.h"
#include "computer/shutdown_module.h"
#include "computer/user_sensors.h"
#include "core/steps.h"
#include "platform/child_process.h"
#include "platform/command_line.h"
#include "settings/access_rules.h"
#include "settings/declared_programs.h"
#include "settings/declared_sensors.h"
#include "supervision/command_handler.h"
#include "supervision/process_operations.h"

namespace varnix {
namespace {

// How long each closing window gets, from settings.ini: [Computer] CloseWaitSeconds.
int CloseWaitSeconds(const NodeContext& context) {
  return static_cast<int>(context.hs.GetWholeSetting(
      "Computer", "CloseWaitSeconds", CloseWindows::kCloseWaitSeconds, 0, 600, context.log));
}

// How many programs the registry may hold, from settings.ini: [Supervision] MaxRecords.
size_t MaxRecords(const NodeContext& context) {
  return static_cast<size_t>(context.hs.GetWholeSetting(
      "Supervision", "MaxRecords", ProcessRegistry::kDefaultMaxRecords, 1, 1000000, context.log));
}

// How much of each program's output is kept, from settings.ini: [Logs] MaxBytes and Files.
LogLimits ReadLogLimits(const NodeContext& context) {
  LogLimits limits;
  limits.max_bytes = static_cast<uint64_t>(context.hs.GetWholeSetting(
      "Logs", "MaxBytes", static_cast<int64_t>(LogLimits::kDefaultMaxBytes),
      static_cast<int64_t>(LogLimits::kLeastMaxBytes), int64_t{1} << 40, context.log));
  limits.files = static_cast<int>(context.hs.GetWholeSetting(
      "Logs", "Files", LogLimits::kDefaultFiles, 0, LogLimits::kMostFiles, context.log));
  limits.group = context.hs.GetINISetting("Logs", "Group", "");
  return limits;
}

// The relay beside the node's program: varnix-relay, with the node's extension. Where it is
// missing (a node copied alone), the node's own program relays, at several times the memory.
std::string RelayProgram(const NodeContext& context) {
  const std::string& node = context.values.ExePath;
  const size_t name = node.find_last_of(context.values.paths.separator()) + 1;
  const size_t dot = node.find('.', name);
  const std::string relay =
      node.substr(0, name) + "varnix-relay" + (dot == std::string::npos ? "" : node.substr(dot));
  bool found = false;
  Quietly([&] { found = context.services.files.FileExists(relay); });
  if (found) return relay;
  context.log.WriteErrorLog(kLogType, relay +
                                          " is missing: the node's own program keeps each "
                                          "program's output instead, at several times the "
                                          "memory");
  return node;
}

// A sensor's command, hidden from the search for programs while it runs: it may run the very
// file a supervised program does, and a start or query of that program must not find it.
class HiddenCommand : public ChildProcess {
 public:
  HiddenCommand(ProcessTable& processes, std::unique_ptr<ChildProcess> child)
      : processes_(processes), child_(std::move(child)) {
    processes_.Hide(static_cast<ProcessId>(pid_));
  }
  ~HiddenCommand() override {
    child_.reset();  // ended and collected: nothing of it is left to find
    processes_.Unhide(static_cast<ProcessId>(pid_));
  }
  HiddenCommand(const HiddenCommand&) = delete;
  HiddenCommand& operator=(const HiddenCommand&) = delete;

  unsigned long Pid() const override { return pid_; }
  std::optional<int> WaitForExit(std::chrono::milliseconds limit) override {
    return child_->WaitForExit(limit);
  }
  void RequestEnd() override { child_->RequestEnd(); }
  void Kill() override { child_->Kill(); }

 private:
  ProcessTable& processes_;
  std::unique_ptr<ChildProcess> child_;
  const unsigned long pid_ = child_->Pid();
};

// The sensors of the user's own, from settings.ini; each new reading goes out as it is taken,
// and a reading that turns into a problem is said in the log.
std::unique_ptr<UserSensors> MakeUserSensors(NodeContext& context) {
  std::vector<SensorDeclaration> declared =
      ReadDeclaredSensors(context.services.files, context.events, context.log,
                          context.values.ConfigFolder() + "settings.ini", context.values.paths);
  ProcessTable& processes = context.services.processes;
  const PathRules paths = context.values.paths;
  return std::make_unique<UserSensors>(
      context.services.loop, context.services.files, std::move(declared),
      context.values.DataFolderInUse() + "sensor-output.txt",
      [&processes, paths](const SensorDeclaration& sensor, const std::string& output_file) {
        // A bare name is found as a start finds one; the command runs without a shell.
        std::string program = sensor.command;
        if (program.find(paths.separator()) == std::string::npos &&
            program.find('/') == std::string::npos) {
          if (std::string found = processes.LookUpProgram(program); !found.empty()) {
            program = std::move(found);
          }
        }
        return std::make_unique<HiddenCommand>(
            processes, StartCommand(program, SplitCommandLine(sensor.parameter), output_file,
                                    UserSensors::kMostOutputBytes));
      },
      [&queue = context.queue, &log = context.log, &xap = context.xap](
          const SensorDeclaration& sensor, const SensorReading& now) {
        queue.SendXap("", "Computer.Process", "Computer.Sensor",
                      PackedForTheLan(xap.Key(), "Computer.Sensor", SensorItems(sensor, now)));
        if (!now.problem.empty()) {
          log.WriteErrorLog(kLogType,
                            "The sensor " + sensor.name + " has no reading: " + now.problem);
        }
      });
}

// Who is at the computer; a new user, a lock or an unlock goes out at once as Computer.Presence,
// and a presence the system cannot tell is said in the log.
std::unique_ptr<PresenceReport> MakePresenceReport(NodeContext& context) {
  return std::make_unique<PresenceReport>(
      context.services.machine, context.services.loop,
      [&queue = context.queue, &log = context.log, &xap = context.xap](const Presence& now) {
        queue.SendXap("", "Computer.Process", "Computer.Presence",
                      PackedForTheLan(xap.Key(), "Computer.Presence", PresenceItems(now)));
        if (!now.problem.empty()) {
          log.WriteErrorLog(kLogType, "Who is at this computer is not known: " + now.problem);
        }
      });
}

// Notices for the person at the computer; what became of each goes out as Computer.Notice.
std::unique_ptr<NoticeBoard> MakeNoticeBoard(NodeContext& context) {
  return std::make_unique<NoticeBoard>(
      context.services.machine, context.services.loop, context.log,
      [&queue = context.queue, &xap = context.xap](StatusItems items) {
        queue.SendXap("", "Computer.Process", "Computer.Notice",
                      PackedForTheLan(xap.Key(), "Computer.Notice", std::move(items)));
      });
}

class NodeSupervisor : public Supervisor {
 public:
  explicit NodeSupervisor(NodeContext& context)
      : loop_(context.services.loop),
        logs_(context.services.files,
              context.values.DataFolderInUse() + "Logs" +
                  std::string(1, context.values.paths.separator()),
              RelayProgram(context), ReadLogLimits(context)),
        operations_(context.services.processes, context.services.desktop, context.services.files,
                    context.events, context.services.loop, context.OSLabel, context.values.paths),
        windows_({context.services.desktop, context.services.processes, context.services.machine,
                  context.services.files, context.services.loop},
                 context.services.machine.CloseTracePath(context.values.DataFolderInUse()),
                 IsNtPlatform(context.services.machine), CloseWaitSeconds(context)),
        sensors_(MakeUserSensors(context)),
        presence_(MakePresenceReport(context)),
        notices_(MakeNoticeBoard(context)),
        shutdown_(context.services.machine, context.services.desktop, context.services.loop,
                  windows_, context.events, sensors_.get(), presence_.get(), notices_.get()),
        handler_(
            context.values, context.xap, context.queue, context.log, context.events, operations_,
            shutdown_,
            AccessRules::Load(context.services.files, context.events, context.log,
                              context.values.ConfigFolder() + "settings.ini", context.values.paths),
            MaxRecords(context),
            // The context's members, not the context, which lives only through start-up.
            [&files = context.services.files, &events = context.events, &log = context.log,
             path = context.values.ConfigFolder() + "programs.ini",
             paths = context.values.paths](std::vector<std::string>* problems) {
              return ReadDeclaredPrograms(files, events, log, path, paths, problems);
            },
            context.values.DataFolderInUse() + "promises.txt", &logs_) {
    int64_t booted = 0;
    std::string boot_id;
    Quietly([&] {
      booted = context.services.machine.Figures("").booted;
      boot_id = context.services.machine.BootId();
    });
    // Said at the start, not at the first program's: a group that cannot read is no surprise
    // later.
    if (const std::string problem = logs_.Prepare(); !problem.empty()) {
      context.log.WriteErrorLog(kLogType, problem);
    }
    handler_.Begin(booted, boot_id);
    // SIGHUP, or the service manager's parameter change, as supervisorctl update and
    // systemctl reload do it.
    loop_.OnReloadRequest([this] { handler_.Reload("the system (SIGHUP or a service control)"); });
  }
  ~NodeSupervisor() override { loop_.OnReloadRequest(nullptr); }
  NodeSupervisor(const NodeSupervisor&) = delete;
  NodeSupervisor& operator=(const NodeSupervisor&) = delete;

  void Readmessage(const std::string& text) override { handler_.Readmessage(text); }
  void SupervisionPass() override {
    handler_.SupervisionPass();
    presence_->Pass();
  }

 private:
  EventLoop& loop_;
  ProgramLogs logs_;
  ProcessOperations operations_;
  CloseWindows windows_;
  std::unique_ptr<UserSensors> sensors_;
  std::unique_ptr<PresenceReport> presence_;
  std::unique_ptr<NoticeBoard> notices_;
  ShutdownModule shutdown_;
  CommandHandler handler_;
};

}  // namespace

std::unique_ptr<Supervisor> MakeNodeSupervisor(NodeContext& context) {
  return std::make_unique<NodeSupervisor>(context);
}

}  // namespace varnix
