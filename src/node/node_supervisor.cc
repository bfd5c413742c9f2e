// NodeSupervisor: the process operations, computer control and the command handler, owned together.
#include "node/node_supervisor.h"

#include <algorithm>
#include <string>

#include "computer/close_windows.h"
#include "computer/shutdown_module.h"
#include "core/steps.h"
#include "settings/access_rules.h"
#include "supervision/command_handler.h"
#include "supervision/process_operations.h"

namespace varnix {
namespace {

// How long each closing window gets, from settings.ini: [Computer] CloseWaitSeconds.
int CloseWaitSeconds(const SettingsFront& hs) {
  const std::string text = hs.GetINISetting("Computer", "CloseWaitSeconds",
                                            std::to_string(CloseWindows::kCloseWaitSeconds));
  int seconds = CloseWindows::kCloseWaitSeconds;
  Quietly([&] { seconds = std::clamp(std::stoi(text), 0, 600); });
  return seconds;
}

// How many programs the registry may hold, from settings.ini: [Supervision] MaxRecords.
size_t MaxRecords(const SettingsFront& hs) {
  const std::string text = hs.GetINISetting("Supervision", "MaxRecords",
                                            std::to_string(ProcessRegistry::kDefaultMaxRecords));
  size_t records = ProcessRegistry::kDefaultMaxRecords;
  Quietly([&] { records = static_cast<size_t>(std::clamp(std::stol(text), 1L, 1000000L)); });
  return records;
}

class NodeSupervisor : public Supervisor {
 public:
  explicit NodeSupervisor(NodeContext& context)
      : operations_(context.services.processes, context.services.desktop, context.services.files,
                    context.events, context.services.loop, context.OSLabel, context.values.paths),
        windows_({context.services.desktop, context.services.processes, context.services.machine,
                  context.services.files, context.services.loop},
                 context.services.machine.CloseTracePath(context.values.DataFolderInUse()),
                 IsNtPlatform(context.services.machine), CloseWaitSeconds(context.hs)),
        shutdown_(context.services.machine, context.services.desktop, context.services.loop,
                  windows_, context.events),
        handler_(
            context.values, context.xap, context.queue, context.log, context.events, operations_,
            shutdown_,
            AccessRules::Load(context.services.files, context.events, context.log,
                              context.values.ConfigFolder() + "settings.ini", context.values.paths),
            MaxRecords(context.hs)) {}

  void Readmessage(const std::string& text) override { handler_.Readmessage(text); }
  void SupervisionPass() override { handler_.SupervisionPass(); }

 private:
  ProcessOperations operations_;
  CloseWindows windows_;
  ShutdownModule shutdown_;
  CommandHandler handler_;
};

}  // namespace

std::unique_ptr<Supervisor> MakeNodeSupervisor(NodeContext& context) {
  return std::make_unique<NodeSupervisor>(context);
}

}  // namespace varnix
