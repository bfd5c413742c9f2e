// The node's spine: the start-up sequence, the message drain, the ten-second timer, the unload.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "node/init_xap.h"
#include "node/reports.h"
#include "platform/desktop.h"
#include "platform/event_loop.h"
#include "platform/file_system.h"
#include "platform/machine.h"
#include "platform/process_table.h"
#include "platform/udp_socket.h"
#include "xap/outgoing_queue.h"
#include "xap/xap_transport.h"

namespace varnix {

// The OS services the node runs on.
struct NodeServices {
  EventLoop& loop;
  Machine& machine;
  FileSystem& files;
  SocketsLayer& sockets;
  ProcessTable& processes;
  Desktop& desktop;
};

// What the node hands every received text to, and runs every ten seconds.
class Supervisor {
 public:
  virtual ~Supervisor() = default;
  virtual void Readmessage(const std::string& text) = 0;
  virtual void SupervisionPass() = 0;
};

// What a supervisor may use; everything in it lives as long as the form.
struct NodeContext {
  NodeServices services;
  const AppValues& values;
  const std::string& OSLabel;
  XapTransport& xap;
  OutgoingQueue& queue;
  ErrorLog& log;
  EventReport& events;
  const SettingsFront& hs;
};

// Called once, at the end of start-up; keep the members of the context, not the context.
using SupervisorFactory = std::function<std::unique_ptr<Supervisor>(NodeContext&)>;

class VarnixForm : public MessageReceiver {
 public:
  static constexpr char kUid[] = "FF000800";
  static constexpr int kHeartbeatSeconds = 60;
  static constexpr int kTimer2Ms = 10000;

  VarnixForm(NodeServices services, SupervisorFactory make_supervisor);
  ~VarnixForm() override;

  enum class LoadResult { kRunning, kInitFailed };
  // The start-up sequence. kInitFailed means the xAP port could not be opened: the program ends.
  LoadResult Form_Load();
  void onMessage() override;
  void Timer2_Timer();
  void Form_unload();

  const std::string& OSLabel() const { return osLabel_; }
  XapTransport* xap() { return xap_.get(); }

 private:
  NodeServices services_;
  SupervisorFactory makeSupervisor_;
  AppValues values_;  // empty until InitXap; the log reads AppPath from here
  FileErrorLog log_;
  OutgoingQueue queue_;
  XapEventReport events_;
  XapGlobal global_;
  std::string osLabel_;
  std::unique_ptr<XapTransport> xap_;
  std::unique_ptr<Supervisor> supervisor_;
  std::unique_ptr<InstanceClaim> instance_;  // this computer's one node, while it runs
  std::unique_ptr<Timer> timer2_;
  bool bBusy_ = false;
};

}  // namespace varnix
