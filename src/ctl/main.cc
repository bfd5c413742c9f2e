// varnixctl: asks Varnix nodes to start, stop and report programs, from the command line.
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "core/text.h"
#include "core/wake_on_lan.h"
#include "core/wire_text.h"
#include "ctl/controller.h"
#include "ctl/ctl_command.h"
#include "ctl/known_computers.h"
#include "platform/crypto.h"
#include "platform/error.h"
#include "platform/platform.h"
#include "platform/private_file.h"
#include "platform/terminal.h"
#include "platform/text_encoding.h"
#include "settings/link_addresses.h"
#include "xap/message_signature.h"
#include "xap/xap_link.h"

namespace {

void Complain(const std::string& text) { varnix::WriteText(stderr, "varnixctl: " + text + "\n"); }

// A word that the wire's code page cannot carry would arrive as "?", naming another program.
// The program's path, where it names a file here, goes by the short form the system keeps.
std::string Unsendable(const std::vector<std::string>& words, varnix::CtlCommand& command) {
  const std::string typed = command.path;
  if (!typed.empty() && !varnix::WhyNotCarried(typed).empty()) {
    // A bare word may be a declared program's name, which the node knows in the form the
    // wire carries; a path goes by the short names the system keeps.
    const bool bare = typed.find_first_of("/\\:") == std::string::npos;
    const std::string carried =
        bare ? varnix::CarriedForm(typed) : varnix::PathTheWireCarries(typed);
    if (!carried.empty()) command.path = carried;
  }
  for (const std::string& word : words) {
    if (word == typed && command.path != typed) continue;
    const std::string why = varnix::WhyNotCarried(word);
    if (why.empty()) continue;
    return "cannot send \"" + word + "\": xAP messages leave this computer in its code page, and " +
           why +
           (word == typed ? "; name the program by a path that code page holds (the short name "
                            "that dir /x shows, or a folder whose name it holds)"
                          : "");
  }
  return "";
}

int MakeKey(varnix::Platform& platform, const std::string& path, bool replace) {
  const char separator = platform.machine->Paths().separator();
  const std::string key_file = std::string("Config") + separator + "access.key";
  const std::string settings_file = std::string("Config") + separator + "settings.ini";
  if (platform.files->FileExists(path) && !replace) {
    Complain(path +
             " holds a key already; keygen --yes replaces it, and every computer then "
             "needs the new one");
    return 1;  // the command line was right: the key there is why nothing was done
  }
  try {
    const std::string folder = path.substr(0, path.find_last_of("/\\"));
    if (!platform.files->FolderExists(folder)) platform.files->CreateFolder(folder);
    varnix::WritePrivateFile(path,
                             varnix::HexOf(varnix::RandomBytes(varnix::kAccessKeyBytes)) + "\n");
  } catch (const varnix::Error& e) {
    // Installed under Program Files or /opt, the folder is the administrator's to write.
    Complain(e.description() + "; a key beside this varnixctl needs the rights to write " + path +
             ": run varnixctl keygen as administrator (root), or as the folder's owner");
    return 1;
  }
  // A copy takes the rights of the folder it lands in: how to make it private again is said.
  const std::string private_again =
      separator == '\\'
          ? "  icacls " + key_file +
                " /inheritance:r /grant:r \"%USERNAME%:F\" *S-1-5-18:F *S-1-5-32-544:F\n"
          : "  chmod 600 " + key_file + "\n";
  varnix::WriteText(stdout, "wrote a new key to " + path + "\ncopy it to " + key_file +
                                " beside every node and controller that shares it, and there "
                                "make it readable by its owner alone (the node refuses it "
                                "otherwise):\n" +
                                private_again + "then set RequireSignature=yes in the nodes' " +
                                settings_file + ", section [Access], and restart them\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> words = varnix::ProgramArguments(argc, argv);
  const varnix::ParsedCtlCommand parsed = varnix::ParseCtlCommand(words);
  if (!parsed.command && parsed.error.empty()) {
    varnix::WriteText(stdout, varnix::kCtlUsage);
    return 0;
  }
  if (!parsed.command) {
    Complain(parsed.error + " (varnixctl --help lists the commands)");
    return 2;
  }
  varnix::CtlCommand command = *parsed.command;
  if (const std::string refused = Unsendable(words, command); !refused.empty()) {
    Complain(refused);
    return 2;
  }

  varnix::Platform platform = varnix::MakeWindowlessPlatform();
  const char separator = platform.machine->Paths().separator();
  const std::string key_path =
      platform.machine->ProgramFolder() + separator + "Config" + separator + "access.key";
  if (command.verb == varnix::CtlCommand::Verb::kKeygen)
    return MakeKey(platform, key_path, command.yes);
  std::string computer;
  try {
    computer = platform.machine->ComputerName();
  } catch (const varnix::Error& e) {
    Complain("this computer's name is unknown: " + e.description());
    return 1;
  }
  varnix::LinkAddresses addresses =
      varnix::ConfiguredLinkAddresses(*platform.files, *platform.machine);
  if (!command.broadcast.empty()) addresses.broadcast = command.broadcast;

  varnix::EventLoop& loop = *platform.loop;
  loop.OnEndRequest([&] { loop.Quit(); });
  varnix::Controller* controller = nullptr;
  varnix::XapLink link(loop, "qel.varnixctl." + computer, addresses.local, addresses.broadcast,
                       [&](const varnix::Heard& heard) {
                         if (controller != nullptr) controller->Hear(heard);
                       });
  // Signed when there is a key beside this program: a node that requires signatures acts on
  // nothing else.
  // With the same key it believes a node that signs only when the signature holds.
  if (platform.files->FileExists(key_path)) {
    const varnix::LoadedKey key = varnix::LoadAccessKey(*platform.files, key_path);
    if (key.key) {
      link.SignWith(*key.key);
      link.VerifyWith(*key.key, command.require_signed);
    } else {
      Complain(key.problem + "; requests go unsigned");
    }
  }
  if (command.require_signed && !link.Verifies()) {
    Complain("--require-signed needs a key in " + key_path + " (varnixctl keygen)");
    return 2;
  }
  try {
    link.Join();
  } catch (const varnix::Error& e) {
    Complain("cannot join the xAP network: " + e.description());
    return 1;
  }
  const std::string state_folder = platform.machine->UserDataFolder();
  varnix::KnownComputers known(
      *platform.files, platform.machine->Paths(),
      state_folder.empty() ? "" : state_folder + separator + "known-computers.txt");
  varnix::WakeOnLan waker(loop, *platform.machine);
  varnix::Controller run(loop, link, command, computer,
                         {stdout, stderr, varnix::PrepareTerminalOutput()}, known,
                         [&](const std::string& mac, const std::string& address) {
                           // A computer never heard is taken to be on this computer's LAN.
                           return waker.Wake(mac, address.empty() ? addresses.local : address);
                         });
  controller = &run;
  try {
    return run.Run();
  } catch (const varnix::Error& e) {
    Complain(e.description());
    return 1;
  }
}
