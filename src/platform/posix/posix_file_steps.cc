// The system's file calls through POSIX: a durable replace's steps (fsync of the file, then of
// its folder), and reads beside other writers.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/durable_file.h"
#include "platform/error.h"
#include "platform/posix/unique_fd.h"
#include "platform/shared_read.h"

namespace varnix {
namespace {

[[noreturn]] void Throw(const std::string& what, const std::string& path) {
  const int saved = errno;
  long number = errors::kFileIo;
  if (saved == ENOENT) number = errors::kPathNotFound;
  if (saved == EACCES || saved == EPERM || saved == EROFS) number = errors::kPermissionDenied;
  throw Error(number, what + " " + path + ": " + std::strerror(saved));
}

class PosixWriter : public FileSteps::Writer {
 public:
  PosixWriter(UniqueFd fd, std::string path) : fd_(std::move(fd)), path_(std::move(path)) {}

  size_t Write(std::string_view bytes) override {
    for (;;) {
      const ssize_t written = ::write(fd_.get(), bytes.data(), bytes.size());
      if (written >= 0) return static_cast<size_t>(written);
      if (errno != EINTR) Throw("Cannot write", path_);
    }
  }
  void Flush() override {
    if (::fsync(fd_.get()) != 0) Throw("Cannot flush", path_);
  }

 private:
  UniqueFd fd_;
  std::string path_;
};

class PosixFileSteps : public FileSteps {
 public:
  std::unique_ptr<Writer> Create(const std::string& path, bool owner_only) override {
    ::unlink(path.c_str());  // made anew, so that its mode is the one asked for
    UniqueFd fd(
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, owner_only ? 0600 : 0666));
    if (!fd.valid()) Throw("Cannot open", path);
    return std::make_unique<PosixWriter>(std::move(fd), path);
  }
  void Replace(const std::string& from, const std::string& to) override {
    if (::rename(from.c_str(), to.c_str()) != 0) Throw("Cannot rename " + from + " to", to);
  }
  void FlushFolderOf(const std::string& path) override {
    const size_t slash = path.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    // Some file systems take no fsync of a folder (EINVAL); the rename is then as durable as
    // they make it.
    if (!fd.valid() || (::fsync(fd.get()) != 0 && errno != EINVAL)) Throw("Cannot flush", folder);
  }
  void Remove(const std::string& path) noexcept override { ::unlink(path.c_str()); }
};

}  // namespace

FileSteps& SystemFileSteps() {
  static PosixFileSteps steps;
  return steps;
}

std::string ReadShared(const std::string& path, size_t max_bytes, bool from_end) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat status {};
  if (!fd.valid() || ::fstat(fd.get(), &status) != 0) {
    if (errno == ENOENT)
      throw Error(errors::kFileNotFound, "Cannot open " + path + ": " + std::strerror(ENOENT));
    Throw("Cannot open", path);
  }
  const auto size = static_cast<uint64_t>(status.st_size);
  const uint64_t start = from_end && size > max_bytes ? size - max_bytes : 0;
  // As long as the file was when opened, straight into the text; then whatever a file that
  // grew, or tells no size (/proc), holds past that.
  std::string bytes(static_cast<size_t>(std::min<uint64_t>(size - start, max_bytes)), '\0');
  size_t filled = 0;
  char more[4096];
  while (filled < max_bytes) {
    const bool within = filled < bytes.size();
    char* into = within ? bytes.data() + filled : more;
    const size_t room = within ? bytes.size() - filled : std::min(sizeof more, max_bytes - filled);
    const ssize_t got = ::pread(fd.get(), into, room, static_cast<off_t>(start + filled));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) Throw("Cannot read", path);
    if (got == 0) break;
    if (!within) bytes.append(more, static_cast<size_t>(got));
    filled += static_cast<size_t>(got);
  }
  bytes.resize(filled);
  return bytes;
}

}  // namespace varnix
