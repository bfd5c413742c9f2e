// NodeSupervisor: the process operations and the command handler, owned together.
#include "supervision/node_supervisor.h"

#include "supervision/command_handler.h"
#include "supervision/process_operations.h"

namespace varnix {
namespace {

class NodeSupervisor : public Supervisor {
 public:
  NodeSupervisor(NodeContext& context, ComputerControl& computer)
      : operations_(context.services.processes, context.services.desktop, context.services.files,
                    context.events, context.services.loop, context.OSLabel,
                    context.values.separator),
        handler_(context.values, context.xap, context.queue, context.log, context.events,
                 operations_, computer) {}

  void Readmessage(const std::string& text) override { handler_.Readmessage(text); }
  void SupervisionPass() override { handler_.SupervisionPass(); }

 private:
  ProcessOperations operations_;
  CommandHandler handler_;
};

}  // namespace

std::unique_ptr<Supervisor> MakeNodeSupervisor(NodeContext& context, ComputerControl& computer) {
  return std::make_unique<NodeSupervisor>(context, computer);
}

}  // namespace varnix
