// Network addresses: read from text with nothing left over.
#include "core/network_address.h"

#include <charconv>

namespace varnix {

uint32_t Network::Mask() const {
  // A shift by 32 is undefined: /0 is the whole address space, spelt out.
  return prefix_length <= 0 ? 0 : ~uint32_t{0} << (32 - prefix_length);
}

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

std::optional<Network> ParseNetwork(const std::string& text) {
  const auto slash = text.find('/');
  const std::optional<uint32_t> address = ParseAddress(text.substr(0, slash));
  if (!address) return std::nullopt;
  Network network{*address, 32};
  if (slash != std::string::npos) {
    const char* first = text.data() + slash + 1;
    const char* last = text.data() + text.size();
    const auto [end, error] = std::from_chars(first, last, network.prefix_length);
    if (error != std::errc() || end != last || first == last || network.prefix_length < 0 ||
        network.prefix_length > 32) {
      return std::nullopt;
    }
  }
  return network;
}

}  // namespace varnix
