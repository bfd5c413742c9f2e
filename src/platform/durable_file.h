// Replacing a file so that a power cut, a crash or a full disk leaves its old content or its
// new one, whole: written aside, flushed, renamed over it, and the folder flushed.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace varnix {

// The system's calls that a durable replace is made of. Each throws Error when the system
// refuses; a fake of them shows what a failure at each step leaves behind.
class FileSteps {
 public:
  // A file open for writing, closed when dropped.
  class Writer {
   public:
    virtual ~Writer() = default;
    // Writes from the start of `bytes`; how many were taken, which may be fewer.
    virtual size_t Write(std::string_view bytes) = 0;
    // Returns once what was written is on the disk.
    virtual void Flush() = 0;
  };

  virtual ~FileSteps() = default;
  // A new, empty file at `path` (one there is emptied); `owner_only`, readable by its owner
  // alone (and, on Windows, the administrators and the system).
  virtual std::unique_ptr<Writer> Create(const std::string& path, bool owner_only) = 0;
  // `from` takes the name `to` in one step, in place of the file there.
  virtual void Replace(const std::string& from, const std::string& to) = 0;
  // Returns once the folder that holds `path` has its entries on the disk, so that a rename
  // in it outlives a power cut; nothing where the system makes renames durable itself.
  virtual void FlushFolderOf(const std::string& path) = 0;
  virtual void Remove(const std::string& path) noexcept = 0;
};

// This system's own steps.
FileSteps& SystemFileSteps();

// Makes `bytes` the whole content of `path`. Throws Error when a step fails, and then `path`
// is as it was: the old file is never emptied or written over in place.
void ReplaceFileDurably(FileSteps& steps, const std::string& path, std::string_view bytes,
                        bool owner_only = false);

}  // namespace varnix
