// Machine facts on Windows, from kernel32, Windows Sockets and the IP helper.
#include "platform/win32/win32_machine.h"

#include <chrono>
#include <vector>

#include "platform/error.h"
#include "platform/udp_socket.h"
#include "platform/win32/win32_handles.h"
// After windows.h, which it needs.
#include <powrprof.h>

namespace varnix {
namespace {

// Wide: a folder name outside the code page would come back as question marks.
std::string ModulePath() {
  std::wstring path(32768, L'\0');
  const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
  return TextFromWide(std::wstring_view(path.data(), length));
}

}  // namespace

void Win32Machine::EnableShutdownPrivilege() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return;
  const ScopedHandle owner(token);
  TOKEN_PRIVILEGES privileges{};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  if (LookupPrivilegeValueA(nullptr, "SeShutdownPrivilege", &privileges.Privileges[0].Luid)) {
    TOKEN_PRIVILEGES previous{};
    DWORD length = sizeof previous;
    AdjustTokenPrivileges(token, FALSE, &privileges, sizeof previous, &previous, &length);
  }
}

void Win32Machine::ExitSystem(bool reboot, bool force) {
  const UINT flags = (reboot ? EWX_REBOOT : EWX_SHUTDOWN) | (force ? EWX_FORCE : 0);
  // A refusal (no privilege) leaves the computer running: the caller reports it.
  if (!ExitWindowsEx(flags, 0)) {
    const DWORD number = GetLastError();
    throw Error(static_cast<long>(number), "ExitWindowsEx: " + SystemErrorText(number));
  }
}

// The calls return at once: nothing to wait for.
void Win32Machine::SessionAction(SessionRequest request, const std::function<void(int)>&) {
  // What could not be done, in words, the system's call last, for whoever looks further.
  const auto fail = [](const std::string& what, const std::string& call) {
    const DWORD number = GetLastError();
    if (number == ERROR_CALL_NOT_IMPLEMENTED || number == ERROR_NOT_SUPPORTED) {
      throw Error(static_cast<long>(number),
                  "this system cannot " + what + " (" + call + " is not available)");
    }
    throw Error(static_cast<long>(number),
                "could not " + what + ": " + SystemErrorText(number) + " (" + call + ")");
  };
  switch (request) {
    case SessionRequest::kSleep:
      // Called directly: through rundll32 its arguments are misread, and it hibernates.
      EnableShutdownPrivilege();
      if (!SetSuspendState(FALSE, FALSE, FALSE))
        fail("put the computer to sleep", "SetSuspendState");
      return;
    case SessionRequest::kHibernate:
      if (!IsPwrHibernateAllowed()) {
        throw Error(ERROR_NOT_SUPPORTED,
                    "hibernation is not available on this computer (turned off, or no room for "
                    "its file)");
      }
      EnableShutdownPrivilege();
      if (!SetSuspendState(TRUE, FALSE, FALSE)) fail("hibernate the computer", "SetSuspendState");
      return;
    case SessionRequest::kLock:
      if (!LockWorkStation()) fail("lock the computer", "LockWorkStation");
      return;
    case SessionRequest::kLogoff:
      if (!ExitWindowsEx(EWX_LOGOFF, 0)) fail("log the user off", "ExitWindowsEx");
      return;
  }
}

std::string Win32Machine::ComputerName() {
  wchar_t name[128] = {};
  DWORD size = 128;
  if (!GetComputerNameW(name, &size)) {
    const DWORD number = GetLastError();
    throw Error(static_cast<long>(number), SystemErrorText(number));
  }
  return TextFromWide(std::wstring_view(name, size));
}

std::vector<std::string> Win32Machine::HostAddresses() {
  char name[256] = {};
  if (gethostname(name, sizeof name) == SOCKET_ERROR) return {};
  std::string trimmed(name);
  while (!trimmed.empty() && trimmed.back() == ' ') trimmed.pop_back();
  const hostent* entry = gethostbyname(trimmed.c_str());
  if (entry == nullptr) return {};
  std::vector<std::string> addresses;
  for (char** item = entry->h_addr_list; *item != nullptr; ++item) {
    std::string text;
    for (int i = 0; i < entry->h_length; ++i) {
      if (i > 0) text += '.';
      text += std::to_string(static_cast<unsigned char>((*item)[i]));
    }
    addresses.push_back(text);
  }
  return addresses;
}

