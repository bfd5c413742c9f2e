// One xAP message: the writer that produces wire text, the parser, item look-up and address
// matching.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/failure.h"
#include "core/text.h"
#include "xap/fast_string.h"
#include "xap/inline_storage.h"

namespace varnix {

// The marker for a value that was not given.
inline constexpr std::string_view kUnknown = "Unknown";

// The text every outgoing message begins with, for the given node UID.
std::string XapHeaderPrefix(std::string_view uid);

// The text with each control character made a space: a line break inside a name or value
// would start a forged line of the message, and other controls have no place on the wire.
std::string WithoutControls(std::string text);

// The wire text of a message of one section, as the node whose header begins `header_prefix`
// sends it: each name and value kept on its own line, and no target line when `target` is "".
std::string OneSectionMessage(
    std::string_view header_prefix, std::string_view klass, std::string_view source,
    std::string_view target, std::string_view section,
    const std::vector<std::pair<std::string_view, std::string_view>>& items);

// The one form in which an address names its sender, for every check of who sent something:
// lower case, without a sub-address ("qel.Process.PC:x" is "qel.process.pc"). "" for an address
// that can name no sender: empty, or with a wildcard ("*", ">") in it.
std::string SenderAddress(std::string_view address);

// What a header says of a message's target and class, read without parsing the rest: enough to
// drop a message for someone else before it costs more. Read as the whole parse reads them (the
// last line of a name counts); a target line that is absent is nullopt.
struct HeaderGlance {
  std::optional<std::string_view> target;
  std::string_view klass;
};
HeaderGlance GlanceAtHeader(std::string_view wire);

// True when two xAP addresses match, with "*" standing for one element and ">" for the rest.
bool CompareAddress(std::string_view sItem1, std::string_view sItem2);

class XapMessage {
 public:
  // Failures inside the model are written to `log`, never passed to the caller.
  explicit XapMessage(ErrorLog& log) : log_(&log) {}

  // Header fields: as last set for writing or parsed, else "Unknown"; views stay valid while the
  // message lives.
  std::string_view msgClass() const { return Field(kClass); }
  void msgClass(std::string_view value) { Set(kClass, value); }
  std::string_view msgTarget() const { return Field(kTarget); }
  void msgTarget(std::string_view value) { Set(kTarget, value); }
  std::string_view msgSource() const { return Field(kSource); }
  void msgSource(std::string_view value) { Set(kSource, value); }
  std::string_view msgUID() const { return Field(kUid); }
  void msgUID(std::string_view value) { Set(kUid, value); }

  // Writing. `header_prefix` is the node's XapHeaderPrefix; the message's own msgUID is not
  // written.
  int AddHeader(std::string_view header_prefix);
  int AddSection(std::string_view sSection);
  int AddItem(std::string_view sSection, std::string_view sItem, std::string_view sValue);
  std::string ToXap() const;
  int Init(std::string_view sMessage);

  // Reading. A message of up to 1,500 bytes and 64 items is parsed without a heap allocation.
  int FromXap(std::string_view sRawMessage);
  // The item's value as it stands after "=", or "Unknown"; valid while the message lives.
  std::string_view GetItem(std::string_view sSection, std::string_view sItem) const;
  std::vector<std::string> msgSection() const;
  // The raw lines of section `Index`, or nothing when there is no such section.
  std::optional<std::vector<std::string>> msgCollection(int16_t Index) const;

  bool CompareClass(std::string_view sClass) const;
  bool CompareSource(std::string_view sSource) const;
  bool CompareTarget(std::string_view sTarget) const;

 private:
  // Where a piece of the parsed text lies in raw_: offsets, so that copies stay valid.
  // Left uninitialized in bulk storage: a parse writes each one before it is read.
  struct Span {
    uint32_t offset;
    uint32_t length;
  };
  // One "key=value" line: the key as trimmed, the whole line, and where the value starts.
  struct Entry {
    Span key;
    Span line;
    uint32_t value;  // offset of the text after "="
  };
  // The lines after one "}": its name line (when there is one) and its entries.
  struct Section {
    Span name;
    bool indexed;  // named, and the first of its name
    uint32_t first;
    uint32_t count;
    uint64_t key_marks;  // a bit for each key in it: KeyMark of its length and first letter
  };
  enum HeaderField { kClass, kTarget, kSource, kUid, kHeaderFields };
  static constexpr std::size_t kInlineText = 1536;
  static constexpr std::size_t kInlineItems = 64;
  static constexpr std::size_t kInlineSections = 16;
  // Past this many keys in a section, or sections in a message, duplicates are found through
  // an index: a search of each against all before it would make the parse quadratic.
  static constexpr uint32_t kSearchedLimit = 16;

  std::string_view Text(Span span) const { return raw_.view().substr(span.offset, span.length); }
  std::string_view Field(HeaderField field) const {
    return known_[field] ? Text(header_[field]) : kUnknown;
  }
  // A value set for writing is kept with the parsed text, so that setting one allocates nothing.
  void Set(HeaderField field, std::string_view value) {
    header_[field] = {static_cast<uint32_t>(raw_.size()), static_cast<uint32_t>(value.size())};
    raw_.append(value);
    known_[field] = true;
  }
  // One of 64 bits for a key: two keys of different marks differ, so only a key whose mark a
  // section has already can repeat one of its keys. Length and first letter (in either case)
  // tell most keys of a message apart.
  static uint64_t KeyMark(std::string_view key) {
    const unsigned first = key.empty() ? 0u : static_cast<unsigned char>(key[0]) | 0x20u;
    return uint64_t{1} << ((key.size() * 7 + first) % 64);
  }
  static int HeaderFieldOf(std::string_view key);
  const Section* FindSection(std::string_view name) const;
  // Whether an indexed section of that name came before, as FindSection, linear in the parse.
  // The search serves ordinary messages; the index, kept out of line, the long ones.
  bool SeenSection(std::string_view name) {
    return sections_.size() < kSearchedLimit ? FindSection(name) != nullptr
                                             : SeenSectionInIndex(name);
  }
  bool SeenSectionInIndex(std::string_view name);
  // Whether `key` came before in `section`, which has kSearchedLimit keys or more.
  bool RepeatedInIndex(const Section& section, std::string_view key);
  // The entry of `section` whose key is `key`, letter case ignored; nullptr when none.
  const Entry* FindEntry(const Section& section, std::string_view key) const;
  Section& OpenSection(Span name, bool indexed);
  // Adds a body item to `section`, the last, unless its key (`text` at `key`) is there already.
  void AddEntry(Section& section, std::string_view text, Span key, Span line, uint32_t value);
  void ReportFromXap(long number, std::string_view description, int line);

  ErrorLog* log_;
  FastString builder_;
  Span header_[kHeaderFields] = {};
  bool known_[kHeaderFields] = {};
  // The parsed text, and the header values set for writing.
  InlineText<kInlineText> raw_;
  InlineVector<Entry, kInlineItems> entries_;
  InlineVector<Section, kInlineSections> sections_;
  // Made only for a message long enough to need them: an ordinary one carries one null pointer,
  // and its parse and its end never look inside.
  struct Indexes;
  struct DeleteIndexes {
    void operator()(Indexes* indexes) const;
  };
  std::unique_ptr<Indexes, DeleteIndexes> indexes_;
  bool sectionOpen_ = false;
  bool reported_ = false;  // a fault of this parse was written to the log
};

}  // namespace varnix
