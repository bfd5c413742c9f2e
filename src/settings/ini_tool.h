// One INI file in memory: case-blind look-ups, edits, and a save that keeps the file's own layout.
#pragma once

#include <string>
#include <unordered_map>
#include <vector>

#include "core/failure.h"
#include "platform/file_system.h"

namespace varnix {

class IniTool {
 public:
  // `separator` is the system's path separator, for the folders Load creates.
  IniTool(FileSystem& files, EventReport& report, char separator)
      : files_(files), report_(report), separator_(separator) {}

  // Reads the file; a missing file is created empty, with its folders.
  void Load(const std::string& fPath);
  void DumpHashTable() {}
  std::string Read(const std::string& header, const std::string& Key,
                   const std::string& defaultvalue) const;
  void WriteKey(const std::string& header, const std::string& Key, const std::string& newValue);
  void Remove(const std::string& header, const std::string& Key);
  // The section names as first written, in order; empty when there is none.
  std::vector<std::string> Headers() const;
  // Upper-cased key names of the sections whose name matches `header` as a case-blind
  // pattern; one empty name when there is none. Throws Error for an invalid pattern.
  std::vector<std::string> Keys(const std::string& header) const;
  void Clear();
  // Writes the table back into the file, keeping the old content as fPath + "_bck".
  void Save();

  const std::string& path() const { return path_; }

  static constexpr size_t kMaxSection = 100;
  static constexpr size_t kMaxKey = 65;
  static constexpr size_t kMaxValue = 255;

 private:
  struct Entry {
    std::string key;
    std::string value;
    bool removed = false;
  };

  const Entry* Find(const std::string& key) const;
  // Adds the entry at the end, or replaces the value in place.
  void Put(const std::string& key, const std::string& value);

  FileSystem& files_;
  EventReport& report_;
  char separator_;
  std::string path_;
  // Insertion order is the file's order; removed entries stay as tombstones so that
  // positions in `index_` hold.
  std::vector<Entry> entries_;
  std::unordered_map<std::string, size_t> index_;
};

// Splits text at line ends (LF or CR LF); a final line end adds no empty line.
std::vector<std::string> SplitLines(const std::string& text);

// Upper-cases ASCII letters.
std::string UpperCase(std::string_view text);

}  // namespace varnix
