// The one bundle of OS services that main hands to the logic.
#pragma once

#include <memory>

#include "platform/desktop.h"
#include "platform/event_loop.h"
#include "platform/file_system.h"
#include "platform/machine.h"
#include "platform/process_table.h"
#include "platform/udp_socket.h"

namespace varnix {

struct Platform {
  std::unique_ptr<EventLoop> loop;
  std::unique_ptr<Machine> machine;
  std::unique_ptr<SocketsLayer> sockets;
  std::unique_ptr<FileSystem> files;
  std::unique_ptr<ProcessTable> processes;
  std::unique_ptr<Desktop> desktop;
};

// The services of the system this program was built for.
Platform MakePlatform();
// The same without a desktop (it has no windows): for the programs beside the node, which
// run as services and never link the system's window libraries.
Platform MakeWindowlessPlatform();

}  // namespace varnix