std::vector<std::string> Win32Machine::HostNetworks() {
  ULONG size = 0;
  if (GetIpAddrTable(nullptr, &size, FALSE) != ERROR_INSUFFICIENT_BUFFER) return {};
  std::vector<unsigned char> buffer(size);
  auto* table = reinterpret_cast<MIB_IPADDRTABLE*>(buffer.data());
  if (GetIpAddrTable(table, &size, FALSE) != NO_ERROR) return {};
  std::vector<std::string> networks;
  for (DWORD i = 0; i < table->dwNumEntries; ++i) {
    const MIB_IPADDRROW& row = table->table[i];
    const uint32_t address = ntohl(row.dwAddr);
    if (address == 0) continue;
    networks.push_back(Endpoint{address, 0}.AddressText() + "/" +
                       std::to_string(__builtin_popcount(ntohl(row.dwMask))));
  }
  return networks;
}

namespace {

uint64_t Ticks(const FILETIME& time) {
  return (uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
}

// The MAC of the adapter that has `address`, as aa:bb:cc:dd:ee:ff; "" when none has it.
std::string MacOf(const std::string& address) {
  ULONG size = 16384;
  std::vector<unsigned char> buffer;
  ULONG result = ERROR_BUFFER_OVERFLOW;
  for (int tries = 0; tries < 3 && result == ERROR_BUFFER_OVERFLOW; ++tries) {
    buffer.resize(size);
    result = GetAdaptersAddresses(AF_INET, GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST, nullptr,
                                  reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
  }
  if (result != NO_ERROR) return "";
  for (auto* adapter = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()); adapter != nullptr;
       adapter = adapter->Next) {
    if (adapter->PhysicalAddressLength != 6) continue;
    for (auto* unicast = adapter->FirstUnicastAddress; unicast != nullptr;
         unicast = unicast->Next) {
      const auto* in = reinterpret_cast<const sockaddr_in*>(unicast->Address.lpSockaddr);
      if (in->sin_family != AF_INET ||
          Endpoint{ntohl(in->sin_addr.s_addr), 0}.AddressText() != address) {
        continue;
      }
      std::string mac;
      for (ULONG i = 0; i < 6; ++i) {
        static constexpr char kHex[] = "0123456789abcdef";
        if (i > 0) mac += ':';
        mac += kHex[adapter->PhysicalAddress[i] >> 4];
        mac += kHex[adapter->PhysicalAddress[i] & 15];
      }
      return mac;
    }
  }
  return "";
}

}  // namespace

std::string Win32Machine::BootId() {
  // Counted up by the system at every boot since Windows 8; Wine and older systems keep none.
  DWORD boot = 0;
  DWORD size = sizeof(boot);
  if (RegGetValueW(HKEY_LOCAL_MACHINE,
                   L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Memory Management\\"
                   L"PrefetchParameters",
                   L"BootId", RRF_RT_REG_DWORD, nullptr, &boot, &size) != ERROR_SUCCESS) {
    return "";
  }
  return std::to_string(boot);
}

MachineFigures Win32Machine::Figures(const std::string& address) {
  MachineFigures figures;
  // Kernel time includes idle time.
  FILETIME idle{}, kernel{}, user{};
  if (!GetSystemTimes(&idle, &kernel, &user)) {
    const DWORD number = GetLastError();
    throw Error(static_cast<long>(number), SystemErrorText(number));
  }
  figures.cpu_idle = Ticks(idle);
  figures.cpu_total = Ticks(kernel) + Ticks(user);
  MEMORYSTATUSEX memory{};
  memory.dwLength = sizeof memory;
  if (GlobalMemoryStatusEx(&memory)) {
    figures.memory_total = memory.ullTotalPhys;
    figures.memory_available = memory.ullAvailPhys;
  }
  const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
  figures.booted = static_cast<int64_t>(now) - static_cast<int64_t>(GetTickCount64() / 1000);
  // The drive of the Windows folder, as this user may still fill it.
  wchar_t windows[MAX_PATH] = {};
  const UINT length = GetWindowsDirectoryW(windows, MAX_PATH);
  if (length >= 3 && length < MAX_PATH) {
    const std::wstring root(windows, 3);  // "C:\"
    ULARGE_INTEGER available{};
    if (GetDiskFreeSpaceExW(root.c_str(), &available, nullptr, nullptr)) {
      figures.disk_free = available.QuadPart;
    }
  }
  if (!address.empty()) figures.mac = MacOf(address);
  return figures;
}

std::optional<OSVersion> Win32Machine::Version() {
  OSVERSIONINFOA info{};
  info.dwOSVersionInfoSize = sizeof info;  // 148 bytes
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  if (!GetVersionExA(&info)) return std::nullopt;
#pragma GCC diagnostic pop
  const auto family = info.dwPlatformId == VER_PLATFORM_WIN32_NT ? OSVersion::Family::kWindowsNT
                                                                 : OSVersion::Family::kWindows9x;
  return OSVersion{family, info.dwMajorVersion, info.dwMinorVersion};
}

std::string Win32Machine::ProgramFolder() {
  const std::string path = ModulePath();
  const auto slash = path.rfind('\\');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string Win32Machine::ProgramFileName() {
  const std::string path = ModulePath();
  return path.substr(path.rfind('\\') + 1);
}

std::string Win32Machine::UserDataFolder() {
  // Per user and never roaming: logs belong to this computer.
  std::wstring folder(32768, L'\0');
  const DWORD length =
      GetEnvironmentVariableW(L"LOCALAPPDATA", folder.data(), static_cast<DWORD>(folder.size()));
  if (length == 0 || length >= folder.size()) return "";
  return TextFromWide(std::wstring_view(folder.data(), length)) + "\\Varnix\\Data";
}

unsigned long Win32Machine::CurrentProcessId() { return GetCurrentProcessId(); }

std::string Win32Machine::DateText(std::chrono::system_clock::time_point at) {
  // From the Unix epoch in 100-ns units to the FILETIME epoch of 1601.
  const long long ticks =
      std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch()).count() / 100 +
      116444736000000000LL;
  const FILETIME utc{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
  FILETIME local_file{};
  SYSTEMTIME local{};
  FileTimeToLocalFileTime(&utc, &local_file);
  FileTimeToSystemTime(&local_file, &local);
  wchar_t date[128] = {};
  wchar_t time[128] = {};
  const int date_length =
      GetDateFormatW(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &local, nullptr, date, 128);
  const int time_length = GetTimeFormatW(LOCALE_USER_DEFAULT, 0, &local, nullptr, time, 128);
  // The lengths count the terminating NUL.
  return TextFromWide(std::wstring_view(date, date_length > 0 ? date_length - 1 : 0)) + " " +
         TextFromWide(std::wstring_view(time, time_length > 0 ? time_length - 1 : 0));
}

namespace {

class MutexClaim : public InstanceClaim {
 public:
  explicit MutexClaim(ScopedHandle mutex) : mutex_(std::move(mutex)) {}

 private:
  ScopedHandle mutex_;
};

}  // namespace

ClaimResult Win32Machine::ClaimInstance(const std::string& name) {
  ScopedHandle mutex(CreateMutexW(nullptr, FALSE, WideFromText("Global\\varnix-" + name).c_str()));
  const DWORD error = GetLastError();
  if (mutex.valid() && error != ERROR_ALREADY_EXISTS) {
    return {std::make_unique<MutexClaim>(std::move(mutex)), std::nullopt};
  }
  // Held: made by another process, or made by another user and closed to this one.
  if (mutex.valid() || error == ERROR_ACCESS_DENIED) return {};
  throw Error(static_cast<long>(error), SystemErrorText(error));
}

}  // namespace varnix
