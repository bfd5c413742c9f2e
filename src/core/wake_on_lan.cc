// Wake-on-LAN: the packet built from the MAC, sent to one directed broadcast address.
#include "core/wake_on_lan.h"

#include "core/network_address.h"
#include "platform/error.h"
#include "platform/udp_socket.h"

namespace varnix {
namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

constexpr size_t kMacBytes = 6;
constexpr size_t kMacCharacters = 3 * kMacBytes - 1;

}  // namespace

std::string NormalMac(std::string_view text) {
  if (text.size() != kMacCharacters) return "";
  constexpr char kDigits[] = "0123456789abcdef";
  std::string normal;
  unsigned sum = 0;
  for (size_t i = 0; i < kMacBytes; ++i) {
    const int high = HexDigit(text[3 * i]);
    const int low = HexDigit(text[3 * i + 1]);
    if (high < 0 || low < 0) return "";
    // One separator throughout, ":" or "-".
    if (i + 1 < kMacBytes && (text[3 * i + 2] != text[2] || (text[2] != ':' && text[2] != '-')))
      return "";
    if (i == 0 && (low & 1) != 0) return "";  // a group address is no one card's
    sum += static_cast<unsigned>(high + low);
    normal += kDigits[high];
    normal += kDigits[low];
    if (i + 1 < kMacBytes) normal += ':';
  }
  return sum == 0 ? "" : normal;
}

std::string MagicPacket(const std::string& mac) {
  std::string bytes;
  for (size_t i = 0; i < kMacBytes; ++i) {
    bytes += static_cast<char>(HexDigit(mac[3 * i]) << 4 | HexDigit(mac[3 * i + 1]));
  }
  std::string packet(kMacBytes, '\xFF');
  for (int i = 0; i < 16; ++i) packet += bytes;
  return packet;
}

std::string DirectedBroadcast(const std::string& address,
                              const std::vector<std::string>& networks) {
  const std::optional<uint32_t> host = ParseAddress(address);
  if (!host) return "";
  for (const std::string& text : networks) {
    const std::optional<Network> network = ParseNetwork(text);
    if (!network || !network->Holds(*host)) continue;
    // Nothing that sleeps is woken through loopback, and /31 and /32 have no broadcast.
    if (network->prefix_length > 30 || (network->address >> 24) == 127) return "";
    return Endpoint{network->address | ~network->Mask()}.AddressText();
  }
  return "";
}

std::string WakeOnLan::Wake(const std::string& mac, const std::string& address) {
  const std::string broadcast = DirectedBroadcast(address, machine_.HostNetworks());
  if (broadcast.empty()) {
    throw Error(0, address.empty() ? "its address is not known"
                                   : address + " is on no network of this computer");
  }
  const std::unique_ptr<UdpSocket> socket = loop_.CreateUdpSocket([](const std::string&) {});
  socket->SendTo(broadcast, kPort, MagicPacket(mac));
  return broadcast;
}

}  // namespace varnix
