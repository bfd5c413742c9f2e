// Where a controller beside a node sends from and to: the node's own network settings
// (Config/qelXap.ini beside the program), read and chosen as the node reads and chooses them.
#pragma once

#include <string>

#include "platform/file_system.h"
#include "platform/machine.h"

namespace varnix {

struct LinkAddresses {
  std::string local;
  std::string broadcast;
};
LinkAddresses ConfiguredLinkAddresses(FileSystem& files, Machine& machine);

}  // namespace varnix
