// The senders a hub relays from: networks written as CIDR ("192.168.1.0/24").
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace varnix {

class AllowList {
 public:
  // "a.b.c.d/n" or a lone address (/32), each; nothing when one cannot be read.
  static std::optional<AllowList> Parse(const std::vector<std::string>& networks);

  void Add(uint32_t address, int prefix_length);
  bool Allows(uint32_t address) const;

 private:
  struct Network {
    uint32_t address;
    uint32_t mask;
  };
  std::vector<Network> networks_;
};

// The dotted address as a number, or nothing when it is not one.
std::optional<uint32_t> ParseAddress(const std::string& dotted);

}  // namespace varnix
