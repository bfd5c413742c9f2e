// Readmessage: acceptance, then computer control, process control, echo and role requests.
#include "supervision/command_handler.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdint>
#include <optional>
#include <utility>

#include "computer/computer_figures.h"
#include "core/cwait_n_dispatch.h"
#include "core/steps.h"
#include "core/text.h"
#include "core/unix_time.h"
#include "core/wire_text.h"
#include "platform/crypto.h"
#include "platform/error.h"
#include "platform/text_encoding.h"
#include "settings/ini_tool.h"
#include "supervision/process_names.h"
#include "xap/log_lines.h"
#include "xap/packed_items.h"

namespace varnix {
namespace {

constexpr char kUnknownText[] = "Unknown";

// What a plain decimal parser takes: optional spaces, an optional sign, digits, spaces; and a
// value that fits a 32-bit number, as one that does not is no number it can give.
bool ReadsAsNumber(const std::string& text) {
  size_t i = text.find_first_not_of(' ');
  if (i == std::string::npos) return false;
  const size_t sign = i;
  if (text[i] == '+' || text[i] == '-') ++i;
  const size_t digits = i;
  while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) ++i;
  if (i == digits || text.find_first_not_of(' ', i) != std::string::npos) return false;
  int32_t value = 0;
  const char* first = text.data() + (text[sign] == '+' ? digits : sign);
  return std::from_chars(first, text.data() + i, value).ec == std::errc();
}

// A text the network chose, as a log line or event may carry it: a 60 KB source name must not
// write 60 KB lines, nor a control character forge one.
std::string Said(std::string_view text) { return ShownSafely(text, 256); }

// What a declared program's start takes from its section, beyond the command line.
void TakeDeclaredSettings(StartRequest& request, const DeclaredProgram& program) {
  request.name = program.name;
  request.folder = program.folder;
  request.environment = program.environment;
  request.user = program.user;
  request.exit_codes = program.exit_codes;
  request.start_seconds = program.start_seconds;
  request.give_up_after = program.give_up_after;
}

}  // namespace

CommandHandler::CommandHandler(const AppValues& values, XapTransport& xap, OutgoingQueue& queue,
                               ErrorLog& log, EventReport& events, ProcessOperations& operations,
                               ComputerControl& computer, AccessRules rules, size_t max_records,
                               DeclaredSource declared, std::string promises_path,
                               ProgramLogs* logs)
    : values_(values),
      xap_(xap),
      queue_(queue),
      log_(log),
      events_(events),
      operations_(operations),
      computer_(computer),
      rules_(std::move(rules)),
      // Requests signed before this start are refused: the nonces of the node's last run are
      // gone, so they could otherwise be replayed to it (kept on disk, they would cost a write
      // per request and still be lost with the disk).
      signatures_(rules_.RequiresSignature()
                      ? std::optional<SignatureCheck>(std::in_place, rules_.key(), UnixSecondsNow,
                                                      UnixSecondsNow())
                      : std::nullopt),
      registry_(operations, queue, events, log, max_records),
      restarts_(
          operations.loop(), operations.table(),
          [this](const StartRequest& request, RestartPolicy policy) {
            const ProcessRegistry::Rewatch rewatch{registry_};
            return StartAndReport(request, policy, /*own_instance=*/true, /*in_order=*/false);
          },
          [this](const StartRequest&, const std::string& words) {
            log_.WriteErrorLog(kLogType, words);
            events_.SendErrorEvent(kLogType, words);
          },
          [this] {
            SavePromises();
            // A program that came to run may be the one others wait for.
            if (!waiting_.empty()) waiting_timer_->SetEnabled(true);
          }),
      read_declared_(std::move(declared)),
      logs_(logs),
      waiting_timer_(operations.loop().CreateTimer([this] {
        waiting_timer_->SetEnabled(false);
        StartWaiting();
      })) {
  waiting_timer_->SetInterval(1);
  own_key_ = KeyOf("", values_.ExePath);
  if (logs_ != nullptr) {
    followers_.emplace(
        operations.loop(), *logs_,
        [this](const LogFollowers::Follower& asker, const std::vector<LogLine>& lines) {
          return TellLines(asker, lines, "Push", std::to_string(asker.pushes));
        });
  }
  // The relays run a program of their own, which outlives the node as they do.
  if (logs_ != nullptr && !logs_->relay_program().empty()) {
    relay_key_ = KeyOf("", logs_->relay_program());
  }
  if (read_declared_) declared_ = ReadDeclared(nullptr);
  // Told where the user looks: the log, the program's own log, and each report of it.
  registry_.OnRelayGone([this](Status& record) {
    const std::string name =
        record.Name().empty() ? filename(record.Path(), operations_.paths()) : record.Name();
    log_.WriteErrorLog(kLogType, "The output of " + Said(name) + " (PID " +
                                     std::to_string(record.PID()) + ") is " + record.OutputLost() +
                                     "; it is kept again from its next start");
    if (logs_ != nullptr) logs_->Note(name, "output from here on " + record.OutputLost());
  });
  // The end of a kept program's last try is reported as the end of its plan.
  registry_.OnEnd([this](Status& record, ProcessId pid) {
    // Which run this report ends: a program the node keeps restarting ends many times, and a
    // reader tells each end from the passes that repeat the last.
    record.Tell("Ended", std::to_string(pid));
    std::optional<ExitStatus> last_end;
    if (restarts_.GaveUpOn(KeyOf(record), pid, &last_end)) {
      record.Tell("GaveUp", "yes");
      // Its first report as given up says how it ended, as every later one does.
      record.Tell("LastEnd", EndWords(last_end));
    }
  });
  if (!promises_path.empty()) store_.emplace(operations.files(), log, std::move(promises_path));
  xap_.ReadOnly([this](const HeaderGlance& header) { return Reads(header); });
}

CommandHandler::~CommandHandler() { xap_.ReadOnly(nullptr); }

