// VarnixForm: start-up in its fixed order, the drain with its busy mark, Timer2, and unloading.
#include "node/varnix_form.h"

#include <cstdio>

#include "core/steps.h"
#include "core/text.h"
#include "xap/message_signature.h"

namespace varnix {

VarnixForm::VarnixForm(NodeServices services, SupervisorFactory make_supervisor)
    : services_(services),
      makeSupervisor_(std::move(make_supervisor)),
      log_(services.files, values_, services.machine.Paths().separator() == '\\'),
      queue_(log_),
      events_(queue_, services.machine),
      global_(services.machine, services.files, log_, events_, values_) {
  timer2_ = services_.loop.CreateTimer([this] { Timer2_Timer(); });
}

VarnixForm::~VarnixForm() = default;

VarnixForm::LoadResult VarnixForm::Form_Load() {
  // A failing step is logged with its number and ends the sequence; the program runs on.
  Steps step(
      [this](const Failure& failure) { log_.WriteErrorLog(kLogType, "Main Load", failure); });
  int32_t port = 0;
  const bool bound = step(20, [&] { bBusy_ = false; }) &&
                     step(30, [&] { osLabel_ = GetOSLabel(services_.machine.Version()); }) &&
                     step(40, [&] { global_.InitXap(); }) &&
                     step(50,
                          [&] {
                            xap_ = std::make_unique<XapTransport>(services_.loop, services_.machine,
                                                                  services_.sockets, log_);
                            queue_.AttachTransport(xap_.get());
                          }) &&
                     step(60, [&] { xap_->RegisterNewMessageCallback(this); }) &&
                     step(70, [&] { xap_->XapSource("qel.Process." + values_.ComputerName); }) &&
                     step(80, [&] { xap_->XapUID(kUid); }) &&
                     step(90,
                          [&] {
                            xap_->BroadcastAddress(values_.BroadcastAddress);
                            xap_->InterfaceAddress(values_.InterfaceAddress);
                          }) &&
                     step(100, [&] { port = xap_->Init(); });
  if (!bound) return LoadResult::kRunning;
  if (port <= 0) {
    log_.WriteErrorLog(kLogType, "xAP Init Error " + std::to_string(port) + " occurred");
    return LoadResult::kInitFailed;
  }
  // One node per computer: a second would answer as the same node and do every action twice.
  // Where the system cannot say (the step logs why), the node runs as it always has.
  ClaimResult claim;
  const bool asked = step(110, [&] {
    claim = services_.machine.ClaimInstance("node-" + LowerCase(values_.ComputerName));
  });
  if (asked && !claim.claim) {
    const std::string said =
        "Varnix already runs on this computer" +
        (claim.holder ? " as process " + std::to_string(*claim.holder) : std::string()) +
        "; this one ends";
    std::fprintf(stderr, "varnix: %s\n", said.c_str());
    log_.WriteErrorLog(kLogType, said);
    queue_.SetReady();
    events_.SendErrorEvent(kLogType, said);
    return LoadResult::kInitFailed;
  }
  instance_ = std::move(claim.claim);
  step(115, [&] {
    // With the house's key beside the settings, the node signs everything from its first
    // heartbeat on; a key that cannot be used is said by the access rules.
    const std::string key_path = values_.ConfigFolder() + "access.key";
    if (!services_.files.FileExists(key_path)) return;
    if (const LoadedKey key = LoadAccessKey(services_.files, key_path); key.key) {
      xap_->SignWith(*key.key);
    }
  });
  step(120,
       [&] {
         xap_->SendHeartbeat(kHeartbeatSeconds);
         queue_.SetReady();
         // Being ready already, this also sends what was held during start-up, first.
         events_.SendErrorEvent(kLogType, "Using xAP port " + std::to_string(port));
       }) &&
      step(130, [&] {
        if (global_.hs() == nullptr) throw Error(errors::kObjectNotSet, errors::kObjectNotSetText);
        NodeContext context{services_, values_, osLabel_, *xap_,
                            queue_,    log_,    events_,  *global_.hs()};
        supervisor_ = makeSupervisor_(context);
        timer2_->SetInterval(kTimer2Ms);
        timer2_->SetEnabled(true);
      });
  return LoadResult::kRunning;
}

void VarnixForm::onMessage() {
  // A drain further up the stack, paused in a wait, will pick up the new texts.
  if (bBusy_ || !xap_) return;
  bBusy_ = true;
  Steps([this](const Failure& failure) {
    log_.WriteErrorLog(kLogType, "Main OnMessage", failure);
  })(30, [&] {
    // Once the node is asked to end, what waits is left unanswered: an answer after a stop
    // cut short (an echo's) would tell its sender that the stop was done. The goodbye says
    // that no answer comes.
    for (std::string text = xap_->GetMessage(); !text.empty() && !services_.loop.Quitting();
         text = xap_->GetMessage()) {
      if (supervisor_) supervisor_->Readmessage(text);
    }
  });
  bBusy_ = false;
}

void VarnixForm::Timer2_Timer() {
  Steps([this](const Failure& failure) { log_.WriteErrorLog(kLogType, "Timer2", failure); })(
      10, [&] {
        if (supervisor_) supervisor_->SupervisionPass();
      });
}

void VarnixForm::Form_unload() {
  const bool ran = supervisor_ != nullptr;  // not a second node, which never ran
  timer2_->SetEnabled(false);
  supervisor_.reset();  // it holds references to the transport
  queue_.AttachTransport(nullptr);
  if (xap_ && ran) xap_->SendGoodbye();
  xap_.reset();  // closes the sockets and the sockets layer
}

}  // namespace varnix
