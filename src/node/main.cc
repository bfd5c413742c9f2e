// The program's entry point: the system's services, then the node until the system ends it.
#include <string>
#include <vector>

#include "node/node_supervisor.h"
#include "node/varnix_form.h"
#include "platform/path_rules.h"
#include "platform/platform.h"
#include "platform/terminal.h"
#include "supervision/output_relay.h"

namespace {

// In the system's own spelling of paths.
std::string Usage() {
  const std::string s(1, varnix::ThisSystemPaths().separator());
  return "usage: varnix\n"
         "  The Varnix node: starts, stops and reports this computer's programs for the xAP\n"
         "  network, and shuts the computer down or reboots it when asked. It takes no options:\n"
         "  it reads Config" +
         s + "settings.ini beside it, writes its log to Data" + s +
         ", and runs\n"
         "  without a window until the session ends or it is asked to end. It needs an xAP hub\n"
         "  on this computer (varnix-hub); varnixctl controls it. Beside each program whose\n"
         "  output it keeps it starts varnix-relay, which writes that output to Data" +
         s +
         "Logs and\n"
         "  outlives a restart of the node.\n";
}

}  // namespace

int main(int argc, char** argv) {
  // Any word is a wish to know how it is used: without one it would start unseen.
  if (const std::vector<std::string> words = varnix::ProgramArguments(argc, argv); !words.empty()) {
    // Started by the node itself to keep a program's output.
    if (const auto order = varnix::ReadRelayArguments(words)) return varnix::RelayOutput(*order);
    const std::string& word = words[0];
    const bool asked = word == "--help" || word == "-h" || word == "-?" || word == "/?";
    if (varnix::UseCallersConsole()) varnix::WriteText(asked ? stdout : stderr, Usage());
    return asked ? 0 : 2;
  }
  varnix::Platform platform = varnix::MakePlatform();
  varnix::EventLoop& loop = *platform.loop;
  varnix::VarnixForm form(
      {loop, *platform.machine, *platform.files, *platform.sockets, *platform.processes,
       *platform.desktop},
      [](varnix::NodeContext& context) { return varnix::MakeNodeSupervisor(context); });
  // Before start-up, so that an end requested while it runs is not lost. The request may
  // arrive inside a wait of a stop or of the window closing: it releases the waits, and the
  // unload runs only once the loop has returned, when nothing of the node is on the stack.
  loop.OnEndRequest([&] { loop.Quit(); });
  if (form.Form_Load() == varnix::VarnixForm::LoadResult::kInitFailed) return 1;
  loop.Run();
  form.Form_unload();
  return 0;
}
