// XapMessage: the xAP wire format as this node writes and reads it.
#include "xap/xap_message.h"

#include <algorithm>

namespace varnix {
namespace {

using namespace errors;

// Splits off the next "."-separated element of an address.
std::string_view NextElement(std::string_view& rest, bool& more) {
  const auto dot = rest.find('.');
  std::string_view element = rest.substr(0, dot);
  more = dot != std::string_view::npos;
  rest = more ? rest.substr(dot + 1) : std::string_view{};
  return element;
}

}  // namespace

std::string XapHeaderPrefix(std::string_view uid) {
  std::string prefix = "xap-header|{|v=12|hop=1|uid=";
  prefix.append(uid);
  prefix.append("|");
  // One pass over the template, so a "|" inside the UID becomes a line feed as well.
  std::replace(prefix.begin(), prefix.end(), '|', '\n');
  return prefix;
}

bool CompareAddress(std::string_view sItem1, std::string_view sItem2) {
  if (sItem1.empty() || sItem2.empty()) return false;
  bool more1 = true;
  bool more2 = true;
  while (more1 && more2) {
    const std::string_view e1 = NextElement(sItem1, more1);
    const std::string_view e2 = NextElement(sItem2, more2);
    if (e1 == ">" || e2 == ">") return true;
    if (e1 != "*" && e2 != "*" && !EqualsIgnoringCase(e1, e2)) return false;
  }
  // Every compared position passed: the lengths decide.
  return more1 == more2;
}

int XapMessage::AddHeader(std::string_view header_prefix) {
  builder_.Add(header_prefix);
  builder_.Add("class=");
  builder_.Add(msgClass_);
  builder_.Add("\n");
  builder_.Add("source=");
  builder_.Add(msgSource_);
  builder_.Add("\n");
  if (!msgTarget_.empty()) {
    builder_.Add("target=");
    builder_.Add(msgTarget_);
    builder_.Add("\n");
  }
  builder_.Add("}");
  builder_.Add("\n");
  sectionOpen_ = false;
  return 0;
}

int XapMessage::AddSection(std::string_view sSection) {
  if (sectionOpen_) {
    builder_.Add("}");
    builder_.Add("\n");
  }
  builder_.Add(sSection);
  builder_.Add("\n");
  builder_.Add("{");
  builder_.Add("\n");
  sectionOpen_ = true;
  return 0;
}

int XapMessage::AddItem(std::string_view /*sSection*/, std::string_view sItem,
                        std::string_view sValue) {
  builder_.Add(sItem);
  builder_.Add("=");
  builder_.Add(sValue);
  builder_.Add("\n");
  return 0;
}

std::string XapMessage::ToXap() const {
  std::string text;
  text.reserve(builder_.Value().size() + 2);
  text.append(builder_.Value());
  text.append("}\n");
  return text;
}

int XapMessage::Init(std::string_view /*sMessage*/) {
  builder_.Reset();
  return 0;
}

void XapMessage::ReportFromXap(long number, std::string_view description, int line) {
  log_->WriteErrorLog("From XAP", "", Failure{number, std::string(description), line});
}

const XapMessage::NamedSection* XapMessage::FindSection(std::string_view lower_name) const {
  for (const NamedSection& named : sectionIndex_) {
    if (named.name == lower_name) return &named;
  }
  return nullptr;
}

int XapMessage::FromXap(std::string_view sRawMessage) {
  if (sRawMessage.empty()) return 0;
  const std::size_t first_end = sRawMessage.find('\n');
  if (!ContainsIgnoringCase(sRawMessage.substr(0, first_end), "xap-header")) return 0;

  // Entries point into raw_; appending keeps earlier offsets valid if parsed twice.
  const std::size_t base = raw_.size();
  raw_.append(sRawMessage);
  const std::string_view text = std::string_view(raw_).substr(base);

  // Lines split at every "\n"; a final "\n" leaves one last, empty line.
  std::size_t next = 0;  // start of the next line; npos once the last line was taken
  const auto take_line = [&]() {
    const std::size_t end = text.find('\n', next);
    const std::string_view line =
        text.substr(next, end == std::string_view::npos ? end : end - next);
    next = end == std::string_view::npos ? end : end + 1;
    return line;
  };
  for (int skipped = 0; skipped < 2 && next != std::string_view::npos; ++skipped) take_line();

  int current = -1;
  while (next != std::string_view::npos) {
    const std::string_view line = take_line();
    if (line == "}") {
      if (sections_.empty()) {
        sections_.reserve(4);
        sectionIndex_.reserve(4);
      }
      ++current;
      if (next != std::string_view::npos) {
        std::string name = LowerCase(take_line());
        if (FindSection(name) != nullptr) {
          ReportFromXap(kDuplicateKey, kDuplicateKeyText, 70);
        } else {
          sectionIndex_.push_back({std::move(name), current});
        }
      } else {
        ReportFromXap(kSubscriptOutOfRange, kSubscriptOutOfRangeText, 60);
      }
      sections_.emplace_back().entries.reserve(8);
      hasSections_ = true;
      continue;
    }
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) continue;
    if (current == -1) {
      const std::string name = LowerCase(TrimSpaces(line.substr(0, equals)));
      std::string value(TrimSpaces(line.substr(equals + 1)));
      if (name == "uid") {
        msgUID_ = std::move(value);
      } else if (name == "class") {
        msgClass_ = std::move(value);
      } else if (name == "source") {
        msgSource_ = std::move(value);
      } else if (name == "target") {
        msgTarget_ = std::move(value);
      }
      continue;
    }
    std::string key = LowerCase(TrimSpaces(line.substr(0, equals)));
    Section& section = sections_.back();
    const bool known = std::any_of(section.entries.begin(), section.entries.end(),
                                   [&](const Entry& e) { return e.key == key; });
    if (known) {
      ReportFromXap(kDuplicateKey, kDuplicateKeyText, 100);
      continue;
    }
    section.entries.push_back({std::move(key),
                               static_cast<uint32_t>(base + (line.data() - text.data())),
                               static_cast<uint32_t>(line.size())});
  }
  return 0;
}

std::string XapMessage::GetItem(std::string_view sSection, std::string_view sItem) const {
  const NamedSection* named = FindSection(LowerCase(sSection));
  if (named == nullptr) return std::string(kUnknown);
  const std::string key = LowerCase(sItem);
  for (const Entry& entry : sections_[named->number].entries) {
    if (entry.key == key) {
      const std::string_view line = Line(entry);
      return std::string(line.substr(line.find('=') + 1));
    }
  }
  return std::string(kUnknown);
}

std::vector<std::string> XapMessage::msgSection() const {
  // The last recorded name is the empty one after a closing "}\n"; it is left out.
  std::vector<std::string> names;
  for (std::size_t i = 0; i + 1 < sectionIndex_.size(); ++i) names.push_back(sectionIndex_[i].name);
  return names;
}

std::optional<std::vector<std::string>> XapMessage::msgCollection(int16_t Index) const {
  if (Index < 0 || static_cast<std::size_t>(Index) >= sections_.size()) return std::nullopt;
  std::vector<std::string> lines;
  for (const Entry& entry : sections_[Index].entries) lines.emplace_back(Line(entry));
  return lines;
}

bool XapMessage::CompareClass(std::string_view sClass) const {
  return EqualsIgnoringCase(sClass, msgClass_);
}

bool XapMessage::CompareSource(std::string_view sSource) const {
  return CompareAddress(sSource, msgSource_);
}

bool XapMessage::CompareTarget(std::string_view sTarget) const {
  return CompareAddress(sTarget, msgTarget_);
}

}  // namespace varnix
