// XapMessage: the xAP wire format as this node writes and reads it.
#include "xap/xap_message.h"

#include <algorithm>

namespace varnix {
namespace {

using namespace errors;

// FNV-1a over the text as if lower-cased: a cheap first test before comparing letters.
uint32_t HashIgnoringCase(std::string_view text) {
  uint32_t hash = 2166136261u;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(LowerAscii(c));
    hash = (hash ^ byte) * 16777619u;
  }
  return hash;
}

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
  builder_.Add(msgClass());
  builder_.Add("\n");
  builder_.Add("source=");
  builder_.Add(msgSource());
  builder_.Add("\n");
  if (!msgTarget().empty()) {
    builder_.Add("target=");
    builder_.Add(msgTarget());
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

int XapMessage::HeaderFieldOf(std::string_view key) {
  // By length first: most header lines (v, hop) are none of these.
  switch (key.size()) {
    case 3:
      return EqualsIgnoringCase(key, "uid") ? kUid : kHeaderFields;
    case 5:
      return EqualsIgnoringCase(key, "class") ? kClass : kHeaderFields;
    case 6:
      if (EqualsIgnoringCase(key, "target")) return kTarget;
      return EqualsIgnoringCase(key, "source") ? kSource : kHeaderFields;
    default:
      return kHeaderFields;
  }
}

const XapMessage::Section* XapMessage::FindSection(std::string_view name) const {
  const uint32_t hash = HashIgnoringCase(name);
  for (std::size_t i = 0; i < sections_.size(); ++i) {
    const Section& section = sections_[i];
    if (section.indexed && section.hash == hash && EqualsIgnoringCase(Text(section.name), name)) {
      return &section;
    }
  }
  return nullptr;
}

int XapMessage::FromXap(std::string_view sRawMessage) {
  if (sRawMessage.empty()) return 0;
  const std::string_view first_line = sRawMessage.substr(0, sRawMessage.find('\n'));
  // Nearly every message starts with the marker itself; anywhere in the first line will do.
  if (!EqualsIgnoringCase(first_line.substr(0, 10), "xap-header") &&
      !ContainsIgnoringCase(first_line, "xap-header")) {
    return 0;
  }

  // Spans point into raw_ by offset; appending keeps earlier ones valid if parsed twice.
  const std::size_t base = raw_.size();
  raw_.append(sRawMessage);
  const std::string_view text = raw_.view().substr(base);
  const auto span = [&](std::string_view part) {
    // An empty part may point nowhere (a trimmed run of spaces): it is empty anywhere.
    if (part.empty()) return Span{static_cast<uint32_t>(base), 0};
    return Span{static_cast<uint32_t>(base + static_cast<std::size_t>(part.data() - text.data())),
                static_cast<uint32_t>(part.size())};
  };

  // Lines split at every "\n"; a final "\n" leaves one last, empty line.
  std::size_t next = 0;  // start of the next line
  bool taken_all = false;
  const auto take_line = [&]() {
    const std::size_t line_end = text.find('\n', next);
    const std::string_view line = text.substr(
        next, line_end == std::string_view::npos ? std::string_view::npos : line_end - next);
    taken_all = line_end == std::string_view::npos;
    next = line_end + 1;
    return line;
  };
  for (int skipped = 0; skipped < 2 && !taken_all; ++skipped) take_line();

  bool in_header = true;
  while (!taken_all) {
    const std::string_view line = take_line();
    if (line == "}") {
      in_header = false;
      Section section{
          {static_cast<uint32_t>(base), 0}, 0, false, static_cast<uint32_t>(entries_.size()), 0};
      if (!taken_all) {
        const std::string_view name = take_line();
        section.name = span(name);
        section.hash = HashIgnoringCase(name);
        if (FindSection(name) != nullptr) {
          ReportFromXap(kDuplicateKey, kDuplicateKeyText, 70);
        } else {
          section.indexed = true;
        }
      } else {
        ReportFromXap(kSubscriptOutOfRange, kSubscriptOutOfRangeText, 60);
      }
      sections_.push_back(section);
      continue;
    }
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) continue;
    const std::string_view key = TrimSpaces(line.substr(0, equals));
    if (in_header) {
      if (const int field = HeaderFieldOf(key); field != kHeaderFields) {
        header_[field] = span(TrimSpaces(line.substr(equals + 1)));
        parsed_[field] = true;
      }
      continue;
    }
    Section& section = sections_.back();
    const uint32_t hash = HashIgnoringCase(key);
    bool known = false;
    for (uint32_t i = section.first; i < section.first + section.count && !known; ++i) {
      known = entries_[i].hash == hash && EqualsIgnoringCase(Text(entries_[i].key), key);
    }
    if (known) {
      ReportFromXap(kDuplicateKey, kDuplicateKeyText, 100);
      continue;
    }
    entries_.push_back({span(key), span(line), hash});
    ++section.count;
  }
  return 0;
}

std::string_view XapMessage::GetItem(std::string_view sSection, std::string_view sItem) const {
  const Section* section = FindSection(sSection);
  if (section == nullptr) return kUnknown;
  const uint32_t hash = HashIgnoringCase(sItem);
  for (uint32_t i = section->first; i < section->first + section->count; ++i) {
    const Entry& entry = entries_[i];
    if (entry.hash == hash && EqualsIgnoringCase(Text(entry.key), sItem)) {
      const std::string_view line = Text(entry.line);
      return line.substr(line.find('=') + 1);
    }
  }
  return kUnknown;
}

std::vector<std::string> XapMessage::msgSection() const {
  // The last named section is the empty name after a closing "}\n"; it is left out.
  std::vector<std::string> names;
  for (std::size_t i = 0; i < sections_.size(); ++i) {
    if (sections_[i].indexed) names.push_back(LowerCase(Text(sections_[i].name)));
  }
  if (!names.empty()) names.pop_back();
  return names;
}

std::optional<std::vector<std::string>> XapMessage::msgCollection(int16_t Index) const {
  if (Index < 0 || static_cast<std::size_t>(Index) >= sections_.size()) return std::nullopt;
  const Section& section = sections_[static_cast<std::size_t>(Index)];
  std::vector<std::string> lines;
  for (uint32_t i = section.first; i < section.first + section.count; ++i) {
    lines.emplace_back(Text(entries_[i].line));
  }
  return lines;
}

bool XapMessage::CompareClass(std::string_view sClass) const {
  return EqualsIgnoringCase(sClass, msgClass());
}

bool XapMessage::CompareSource(std::string_view sSource) const {
  return CompareAddress(sSource, msgSource());
}

bool XapMessage::CompareTarget(std::string_view sTarget) const {
  return CompareAddress(sTarget, msgTarget());
}

}  // namespace varnix
