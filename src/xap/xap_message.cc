// XapMessage: the xAP wire format as this node writes and reads it.
#include "xap/xap_message.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <vector>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#endif

#include "xap/case_blind_index.h"

namespace varnix {
namespace {

using namespace errors;

// Where the lines of a text end, a bit a byte, found in one pass before any line is read: at
// each line feed, and at the size, where the last line ends. Finding each line's end from the
// end of the one before chains every line's work to the last's; with the bits at hand, the
// next line end is a bit scan away. The same pass marks each "=", so that a line's first one
// is a bit scan away too, and copies the text to where it is kept, so that it is read once.
class LineEnds {
 public:
  LineEnds(const char* from, char* to, std::size_t size) : words_(size / 64 + 1) {
    if (words_ > inline_.size()) heap_.resize(2 * words_);  // beyond any datagram
    bits_ = words_ > inline_.size() ? heap_.data() : inline_.data();
    equals_ = words_ > inline_.size() ? heap_.data() + words_ : inline_equals_.data();
    // Each word is gathered in a register and stored once.
    std::size_t i = 0;
    uint64_t bits = 0;    // of the word that holds byte i
    uint64_t equals = 0;  // the same for "="
#if defined(__SSE2__) || defined(_M_X64)
    const __m128i line_feed = _mm_set1_epi8('\n');
    const __m128i equal_sign = _mm_set1_epi8('=');
    // The block at `at`, copied; its line feeds and equal signs as the low 16 bits of each.
    const auto copy_and_mark = [&](std::size_t at, uint64_t& feeds, uint64_t& signs) {
      const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + at));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(to + at), block);
      feeds = static_cast<uint16_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, line_feed)));
      signs = static_cast<uint16_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, equal_sign)));
    };
    uint64_t feeds = 0;
    uint64_t signs = 0;
    // A whole word at a time while there is one: its four blocks' marks need no running shift.
    for (; i + 64 <= size; i += 64) {
      uint64_t word_feeds = 0;
      uint64_t word_signs = 0;
      for (std::size_t block = 0; block < 64; block += 16) {
        copy_and_mark(i + block, feeds, signs);
        word_feeds |= feeds << block;
        word_signs |= signs << block;
      }
      bits_[i / 64] = word_feeds;
      equals_[i / 64] = word_signs;
    }
    // The blocks of the last word, which is less than whole.
    for (; i + 16 <= size; i += 16) {
      copy_and_mark(i, feeds, signs);
      bits |= feeds << (i % 64);
      equals |= signs << (i % 64);
    }
    if (i < size && size >= 16) {
      // The last sixteen bytes, less those already marked; i is a multiple of 16, so they end
      // within i's word.
      copy_and_mark(size - 16, feeds, signs);
      bits |= (feeds >> (16 - (size - i))) << (i % 64);
      equals |= (signs >> (16 - (size - i))) << (i % 64);
      i = size;
    }
