// One xAP message: the writer that produces wire text, the parser, item look-up and address
// matching.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/failure.h"
#include "core/text.h"
#include "xap/fast_string.h"

namespace varnix {

// The marker for a value that was not given.
inline constexpr std::string_view kUnknown = "Unknown";

// The text every outgoing message begins with, for the given node UID.
std::string XapHeaderPrefix(std::string_view uid);

// True when two xAP addresses match, with "*" standing for one element and ">" for the rest.
bool CompareAddress(std::string_view sItem1, std::string_view sItem2);

class XapMessage {
 public:
  // Failures inside the model are written to `log`, never passed to the caller.
  explicit XapMessage(ErrorLog& log) : log_(&log) {}

  // Header fields.
  const std::string& msgClass() const { return msgClass_; }
  void msgClass(std::string value) { msgClass_ = std::move(value); }
  const std::string& msgTarget() const { return msgTarget_; }
  void msgTarget(std::string value) { msgTarget_ = std::move(value); }
  const std::string& msgSource() const { return msgSource_; }
  void msgSource(std::string value) { msgSource_ = std::move(value); }
  const std::string& msgUID() const { return msgUID_; }
  void msgUID(std::string value) { msgUID_ = std::move(value); }

  // Writing. `header_prefix` is the node's XapHeaderPrefix; the message's own msgUID is not
  // written.
  int AddHeader(std::string_view header_prefix);
  int AddSection(std::string_view sSection);
  int AddItem(std::string_view sSection, std::string_view sItem, std::string_view sValue);
  std::string ToXap() const;
  int Init(std::string_view sMessage);

  // Reading.
  int FromXap(std::string_view sRawMessage);
  std::string GetItem(std::string_view sSection, std::string_view sItem) const;
  std::vector<std::string> msgSection() const;
  // The raw lines of section `Index`, or nothing when there is no such section.
  std::optional<std::vector<std::string>> msgCollection(int16_t Index) const;

  bool CompareClass(std::string_view sClass) const;
  bool CompareSource(std::string_view sSource) const;
  bool CompareTarget(std::string_view sTarget) const;

 private:
  // A parsed line, kept as a span of raw_ so that parsing copies the text once.
  struct Entry {
    std::string key;
    uint32_t offset;
    uint32_t length;
  };
  struct Section {
    std::vector<Entry> entries;
  };
  struct NamedSection {
    std::string name;
    int number;
  };

  std::string_view Line(const Entry& entry) const {
    return std::string_view(raw_).substr(entry.offset, entry.length);
  }
  const NamedSection* FindSection(std::string_view lower_name) const;
  void ReportFromXap(long number, std::string_view description, int line);

  ErrorLog* log_;
  FastString builder_;
  std::string msgClass_{kUnknown};
  std::string msgTarget_{kUnknown};
  std::string msgSource_{kUnknown};
  std::string msgUID_{kUnknown};
  std::string raw_;
  std::vector<Section> sections_;
  std::vector<NamedSection> sectionIndex_;
  bool sectionOpen_ = false;
  bool hasSections_ = false;
};

}  // namespace varnix