bool CommandHandler::Reads(const HeaderGlance& header) const {
  // What Readmessage would look at: requests to this node by name, to nobody or to "*", and any
  // announcement (its target is whatever the announcing program chose). A target in letters
  // of the code page is left to the whole parse, which reads them.
  return !header.target || EndsWithThisComputer(*header.target) ||
         CompareAddress(kUnknownText, *header.target) ||
         EqualsIgnoringCase(header.klass, "Homeseer.Role") ||
         std::any_of(header.target->begin(), header.target->end(),
                     [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
}

std::string CommandHandler::KeyOf(const std::string& name, const std::string& path) {
  if (!name.empty()) return "name:" + LowerCase(name);
  return "file:" + PathKeyOf(operations_.PathAsRun(path), operations_.paths());
}

std::string CommandHandler::KeyOf(const Status& record) const {
  return record.Name().empty() ? "file:" + record.PathKey() : "name:" + LowerCase(record.Name());
}

std::vector<DeclaredProgram> CommandHandler::ReadDeclared(std::vector<std::string>* problems) {
  std::vector<DeclaredProgram> programs = read_declared_(problems);
  for (DeclaredProgram& program : programs) {
    // A bare name means the file a start finds for it, as in a request.
    program.path = operations_.ProgramFile(program.path);
    if (const std::string why = ProgramLogs::WhyNoLogFor(program.name);
        logs_ != nullptr && program.log && !why.empty()) {
      log_.WriteErrorLog(kLogType, "The program " + Said(program.name) + " keeps no log: " + why);
    }
    if (!program.user.empty() && !operations_.table().StartsAsAnotherUser()) {
      log_.WriteErrorLog(kLogType, "The program " + program.name +
                                       " is declared User=" + program.user +
                                       ", which this system does not support: it runs as the "
                                       "node's own user");
    }
  }
  return programs;
}

bool CommandHandler::HeldStopped(const std::string& name) const {
  return std::find(stopped_.begin(), stopped_.end(), LowerCase(name)) != stopped_.end();
}

void CommandHandler::ForgetPlan(const std::string& key) {
  restarts_.Forget(key);
  bool marked = false;
  for (Spawning& spawning : spawning_) {
    if (spawning.promise.request.key != key || spawning.stopped) continue;
    spawning.stopped = true;
    marked = true;
  }
  if (marked) SavePromises();
}

ProcessId CommandHandler::StartAndReport(const StartRequest& request, RestartPolicy policy,
                                         bool own_instance, bool in_order) {
  if (own_instance) {
    // Its own run, where it has one (in its first second too): another process of the same
    // file (any python3, say) is somebody else's, and is not taken for it.
    ProcessId running = restarts_.RunOf(request.key);
    for (const Spawning& spawning : spawning_) {
      if (spawning.promise.request.key == request.key && !spawning.stopped) {
        running = spawning.promise.pid;
      }
    }
    if (running != 0) {
      registry_.UpdateStartedProcess(request.path, static_cast<int32_t>(running), request.title,
                                     request.source, request.path, request.name);
      return running;
    }
  }
  // Kept from the moment it exists: a node that ends within the first second leaves the run
  // promised to the next, not orphaned beside a second copy.
  const uint64_t id = next_spawn_++;
  // (A start not in order returns at once, to the plan that keeps it.)
  const bool kept = store_ && in_order && (policy != RestartPolicy::kNo || !request.name.empty());
  const auto spawned = [&](ProcessId pid) {
    if (!kept) return;
    Promise promise;
    promise.request = request;
    promise.policy = policy;
    promise.pid = pid;
    Quietly([&] { promise.started_at = operations_.table().StartedAt(pid); });
    spawning_.push_back({id, std::move(promise)});
    SavePromises();
  };
  const LaunchSettings launch{request.folder, RelayFor(request), request.environment, request.user};
  ProcessId pid =
      operations_.StartProcess(request.path, request.parameter, request.window, request.priority,
                               launch, /*reuse_running=*/!own_instance, spawned,
                               /*first_second=*/in_order);
  // Found again by its id: the first second dispatched, and a stop may have come.
  bool stopped = false;
  std::erase_if(spawning_, [&](const Spawning& spawning) {
    if (spawning.id != id) return false;
    stopped = spawning.stopped;
    return true;
  });
  if (pid == 0) {
    log_.WriteErrorLog(kLogType, "Cannot start " + request.path + " for " + request.source + ": " +
                                     operations_.LastStartFailure());
  }
  registry_.UpdateStartedProcess(request.path, static_cast<int32_t>(pid), request.title,
                                 request.source, operations_.LastStartFoundRunning(), request.name);
  return stopped ? 0 : pid;
}

bool CommandHandler::Allowed(bool allowed, std::string_view action, std::string_view what,
                             std::string_view source) {
  if (allowed) return true;
  SayRefused(source,
             "Refused " + std::string(action) + " of " + Said(what) + " from " + Said(source));
  return false;
}

bool CommandHandler::Authentic(std::string_view action, std::string_view what,
                               std::string_view source, bool say_unsigned) {
  if (!signatures_) return true;
  if (!verdict_) {
    // Signed as it went on the wire, in the sender's code page.
    verdict_ = signatures_->Check(TextToCodePage(*text_));
    // Without a usable key nothing is good: an empty key is anyone's.
    if (rules_.key().empty() && *verdict_ != SignatureCheck::Verdict::kUnsigned) {
      verdict_ = SignatureCheck::Verdict::kBadSignature;
    }
  }
  if (*verdict_ == SignatureCheck::Verdict::kGood) return true;
  if (!say_unsigned && *verdict_ == SignatureCheck::Verdict::kUnsigned) return false;
  if (*verdict_ == SignatureCheck::Verdict::kFull) {
    // A flood: said once a minute, not once a message.
    const int64_t now = UnixSecondsNow();
    if (full_said_ && now - *full_said_ < 60 && now >= *full_said_) return false;
    full_said_ = now;
  }
  SayRefused(source, "Refused " + std::string(action) + " of " + Said(what) + " from " +
                         Said(source) + ": " + SignatureCheck::Why(*verdict_));
  return false;
}

void CommandHandler::SayRefused(std::string_view source, const std::string& refusal) {
  const int64_t now = operations_.loop().NowMilliseconds();
  if (!refusals_.Take(source, 0, 1, now)) {
    if (const std::string said = refusals_.Refusals(now); !said.empty()) {
      log_.WriteErrorLog(kLogType, said);
    }
    return;
  }
  log_.WriteErrorLog(kLogType, refusal);
  events_.SendErrorEvent(kLogType, refusal);
}

bool CommandHandler::EndsWithThisComputer(std::string_view address) const {
  const std::string suffix = "." + values_.ComputerName;
  return address.size() >= suffix.size() &&
         EqualsIgnoringCase(address.substr(address.size() - suffix.size()), suffix);
}

std::optional<size_t> CommandHandler::Match(const std::string& Title, const std::string& Path) {
  const auto& list = registry_.ProcessList();
  const std::string key =
      Path == kUnknownText ? "" : PathKeyOf(operations_.PathAsRun(Path), operations_.paths());
  for (size_t i = 0; i < list.size(); ++i) {
    if ((Title != kUnknownText && Title == list[i]->Title()) ||
        (!key.empty() && key == list[i]->PathKey())) {
      return i;
    }
  }
  return std::nullopt;
}

const ProcessHandle* CommandHandler::Followed(const std::string& Title, const std::string& Path) {
  const std::optional<size_t> index = Match(Title, Path);
  return index ? registry_.ProcessList()[*index]->handle() : nullptr;
}

void CommandHandler::Readmessage(const std::string& text) {
  Steps step(
      [this](const Failure& failure) { events_.SendErrorEvent(kLogType, "Readmessage", failure); });
  XapMessage message(log_);
  // A request read during another's wait (a stop's) must not leave its text to the other.
  struct Current {
    CommandHandler& handler;
    const std::string* text;
    std::optional<SignatureCheck::Verdict> verdict;
    ~Current() {
      handler.text_ = text;
      handler.verdict_ = verdict;
    }
  } outer{*this, text_, verdict_};
  text_ = &text;
  verdict_.reset();
  step(10, [&] { message.FromXap(text); });
  // What this node sent comes back through the hub: never a request, an announcement of
  // another program, nor a nonce to keep (a flood of role queries would fill the cache).
  bool own = false;
  step(15, [&] {
    const std::string mine = SenderAddress(xap_.XapSource());
    own = !mine.empty() && SenderAddress(message.msgSource()) == mine;
  });
  if (own) return;
  bool isForMe = false;
  step(20, [&] { isForMe = EndsWithThisComputer(message.msgTarget()); });
  bool finished = false;
  step(30, [&] {
    if (!isForMe && !message.CompareTarget(kUnknownText)) return;
    if (message.CompareClass("Computer.Process")) {
      finished = ComputerProcess(message, isForMe);
    } else if (message.CompareClass("WDT.Echo")) {
      Echo(message);
    } else if (message.CompareClass("Homeseer.Role")) {
      RoleQuery(message);
    }
  });
  if (finished) return;
  step(70, [&] { RoleAnnouncement(message); });
}

bool CommandHandler::ComputerProcess(XapMessage& message, bool isForMe) {
  const std::string_view source = message.msgSource();
  const bool trusted = rules_.AllowsSource(source);
  const std::string action = LowerCase(message.GetItem("Computer.Control", "Action"));
  if (action != "unknown") {
    if ((action == "shutdown" || action == "reboot") && isForMe) {
      if (Authentic(action, values_.ComputerName, source) &&
          Allowed(trusted && rules_.AllowsComputerControl(), action, values_.ComputerName,
                  source)) {
        if (action == "shutdown") {
          computer_.CloseWindowsAndShutdown();
        } else {
          computer_.CloseWindowsAndReboot();
        }
      }
      return true;
    }
    // Beside the halt, and like it only for a request addressed to this computer by name: a
    // request to "*" never puts every computer of the house to sleep.
    static const std::pair<const char*, std::optional<SessionRequest>> kSessionActions[] = {
        {"sleep", SessionRequest::kSleep},
        {"hibernate", SessionRequest::kHibernate},
        {"lock", SessionRequest::kLock},
        {"logoff", SessionRequest::kLogoff},
        {"screenoff", std::nullopt}};
    for (const auto& [name, request] : kSessionActions) {
      if (action != name) continue;
      if (!isForMe) return true;
      if (Authentic(action, values_.ComputerName, source) &&
          Allowed(trusted && rules_.AllowsComputerControl(), action, values_.ComputerName,
                  source)) {
        if (request) {
          computer_.SessionAction(*request);
        } else {
          computer_.TurnScreensOff();
        }
      }
      return true;
    }
  }
  if (const std::string text(message.GetItem("Computer.Control", "Notify")); text != kUnknownText) {
    // Like a lock: for the computer named, by whom may control it.
    if (isForMe && Authentic("notify", values_.ComputerName, source) &&
        Allowed(trusted && rules_.AllowsComputerControl(), "notify", values_.ComputerName,
                source)) {
      const auto given = [&](const char* name) {
        const std::string value(message.GetItem("Computer.Control", name));
        return value == kUnknownText ? std::string() : value;
      };
      computer_.Notify({text, given("Title"), given("Actions"), given("Timeout"), given("Request"),
                        std::string(source)});
    }
    return true;
  }
  const std::string query = LowerCase(message.GetItem("Computer.Control", "Query"));
  // Asked of every node at once as well as of one by name: answered either way, within what
  // one source may make the node send.
  if (query == "name" || query == "all" || query == "ip") {
    if (!Allowed(trusted, "query", values_.ComputerName, source) || !WithinBudget(source, 1, 1)) {
      return true;
    }
    queue_.SendXap("", "Computer.Process", "Computer.Notification",
                   PackItems({{"IP", xap_.GetIP()}, {"Name", values_.ComputerName}}));
    return true;
  }
  if (query == "status") {
    if (!Allowed(trusted, "query", values_.ComputerName, source) || !WithinBudget(source, 1, 1)) {
      return true;
    }
    Steps([&](const Failure& failure) {
      events_.SendErrorEvent(kLogType, "ComputerStatus", failure);
    })(10, [&] {
      StatusItems items = computer_.Status(xap_.GetIP());
      for (const auto& [name, value] : items) {
        // Said once where the user looks: a controller shows no temperature and nothing else.
        if (name == "Temperatures" && value.starts_with("none") && !said_no_temperatures_) {
          said_no_temperatures_ = true;
          log_.WriteErrorLog(
              kLogType, "No temperature sensor here: " +
                            (value == "none" ? std::string("the system shows none that needs no "
                                                           "driver of its own (on Linux, no hwmon "
                                                           "chip nor thermal zone; on Windows, no "
                                                           "ACPI thermal zone)")
                                             : value.substr(6)));
        }
      }
      queue_.SendXap("", "Computer.Process", "Computer.Status",
                     PackedForTheLan(xap_.Key(), "Computer.Status", std::move(items)));
    });
    return true;
  }
  if (query == "sensors") {
    // A message for each sensor: answered only to a request that names this node.
    if (!isForMe || !Allowed(trusted, "query", values_.ComputerName, source)) return true;
    std::vector<StatusItems> sensors = computer_.Sensors();
    if (sensors.empty()) sensors.push_back({{"Sensors", "none"}});
    if (!WithinBudget(source, sensors.size(), sensors.size())) return true;
    for (StatusItems& sensor : sensors) {
      queue_.SendXap("", "Computer.Process", "Computer.Sensor",
                     PackedForTheLan(xap_.Key(), "Computer.Sensor", std::move(sensor)));
    }
    return true;
  }
  ProcessControl(message, isForMe);
  return false;
}

void CommandHandler::ProcessControl(XapMessage& message, bool isForMe) {
  // Whatever a request starts, ends or follows anew, its end is watched from now on.
  const ProcessRegistry::Rewatch rewatch{registry_};
  const std::string action(message.GetItem("Process.Control", "Action"));
  if (action == kUnknownText) return;
  ++acting_;
  struct Done {
    int& acting;
    ~Done() { --acting; }
  } done{acting_};
  const std::string Title(message.GetItem("Process.Control", "Title"));
  std::string Path(message.GetItem("Process.Control", "Path"));
  std::string Priority(message.GetItem("Process.Control", "Priority"));
  std::string Parameter(message.GetItem("Process.Control", "Parameter"));
  std::string Window(message.GetItem("Process.Control", "Window"));
  const bool window_given = ReadsAsNumber(Window);
  if (!window_given) Window = "2";
  // A declared program is asked for by its name; a node without one goes by Path.
  const DeclaredProgram* declared = nullptr;
  if (const std::string name(message.GetItem("Process.Control", "Name")); name != kUnknownText) {
    declared = FindDeclared(declared_, name);
    // Only tools for people name programs so: what they start is meant to be seen.
    if (!window_given) Window = "1";
  }
  if (declared != nullptr) Path = declared->path;

  const std::string lower = LowerCase(action);
  const std::string_view source = message.msgSource();
  // A list or a log is many datagrams for one: answered only when this node is asked by its
  // name, never to a wildcard that every node of the LAN would answer.
  if ((lower == "list" || lower == "log" || lower == "reload") && !isForMe) return;
  if (lower == "reload") {
    if (Authentic(lower, values_.ComputerName, source) &&
        Allowed(rules_.AllowsSource(source), lower, values_.ComputerName, source) &&
        WithinBudget(source, declared_.size(), 1)) {
      const std::string request(message.GetItem("Process.Control", "Request"));
      Reload(std::string(source), request == kUnknownText ? "" : Said(request));
    }
    return;
  }
  if (lower == "list") {
    if (Authentic(lower, values_.ComputerName, source) &&
        Allowed(rules_.AllowsSource(source), lower, values_.ComputerName, source) &&
        WithinBudget(source, declared_.size(), declared_.size())) {
      // Given back, so that an asker takes the list it asked for, not one made up for it.
      const std::string request(message.GetItem("Process.Control", "Request"));
      List(request == kUnknownText ? "" : Said(request));
    }
    return;
  }
  // A group acts on many programs for one message: asked of this node by its name only.
  if (const std::string group(message.GetItem("Process.Control", "Group"));
      group != kUnknownText && (lower == "start" || lower == "stop" || lower == "restart")) {
    if (isForMe && Authentic(lower, "group " + group, source) &&
        Allowed(rules_.AllowsSource(source), lower, "group " + group, source)) {
      ControlGroup(lower, group, source);
    }
    return;
  }
  if (Title == kUnknownText && Path == kUnknownText) return;
  if (lower != "start" && lower != "stop" && lower != "restart" && lower != "query" &&
      lower != "autonotify" && lower != "log" && lower != "signal") {
    return;
  }
  if (!Authentic(lower, Path == kUnknownText ? Title : Path, source)) return;
  if (!Allowed(rules_.AllowsSource(source), lower, Path == kUnknownText ? Title : Path, source)) {
    return;
  }
  // No file's path holds a control character; one that does is cut or read apart somewhere
  // on its way to the system.
  if (!Allowed(std::none_of(Path.begin(), Path.end(), IsControlByte), lower, Path, source)) {
    return;
  }
  // Judged, started, stopped and reported as the file it is: "notepad" is
  // C:\Windows\notepad.exe in every action, or a stop would look for a file of that bare name.
  if (Path != kUnknownText) Path = operations_.ProgramFile(Path);
  // By its path too: a stop of the declared program's file keeps it stopped as one by name.
  if (declared == nullptr && Path != kUnknownText) declared = DeclaredAt(Path);
  if (declared != nullptr) {
    if (Parameter == kUnknownText) Parameter = declared->parameter;
    if (Priority == kUnknownText) Priority = declared->priority;
    if (!window_given) Window = declared->window;
  }
  const std::string key = KeyOf(declared != nullptr ? declared->name : "", Path);
  if (!Allowed(Path == kUnknownText || declared != nullptr ||
                   (key != own_key_ && (relay_key_.empty() || key != relay_key_)),
               lower, Path, source)) {
    return;
  }
  // A program's output may hold its secrets: read only by those who may run it.
  if (lower == "log") {
    if (Path != kUnknownText &&
        Allowed(rules_.AllowsLogsOverNetwork() && rules_.AllowsProgram(operations_.PathAsRun(Path)),
                lower, Path, source)) {
      SendLog(message, Path, declared);
    }
    return;
  }
  if (lower == "signal") {
    Signal(Path, Title, key, message.GetItem("Process.Control", "Signal"));
    return;
  }
  if (lower == "start" || lower == "restart") {
    if (Path != kUnknownText &&
        !Allowed(rules_.AllowsProgram(operations_.PathAsRun(Path)), lower, Path, source)) {
      return;
    }
  }
  // Restart= asks the node to keep the program running; a value it does not know starts
  // nothing.
  const std::string restart_text = LowerCase(message.GetItem("Process.Control", "Restart"));
  const RestartPolicy unsaid = declared != nullptr ? declared->restart : RestartPolicy::kNo;
  const std::optional<RestartPolicy> policy =
      restart_text == "unknown" ? unsaid : RestartPolicyFromText(restart_text);
  if ((lower == "start" || lower == "restart") && !policy) {
    events_.SendErrorEvent(
        kLogType, "ProcessControl",
        Failure{errors::kInvalidCall, "Invalid procedure call or argument: Restart=" + restart_text,
                10});
    return;
  }
  const auto start = [&] {
    StartRequest request;
    request.path = Path;
    request.title = Title;
    request.parameter = Parameter;
    request.window = Window;
    request.priority = Priority;
    request.source = std::string(source);
    request.key = key;
    if (declared != nullptr) {
      TakeDeclaredSettings(request, *declared);
      // Started again by request: no longer held stopped.
      if (std::erase(stopped_, LowerCase(declared->name)) > 0) SavePromises();
    }
    restarts_.Follow(request, *policy, StartAndReport(request, *policy, declared != nullptr));
  };
  if (lower == "start") {
    if (Path != kUnknownText) start();
  } else if (lower == "stop") {
    ForgetPlan(key);
    // Held stopped, across restarts of the node too, until a start.
    if (declared != nullptr && !HeldStopped(declared->name)) {
      stopped_.push_back(LowerCase(declared->name));
      std::erase(waiting_, declared);
      SavePromises();
    }
    // A record of a run that had ended already: its old end is not what this stop did.
    const std::optional<size_t> before = Match(Title, Path);
    const bool ran = before && registry_.ProcessList()[*before]->PID() != 0;
    if (!Stop(Path, Title, declared)) return;
    // Looked up afresh: a pass may have run while the program was closing.
    if (const std::optional<size_t> index = Match(Title, Path)) {
      auto& list = registry_.ProcessList();
      Status& record = *list[*index];
      record.Ended();
      if (operations_.LastStopForced()) record.Forced();
      if (!ran && record.PID() == 0) {
        // Said to run no more, not to have ended just now as it did before.
        std::unique_ptr<Status> told = registry_.NewStatus();
        told->Path(record.Path());
        told->Title(record.Title());
        told->Name(record.Name());
        registry_.SendNotification(*told);
      } else {
        registry_.SendNotification(record);
      }
      list.erase(list.begin() + static_cast<std::ptrdiff_t>(*index));
    }
  } else if (lower == "restart") {
    ForgetPlan(key);
    if (!Stop(Path, Title, declared)) return;
    start();
  } else if (lower == "query" || lower == "autonotify") {
    const std::optional<size_t> index = Match(Title, Path);
    Status* record = index ? registry_.ProcessList()[*index].get() : nullptr;
    std::unique_ptr<Status> unlisted;  // answered from, when the registry has no room for it
    if (record == nullptr) {
      unlisted = registry_.NewStatus();
      unlisted->Path(Path);
      unlisted->Title(Title);
      record = registry_.Add(unlisted, lower, source);
      if (record == nullptr) record = unlisted.get();
    }
    if (declared != nullptr) record->Name(declared->name);
    record->AutoNotify(lower == "autonotify");
    operations_.QueryProcess(*record);
    if (record->PID() == 0) TellPlan(*record);
    registry_.SendNotification(*record);
  }
}

bool CommandHandler::Stop(const std::string& Path, const std::string& Title,
                          const DeclaredProgram* declared) {
  // The stop tells the end it waits for itself, with how it came about.
  const ProcessHandle* followed = Followed(Title, Path);
  registry_.Stopping(followed);
  const bool stopped = declared == nullptr
                           ? operations_.StopProcess(Path, Title, followed)
                           : operations_.StopProcess(Path, Title, followed, declared->stop_signal,
                                                     declared->stop_seconds * 1000);
  registry_.Stopping(nullptr);
  return stopped;
}

const DeclaredProgram* CommandHandler::DeclaredAt(const std::string& path) {
  const std::string key = PathKeyOf(operations_.PathAsRun(path), operations_.paths());
  const DeclaredProgram* found = nullptr;
  for (const DeclaredProgram& program : declared_) {
    if (PathKeyOf(operations_.PathAsRun(program.path), operations_.paths()) == key) {
      // Two declared programs of one file (one interpreter): a path names neither.
      if (found != nullptr) return nullptr;
      found = &program;
    }
  }
  return found;
}

void CommandHandler::TellPlan(Status& record) {
  const std::string key = KeyOf(record);
  for (const RestartPlans::View& plan : restarts_.Plans()) {
    if (plan.request.key != key || !plan.gave_up) continue;
    record.Tell("GaveUp", "yes");
    record.Tell("LastEnd", EndWords(plan.last_end));
  }
}

void CommandHandler::List(const std::string& request) {
  const ProcessRegistry::Rewatch rewatch{registry_};
  const std::vector<RestartPlans::View> plans = restarts_.Plans();
  for (const DeclaredProgram& program : declared_) {
    const std::string key = KeyOf(program.name, program.path);
    const auto plan = std::find_if(plans.begin(), plans.end(),
                                   [&](const auto& view) { return view.request.key == key; });
    // Its own run alone: another program of the same file (any cmd.exe) is not it.
    const ProcessId run = restarts_.RunOf(key);
    // Its record where there is one, so that the report is the one a query would give.
    Status* record = nullptr;
    for (const auto& known : registry_.ProcessList()) {
      if (run != 0 && known->PID() == static_cast<int32_t>(run)) record = known.get();
    }
    std::unique_ptr<Status> unlisted;
    if (record == nullptr) {
      unlisted = registry_.NewStatus();
      unlisted->Path(program.path);
      if (run != 0) unlisted->PID(static_cast<int32_t>(run));
      record = unlisted.get();
    }
    record->Name(program.name);
    if (run != 0) operations_.QueryProcess(*record);
    std::string state = "not running";
    if (record->PID() != 0) {
      state = "running";
    } else if (plan != plans.end() && plan->gave_up) {
      state = "gave up";
    } else if (plan != plans.end() && !plan->done) {
      state = "starting again";
    } else if (HeldStopped(program.name)) {
      state = "stopped";
    }
    record->Tell("State", state);
    // Until it is restarted, the run goes on as it was declared when it started.
    if (plan != plans.end() && plan->stale && record->PID() != 0) record->Tell("Stale", "yes");
    record->Tell("Restart", RestartPolicyText(program.restart));
    record->Tell("Start", program.at_boot ? "boot" : "manual");
    if (plan != plans.end()) {
      record->Tell("Restarts", std::to_string(plan->restarts));
      record->Tell("Since", std::to_string(plan->since_unix));
      if (plan->gave_up) record->Tell("GaveUp", "yes");
      if (plan->gave_up || (plan->done && record->PID() == 0)) {
        record->Tell("LastEnd", EndWords(plan->last_end));
      }
    }
    if (!request.empty()) record->Tell("Request", request);
    registry_.SendNotification(*record);
  }
}

bool CommandHandler::WithinBudget(std::string_view source, size_t lines, size_t messages) {
  const int64_t now = operations_.loop().NowMilliseconds();
  if (budget_.Take(source, lines, messages, now)) return true;
  if (const std::string said = budget_.Refusals(now); !said.empty()) {
    log_.WriteErrorLog(kLogType, said);
  }
  return false;
}

OutputRelay CommandHandler::RelayFor(const StartRequest& request) {
  if (logs_ == nullptr) return {};
  if (request.name.empty()) return logs_->RelayFor(filename(request.path, operations_.paths()));
  const DeclaredProgram* program = FindDeclared(declared_, request.name);
  return program != nullptr && !program->log ? OutputRelay{} : logs_->RelayFor(request.name);
}

void CommandHandler::SendLog(XapMessage& message, const std::string& path,
                             const DeclaredProgram* declared) {
  const std::string name =
      declared != nullptr ? declared->name : filename(path, operations_.paths());
  // A program the node knows that has said nothing has an empty log; one it knows nothing of
  // has none. A path answers only for the file it names: a made-up /usr/bin/Vault is not the
  // declared Vault, whose log is judged by its own file.
  const bool known = declared != nullptr || Match(kUnknownText, path).has_value();
  bool there = false;
  Quietly([&] { there = operations_.files().FileExists(path); });
  const bool named = known || (there && FindDeclared(declared_, name) == nullptr);
  if (const std::string why = ProgramLogs::WhyNoLogFor(name); logs_ != nullptr && !why.empty()) {
    events_.SendErrorEvent(kLogType, "ProcessLog",
                           Failure{errors::kFileNotFound,
                                   "File not found: " + Said(name) + " keeps no log: " + why, 10});
    return;
  }
  if (logs_ == nullptr || (!known && !(named && logs_->Has(name)))) {
    events_.SendErrorEvent(
        kLogType, "ProcessLog",
        Failure{errors::kFileNotFound, "File not found: no log of " + Said(name), 10});
    return;
  }
  size_t count = kDefaultLogLines;
  if (const std::string lines(message.GetItem("Process.Control", "Lines")); ReadsAsNumber(lines)) {
    const long asked = std::stol(lines);
    count = asked < 1 ? 1 : std::min<size_t>(static_cast<size_t>(asked), kMostLogLines);
  }
  const std::string after(message.GetItem("Process.Control", "After"));
  const std::vector<LogLine> lines = logs_->Last(name, count, StampMilliseconds(after));
  // Given back as it came, so that an asker tells its answers from an earlier request's.
  const std::string request(message.GetItem("Process.Control", "Request"));
  const LogFollowers::Follower asker{std::string(message.msgSource()), name, path,
                                     request == kUnknownText ? "" : Said(request)};
  // Follow=SECONDS: the lines kept after these are told as they come, to the asker alone (it
  // asked this node by name), for that long at most.
  const std::string follow(message.GetItem("Process.Control", "Follow"));
  const int seconds =
      ReadsAsNumber(follow)
          ? static_cast<int>(std::clamp<long>(std::stol(follow), 0, LogFollowers::kMostSeconds))
          : 0;
  // The answer says Following only for a follow that is taken.
  const bool followed = seconds > 0 && followers_->HasRoomFor(asker);
  if (!TellLines(asker, lines, followed ? "Following" : "", std::to_string(seconds))) return;
  if (followed) {
    followers_->Follow(asker, lines, seconds);
  } else if (seconds > 0) {
    events_.SendErrorEvent(kLogType, "ProcessLog",
                           Failure{errors::kInvalidCall,
                                   "Not followed: " + std::to_string(LogFollowers::kMostFollowers) +
                                       " follow logs already; asked again, the lines come",
                                   10});
  }
}

bool CommandHandler::TellLines(const LogFollowers::Follower& asker,
                               const std::vector<LogLine>& lines, const std::string& item,
                               const std::string& item_value) {
  // Cut into messages of whole lines, each one datagram. Sealed, the lines are spelt in hex,
  // twice their size, after a nonce and a tag.
  const bool sealed = !xap_.Key().empty();
  const size_t each_message = sealed ? 2 * (kSealNonceBytes + kSealTagBytes) : 0;
  std::vector<std::vector<std::string>> messages(1);
  size_t bytes = each_message;
  for (const LogLine& line : lines) {
    std::string value = line.stamp.empty() ? line.mark : line.stamp + " " + line.mark;
    value += " " + ShownSafely(line.text, kLogLineBytes);
    // "Line200=" and the line's end; sealed, the line break between lines.
    const size_t item_bytes = sealed ? 2 * (value.size() + 1) : value.size() + 10;
    if (bytes + item_bytes > kLogMessageBytes && !messages.back().empty()) {
      messages.emplace_back();
      bytes = each_message;
    }
    bytes += item_bytes;
    messages.back().push_back(std::move(value));
  }
  if (!WithinBudget(asker.target, lines.size(), messages.size())) return false;
  for (size_t part = 0; part < messages.size(); ++part) {
    std::string packed = PackItems({{"Name", Said(asker.name)},
                                    {"Path", Said(asker.path)},
                                    {"Part", std::to_string(part + 1)},
                                    {"Parts", std::to_string(messages.size())},
                                    {"Lines", std::to_string(messages[part].size())}});
    if (!asker.request.empty()) AppendItem(packed, "Request", asker.request);
    if (!item.empty()) AppendItem(packed, item, item_value);
    if (sealed) {
      // The datagram goes to every host of the LAN: only those with the key read the lines.
      AppendItem(packed, "Sealed",
                 SealLines(xap_.Key(), asker.request, std::to_string(part + 1), messages[part]));
    } else {
      for (size_t line = 0; line < messages[part].size(); ++line) {
        AppendItem(packed, "Line" + std::to_string(line + 1), messages[part][line]);
      }
    }
    // Addressed to the one who asked, though every listener hears it.
    queue_.SendXap(asker.target, "Computer.Process", "Process.Log", packed);
  }
  return true;
}

void CommandHandler::Begin(int64_t booted, std::string boot_id) {
  booted_ = booted;
  boot_id_ = std::move(boot_id);
  if (store_) {
    const Promises kept = store_->Load();
    for (const std::string& name : kept.stopped) stopped_.push_back(LowerCase(name));
    // Across a reboot only what programs.ini declares starts, as a systemd unit that is
    // enabled does; what a controller asked for was for that run of the computer. The boot is
    // known by the system's name for it, which a clock set late does not move; where there is
    // none, by its time reckoned from the uptime, which may move by a second or two.
    const bool same_boot = !boot_id_.empty() && !kept.boot_id.empty()
                               ? boot_id_ == kept.boot_id
                               : booted == 0 || kept.booted == 0 ||
                                     (booted - kept.booted <= 60 && kept.booted - booted <= 60);
    if (same_boot) {
      for (const Promise& promise : kept.kept) Adopt(promise);
    }
    // Without the file, what runs is all there is to go by: a declared program that runs is
    // followed as it is, never started beside itself.
    if (kept.set_aside) {
      for (const DeclaredProgram& program : declared_) AdoptRunning(program);
    }
    SavePromises();
  }
  boot_ = BootOrder(declared_, log_);
  if (boot_.empty()) return;
  // Once the loop runs: each start waits out its program's first second, dispatching.
  boot_timer_ = operations_.loop().CreateTimer([this] {
    boot_timer_->SetEnabled(false);
    StartAtBoot();
  });
  boot_timer_->SetInterval(1);
  boot_timer_->SetEnabled(true);
}

void CommandHandler::Adopt(const Promise& promise) {
  const ProcessRegistry::Rewatch rewatch{registry_};
  StartRequest request = promise.request;
  const DeclaredProgram* program = nullptr;
  if (!request.name.empty()) {
    // Kept only while still declared so, and not held stopped.
    program = FindDeclared(declared_, request.name);
    if (program == nullptr || program->path != request.path || HeldStopped(program->name)) {
      return;
    }
  }
  // A line of the file is judged as the request it was: one planted there starts nothing the
  // rules refuse.
  if (program == nullptr && !rules_.AllowsProgram(operations_.PathAsRun(request.path))) {
    log_.WriteErrorLog(kLogType, "A kept promise names " + Said(request.path) +
                                     ", which the access rules refuse: it is not kept");
    return;
  }
  request.key = KeyOf(request.name, request.path);
  // Its next start is as the file says now, whatever the run that goes on was started with.
  bool stale = false;
  if (program != nullptr) {
    const StartRequest now = RequestOf(*program);
    stale = now.parameter != request.parameter || now.folder != request.folder ||
            now.priority != request.priority || now.window != request.window;
    const std::string source = request.source;
    request = now;
    request.source = source;
  }
  // What ended for good, or was given up, in this boot stays so until asked for again.
  if (promise.gave_up || promise.done) {
    restarts_.Remember(request, promise.policy, promise.gave_up, promise.last_end);
    return;
  }
  // The very process the last run started: the same id and start time, in the same boot. Not
  // judged by its file, which a script (its interpreter) or a wrapper (what it ran) does not
  // show.
  ProcessTable& table = operations_.table();
  bool same = false;
  Quietly([&] {
    same = promise.pid != 0 && promise.started_at != 0 && table.IsAlive(promise.pid) &&
           table.StartedAt(promise.pid) == promise.started_at;
  });
  if (same) {
    registry_.UpdateStartedProcess(request.path, static_cast<int32_t>(promise.pid), request.title,
                                   request.source, "", request.name);
    restarts_.Adopt(request, promise.policy, promise.pid);
    if (stale) restarts_.MarkStale(request.key);
  } else if (program != nullptr && promise.policy == RestartPolicy::kNo) {
    restarts_.Remember(request, promise.policy, false, std::nullopt);  // it ran in this boot
  } else if (program == nullptr || !program->at_boot) {
    restarts_.Adopt(request, promise.policy, 0);  // started again now
  }
  // A declared boot program that ended meanwhile starts with the others, in After order.
}

StartRequest CommandHandler::RequestOf(const DeclaredProgram& program) {
  StartRequest request;
  request.path = program.path;
  request.title = kUnknownText;
  request.parameter = program.parameter;
  request.window = program.window;
  request.priority = program.priority;
  request.source = "programs.ini";
  request.key = KeyOf(program.name, program.path);
  TakeDeclaredSettings(request, program);
  return request;
}

void CommandHandler::AdoptRunning(const DeclaredProgram& program) {
  if (HeldStopped(program.name)) return;
  // Only the very file (through a link too): a program of the same name in another folder is
  // a stranger's. Nor where two declared programs run one file (two scripts of one
  // interpreter): what runs does not tell them apart. A script or a wrapper runs as another
  // program and is not found; it starts again.
  const std::string file = KeyOf("", program.path);
  if (std::count_if(declared_.begin(), declared_.end(), [&](const DeclaredProgram& other) {
        return KeyOf("", other.path) == file;
      }) > 1) {
    return;
  }
  ProcessId pid = 0;
  Quietly([&] { pid = operations_.FindProgram(program.path, /*any_folder=*/false); });
  if (pid == 0) return;
  const ProcessRegistry::Rewatch rewatch{registry_};
  const StartRequest request = RequestOf(program);
  registry_.UpdateStartedProcess(request.path, static_cast<int32_t>(pid), request.title,
                                 request.source, "", request.name);
  restarts_.Adopt(request, program.restart, pid);
}

void CommandHandler::StartAtBoot() {
  for (const DeclaredProgram* program : boot_) {
    if (operations_.NodeEnding()) return;
    if (restarts_.Has(KeyOf(program->name, program->path)) || HeldStopped(program->name)) {
      continue;
    }
    StartInTurn(*program, "programs.ini");
  }
}

void CommandHandler::Reload(const std::string& asker, const std::string& request) {
  reloads_.push_back({asker, request});
  if (!reload_timer_) {
    reload_timer_ = operations_.loop().CreateTimer([this] {
      // Only once no request is under way; asked again until then.
      if (acting_ > 0 || operations_.NodeEnding()) return;
      reload_timer_->SetEnabled(false);
      const std::vector<ReloadAsked> asked = std::move(reloads_);
      reloads_.clear();
      // Under way itself: a reload asked within its stop's wait comes after it.
      ++acting_;
      const Reloaded reloaded = ApplyReload();
      --acting_;
      const auto names = [](const std::vector<std::string>& list) {
        std::string joined;
        for (const std::string& name : list) joined += (joined.empty() ? "" : ", ") + name;
        return joined;
      };
      const std::string said =
          reloaded.problem.empty()
              ? "programs.ini read again: added " + names(reloaded.added) + "; changed " +
                    names(reloaded.changed) + "; removed " + names(reloaded.removed) + "; left " +
                    names(reloaded.left)
              : "programs.ini read again, and nothing changed: " + reloaded.problem;
      for (const ReloadAsked& one : asked) {
        log_.WriteErrorLog(kLogType, said + " (asked by " + Said(one.asker) + ")");
        if (one.asker.find('.') == std::string::npos) continue;  // not a peer: SIGHUP, say
        // An empty list is no item: a body line without a value is read as no line at all.
        std::string packed = PackItems({{"Programs", std::to_string(declared_.size())}});
        for (const auto& [item, list] : {std::pair{"Added", &reloaded.added},
                                         {"Changed", &reloaded.changed},
                                         {"Removed", &reloaded.removed},
                                         {"Left", &reloaded.left}}) {
          if (!list->empty()) AppendItem(packed, item, Said(names(*list)));
        }
        if (!reloaded.problem.empty()) AppendItem(packed, "Problem", Said(reloaded.problem));
        if (!one.request.empty()) AppendItem(packed, "Request", one.request);
        queue_.SendXap(one.asker, "Computer.Process", "Process.Reload", packed);
      }
    });
  }
  reload_timer_->SetInterval(ProcessOperations::kPollMs);
  reload_timer_->SetEnabled(true);
}

CommandHandler::Reloaded CommandHandler::ApplyReload() {
  const ProcessRegistry::Rewatch rewatch{registry_};
  Reloaded reloaded;
  std::vector<std::string> problems;
  std::vector<DeclaredProgram> fresh = ReadDeclared(&problems);
  if (!problems.empty()) {
    reloaded.problem = problems.front();
    if (problems.size() > 1) {
      reloaded.problem += " (and " + std::to_string(problems.size() - 1) + " more in the log)";
    }
    return reloaded;
  }
  // A changed program is restarted only where its run goes on: one that ended, gave up or
  // is held stopped is started anew, with the new settings, when it is asked for.
  std::vector<std::string> ending;
  std::vector<std::string> again;
  for (const DeclaredProgram& old : declared_) {
    const DeclaredProgram* now = FindDeclared(fresh, old.name);
    if (now == nullptr) {
      reloaded.removed.push_back(old.name);
      ending.push_back(old.name);
    } else if (*now == old) {
      reloaded.left.push_back(old.name);
    } else {
      reloaded.changed.push_back(old.name);
      if (restarts_.RunOf(KeyOf(old.name, old.path)) != 0) {
        ending.push_back(old.name);
        again.push_back(old.name);
      }
    }
  }
  for (const DeclaredProgram& now : fresh) {
    if (FindDeclared(declared_, now.name) == nullptr) {
      reloaded.added.push_back(now.name);
      if (now.at_boot) again.push_back(now.name);
    }
  }
  // Stopped as they were declared, then no longer held stopped: a removed program is gone, a
  // changed one starts again below. The stop's wait dispatches, and nothing may come in
  // between: the programs are replaced only after it.
  StopTogether(ending);
  for (const std::string& name : ending) std::erase(stopped_, LowerCase(name));
  std::vector<std::string> waiting;
  for (const DeclaredProgram* program : waiting_) waiting.push_back(program->name);
  waiting_.clear();
  declared_ = std::move(fresh);
  boot_ = BootOrder(declared_, log_);
  for (const std::string& name : waiting) {
    if (const DeclaredProgram* program = FindDeclared(declared_, name)) {
      waiting_.push_back(program);
    }
  }
  SavePromises();
  for (const std::string& name : again) {
    const DeclaredProgram* program = FindDeclared(declared_, name);
    if (program != nullptr && !HeldStopped(name) && !operations_.NodeEnding()) {
      StartInTurn(*program, "programs.ini");
    }
  }
  return reloaded;
}

void CommandHandler::StartInTurn(const DeclaredProgram& program, std::string_view source) {
  if (!program.after.empty() && !AfterRuns(program)) {
    log_.WriteErrorLog(kLogType, "The program " + program.name + " waits for " + program.after +
                                     ", which does not run yet: it starts once " + program.after +
                                     " runs");
    if (std::find(waiting_.begin(), waiting_.end(), &program) == waiting_.end()) {
      waiting_.push_back(&program);
    }
    return;
  }
  StartDeclared(program, source);
}

void CommandHandler::Signal(const std::string& Path, const std::string& Title,
                            const std::string& key, std::string_view signal_text) {
  const std::optional<EndSignal> signal = EndSignalFromText(signal_text);
  const auto fail = [&](const std::string& why) {
    events_.SendErrorEvent(kLogType, "ProcessControl", Failure{errors::kInvalidCall, why, 10});
  };
  if (!signal) return fail("No such signal: Signal=" + Said(signal_text));
  // The plan's own run, else what the program's record follows.
  ProcessId pid = restarts_.RunOf(key);
  const ProcessHandle* followed = pid == 0 ? Followed(Title, Path) : nullptr;
  if (followed != nullptr) pid = followed->pid();
  const std::string what = Said(Path == kUnknownText ? Title : Path);
  if (pid == 0) return fail("Not running: " + what);
  if (!operations_.table().SendSignal(pid, *signal)) {
    return fail("Cannot send " + UpperCase(signal_text) + " to " + what +
                ": refused, or this system has no signals");
  }
  // Answered with its report, which tells the asker that it was done.
  for (const auto& record : registry_.ProcessList()) {
    if (record->PID() == static_cast<int32_t>(pid)) return registry_.SendNotification(*record);
  }
}

void CommandHandler::ControlGroup(const std::string& action, const std::string& group,
                                  std::string_view source) {
  // By name, not by pointer: the stop's wait dispatches.
  std::vector<std::string> names;
  for (const DeclaredProgram& program : declared_) {
    if (group == "*" || EqualsIgnoringCase(program.group, group)) names.push_back(program.name);
  }
  if (names.empty()) {
    events_.SendErrorEvent(
        kLogType, "ProcessControl",
        Failure{errors::kInvalidCall,
                group == "*" ? std::string("No program is declared")
                             : "No declared program is in the group " + Said(group),
                10});
    return;
  }
  // A report for each: as large an answer as a list.
  if (!WithinBudget(source, names.size(), names.size())) return;
  if (action != "start") StopTogether(names);
  if (action == "stop") return;
  const ProcessRegistry::Rewatch rewatch{registry_};
  for (const std::string& name : names) {
    const DeclaredProgram* program = FindDeclared(declared_, name);
    if (program == nullptr || operations_.NodeEnding()) continue;
    if (std::erase(stopped_, LowerCase(name)) > 0) SavePromises();
    StartDeclared(*program, source);
  }
}

void CommandHandler::StopTogether(const std::vector<std::string>& names) {
  // Each is asked at once and given its own polite time, then ended by force: together, as
  // long as the slowest, where one after the other would add them up.
  struct Ending {
    std::unique_ptr<ProcessHandle> held;
    int64_t polite_until = 0;
    bool forced = false;
  };
  std::vector<Ending> ending;
  ProcessTable& table = operations_.table();
  const int64_t now = operations_.loop().NowMilliseconds();
  for (const std::string& name : names) {
    const DeclaredProgram* program = FindDeclared(declared_, name);
    if (program == nullptr) continue;
    const std::string key = KeyOf(program->name, program->path);
    const ProcessId pid = restarts_.RunOf(key);
    ForgetPlan(key);
    if (!HeldStopped(name)) stopped_.push_back(LowerCase(name));
    std::erase(waiting_, program);
    if (pid == 0) continue;
    Ending one;
    Quietly([&] { one.held = table.Hold(pid); });
    if (!one.held) continue;
    one.polite_until = now + int64_t{program->stop_seconds} * 1000;
    Quietly([&] { table.RequestClose(pid, program->stop_signal); });
    ending.push_back(std::move(one));
  }
  SavePromises();
  // Each forced one gets the polls a single stop gives it to go.
  const int64_t forced_grace = int64_t{ProcessOperations::kPollMs} * ProcessOperations::kPolls;
  for (;;) {
    bool all_gone = true;
    const int64_t at = operations_.loop().NowMilliseconds();
    for (Ending& one : ending) {
      bool gone = true;
      Quietly([&] { gone = table.HasEnded(*one.held); });
      if (gone) continue;
      if (!one.forced && at >= one.polite_until && !operations_.NodeEnding()) {
        one.forced = true;
        for (const auto& record : registry_.ProcessList()) {
          if (record->PID() == static_cast<int32_t>(one.held->pid())) record->Forced();
        }
        Quietly([&] { table.Terminate(*one.held); });
      }
      all_gone = all_gone && one.forced && at >= one.polite_until + forced_grace;
    }
    if (all_gone || operations_.NodeEnding()) break;
    CWaitNDispatch wait(operations_.loop());
    wait.Wait(ProcessOperations::kPollMs);
  }
  // What the end watches have not told yet is told now, as a single stop tells its own end.
  for (const Ending& one : ending) {
    for (const auto& record : registry_.ProcessList()) {
      if (record->PID() != static_cast<int32_t>(one.held->pid())) continue;
      bool gone = false;
      Quietly([&] { gone = table.HasEnded(*one.held); });
      if (!gone) break;
      record->Ended();
      registry_.SendNotification(*record);
      break;
    }
  }
}

void CommandHandler::StartDeclared(const DeclaredProgram& program, std::string_view source) {
  const ProcessRegistry::Rewatch rewatch{registry_};
  StartRequest request = RequestOf(program);
  request.source = std::string(source);
  restarts_.Follow(request, program.restart,
                   StartAndReport(request, program.restart, /*own_instance=*/true,
                                  /*in_order=*/false));
}

bool CommandHandler::AfterRuns(const DeclaredProgram& program) {
  const DeclaredProgram* first = FindDeclared(declared_, program.after);
  return first != nullptr && restarts_.RunOf(KeyOf(first->name, first->path)) != 0;
}

void CommandHandler::StartWaiting() {
  // Each start dispatches: the list is read afresh after each, and a call from within one
  // leaves the work to the outer call, which looks again.
  if (starting_waiting_) return;
  starting_waiting_ = true;
  for (bool started = true; started && !operations_.NodeEnding();) {
    started = false;
    for (const DeclaredProgram* program : waiting_) {
      const bool gone =
          restarts_.Has(KeyOf(program->name, program->path)) || HeldStopped(program->name);
      if (!gone && !AfterRuns(*program)) continue;
      std::erase(waiting_, program);
      if (!gone) StartDeclared(*program);
      started = true;
      break;
    }
  }
  starting_waiting_ = false;
}

void CommandHandler::SavePromises() {
  if (!store_) return;
  Promises promises;
  const auto spawning = [&](const std::string& key) {
    return std::any_of(spawning_.begin(), spawning_.end(), [&](const Spawning& run) {
      return run.promise.request.key == key && !run.stopped;
    });
  };
  for (const RestartPlans::View& plan : restarts_.Plans()) {
    if (spawning(plan.request.key)) continue;  // its new run is told below
    Promise promise{plan.request, plan.policy, plan.pid, 0, plan.gave_up, plan.done, plan.last_end};
    if (plan.pid != 0) {
      Quietly([&] { promise.started_at = operations_.table().StartedAt(plan.pid); });
    }
    promises.kept.push_back(std::move(promise));
  }
  for (const Spawning& run : spawning_) {
    if (!run.stopped) promises.kept.push_back(run.promise);
  }
  promises.stopped = stopped_;
  promises.booted = booted_;
  promises.boot_id = boot_id_;
  store_->Save(promises);
}

void CommandHandler::Echo(XapMessage& message) {
  if (!message.CompareTarget(xap_.XapSource()) && !message.CompareTarget(kUnknownText)) return;
  const std::string query(message.GetItem("Echo.Query", "Query"));
  if (query == kUnknownText) return;
  // An echo is a probe; a long one sent to "*" would have every node on the LAN broadcast it
  // back, a stranger's amplifier.
  if (query.size() > kMaxEchoBytes) {
    ++echoes_refused_;
    const int64_t now = operations_.loop().NowMilliseconds();
    if (!echoes_said_at_ || now - *echoes_said_at_ >= kEchoesSaidEveryMs) {
      echoes_said_at_ = now;
      log_.WriteErrorLog(kLogType, "Echo not answered: " + std::to_string(echoes_refused_) +
                                       " queries over " + std::to_string(kMaxEchoBytes) +
                                       " bytes, the last from " + std::string(message.msgSource()));
      echoes_refused_ = 0;
    }
    return;
  }
  queue_.SendXap(std::string(message.msgSource()), "WDT.Echo", "Echo.Response",
                 PackItems({{"Response", LowerCase(query)}}));
}

void CommandHandler::RoleQuery(XapMessage& message) {
  const std::string role = LowerCase(message.GetItem("Role.Query", "Role"));
  if (role != "application" && role != "any") return;
  // Its path as the wire carries it: a folder named in letters the code page lacks goes by its
  // short name, or, where it has none, no path is sent at all (never one full of "?").
  const std::string path = PathTheWireCarries(values_.ExePath);
  if (path.empty() && !path_unsent_said_) {
    path_unsent_said_ = true;
    log_.WriteErrorLog(kLogType, "Role answers name no path: this node's path " + values_.ExePath +
                                     " cannot go on the wire, as " +
                                     WhyNotCarried(values_.ExePath) +
                                     ", and the drive keeps no short name for it. Install the "
                                     "node into a folder whose name the code page holds.");
  }
  // Straight to the transport: a role query is answered at once.
  xap_.SendXap("", "Homeseer.Role", "Role.Notification",
               path.empty() ? PackItems({{"Role", "Application"}})
                            : PackItems({{"Role", "Application"}, {"Path", path}}));
}

void CommandHandler::RoleAnnouncement(XapMessage& message) {
  if (!EndsWithThisComputer(message.msgSource()) || !message.CompareClass("Homeseer.Role")) return;
  const ProcessRegistry::Rewatch rewatch{registry_};
  std::string path(message.GetItem("Role.Notification", "Path"));
  if (LowerCase(path) == "unknown") return;
  // Names kept in one letter case only where the system ignores it, as ever on Windows.
  if (operations_.paths().names_ignore_case()) path = LowerCase(path);
  // A program that announces itself asks to be supervised, as an autonotify does, and passes
  // the same rules. Unsigned ones are not refused aloud: every xAP program on this computer
  // sends one, and none of them signs.
  const std::string_view source = message.msgSource();
  if (!Authentic("announcement", path, source, /*say_unsigned=*/false)) return;
  if (!Allowed(rules_.AllowsSource(source), "announcement", path, source) ||
      !Allowed(std::none_of(path.begin(), path.end(), IsControlByte), "announcement", path,
               source)) {
    return;
  }
  // Reported at every pass from now on, a record the node already had (a program it started)
  // as much as a new one; one whose program is not found yet is looked for at each pass.
  const auto follow = [&](Status& record) {
    record.AutoNotify(true);
    if (record.PID() != 0) return;
    operations_.QueryProcess(record);
    record.Awaited(record.PID() == 0);
  };
  if (const std::optional<size_t> index = Match(kUnknownText, path)) {
    Status& known = *registry_.ProcessList()[*index];
    if (operations_.paths().names_ignore_case()) known.Path(path);
    follow(known);
    return;
  }
  auto record = registry_.NewStatus();
  record->Path(path);
  record->Title("");
  if (Status* added = registry_.Add(record, "announcement", source)) follow(*added);
}

}  // namespace varnix
