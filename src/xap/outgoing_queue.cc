// OutgoingQueue: hold until ready, then flush in order before the caller's own message.
#include "xap/outgoing_queue.h"

#include "core/steps.h"

namespace varnix {

void OutgoingQueue::SendXap(const std::string& sTarget, const std::string& sClass,
                            const std::string& sSection, const std::string& sData) {
  Steps step(
      [&](const Failure& failure) { log_.WriteErrorLog(kLogType, "SendXap  " + sData, failure); });
  if (!xapReady_ || transport_ == nullptr) {
    step(70, [&] { outgoingQueue_.push_back({sTarget, sClass, sSection, sData}); });
    return;
  }
  if (!outgoingQueue_.empty()) {
    // Taken out first: a send that fails, or one that re-enters here, must not send it twice.
    std::vector<xapQueuedMessage> held;
    held.swap(outgoingQueue_);
    for (const xapQueuedMessage& message : held) {
      step(30, [&] {
        transport_->SendXap(message.msgTarget, message.msgClass, message.msgSection,
                            message.MsgData);
      });
    }
  }
  step(60, [&] { transport_->SendXap(sTarget, sClass, sSection, sData); });
}

}  // namespace varnix
