// Feeds arbitrary datagrams to the hub's heartbeat reader and its client table.
#include <algorithm>
#include <string>

#include "hub/client_table.h"
#include "hub/heartbeat.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  if (const auto beat = varnix::ReadHeartbeat(text)) {
    varnix::ClientTable table;
    table.Heard(*beat, 1000);
    // What the table saves it must read back, whatever the source name holds.
    const varnix::ClientTable again = varnix::ClientTable::Load(table.Save(1000, 1000), 1000, 1000);
    const bool same_ports = std::equal(
        again.clients().begin(), again.clients().end(), table.clients().begin(),
        table.clients().end(), [](const auto& a, const auto& b) { return a.first == b.first; });
    if (beat->port != 0 && !beat->stopped && beat->source.find('\n') == std::string::npos &&
        !same_ports) {
      __builtin_trap();
    }
  }
  // A state file is outside input too.
  varnix::ClientTable::Load(text, 1000, 1000);
  return 0;
}
