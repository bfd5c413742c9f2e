// varnixctl: asks Varnix nodes to start, stop and report programs, from the command line.
#include <cstdio>
#include <string>
#include <vector>

#include "core/failure.h"
#include "ctl/controller.h"
#include "ctl/ctl_command.h"
#include "ctl/xap_link.h"
#include "platform/error.h"
#include "platform/platform.h"
#include "platform/terminal.h"
#include "platform/text_encoding.h"
#include "settings/settings_front.h"
#include "xap/xap_transport.h"

namespace {

// Where the node beside this program sends from and to: the same settings, read the same way.
struct Addresses {
  std::string local;
  std::string broadcast;
};
Addresses ConfiguredAddresses(varnix::Platform& platform) {
  varnix::Machine& machine = *platform.machine;
  const char separator = machine.Paths().separator();
  varnix::QuietReports quiet;
  const varnix::SettingsFront settings(*platform.files, quiet,
                                       machine.ProgramFolder() + separator + "Config" + separator,
                                       machine.Paths());
  std::vector<std::string> addresses;
  try {
    addresses = machine.HostAddresses();
  } catch (const varnix::Error&) {
    // A computer without an address can reach loopback alone.
  }
  Addresses chosen;
  chosen.local = varnix::XapTransport::ChooseLocalAddress(
      settings.GetINISetting("Interface", "InterfaceAddress", "Default", "qelXap.ini"), addresses);
  chosen.broadcast = varnix::XapTransport::SendAddressFor(
      settings.GetINISetting("Interface", "BroadcastAddress", "Default", "qelXap.ini"),
      chosen.local);
  return chosen;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> words;
  for (int i = 1; i < argc; ++i) words.push_back(varnix::TextFromCodePage(argv[i]));
  const varnix::ParsedCtlCommand parsed = varnix::ParseCtlCommand(words);
  if (!parsed.command && parsed.error.empty()) {
    std::fputs(varnix::kCtlUsage, stdout);
    return 0;
  }
  if (!parsed.command) {
    std::fprintf(stderr, "varnixctl: %s (varnixctl --help lists the commands)\n",
                 parsed.error.c_str());
    return 2;
  }
  const varnix::CtlCommand& command = *parsed.command;

  varnix::Platform platform = varnix::MakePlatform();
  std::string computer;
  try {
    computer = platform.machine->ComputerName();
  } catch (const varnix::Error& e) {
    std::fprintf(stderr, "varnixctl: this computer's name is unknown: %s\n",
                 e.description().c_str());
    return 1;
  }
  Addresses addresses = ConfiguredAddresses(platform);
  if (!command.broadcast.empty()) addresses.broadcast = command.broadcast;

  varnix::EventLoop& loop = *platform.loop;
  loop.OnEndRequest([&] { loop.Quit(); });
  varnix::Controller* controller = nullptr;
  varnix::XapLink link(loop, "qel.varnixctl." + computer, addresses.local, addresses.broadcast,
                       [&](const varnix::Heard& heard) {
                         if (controller != nullptr) controller->Hear(heard);
                       });
  try {
    link.Join();
  } catch (const varnix::Error& e) {
    std::fprintf(stderr, "varnixctl: cannot join the xAP network: %s\n", e.description().c_str());
    return 1;
  }
  varnix::Controller run(loop, link, command, computer,
                         {stdout, stderr, varnix::PrepareTerminalOutput()});
  controller = &run;
  try {
    return run.Run();
  } catch (const varnix::Error& e) {
    std::fprintf(stderr, "varnixctl: %s\n", e.description().c_str());
    return 1;
  }
}