#endif
    for (; i < size; ++i) {
      to[i] = from[i];
      bits |= uint64_t{from[i] == '\n'} << (i % 64);
      equals |= uint64_t{from[i] == '='} << (i % 64);
      if (i % 64 == 63) {
        bits_[i / 64] = bits;
        equals_[i / 64] = equals;
        bits = 0;
        equals = 0;
      }
    }
    bits_[size / 64] = bits | (uint64_t{1} << (size % 64));
    equals_[size / 64] = equals;
  }
  LineEnds(const LineEnds&) = delete;
  LineEnds& operator=(const LineEnds&) = delete;

  // Passes over the first `count` line ends, as if the lines they end were not there; returns
  // where the line after them starts.
  std::size_t Drop(int count) {
    std::size_t start = 0;
    for (std::size_t word = 0; word < words_ && count > 0; ++word) {
      for (; bits_[word] != 0 && count > 0; --count) {
        start = word * 64 + static_cast<std::size_t>(std::countr_zero(bits_[word])) + 1;
        bits_[word] &= bits_[word] - 1;
      }
    }
    return start;
  }

  // Calls `at` with the offset of each line end, in order.
  template <typename F>
  void ForEach(F&& at) const {
    for (std::size_t word = 0; word < words_; ++word) {
      for (uint64_t left = bits_[word]; left != 0; left &= left - 1) {
        at(word * 64 + static_cast<std::size_t>(std::countr_zero(left)));
      }
    }
  }

  // The offset of the first "=" from `from` on, before `to`; `to` when there is none.
  std::size_t FirstEquals(std::size_t from, std::size_t to) const {
    std::size_t word = from / 64;
    uint64_t left = equals_[word] & (~uint64_t{0} << (from % 64));
    while (left == 0 && (word + 1) * 64 < to) left = equals_[++word];
    const std::size_t at = word * 64 + static_cast<std::size_t>(std::countr_zero(left));
    return left != 0 && at < to ? at : to;
  }

 private:
  std::size_t words_;
  uint64_t* bits_;
  uint64_t* equals_;
  std::array<uint64_t, 24> inline_;  // 1,535 bytes and the end
  std::array<uint64_t, 24> inline_equals_;
  std::vector<uint64_t> heap_;
};

// Splits off the next "."-separated element of an address.
std::string_view NextElement(std::string_view& rest, bool& more) {
  const auto dot = rest.find('.');
  std::string_view element = rest.substr(0, dot);
  more = dot != std::string_view::npos;
  rest = more ? rest.substr(dot + 1) : std::string_view{};
  return element;
}

}  // namespace

std::string WithoutControls(std::string text) {
  std::replace_if(text.begin(), text.end(), IsControlByte, ' ');
  return text;
}

std::string XapHeaderPrefix(std::string_view uid) {
  std::string prefix = "xap-header|{|v=12|hop=1|uid=";
  prefix.append(uid);
  prefix.append("|");
  // One pass over the template, so a "|" inside the UID becomes a line feed as well.
  std::replace(prefix.begin(), prefix.end(), '|', '\n');
  return prefix;
}

std::string OneSectionMessage(
    std::string_view header_prefix, std::string_view klass, std::string_view source,
    std::string_view target, std::string_view section,
    const std::vector<std::pair<std::string_view, std::string_view>>& items) {
  QuietReports quiet;  // writing reports nothing
  XapMessage message(quiet);
  message.msgClass(klass);
  message.msgSource(source);
  message.msgTarget(target);
  message.AddHeader(header_prefix);
  message.AddSection(section);
  for (const auto& [name, value] : items) {
    message.AddItem(section, WithoutControls(std::string(name)),
                    WithoutControls(std::string(value)));
  }
  return message.ToXap();
}

std::string SenderAddress(std::string_view address) {
  address = address.substr(0, address.find(':'));
  if (address.empty() || address.find_first_of("*>") != std::string_view::npos) return "";
  return LowerCase(address);
}

HeaderGlance GlanceAtHeader(std::string_view wire) {
  HeaderGlance glance;
  // The marker's line and "{" first, then the header's lines up to its "}".
  int to_skip = 2;
  while (!wire.empty()) {
    const size_t end = std::min(wire.find('\n'), wire.size());
    const std::string_view line = wire.substr(0, end);
    wire.remove_prefix(std::min(end + 1, wire.size()));
    if (to_skip > 0) {
      --to_skip;
      continue;
    }
    if (line == "}") break;
    const size_t equals = line.find('=');
    if (equals == std::string_view::npos) continue;
    const std::string_view key = TrimSpaces(line.substr(0, equals));
    const std::string_view value = TrimSpaces(line.substr(equals + 1));
    if (EqualsLowered(key, "target")) {
      glance.target = value;
    } else if (EqualsLowered(key, "class")) {
      glance.klass = value;
    }
  }
  return glance;
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
  // The first fault of a parse only: a datagram of repeated keys must not become a line each.
  if (reported_) return;
  reported_ = true;
  log_->WriteErrorLog("From XAP", "", Failure{number, std::string(description), line});
}

