// The program's entry point: the system's services, then the node until the system ends it.
#include "node/node_supervisor.h"
#include "node/varnix_form.h"
#include "platform/platform.h"

int main() {
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
