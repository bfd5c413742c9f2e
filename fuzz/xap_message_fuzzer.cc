// Feeds arbitrary datagrams to the xAP parser, then reads back everything it parsed, and to
// the check of signed requests.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/failure.h"
#include "xap/message_signature.h"
#include "xap/xap_message.h"

namespace {

// Counts the reports so the parser's failure path runs in full, without file I/O.
class CountingLog : public varnix::ErrorLog {
 public:
  using ErrorLog::WriteErrorLog;
  void WriteErrorLog(std::string_view, std::string_view, const varnix::Failure&) override {
    ++count;
  }
  size_t count = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CountingLog log;
  varnix::XapMessage message(log);
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  message.FromXap(text);
  // The node's signature check reads the same datagram when signatures are required.
  static varnix::SignatureCheck check(std::string(32, 'k'), [] { return int64_t{1800000000}; });
  check.Check(text);
  for (const std::string& name : message.msgSection()) {
    message.GetItem(name, "path");
    if (const auto lines = message.msgCollection(0)) {
      for (const std::string& line : *lines) {
        const auto equals = line.find('=');
        message.GetItem(name, line.substr(0, equals == std::string::npos ? 0 : equals));
      }
    }
  }
  for (int16_t index = -1; index < 64; ++index) {
    if (!message.msgCollection(index) && index >= 0) break;
  }
  message.CompareTarget(message.msgSource());
  message.CompareSource(text.substr(0, 64));
  return 0;
}
