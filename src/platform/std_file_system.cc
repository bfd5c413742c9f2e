// The file system through std::filesystem and streams; no OS header is needed. Paths may hold
// any character; the contents of files are in the system's code page.
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "platform/durable_file.h"
#include "platform/error.h"
#include "platform/file_system.h"
#include "platform/private_file.h"
#include "platform/shared_read.h"
#include "platform/text_encoding.h"

namespace varnix {
namespace {

namespace fs = std::filesystem;

using errors::kFileIo;
using errors::kFileNotFound;
using errors::kPathNotFound;
using errors::kPermissionDenied;

[[noreturn]] void ThrowFileError(const std::string& what, const std::string& path) {
  const int saved = errno;
  long number = kFileIo;
  if (saved == ENOENT) number = kFileNotFound;
  if (saved == EACCES || saved == EPERM) number = kPermissionDenied;
  throw Error(number, what + " " + path + ": " + std::strerror(saved));
}

[[noreturn]] void ThrowFileError(const std::string& what, const std::string& path,
                                 const std::error_code& code) {
  long number = kFileIo;
  if (code == std::errc::no_such_file_or_directory) number = kPathNotFound;
  if (code == std::errc::permission_denied) number = kPermissionDenied;
  throw Error(number, what + " " + path + ": " + code.message());
}

// Writes `bytes` to the file opened with `mode` (emptied or appended to), creating it if missing.
void Write(const std::string& path, std::string_view bytes, std::ios::openmode mode) {
  errno = 0;
  std::ofstream out(PathFromText(path), std::ios::binary | mode);
  if (!out) ThrowFileError("Cannot open", path);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) ThrowFileError("Cannot write", path);
}

std::string Read(const std::string& path, size_t max_bytes = SIZE_MAX) {
  return ReadShared(path, max_bytes, /*from_end=*/false);
}

}  // namespace

bool StdFileSystem::FileExists(const std::string& path) {
  std::error_code code;
  return fs::is_regular_file(PathFromText(path), code);
}

bool StdFileSystem::FolderExists(const std::string& path) {
  std::error_code code;
  return fs::is_directory(PathFromText(path), code);
}

void StdFileSystem::CreateFolder(const std::string& path) {
  std::error_code code;
  if (!fs::create_directory(PathFromText(path), code) && code) {
    ThrowFileError("Cannot create folder", path, code);
  }
}

void StdFileSystem::MakeFolderPrivate(const std::string& path) { varnix::MakeFolderPrivate(path); }

void StdFileSystem::ShareFolderWithGroup(const std::string& path, const std::string& group) {
  varnix::ShareFolderWithGroup(path, group);
}

std::string StdFileSystem::ReadAll(const std::string& path) { return TextFromCodePage(Read(path)); }

std::string StdFileSystem::ReadBytes(const std::string& path) { return Read(path); }

std::string StdFileSystem::ReadStart(const std::string& path, size_t max_bytes) {
  return TextFromCodePage(Read(path, max_bytes));
}

std::string StdFileSystem::ReadEnd(const std::string& path, size_t max_bytes) {
  return ReadShared(path, max_bytes, /*from_end=*/true);
}

void StdFileSystem::WriteAll(const std::string& path, std::string_view text) {
  ReplaceFileDurably(SystemFileSteps(), path, TextToCodePage(std::string(text)));
}

void StdFileSystem::WritePrivate(const std::string& path, std::string_view text) {
  ReplaceFileDurably(SystemFileSteps(), path, TextToCodePage(std::string(text)),
                     /*owner_only=*/true);
}

void StdFileSystem::Empty(const std::string& path) { Write(path, "", std::ios::trunc); }

void StdFileSystem::Append(const std::string& path, std::string_view text) {
  Write(path, TextToCodePage(std::string(text)), std::ios::app);
}

void StdFileSystem::AppendUtf8(const std::string& path, std::string_view text) {
  Write(path, std::string(text), std::ios::app);
}

void StdFileSystem::Copy(const std::string& from, const std::string& to) {
  // Byte for byte, by hand: MinGW's copy_file refuses to replace an existing file.
  Write(to, Read(from), std::ios::trunc);
}

void StdFileSystem::Rename(const std::string& from, const std::string& to) {
  std::error_code code;
  fs::rename(PathFromText(from), PathFromText(to), code);
  if (code) {
    // Where a rename does not replace (some Windows file systems), the old file goes first.
    fs::remove(PathFromText(to), code);
    fs::rename(PathFromText(from), PathFromText(to), code);
  }
  if (code) ThrowFileError("Cannot rename", from, code);
}

uint64_t StdFileSystem::FileSize(const std::string& path) {
  std::error_code code;
  const uintmax_t size = fs::file_size(PathFromText(path), code);
  return code ? 0 : static_cast<uint64_t>(size);
}

std::string StdFileSystem::RealPath(const std::string& path) {
  std::error_code code;
  const fs::path real = fs::canonical(PathFromText(path), code);
  return code ? std::string() : TextFromPath(real);
}

bool StdFileSystem::IsWritableFolder(const std::string& folder) {
  // Trying is the only sure test: permissions, a read-only medium and quotas all count.
  const fs::path probe = PathFromText(folder) / ".varnix-write-test";
  {
    std::ofstream out(probe, std::ios::binary | std::ios::trunc);
    if (!out) return false;
  }
  std::error_code code;
  fs::remove(probe, code);
  return true;
}

std::chrono::system_clock::time_point StdFileSystem::LastModified(const std::string& path) {
  std::error_code code;
  const fs::file_time_type written = fs::last_write_time(PathFromText(path), code);
  if (code) ThrowFileError("Cannot read the date of", path, code);
  return std::chrono::time_point_cast<std::chrono::system_clock::duration>(
      std::chrono::file_clock::to_sys(written));
}

}  // namespace varnix
