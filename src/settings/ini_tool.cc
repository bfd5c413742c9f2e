// IniTool: loading, look-ups, edits, and the layout-keeping save with its backup.
#include "settings/ini_tool.h"

#include <algorithm>
#include <regex>

#include "core/create_folders.h"
#include "core/text.h"
#include "platform/text_encoding.h"

namespace varnix {
namespace {

constexpr char kLineEnd[] = "\r\n";
using errors::kOverflow;

std::string EntryKey(const std::string& header, const std::string& key) {
  return UpperCase(header) + "~" + UpperCase(key);
}

struct Row {
  std::string header;
  std::string key;
  std::string value;
  bool written = false;
};

}  // namespace

const IniTool::Entry* IniTool::Find(const std::string& key) const {
  const auto found = index_.find(key);
  return found == index_.end() ? nullptr : &entries_[found->second];
}

void IniTool::Put(const std::string& key, const std::string& value) {
  const auto found = index_.find(key);
  if (found != index_.end()) {
    entries_[found->second].value = value;
    return;
  }
  index_.emplace(key, entries_.size());
  entries_.push_back({key, value});
}

void IniTool::Load(const std::string& fPath) {
  Clear();
  path_ = fPath;
  if (!files_.FileExists(fPath)) {
    CreateFolders(fPath, paths_, files_, report_);
    files_.WriteAll(fPath, "");
    return;
  }
  // As Notepad may have saved it: with a mark that would otherwise glue itself to the first
  // section's name (and drop that section without a word), or as "Unicode".
  const std::optional<std::string> text = TextOfFile(files_.ReadBytes(fPath), TextFromCodePage);
  if (!text) {
    report_.SendErrorEvent("IniTool", " " + fPath +
                                          " is neither UTF-8, UTF-16 with its mark, nor the "
                                          "code page: its settings are not read");
    return;
  }
  std::string section;  // the keys before the first section line belong to ""
  for (const std::string& raw : SplitLines(*text)) {
    const std::string_view line = TrimSpaces(raw);
    if (line.empty() || line.front() == ';') continue;
    if (line.front() == '[' && line.back() == ']' && line.size() >= 2) {
      section = std::string(line.substr(1, line.size() - 2));
      const std::string key = UpperCase(section);
      if (Find(key) == nullptr) Put(key, section);
      continue;
    }
    const auto equals = line.find('=');
    if (equals == std::string_view::npos) {
      report_.SendErrorEvent("IniTool", " Equal sign not found on line " + std::string(line));
      continue;
    }
    const std::string key = EntryKey(section, std::string(line.substr(0, equals)));
    if (Find(key) == nullptr) Put(key, std::string(line.substr(equals + 1)));
  }
}

std::string IniTool::Read(const std::string& header, const std::string& Key,
                          const std::string& defaultvalue) const {
  const Entry* entry = Find(EntryKey(header, Key));
  // An empty value reads as missing.
  if (entry == nullptr || entry->value.empty()) return defaultvalue;
  return entry->value;
}

void IniTool::WriteKey(const std::string& header, const std::string& Key,
                       const std::string& newValue) {
  const std::string section = UpperCase(header);
  if (Find(section) == nullptr) Put(section, header);
  Put(EntryKey(header, Key), newValue);
}

void IniTool::Remove(const std::string& header, const std::string& Key) {
  const auto found = index_.find(EntryKey(header, Key));
  if (found == index_.end()) return;
  entries_[found->second].removed = true;
  index_.erase(found);
}

std::vector<std::string> IniTool::Headers() const {
  std::vector<std::string> names;
  for (const Entry& entry : entries_) {
    if (!entry.removed && UpperCase(entry.value) == entry.key) names.push_back(entry.value);
  }
  return names;
}

std::vector<std::string> IniTool::HeadersStartingWith(std::string_view prefix) const {
  std::vector<std::string> names = Headers();
  std::erase_if(names, [&](const std::string& name) {
    return name.size() <= prefix.size() ||
           !EqualsIgnoringCase(std::string_view(name).substr(0, prefix.size()), prefix);
  });
  return names;
}

void IniTool::SayUnknownKeys(const std::string& header, const std::vector<std::string_view>& known,
                             ErrorLog& log) const {
  for (const std::string& key : SectionKeys(header)) {
    const std::string_view name = TrimSpaces(key);
    if (std::find(known.begin(), known.end(), name) == known.end()) {
      log.WriteErrorLog(kLogType, "The setting " + ShownSafely(key) + " in " + path_ +
                                      ", section [" + ShownSafely(header) +
                                      "], is not one the node knows: it is ignored");
    }
  }
}

std::vector<std::string> IniTool::Keys(const std::string& header) const {
  std::regex pattern;
  try {
    // The name goes in as pattern text, as callers of this interface expect.
    pattern = std::regex("^" + header + "\\~", std::regex::ECMAScript | std::regex::icase);
  } catch (const std::regex_error& e) {
    throw Error(errors::kInvalidCall,
                "Invalid section name pattern \"" + header + "\": " + e.what());
  }
  std::vector<std::string> names;
  for (const Entry& entry : entries_) {
    if (entry.removed || !std::regex_search(entry.key, pattern)) continue;
    const std::string name = entry.key.substr(entry.key.find('~') + 1);
    if (TrimSpaces(name).empty()) continue;
    names.push_back(name);
  }
  if (names.empty()) names.emplace_back();
  return names;
}

std::vector<std::string> IniTool::SectionKeys(const std::string& header) const {
  const std::string prefix = UpperCase(header) + "~";
  std::vector<std::string> names;
  for (const Entry& entry : entries_) {
    if (!entry.removed && entry.key.starts_with(prefix)) {
      names.push_back(entry.key.substr(prefix.size()));
    }
  }
  return names;
}

void IniTool::Clear() {
  entries_.clear();
  index_.clear();
}

void IniTool::Save() {
  // Every limit is checked before the file or its backup is touched.
  std::vector<Row> rows;
  for (const Entry& entry : entries_) {
    const auto tilde = entry.key.find('~');
    if (entry.removed || tilde == std::string::npos) continue;
    Row row{entry.key.substr(0, tilde), entry.key.substr(tilde + 1), entry.value};
    if (row.header.size() > kMaxSection) {
      throw Error(kOverflow, "Section name longer than 100 characters: " + row.header);
    }
    if (row.key.size() > kMaxKey) {
      throw Error(kOverflow, "Key name longer than 65 characters: " + row.key);
    }
    if (row.value.size() > kMaxValue) {
      throw Error(kOverflow,
                  "Value of " + row.header + "~" + row.key + " longer than 255 characters");
    }
    rows.push_back(std::move(row));
  }

  const std::string backup = path_ + "_bck";
  files_.Copy(path_, backup);
  const std::vector<std::string> lines = SplitLines(files_.ReadAll(backup));

  std::string out;
  const auto write = [&out](std::string_view line) {
    out.append(line);
    out.append(kLineEnd);
  };
  std::string current;
  for (const std::string& line : lines) {
    if (!line.empty() && line.front() == '[') {
      // Keys added to the section that ends here go just before the next section line.
      if (!current.empty()) {
        for (Row& row : rows) {
          if (!row.written && EqualsIgnoringCase(row.header, current)) {
            write(row.key + "=" + row.value);
            row.written = true;
          }
        }
      }
      const auto close = line.find(']');
      if (close != std::string::npos) current = line.substr(1, close - 1);
      write(line);
    } else if (!line.empty() && line.front() == ';') {
      write(line);
    } else if (const auto equals = line.find('='); equals != std::string::npos) {
      const std::string name = line.substr(0, equals);
      const auto row = std::find_if(rows.begin(), rows.end(), [&](const Row& r) {
        return !r.written && EqualsIgnoringCase(r.header, current) &&
               EqualsIgnoringCase(r.key, name);
      });
      if (row != rows.end()) {
        row->written = true;
        write(name + "=" + row->value);
      } else {
        write(";" + line);  // removed keys stay in the file as comments
      }
    } else {
      write(line);
    }
  }

  // What is left goes under new section lines, sections and keys in alphabetical order.
  std::vector<Row*> rest;
  for (Row& row : rows) {
    if (!row.written) rest.push_back(&row);
  }
  std::stable_sort(rest.begin(), rest.end(), [](const Row* a, const Row* b) {
    return a->header != b->header ? a->header < b->header : a->key < b->key;
  });
  for (size_t i = 0; i < rest.size(); ++i) {
    if (i == 0 || rest[i]->header != rest[i - 1]->header) write("[" + rest[i]->header + "]");
    write(rest[i]->key + "=" + rest[i]->value);
  }
  files_.WriteAll(path_, out);
}

}  // namespace varnix
