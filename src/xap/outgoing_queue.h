// The program-wide send: messages wait here until the transport is ready, then go out in order.
#pragma once

#include <string>
#include <vector>

#include "core/failure.h"
#include "xap/xap_transport.h"

namespace varnix {

// One held message.
struct xapQueuedMessage {
  std::string msgTarget;
  std::string msgClass;
  std::string msgSection;
  std::string MsgData;
};

class OutgoingQueue {
 public:
  // Messages can be handed in before the transport exists; they are held until it is ready.
  explicit OutgoingQueue(ErrorLog& log) : log_(log) {}

  void AttachTransport(XapSender* transport) { transport_ = transport; }

  // Sends now when ready, after everything held; otherwise holds the message.
  void SendXap(const std::string& sTarget, const std::string& sClass, const std::string& sSection,
               const std::string& sData);

  bool xapReady() const { return xapReady_; }
  // Set once the attached transport is bound and has sent its first heartbeat; never cleared.
  void SetReady() { xapReady_ = true; }
  size_t held() const { return outgoingQueue_.size(); }

 private:
  ErrorLog& log_;
  XapSender* transport_ = nullptr;
  bool xapReady_ = false;
  std::vector<xapQueuedMessage> outgoingQueue_;
};

}  // namespace varnix
