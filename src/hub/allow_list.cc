// AllowList: CIDR networks read once, each datagram's sender checked against them.
#include "hub/allow_list.h"

#include <algorithm>

namespace varnix {

std::optional<AllowList> AllowList::Parse(const std::vector<std::string>& networks) {
  AllowList list;
  for (const std::string& text : networks) {
    const std::optional<Network> network = ParseNetwork(text);
    if (!network) return std::nullopt;
    list.Add(network->address, network->prefix_length);
  }
  return list;
}

void AllowList::Add(uint32_t address, int prefix_length) {
  networks_.push_back({address, prefix_length});
}

bool AllowList::Allows(uint32_t address) const {
  return std::any_of(networks_.begin(), networks_.end(),
                     [&](const Network& network) { return network.Holds(address); });
}

}  // namespace varnix
