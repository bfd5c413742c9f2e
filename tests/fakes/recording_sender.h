// A transport that records each message it is asked to send as "target|class|section|items".
#pragma once

#include <string>
#include <vector>

#include "xap/xap_transport.h"

namespace varnix {

class RecordingSender : public XapSender {
 public:
  std::string SendXap(const std::string& target, const std::string& cls, const std::string& section,
                      const std::string& data) override {
    sent.push_back(target + "|" + cls + "|" + section + "|" + data);
    return "";
  }
  std::vector<std::string> sent;
};

}  // namespace varnix
