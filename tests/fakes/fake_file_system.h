// Files and folders in memory, with paths taken as plain text, so any system's path rules can be
// tested.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/file_system.h"

namespace varnix {

class FakeFileSystem : public FileSystem {
 public:
  bool FileExists(const std::string& path) override { return files.count(path) != 0; }
  bool FolderExists(const std::string& path) override { return folders.count(path) != 0; }
  void CreateFolder(const std::string& path) override {
    if (failing_folders.count(path) != 0) throw Error(70, "Permission denied");
    folders.insert(path);
    created.push_back(path);
  }
  std::string ReadAll(const std::string& path) override {
    const auto found = files.find(path);
    if (found == files.end()) throw Error(53, "File not found");
    return found->second;
  }
  std::string ReadBytes(const std::string& path) override { return ReadAll(path); }
  std::string ReadEnd(const std::string& path, size_t max_bytes) override {
    const std::string all = ReadAll(path);
    return all.size() > max_bytes ? all.substr(all.size() - max_bytes) : all;
  }
  std::string ReadStart(const std::string& path, size_t max_bytes) override {
    return ReadAll(path).substr(0, max_bytes);
  }
  void WriteAll(const std::string& path, std::string_view text) override {
    files[path] = std::string(text);
  }
  void Append(const std::string& path, std::string_view text) override {
    if (read_only_files.count(path) != 0) throw Error(70, "Permission denied");
    files[path] += text;
  }
  void AppendUtf8(const std::string& path, std::string_view text) override { Append(path, text); }
  void Copy(const std::string& from, const std::string& to) override { files[to] = ReadAll(from); }
  void Rename(const std::string& from, const std::string& to) override {
    files[to] = ReadAll(from);
    files.erase(from);
  }
  std::string RealPath(const std::string& path) override {
    const auto link = links.find(path);
    if (link != links.end()) return link->second;
    return FileExists(path) ? path : std::string();
  }
  uint64_t FileSize(const std::string& path) override {
    return FileExists(path) ? files[path].size() : 0;
  }
  bool IsWritableFolder(const std::string& folder) override {
    std::string path = folder;
    if (!path.empty() && (path.back() == '/' || path.back() == '\\')) path.pop_back();
    return folders.count(path) != 0;
  }
  std::chrono::system_clock::time_point LastModified(const std::string& path) override {
    ReadAll(path);
    return {};
  }

  std::map<std::string, std::string> files;
  std::map<std::string, std::string> links;  // a path and the file it leads to
  std::set<std::string> folders;
  std::set<std::string> failing_folders;
  std::set<std::string> read_only_files;
  std::vector<std::string> created;
};

}  // namespace varnix
