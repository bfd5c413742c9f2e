// The protocol test window's logic: which text each box shows for one raw xAP message.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace varnix {

// The boxes of the "Xap Protocol Test" window. A box that a message leaves as it was is empty.
struct TrafficFields {
  std::string aMessage;
  std::string aSource;
  std::string aTarget;
  std::string aUID;
  std::string aClass;
  std::optional<std::string> aSection;
  std::optional<std::string> aKey;
  std::optional<std::string> aValue;
};

// A message file's bytes as the text to show: UTF-8 with or without its byte-order mark (as
// Notepad saves), else the bytes of the code page, which `from_code_page` reads; CR LF line
// ends (every file saved on Windows) become the wire's LF.
std::string MessageFromFile(std::string bytes,
                            const std::function<std::string(const std::string&)>& from_code_page);

// What UpdateTraffic shows for `sIn`; nothing for the empty text, which changes nothing.
std::optional<TrafficFields> ReadTraffic(const std::string& sIn);

// The boxes' contents, kept so that a message without a body leaves the later boxes as they were.
class SimpleTest {
 public:
  void UpdateTraffic(const std::string& sIn);
  const TrafficFields& fields() const { return fields_; }

 private:
  TrafficFields fields_;
};

}  // namespace varnix