inline int XapMessage::HeaderFieldOf(std::string_view key) {
  // By length first: most header lines (v, hop) are none of these.
  switch (key.size()) {
    case 3:
      return EqualsLowered(key, "uid") ? kUid : kHeaderFields;
    case 5:
      return EqualsLowered(key, "class") ? kClass : kHeaderFields;
    case 6:
      if (EqualsLowered(key, "target")) return kTarget;
      return EqualsLowered(key, "source") ? kSource : kHeaderFields;
    default:
      return kHeaderFields;
  }
}

const XapMessage::Section* XapMessage::FindSection(std::string_view name) const {
  const char* const data = raw_.view().data();
  for (std::size_t i = 0; i < sections_.size(); ++i) {
    const Section& section = sections_[i];
    if (section.indexed && section.name.length == name.size() &&
        EqualsIgnoringCase(std::string_view(data + section.name.offset, section.name.length),
                           name)) {
      return &section;
    }
  }
  return nullptr;
}

const XapMessage::Entry* XapMessage::FindEntry(const Section& section, std::string_view key) const {
  const char* const data = raw_.view().data();
  for (uint32_t i = section.first; i < section.first + section.count; ++i) {
    const Entry& entry = entries_[i];
    // The length alone tells most keys apart, before any letter is looked at.
    if (entry.key.length == key.size() &&
        EqualsIgnoringCase(std::string_view(data + entry.key.offset, entry.key.length), key)) {
      return &entry;
    }
  }
  return nullptr;
}

// Once a line, so kept in the parse loop; their rare paths (a repeated key, a long section)
// stay out of line.
[[gnu::always_inline]] inline XapMessage::Section& XapMessage::OpenSection(Span name,
                                                                           bool indexed) {
  Section& section = sections_.emplace_back();
  section.name = name;
  section.indexed = indexed;
  section.first = static_cast<uint32_t>(entries_.size());
  section.count = 0;
  section.key_marks = 0;
  return section;
}

[[gnu::always_inline]] inline void XapMessage::AddEntry(Section& section, std::string_view text,
                                                        Span key, Span line, uint32_t value) {
  const uint64_t mark = KeyMark(text);
  const bool repeated = section.count < kSearchedLimit
                            ? (section.key_marks & mark) != 0 && FindEntry(section, text)
                            : RepeatedInIndex(section, text);
  if (repeated) {
    ReportFromXap(kDuplicateKey, kDuplicateKeyText, 100);
    return;
  }
  Entry& entry = entries_.emplace_back();
  entry.key = key;
  entry.line = line;
  entry.value = value;
  section.key_marks |= mark;
  ++section.count;
}

