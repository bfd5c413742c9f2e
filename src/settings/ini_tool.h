// One INI file in memory: case-blind look-ups, edits, and a save that keeps the file's own layout.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/failure.h"
#include "core/text.h"
#include "platform/file_system.h"
#include "platform/machine.h"

namespace varnix {

class IniTool {
 public:
  // `paths` are the rules for the folders Load creates. The install operations also need
  // `machine`, for the dates they write.
  IniTool(FileSystem& files, EventReport& report, PathRules paths, Machine* machine = nullptr)
      : files_(files), report_(report), paths_(paths), machine_(machine) {}

  // Install operations: carry values of the loaded file into a source file. Each adds a line
  // to the install log beside the INI file, then rewrites `filename` whole. Failures, an
  // invalid name among them, reach the caller; the target file is then left unchanged.
  void InstallKeys(const std::string& filename, const std::string& HeaderName);
  void InstallConstant(const std::string& filename, const std::string& KeyName,
                       const std::string& KeyValue);
  void InstallStrings(const std::string& filename, const std::string& HeaderName);
  void InstallArray(const std::string& filename, const std::string& HeaderName,
                    const std::string& Array1Name, const std::string& Array2Name);

  // Reads the file; a missing file is created empty, with its folders.
  void Load(const std::string& fPath);
  void DumpHashTable() {}
  std::string Read(const std::string& header, const std::string& Key,
                   const std::string& defaultvalue) const;
  void WriteKey(const std::string& header, const std::string& Key, const std::string& newValue);
  void Remove(const std::string& header, const std::string& Key);
  // The section names as first written, in order; empty when there is none.
  std::vector<std::string> Headers() const;
  // Those of them that begin with `prefix` in any letter case and name something after it
  // ([Program Backup] for "Program ").
  std::vector<std::string> HeadersStartingWith(std::string_view prefix) const;
  // Names in `log` each key of the section `header` that is none of `known` (upper case): the
  // key is ignored, and whoever wrote it learns that it does nothing.
  void SayUnknownKeys(const std::string& header, const std::vector<std::string_view>& known,
                      ErrorLog& log) const;
  // Upper-cased key names of the sections whose name matches `header` as a case-blind
  // pattern; one empty name when there is none. Throws Error for an invalid pattern.
  std::vector<std::string> Keys(const std::string& header) const;
  // Upper-cased key names of the section called `header` in any letter case, in the
  // file's order.
  std::vector<std::string> SectionKeys(const std::string& header) const;
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
  // Adds the run's line to the install log; returns the stamp for rewritten lines.
  std::string WriteInstallLog(const std::string& filename, const std::string& name);
  // Adds the entry at the end, or replaces the value in place.
  void Put(const std::string& key, const std::string& value);

  FileSystem& files_;
  EventReport& report_;
  PathRules paths_;
  Machine* machine_;
  std::string path_;
  // Insertion order is the file's order; removed entries stay as tombstones so that
  // positions in `index_` hold.
  std::vector<Entry> entries_;
  std::unordered_map<std::string, size_t> index_;
};

}  // namespace varnix
