// VarnixForm: start-up in its fixed order, the drain with its busy mark, Timer2, and unloading.
#include "core/varnix_form.h"

namespace varnix {

VarnixForm::VarnixForm(NodeServices services, SupervisorFactory make_supervisor)
    : services_(services),
      makeSupervisor_(std::move(make_supervisor)),
      log_(services.files, values_),
      queue_(log_),
      events_(queue_, services.machine),
      global_(services.machine, services.files, log_, events_, values_) {
  timer2_ = services_.loop.CreateTimer([this] { Timer2_Timer(); });
}

VarnixForm::~VarnixForm() = default;

VarnixForm::LoadResult VarnixForm::Form_Load() {
  int line = 0;  // the step that was running when a failure left the sequence
  try {
    line = 20;
    bBusy_ = false;
    line = 30;
    osLabel_ = GetOSLabel(services_.machine.Version());
    line = 40;
    global_.InitXap();
    line = 50;
    xap_ =
        std::make_unique<XapTransport>(services_.loop, services_.machine, services_.sockets, log_);
    queue_.AttachTransport(xap_.get());
    line = 60;
    xap_->RegisterNewMessageCallback(this);
    line = 70;
    xap_->XapSource("qel.Process." + values_.ComputerName);
    line = 80;
    xap_->XapUID(kUid);
    line = 90;
    xap_->BroadcastAddress(values_.BroadcastAddress);
    xap_->InterfaceAddress(values_.InterfaceAddress);
    line = 100;
    const int32_t port = xap_->Init();
    line = 110;
    if (port <= 0) {
      log_.WriteErrorLog("Korvane", "xAP Init Error " + std::to_string(port) + " occurred");
      return LoadResult::kInitFailed;
    }
    line = 120;
    xap_->SendHeartbeat(kHeartbeatSeconds);
    queue_.SetReady();
    // Being ready already, this also sends what was held during start-up, first.
    events_.SendErrorEvent("Korvane", "Using xAP port " + std::to_string(port));
    line = 130;
    if (global_.hs() == nullptr) throw Error(91, "Object variable or With block variable not set");
    NodeContext context{services_, values_, osLabel_, *xap_, queue_, log_, events_, *global_.hs()};
    supervisor_ = makeSupervisor_(context);
    timer2_->SetInterval(kTimer2Ms);
    timer2_->SetEnabled(true);
  } catch (...) {
    log_.WriteErrorLog("Korvane", "Main Load", FailureFromCurrentException(line));
  }
  return LoadResult::kRunning;
}

void VarnixForm::onMessage() {
  // A drain further up the stack, paused in a wait, will pick up the new texts.
  if (bBusy_ || !xap_) return;
  try {
    bBusy_ = true;
    for (std::string text = xap_->GetMessage(); !text.empty(); text = xap_->GetMessage()) {
      if (supervisor_) supervisor_->Readmessage(text);
    }
    bBusy_ = false;
  } catch (...) {
    log_.WriteErrorLog("Korvane", "Main OnMessage", FailureFromCurrentException(30));
    bBusy_ = false;
  }
}

void VarnixForm::Timer2_Timer() {
  try {
    if (supervisor_) supervisor_->SupervisionPass();
  } catch (...) {
    log_.WriteErrorLog("Korvane", "Timer2", FailureFromCurrentException(10));
  }
}

void VarnixForm::Form_unload() {
  timer2_->SetEnabled(false);
  supervisor_.reset();  // it holds references to the transport
  queue_.AttachTransport(nullptr);
  xap_.reset();  // closes the sockets and the sockets layer
}

}  // namespace varnix
