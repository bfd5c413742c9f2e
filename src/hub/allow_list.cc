// AllowList: CIDR networks read once, each datagram's sender checked against them.
#include "hub/allow_list.h"

#include <charconv>

namespace varnix {

std::optional<uint32_t> ParseAddress(const std::string& dotted) {
  uint32_t address = 0;
  const char* at = dotted.data();
  const char* const end = dotted.data() + dotted.size();
  for (int part = 0; part < 4; ++part) {
    unsigned value = 0;
    const auto [next, error] = std::from_chars(at, end, value);
    if (error != std::errc() || value > 255 || next == at) return std::nullopt;
    address = (address << 8) | value;
    at = next;
    if (part < 3) {
      if (at == end || *at != '.') return std::nullopt;
      ++at;
    }
  }
  if (at != end) return std::nullopt;
  return address;
}

std::optional<AllowList> AllowList::Parse(const std::vector<std::string>& networks) {
  AllowList list;
  for (const std::string& network : networks) {
    const auto slash = network.find('/');
    const std::optional<uint32_t> address = ParseAddress(network.substr(0, slash));
    int prefix = 32;
    if (slash != std::string::npos) {
      const char* first = network.data() + slash + 1;
      const char* last = network.data() + network.size();
      const auto [end, error] = std::from_chars(first, last, prefix);
      if (error != std::errc() || end != last || first == last || prefix < 0 || prefix > 32)
        return std::nullopt;
    }
    if (!address) return std::nullopt;
    list.Add(*address, prefix);
  }
  return list;
}

void AllowList::Add(uint32_t address, int prefix_length) {
  // A shift by 32 is undefined: /0 is the whole address space, spelt out.
  const uint32_t mask = prefix_length == 0 ? 0 : ~uint32_t{0} << (32 - prefix_length);
  networks_.push_back({address & mask, mask});
}

bool AllowList::Allows(uint32_t address) const {
  for (const Network& network : networks_) {
    if ((address & network.mask) == network.address) return true;
  }
  return false;
}

}  // namespace varnix
