// Secret files on Windows: a protected DACL for the owner, the administrators and the system
// alone, and a check of the DACL for groups that every user belongs to.
#include <memory>

#include "platform/error.h"
#include "platform/private_file.h"
#include "platform/win32/windows_headers.h"
// After windows.h, which they need.
#include <aclapi.h>
#include <sddl.h>

namespace varnix {
namespace {

Error LastError(const std::string& what) {
  const DWORD number = GetLastError();
  return Error(static_cast<long>(number), what + ": " + SystemErrorText(number));
}

struct LocalFreer {
  void operator()(void* memory) const { LocalFree(memory); }
};

}  // namespace

void WritePrivateFile(const std::string& path, const std::string& text) {
  // Not inherited from the folder ("P"): full access for the owner, administrators, system.
  PSECURITY_DESCRIPTOR made = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
          L"D:P(A;;FA;;;OW)(A;;FA;;;BA)(A;;FA;;;SY)", SDDL_REVISION_1, &made, nullptr)) {
    throw LastError("cannot describe who may read " + path);
  }
  const std::unique_ptr<void, LocalFreer> descriptor(made);
  SECURITY_ATTRIBUTES attributes{sizeof attributes, made, FALSE};
  const HANDLE file = CreateFileW(WideFromText(path).c_str(), GENERIC_WRITE, 0, &attributes,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) throw LastError("cannot create " + path);
  DWORD written = 0;
  const BOOL wrote =
      WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(file);
  if (!wrote || written != text.size()) throw LastError("cannot write " + path);
}

void MakeFolderPrivate(const std::string& folder) {
  // Protected from the parent's entries, and inherited by whatever is made inside.
  PSECURITY_DESCRIPTOR made = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
          L"D:P(A;OICI;FA;;;OW)(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)", SDDL_REVISION_1, &made,
          nullptr)) {
    throw LastError("cannot describe who may read " + folder);
  }
  const std::unique_ptr<void, LocalFreer> descriptor(made);
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL dacl = nullptr;
  if (!GetSecurityDescriptorDacl(made, &present, &dacl, &defaulted)) {
    throw LastError("cannot describe who may read " + folder);
  }
  std::wstring wide = WideFromText(folder);
  const DWORD result = SetNamedSecurityInfoW(
      wide.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
      nullptr, nullptr, dacl, nullptr);
  if (result != ERROR_SUCCESS) {
    throw Error(static_cast<long>(result),
                "cannot make " + folder + " private: " + SystemErrorText(result));
  }
}

void MakeNewFilesPrivate(const std::string&) {}

void ShareFolderWithGroup(const std::string& folder, const std::string& group) {
  throw Error(ERROR_NOT_SUPPORTED, "[Logs] Group=" + group + " is for Linux: on Windows, " +
                                       folder + " is read by the node's user and administrators");
}

std::string WhoElseCanRead(const std::string& path) {
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR found = nullptr;
  const DWORD result =
      GetNamedSecurityInfoW(WideFromText(path).c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                            nullptr, nullptr, &dacl, nullptr, &found);
  if (result != ERROR_SUCCESS) {
    throw Error(static_cast<long>(result),
                "cannot read who may read " + path + ": " + SystemErrorText(result));
  }
  const std::unique_ptr<void, LocalFreer> descriptor(found);
  // No DACL at all: everyone has every right.
  if (dacl == nullptr) return "readable by everyone (it has no access list)";
  for (const auto& [sddl, name] :
       {std::pair{L"WD", "Everyone"}, std::pair{L"AU", "Authenticated Users"},
        std::pair{L"BU", "Users"}}) {
    PSID sid = nullptr;
    if (!ConvertStringSidToSidW(sddl, &sid)) continue;
    const std::unique_ptr<void, LocalFreer> owned(sid);
    TRUSTEE_W trustee{};
    BuildTrusteeWithSidW(&trustee, sid);
    ACCESS_MASK rights = 0;
    // Where the system cannot tell (Wine), the owner's own choice of folder is trusted.
    if (GetEffectiveRightsFromAclW(dacl, &trustee, &rights) != ERROR_SUCCESS) continue;
    if ((rights & FILE_READ_DATA) != 0) return std::string("readable by ") + name;
  }
  return "";
}

}  // namespace varnix
