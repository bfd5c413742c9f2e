// Files and folders as the node uses them: whole-file reads and writes, appends, copies.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace varnix {

// Every failing call throws Error with the system's number and text.
class FileSystem {
 public:
  virtual ~FileSystem() = default;

  virtual bool FileExists(const std::string& path) = 0;
  virtual bool FolderExists(const std::string& path) = 0;
  virtual void CreateFolder(const std::string& path) = 0;
  // Makes the folder its owner's alone, and what is made in it; nothing where the system has
  // no owners.
  virtual void MakeFolderPrivate(const std::string&) {}
  // Makes the folder its owner's and readable by the members of `group`, and what is in it
  // and is made in it. Throws Error for an unknown group, or where the system has none.
  virtual void ShareFolderWithGroup(const std::string&, const std::string&) {}
  virtual std::string ReadAll(const std::string& path) = 0;
  // At most the first `max_bytes` of the file: a file that anyone may have grown is never
  // read whole into memory.
  virtual std::string ReadStart(const std::string& path, size_t max_bytes) = 0;
  // The last `max_bytes` of the file as they are (all of a smaller one).
  virtual std::string ReadEnd(const std::string& path, size_t max_bytes) = 0;
  // The file's bytes as they are, for a reader that tells their encoding itself.
  virtual std::string ReadBytes(const std::string& path) = 0;
  // Makes `text` the file's whole content; a reader, or the file after a crash or power cut,
  // has the old content or the new, never part of either. On failure the old file stays.
  virtual void WriteAll(const std::string& path, std::string_view text) = 0;
  // As WriteAll, readable by its owner alone (and, on Windows, administrators and the system).
  virtual void WritePrivate(const std::string& path, std::string_view text) {
    WriteAll(path, text);
  }
  // Empties the file in place (creating it when missing): for a file whose lines are worth
  // less than its bound, which a reader holding it open must not stop.
  virtual void Empty(const std::string& path) { WriteAll(path, ""); }
  // Creates the file when missing. Text is stored in the system's code page, as the files of
  // other programs are; AppendUtf8 stores it as UTF-8, which holds every character.
  virtual void Append(const std::string& path, std::string_view text) = 0;
  virtual void AppendUtf8(const std::string& path, std::string_view text) = 0;
  virtual void Copy(const std::string& from, const std::string& to) = 0;
  // Gives the file a new name, in place of any file of that name.
  virtual void Rename(const std::string& from, const std::string& to) = 0;
  // The file's size in bytes; 0 when there is no such file.
  virtual uint64_t FileSize(const std::string& path) = 0;
  // The absolute path of the file with every link followed; "" when there is no such file.
  virtual std::string RealPath(const std::string& path) = 0;
  // Whether a file can be made in `folder` now; leaves nothing behind.
  virtual bool IsWritableFolder(const std::string& folder) = 0;
  virtual std::chrono::system_clock::time_point LastModified(const std::string& path) = 0;
};

// The standard library's file system, the same on every system.
class StdFileSystem : public FileSystem {
 public:
  bool FileExists(const std::string& path) override;
  bool FolderExists(const std::string& path) override;
  void CreateFolder(const std::string& path) override;
  void MakeFolderPrivate(const std::string& path) override;
  void ShareFolderWithGroup(const std::string& path, const std::string& group) override;
  std::string ReadAll(const std::string& path) override;
  std::string ReadStart(const std::string& path, size_t max_bytes) override;
  std::string ReadEnd(const std::string& path, size_t max_bytes) override;
  std::string ReadBytes(const std::string& path) override;
  void WriteAll(const std::string& path, std::string_view text) override;
  void WritePrivate(const std::string& path, std::string_view text) override;
  void Empty(const std::string& path) override;
  void Append(const std::string& path, std::string_view text) override;
  void AppendUtf8(const std::string& path, std::string_view text) override;
  void Copy(const std::string& from, const std::string& to) override;
  void Rename(const std::string& from, const std::string& to) override;
  uint64_t FileSize(const std::string& path) override;
  std::string RealPath(const std::string& path) override;
  bool IsWritableFolder(const std::string& folder) override;
  std::chrono::system_clock::time_point LastModified(const std::string& path) override;
};

}  // namespace varnix
