// varnix-hub: relays the xAP network's traffic to the xAP programs on this computer.
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "core/text.h"
#include "hub/hub.h"
#include "platform/error.h"
#include "platform/platform.h"

namespace {

constexpr char kUsage[] =
    "usage: varnix-hub [-v] [--interface ADDRESS] [--allow CIDR[,CIDR...]] [--state FILE]\n"
    "                  [--max-clients N]\n"
    "  Listens on UDP port 3639 and relays every xAP datagram to the programs on this\n"
    "  computer that announce a port in their heartbeats.\n"
    "  -v                   say each registration and each dropped datagram\n"
    "  --interface ADDRESS  this computer's address on the LAN, if the system does not list it\n"
    "  --allow CIDR,...     the senders to relay from (192.168.1.0/24, say); by default the\n"
    "                       networks this computer is on. This computer itself is always heard\n"
    "  --state FILE         where the client table outlives a restart of the hub\n"
    "  --max-clients N      the most programs it relays to (256 unless given)\n";

// A --max-clients value, 1 to 65535; 0 when it is not one.
size_t ClientCount(std::string_view text) {
  size_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size() && value <= 65535 ? value : 0;
}

void Say(const std::string& text) { std::fprintf(stderr, "varnix-hub: %s\n", text.c_str()); }

}  // namespace

int main(int argc, char** argv) {
  varnix::Hub::Options options;
  std::vector<std::string> extra_addresses;
  std::vector<std::string> allowed;
  bool allow_given = false;
  bool state_given = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-v") {
      options.verbose = true;
    } else if (arg == "--interface" && i + 1 < argc) {
      extra_addresses.push_back(argv[++i]);
    } else if (arg == "--allow" && i + 1 < argc) {
      for (const std::string& network : varnix::Split(argv[++i], ',')) allowed.push_back(network);
      allow_given = true;
    } else if (arg == "--max-clients" && i + 1 < argc && ClientCount(argv[i + 1]) != 0) {
      options.max_clients = ClientCount(argv[++i]);
    } else if (arg == "--state" && i + 1 < argc) {
      options.state_file = argv[++i];
      state_given = true;
    } else {
      std::fputs(kUsage, arg == "--help" || arg == "-h" ? stdout : stderr);
      return arg == "--help" || arg == "-h" ? 0 : 2;
    }
  }

  varnix::Platform platform = varnix::MakePlatform();
  varnix::Machine& machine = *platform.machine;
  std::vector<std::string> addresses;
  try {
    addresses = machine.HostAddresses();
  } catch (const varnix::Error& e) {
    Say("cannot list this computer's addresses (" + e.description() + "): loopback only");
  }
  addresses.insert(addresses.end(), extra_addresses.begin(), extra_addresses.end());
  if (!allow_given) allowed = machine.HostNetworks();
  const std::optional<varnix::AllowList> allow = varnix::AllowList::Parse(allowed);
  if (!allow) {
    Say("--allow takes networks as ADDRESS/BITS, separated by commas");
    return 2;
  }
  options.allow = *allow;
  if (!state_given) {
    const std::string folder = machine.UserDataFolder();
    if (!folder.empty()) {
      std::error_code ignored;
      std::filesystem::create_directories(std::filesystem::u8path(folder), ignored);
      options.state_file = folder + machine.Paths().separator() + "hub-clients.txt";
    }
  }

  varnix::EventLoop& loop = *platform.loop;
  varnix::Hub hub(loop, *platform.files, addresses, options, Say, [] {
    return static_cast<int64_t>(std::chrono::duration_cast<std::chrono::seconds>(
                                    std::chrono::system_clock::now().time_since_epoch())
                                    .count());
  });
  try {
    hub.Start();
  } catch (const varnix::Error& e) {
    Say(e.description());
    return 1;
  }
  if (options.verbose) Say("listening on UDP port 3639");
  loop.OnEndRequest([&] { loop.Quit(); });
  loop.Run();
  hub.SaveState();
  return 0;
}
