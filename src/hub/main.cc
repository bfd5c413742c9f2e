// varnix-hub: relays the xAP network's traffic to the xAP programs on this computer.
#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "core/text.h"
#include "core/unix_time.h"
#include "hub/hub.h"
#include "platform/command_line.h"
#include "platform/error.h"
#include "platform/platform.h"
#include "platform/service.h"
#include "platform/terminal.h"
#include "platform/text_encoding.h"

namespace {

constexpr char kUsage[] =
    "usage: varnix-hub [-v] [--interface ADDRESS] [--allow CIDR[,CIDR...]] [--state FILE]\n"
    "                  [--max-clients N]\n"
    "       varnix-hub --install-service [OPTIONS...] | --remove-service   (Windows)\n"
    "  Listens on UDP port 3639 and relays every xAP datagram to the programs on this\n"
    "  computer that announce a port in their heartbeats.\n"
    "  -v                   say each registration and each dropped datagram\n"
    "  --interface ADDRESS  this computer's address on the LAN, if the system does not list it\n"
    "  --allow CIDR,...     the senders to relay from (192.168.1.0/24, say); by default the\n"
    "                       networks this computer is on. This computer itself is always heard\n"
    "  --state FILE         where the client table outlives a restart of the hub\n"
    "  --max-clients N      the most programs it relays to (256 unless given)\n"
    "  --install-service    registers the hub, with the options given, as a Windows service\n"
    "                       that starts with the computer, and starts it\n"
    "  --remove-service     stops the service and takes it out of the list\n";

// A --max-clients value, 1 to 65535; 0 when it is not one.
size_t ClientCount(std::string_view text) {
  size_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size() && value <= 65535 ? value : 0;
}

// Written as characters to a console, whatever its code page: paths hold any letter.
void Say(const std::string& text) { varnix::WriteText(stderr, "varnix-hub: " + text + "\n"); }

// What the command line asked for, beyond the hub's own options.
enum class Mode { kForeground, kService, kInstallService, kRemoveService };

constexpr char kServiceName[] = "varnix-hub";

// What the command line set, beyond the mode.
struct HubSettings {
  varnix::Hub::Options options;
  std::vector<std::string> extra_addresses;
  std::vector<std::string> allowed;
  bool allow_given = false;
};

// How a run goes: by hand, as a service, or only as far as serving, to learn whether it can.
enum class Run { kByHand, kAsService, kCheckOnly };

// Runs the hub until it is asked to end; `serving` is called once it listens. A check ends
// there, having said why it could not get so far, if it could not.
int RunHub(HubSettings settings, Run run, const std::function<void()>& serving) {
  varnix::Platform platform = varnix::MakeWindowlessPlatform();
  varnix::Machine& machine = *platform.machine;
  varnix::Hub::Options& options = settings.options;
  std::vector<std::string> addresses;
  try {
    addresses = machine.HostAddresses();
  } catch (const varnix::Error& e) {
    Say("cannot list this computer's addresses (" + e.description() + "): loopback only");
  }
  addresses.insert(addresses.end(), settings.extra_addresses.begin(),
                   settings.extra_addresses.end());
  if (!settings.allow_given) settings.allowed = machine.HostNetworks();
  // A service has no console: why it stops is written where the system keeps such words.
  const auto fail = [&](const std::string& why) {
    Say(why);
    if (run == Run::kAsService) varnix::LogServiceFailure(kServiceName, why);
  };
  const std::optional<varnix::AllowList> allow = varnix::AllowList::Parse(settings.allowed);
  if (!allow) {
    fail("--allow takes networks as ADDRESS/BITS, separated by commas");
    return 2;
  }
  options.allow = *allow;
  if (options.state_file.empty()) {
    // A service belongs to the computer, not to whichever user installed it.
    const std::string folder =
        run == Run::kByHand ? machine.UserDataFolder() : varnix::MachineDataFolder();
    if (!folder.empty()) {
      std::error_code ignored;
      std::filesystem::create_directories(varnix::PathFromText(folder), ignored);
      options.state_file = folder + machine.Paths().separator() + "hub-clients.txt";
    }
  }

  varnix::EventLoop& loop = *platform.loop;
  varnix::Hub hub(loop, *platform.files, addresses, options, Say,
                  [] { return varnix::UnixSecondsNow(); });
  try {
    hub.Start();
  } catch (const varnix::Error& e) {
    fail(e.description());
    return 1;
  }
  if (run == Run::kCheckOnly) return 0;
  serving();
  if (options.verbose) {
    Say("listening on UDP port 3639");
  } else if (run == Run::kByHand && varnix::IsTerminal(stderr)) {
    // Started by hand, it would otherwise sit in an empty console window.
    Say("relaying xAP on UDP port 3639 to this computer's programs" +
        (options.state_file.empty() ? std::string()
                                    : ", its list of them kept in " + options.state_file) +
        "; Ctrl-C ends it" +
        (varnix::ServicesAreRegisteredByPrograms()
             ? ". The usual way is varnix-hub --install-service: it then runs with the computer"
             : ""));
  }
  loop.OnEndRequest([&] { loop.Quit(); });
  loop.Run();
  hub.SaveState();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> words = varnix::ProgramArguments(argc, argv);
  HubSettings settings;
  varnix::Hub::Options& options = settings.options;
  Mode mode = Mode::kForeground;
  for (size_t i = 0; i < words.size(); ++i) {
    const std::string& arg = words[i];
    const bool has_value = i + 1 < words.size();
    if (arg == "--install-service") {
      mode = Mode::kInstallService;
      continue;
    }
    if (arg == "--remove-service") {
      mode = Mode::kRemoveService;
      continue;
    }
    if (arg == "--service") {
      mode = Mode::kService;
      continue;
    }
    if (arg == "-v") {
      options.verbose = true;
    } else if (arg == "--interface" && has_value) {
      settings.extra_addresses.push_back(words[++i]);
    } else if (arg == "--allow" && has_value) {
      for (const std::string& network : varnix::Split(words[++i], ',')) {
        settings.allowed.push_back(network);
      }
      settings.allow_given = true;
    } else if (arg == "--max-clients" && has_value && ClientCount(words[i + 1]) != 0) {
      options.max_clients = ClientCount(words[++i]);
    } else if (arg == "--state" && has_value) {
      options.state_file = words[++i];
    } else {
      const bool asked = arg == "--help" || arg == "-h" || arg == "-?" || arg == "/?";
      varnix::WriteText(asked ? stdout : stderr, kUsage);
      return asked ? 0 : 2;
    }
  }

  switch (mode) {
    case Mode::kInstallService: {
      // The service runs with the options given at its installation.
      std::vector<std::string> service_words{"--service"};
      for (const std::string& word : words) {
        if (word != "--install-service") service_words.push_back(word);
      }
      try {
        varnix::InstallService({kServiceName, "Varnix xAP hub",
                                "Relays the xAP network's traffic to the xAP programs on this "
                                "computer.",
                                varnix::JoinCommandLine(service_words)});
      } catch (const varnix::Error& e) {
        Say(e.description());
        // Why, as a start by hand would say it: the same start, here, up to serving. Not for
        // a service there already, which may hold the port itself.
        if (e.number() != varnix::errors::kDuplicateKey &&
            RunHub(settings, Run::kCheckOnly, [] {}) == 0) {
          Say("the Windows Event Log (Application, source varnix-hub) may say why");
        }
        return 1;
      }
      Say("installed and started the service varnix-hub; it starts with the computer");
      return 0;
    }
    case Mode::kRemoveService:
      try {
        varnix::RemoveService(kServiceName);
      } catch (const varnix::Error& e) {
        Say(e.description());
        return 1;
      }
      Say("stopped and removed the service varnix-hub");
      return 0;
    case Mode::kService:
      try {
        const auto status =
            varnix::RunAsService(kServiceName, [&](const std::function<void()>& serving) {
              return RunHub(settings, Run::kAsService, serving);
            });
        if (status) return *status;
      } catch (const varnix::Error& e) {
        Say(e.description());
        return 1;
      }
      // Started by hand with the service's own command line: a foreground run is as good.
      return RunHub(settings, Run::kAsService, [] {});
    case Mode::kForeground:
      break;
  }
  return RunHub(settings, Run::kByHand, [] {});
}
