// ReadTraffic: the message parsed with XapMessage, field by field.
#include "testconsole/traffic.h"

#include "core/failure.h"
#include "core/text.h"
#include "xap/xap_message.h"

namespace varnix {

std::string MessageFromFile(std::string bytes,
                            const std::function<std::string(const std::string&)>& from_code_page) {
  // A file that is no text in any form is shown as the code page reads it.
  std::string text = TextOfFile(bytes, [&](std::string raw) {
                       return from_code_page(raw);
                     }).value_or(from_code_page(bytes));
  std::string travelled;
  travelled.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    travelled += text[i];
  }
  return travelled;
}

std::optional<TrafficFields> ReadTraffic(const std::string& sIn) {
  if (sIn.empty()) return std::nullopt;
  TrafficFields fields;
  for (const char c : sIn) {
    if (c == '\n') fields.aMessage += '\r';
    fields.aMessage += c;
  }
  QuietReports log;
  XapMessage message(log);
  message.FromXap(sIn);
  fields.aSource = message.msgSource();
  fields.aTarget = message.msgTarget();
  fields.aUID = message.msgUID();
  fields.aClass = message.msgClass();
  const auto sections = message.msgSection();
  if (sections.empty()) return fields;
  fields.aSection = sections.front();
  const auto items = message.msgCollection(0);
  if (!items || items->empty()) return fields;
  const std::string& first = items->front();
  const auto equals = first.find('=');
  if (equals == std::string::npos) return fields;
  fields.aKey = first.substr(0, equals);
  fields.aValue = message.GetItem(*fields.aSection, *fields.aKey);
  return fields;
}

void SimpleTest::UpdateTraffic(const std::string& sIn) {
  const std::optional<TrafficFields> read = ReadTraffic(sIn);
  if (!read) return;
  const TrafficFields before = fields_;
  fields_ = *read;
  // Steps that could not run leave their boxes as they were.
  if (!fields_.aSection) fields_.aSection = before.aSection;
  if (!fields_.aKey) fields_.aKey = before.aKey;
  if (!fields_.aValue) fields_.aValue = before.aValue;
}

}  // namespace varnix
