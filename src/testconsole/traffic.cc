// ReadTraffic: the message parsed with XapMessage, field by field.
#include "testconsole/traffic.h"

#include "core/failure.h"
#include "xap/xap_message.h"

namespace varnix {

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
