// The system's file calls through Win32: a durable replace's steps (FlushFileBuffers, then a
// write-through move), and reads that share the file with writers and renames.
#include <algorithm>

#include "platform/durable_file.h"
#include "platform/error.h"
#include "platform/shared_read.h"
#include "platform/win32/win32_handles.h"
#include "platform/win32/windows_headers.h"
// After windows.h, which it needs.
#include <sddl.h>

namespace varnix {
namespace {

[[noreturn]] void Throw(const std::string& what, const std::string& path) {
  const DWORD code = GetLastError();
  long number = errors::kFileIo;
  if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) number = errors::kPathNotFound;
  if (code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION) {
    number = errors::kPermissionDenied;
  }
  throw Error(number, what + " " + path + ": system error " + std::to_string(code));
}

class Win32Writer : public FileSteps::Writer {
 public:
  Win32Writer(ScopedHandle file, std::string path)
      : file_(std::move(file)), path_(std::move(path)) {}

  size_t Write(std::string_view bytes) override {
    DWORD written = 0;
    const auto size = static_cast<DWORD>(std::min<size_t>(bytes.size(), 1u << 30));
    if (!WriteFile(file_.get(), bytes.data(), size, &written, nullptr))
      Throw("Cannot write", path_);
    return written;
  }
  void Flush() override {
    if (!FlushFileBuffers(file_.get())) Throw("Cannot flush", path_);
  }

 private:
  ScopedHandle file_;
  std::string path_;
};

class Win32FileSteps : public FileSteps {
 public:
  std::unique_ptr<Writer> Create(const std::string& path, bool owner_only) override {
    // Not inherited from the folder ("P"): full access for the owner, administrators, system.
    PSECURITY_DESCRIPTOR made = nullptr;
    if (owner_only &&
        !ConvertStringSecurityDescriptorToSecurityDescriptorW(
            L"D:P(A;;FA;;;OW)(A;;FA;;;BA)(A;;FA;;;SY)", SDDL_REVISION_1, &made, nullptr)) {
      Throw("Cannot describe who may read", path);
    }
    SECURITY_ATTRIBUTES attributes{sizeof attributes, made, FALSE};
    ScopedHandle file(CreateFileW(WideFromText(path).c_str(), GENERIC_WRITE, 0,
                                  owner_only ? &attributes : nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (made != nullptr) LocalFree(made);
    if (!file.valid()) Throw("Cannot open", path);
    return std::make_unique<Win32Writer>(std::move(file), path);
  }
  void Replace(const std::string& from, const std::string& to) override {
    // Write-through: the move is on the disk when the call returns, folder entry and all.
    if (!MoveFileExW(WideFromText(from).c_str(), WideFromText(to).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      Throw("Cannot rename " + from + " to", to);
    }
  }
  void FlushFolderOf(const std::string&) override {}
  void Remove(const std::string& path) noexcept override {
    DeleteFileW(WideFromText(path).c_str());
  }
};

}  // namespace

FileSteps& SystemFileSteps() {
  static Win32FileSteps steps;
  return steps;
}

std::string ReadShared(const std::string& path, size_t max_bytes, bool from_end) {
  // Delete sharing too: without it a log the node reads could not be rotated meanwhile.
  ScopedHandle file(CreateFileW(WideFromText(path).c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  LARGE_INTEGER size{};
  if (!file.valid() || !GetFileSizeEx(file.get(), &size)) {
    const DWORD code = GetLastError();
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) {
      throw Error(errors::kFileNotFound,
                  "Cannot open " + path + ": system error " + std::to_string(code));
    }
    Throw("Cannot open", path);
  }
  const auto whole = static_cast<uint64_t>(size.QuadPart);
  LARGE_INTEGER start{};
  start.QuadPart = static_cast<LONGLONG>(from_end && whole > max_bytes ? whole - max_bytes : 0);
  if (!SetFilePointerEx(file.get(), start, nullptr, FILE_BEGIN)) Throw("Cannot read", path);
  // As long as the file was when opened, straight into the text; then whatever a file that
  // grew holds past that.
  std::string bytes(static_cast<size_t>(std::min<uint64_t>(
                        whole - static_cast<uint64_t>(start.QuadPart), max_bytes)),
                    '\0');
  size_t filled = 0;
  char more[4096];
  while (filled < max_bytes) {
    const bool within = filled < bytes.size();
    char* into = within ? bytes.data() + filled : more;
    const size_t room = within ? bytes.size() - filled : std::min(sizeof more, max_bytes - filled);
    DWORD got = 0;
    if (!ReadFile(file.get(), into, static_cast<DWORD>(std::min<size_t>(room, 1u << 30)), &got,
                  nullptr)) {
      Throw("Cannot read", path);
    }
    if (got == 0) break;
    if (!within) bytes.append(more, got);
    filled += got;
  }
  bytes.resize(filled);
  return bytes;
}

}  // namespace varnix