int XapMessage::FromXap(std::string_view sRawMessage) {
  if (sRawMessage.empty()) return 0;
  // Nearly every message starts with the marker itself; anywhere in the first line will do.
  if (!EqualsLowered(sRawMessage.substr(0, 10), "xap-header") &&
      !ContainsIgnoringCase(sRawMessage.substr(0, sRawMessage.find('\n')), "xap-header")) {
    return 0;
  }

  // Spans point into raw_ by offset; appending keeps earlier ones valid if parsed twice.
  reported_ = false;
  const std::size_t base = raw_.size();
  char* const copy = raw_.Extend(sRawMessage.size());
  LineEnds ends(sRawMessage.data(), copy, sRawMessage.size());
  const char* const data = copy - base;
  const char* const end = copy + sRawMessage.size();
  const auto at = [data](const char* where) { return static_cast<uint32_t>(where - data); };
  const auto span = [&](std::string_view part) {
    return Span{at(part.data()), static_cast<uint32_t>(part.size())};
  };

  // A line at a time. Lines split at every "\n"; a final "\n" leaves one last, empty line. The
  // first two lines are the marker and "{".
  bool in_header = true;
  bool name_next = false;      // the line after a "}" names the section it opens
  Section* section = nullptr;  // the last opened, which the lines after it fill
  const char* const first = copy;
  // Past the end when there are fewer lines: then none is left to read.
  const char* line = first + std::min(ends.Drop(2), sRawMessage.size());
  ends.ForEach([&](std::size_t offset) {
    const char* const line_end = first + offset;
    const bool last = line_end == end;
    const std::string_view text(line, static_cast<std::size_t>(line_end - line));
    if (name_next) {
      name_next = false;
      const bool indexed = !SeenSection(text);
      if (!indexed) ReportFromXap(kDuplicateKey, kDuplicateKeyText, 70);
      section = &OpenSection(span(text), indexed);
    } else if (text.size() == 1 && text[0] == '}') {
      in_header = false;
      name_next = !last;
      if (last) {
        ReportFromXap(kSubscriptOutOfRange, kSubscriptOutOfRangeText, 60);
        section = &OpenSection({static_cast<uint32_t>(base), 0}, false);
      }
    } else {
      const std::size_t equals = ends.FirstEquals(static_cast<std::size_t>(line - first), offset) -
                                 static_cast<std::size_t>(line - first);
      if (equals < text.size()) {
        const std::string_view key = TrimSpaces(text.substr(0, equals));
        if (in_header) {
          if (const int field = HeaderFieldOf(key); field != kHeaderFields) {
            header_[field] = span(TrimSpaces(text.substr(equals + 1)));
            known_[field] = true;
          }
        } else {
          AddEntry(*section, key, span(key), span(text),
                   at(line) + static_cast<uint32_t>(equals) + 1);
        }
      }
    }
    line = line_end + 1;
  });
  return 0;
}

struct XapMessage::Indexes {
  CaseBlindIndex entries;            // the keys of one section, once it has many
  uint32_t entries_of = UINT32_MAX;  // which section that is
  CaseBlindIndex sections;           // the indexed sections' names, once there are many
};

void XapMessage::DeleteIndexes::operator()(Indexes* indexes) const { delete indexes; }

bool XapMessage::SeenSectionInIndex(std::string_view name) {
  if (!indexes_) indexes_.reset(new Indexes);
  CaseBlindIndex& section_index_ = indexes_->sections;
  const auto name_at = [this](uint32_t i) { return Text(sections_[i].name); };
  if (section_index_.empty()) {
    for (uint32_t i = 0; i < sections_.size(); ++i) {
      if (sections_[i].indexed) section_index_.FindOrInsert(name_at(i), i, name_at);
    }
  }
  // The section about to be opened takes the next position; stored only when it is new.
  return section_index_.FindOrInsert(name, static_cast<uint32_t>(sections_.size()), name_at) !=
         CaseBlindIndex::kNone;
}

bool XapMessage::RepeatedInIndex(const Section& section, std::string_view key) {
  if (!indexes_) indexes_.reset(new Indexes);
  CaseBlindIndex& entry_index_ = indexes_->entries;
  const auto key_at = [this](uint32_t i) { return Text(entries_[i].key); };
  // Made for the section being read, from the keys it has so far.
  if (const auto current = static_cast<uint32_t>(sections_.size() - 1);
      indexes_->entries_of != current) {
    entry_index_.Clear();
    indexes_->entries_of = current;
    for (uint32_t i = section.first; i < section.first + section.count; ++i) {
      entry_index_.FindOrInsert(key_at(i), i, key_at);
    }
  }
  return entry_index_.FindOrInsert(key, static_cast<uint32_t>(entries_.size()), key_at) !=
         CaseBlindIndex::kNone;
}

std::string_view XapMessage::GetItem(std::string_view sSection, std::string_view sItem) const {
  const Section* section = FindSection(sSection);
  if (section == nullptr) return kUnknown;
  const Entry* entry = FindEntry(*section, sItem);
  if (entry == nullptr) return kUnknown;
  return Text({entry->value, entry->line.offset + entry->line.length - entry->value});
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
