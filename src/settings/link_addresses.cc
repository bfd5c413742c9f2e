// ConfiguredLinkAddresses: the node's settings, read quietly, and its choice of address.
#include "settings/link_addresses.h"

#include <vector>

#include "platform/error.h"
#include "settings/settings_front.h"
#include "xap/xap_transport.h"

namespace varnix {

LinkAddresses ConfiguredLinkAddresses(FileSystem& files, Machine& machine) {
  const char separator = machine.Paths().separator();
  QuietReports quiet;
  const SettingsFront settings(
      files, quiet, machine.ProgramFolder() + separator + "Config" + separator, machine.Paths());
  std::vector<std::string> addresses;
  try {
    addresses = machine.HostAddresses();
  } catch (const Error&) {
    // A computer without an address can reach loopback alone.
  }
  LinkAddresses chosen;
  chosen.local = XapTransport::ChooseLocalAddress(
      settings.GetINISetting("Interface", "InterfaceAddress", "Default", "qelXap.ini"), addresses);
  chosen.broadcast = XapTransport::SendAddressFor(
      settings.GetINISetting("Interface", "BroadcastAddress", "Default", "qelXap.ini"),
      chosen.local);
  return chosen;
}

}  // namespace varnix
