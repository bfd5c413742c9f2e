// Assembles the supervision side of the node once start-up has brought xAP up.
#pragma once

#include <memory>

#include "node/varnix_form.h"

namespace varnix {

std::unique_ptr<Supervisor> MakeNodeSupervisor(NodeContext& context);

}  // namespace varnix
