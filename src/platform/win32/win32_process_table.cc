// Win32ProcessTable: each handle it opens is owned by a scoped holder and closed before returning.
#include "platform/win32/win32_process_table.h"

#include <algorithm>
#include <cwchar>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/command_line.h"
#include "platform/error.h"
#include "platform/win32/win32_handles.h"

namespace varnix {
namespace {

ScopedHandle Open(DWORD access, ProcessId pid) {
  return ScopedHandle(pid == 0 ? nullptr : OpenProcess(access, FALSE, pid));
}

// File names compare as the file system compares them: ignoring case, in any script.
bool SameFileName(std::wstring_view a, std::wstring_view b) {
  return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                              static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

// The full path of the program a process runs; "" when it cannot be read.
std::wstring ProgramPathOf(ProcessId pid) {
  const ScopedHandle process = Open(PROCESS_QUERY_LIMITED_INFORMATION, pid);
  if (!process.valid()) return {};
  std::wstring path(32768, L'\0');
  DWORD size = static_cast<DWORD>(path.size());
  if (!QueryFullProcessImageNameW(process.get(), 0, path.data(), &size)) return {};
  path.resize(size);
  return path;
}

WORD ShowCommand(ShowState show) {
  switch (show) {
    case ShowState::kHidden:
      return SW_HIDE;
    case ShowState::kNormal:
      return SW_SHOWNORMAL;
    case ShowState::kMinimized:
      return SW_SHOWMINIMIZED;
    case ShowState::kMaximized:
      return SW_SHOWMAXIMIZED;
    case ShowState::kNormalNoFocus:
      return SW_SHOWNOACTIVATE;
    case ShowState::kMinimizedNoFocus:
      return SW_SHOWMINNOACTIVE;
  }
  return static_cast<WORD>(show);  // a number the request named, as it named it
}

struct ClassValue {
  PriorityClass priority;
  DWORD value;
};
constexpr ClassValue kClasses[] = {
    {PriorityClass::kRealtime, REALTIME_PRIORITY_CLASS},
    {PriorityClass::kHigh, HIGH_PRIORITY_CLASS},
    {PriorityClass::kAboveNormal, ABOVE_NORMAL_PRIORITY_CLASS},
    {PriorityClass::kNormal, NORMAL_PRIORITY_CLASS},
    {PriorityClass::kBelowNormal, BELOW_NORMAL_PRIORITY_CLASS},
    {PriorityClass::kIdle, IDLE_PRIORITY_CLASS},
};

// The documented head of ntdll's SYSTEM_PROCESS_INFORMATION; the rest is not needed.
struct ProcessInformation {
  ULONG NextEntryOffset;
  ULONG NumberOfThreads;
  LARGE_INTEGER WorkingSetPrivateSize;
  ULONG HardFaultCount;
  ULONG NumberOfThreadsHighWatermark;
  ULONGLONG CycleTime;
  LARGE_INTEGER CreateTime;
  LARGE_INTEGER UserTime;
  LARGE_INTEGER KernelTime;
  USHORT NameLength;
  USHORT NameMaximumLength;
  PWSTR NameBuffer;
  LONG BasePriority;
  HANDLE UniqueProcessId;
};
constexpr ULONG kSystemProcessInformation = 5;
using NtQuerySystemInformationFn = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);

double Seconds(LONGLONG hundred_nanoseconds) {
  return static_cast<double>(hundred_nanoseconds) / 1e7;
}

// Another process's times as the system's process list has them: a snapshot of every process.
std::optional<ProcessTimes> TimesFromProcessList(ProcessId pid) {
  static const auto query = reinterpret_cast<NtQuerySystemInformationFn>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
  if (query == nullptr || pid == 0) return std::nullopt;
  std::vector<unsigned char> buffer(256 * 1024);
  ULONG needed = 0;
  LONG status = 0;
  while ((status = query(kSystemProcessInformation, buffer.data(),
                         static_cast<ULONG>(buffer.size()), &needed)) ==
         static_cast<LONG>(0xC0000004)) {  // STATUS_INFO_LENGTH_MISMATCH
    buffer.resize(std::max<size_t>(buffer.size() * 2, needed + 4096));
  }
  if (status < 0) return std::nullopt;
  FILETIME now_file{};
  GetSystemTimeAsFileTime(&now_file);
  const LONGLONG now =
      (static_cast<LONGLONG>(now_file.dwHighDateTime) << 32) | now_file.dwLowDateTime;
  for (size_t offset = 0;;) {
    const auto* info = reinterpret_cast<const ProcessInformation*>(buffer.data() + offset);
    if (static_cast<ProcessId>(reinterpret_cast<uintptr_t>(info->UniqueProcessId)) == pid) {
      ProcessTimes times;
      times.cpu = Seconds(info->UserTime.QuadPart + info->KernelTime.QuadPart);
      times.elapsed = Seconds(now - info->CreateTime.QuadPart);
      times.sampled_at = static_cast<double>(GetTickCount64()) / 1000.0;
      return times;
    }
    if (info->NextEntryOffset == 0) return std::nullopt;
    offset += info->NextEntryOffset;
  }
}

// This process and the system's own (the idle process, System): never ended or re-prioritised
// for a request, which anyone on the network can send. They may still be found and reported.
bool Protected(ProcessId pid) { return pid == 0 || pid == 4 || pid == GetCurrentProcessId(); }

class Win32ProcessHandle : public ProcessHandle {
 public:
  Win32ProcessHandle(ProcessId pid, ScopedHandle process)
      : pid_(pid), process_(std::move(process)) {}
  ProcessId pid() const override { return pid_; }
  intptr_t Waitable() const override { return reinterpret_cast<intptr_t>(process_.get()); }
  HANDLE get() const { return process_.get(); }
  bool Ended() const { return WaitForSingleObject(process_.get(), 0) != WAIT_TIMEOUT; }

 private:
  ProcessId pid_;
  ScopedHandle process_;
};

}  // namespace

std::unique_ptr<ProcessHandle> Win32ProcessTable::Hold(ProcessId pid) {
  // A program this table started is held through the handle its start gave, even once it has
  // ended: that handle keeps its id and its exit code from going to anyone else.
  if (const auto found = started_.find(pid); found != started_.end()) {
    HANDLE copy = nullptr;
    if (DuplicateHandle(GetCurrentProcess(), found->second.process.get(), GetCurrentProcess(),
                        &copy, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
      return std::make_unique<Win32ProcessHandle>(pid, ScopedHandle(copy));
    }
  }
  ScopedHandle process =
      Open(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE, pid);
  if (!process.valid() || WaitForSingleObject(process.get(), 0) != WAIT_TIMEOUT) return nullptr;
  return std::make_unique<Win32ProcessHandle>(pid, std::move(process));
}

std::vector<bool> Win32ProcessTable::HaveEnded(const std::vector<const ProcessHandle*>& handles) {
  std::vector<bool> ended;
  ended.reserve(handles.size());
  for (const ProcessHandle* handle : handles) {
    ended.push_back(static_cast<const Win32ProcessHandle&>(*handle).Ended());
  }
  return ended;
}

std::optional<ExitStatus> Win32ProcessTable::HowEnded(const ProcessHandle& handle) {
  const auto& held = static_cast<const Win32ProcessHandle&>(handle);
  DWORD code = 0;
  if (!held.Ended() || !GetExitCodeProcess(held.get(), &code)) return std::nullopt;
  ExitStatus status;
  status.code = static_cast<int>(code);
  return status;
}

HANDLE Win32ProcessTable::JobOf(ProcessId pid) {
  const auto found = started_.find(pid);
  if (found == started_.end()) return nullptr;
  if (WaitForSingleObject(found->second.process.get(), 0) != WAIT_TIMEOUT) {
    // Ended: its id may go to another process now, which is no business of this job's.
    started_.erase(found);
    return nullptr;
  }
  return found->second.job.get();
}

bool Win32ProcessTable::Terminate(const ProcessHandle& handle) {
  const auto& held = static_cast<const Win32ProcessHandle&>(handle);
  if (Protected(held.pid()) || held.Ended()) return false;
  if (const HANDLE job = JobOf(held.pid()); job != nullptr) {
    return TerminateJobObject(job, 1) != 0;
  }
  // Not with the exit code STILL_ACTIVE: the ended process would look alive to anyone who
  // reads its exit code.
  return TerminateProcess(held.get(), 1) != 0;
}

ProcessId Win32ProcessTable::FindByPath(const std::string& path, const std::string& image_name) {
  const std::wstring wanted_path = WideFromText(path);
  return FindFirst(image_name,
                   [&](ProcessId pid) { return SameFileName(ProgramPathOf(pid), wanted_path); });
}

ProcessId Win32ProcessTable::FindByFileName(const std::string& file_name) {
  // The snapshot names each process by its whole program file name already.
  return FindByName(file_name);
}

ProcessId Win32ProcessTable::FindByName(const std::string& image_name) {
  return FindFirst(image_name, nullptr);
}

namespace {

// Whether `process` is hidden, or was started by a hidden one or its descendants, as `all` (a
// snapshot) has them.
bool HiddenOrStartedByHidden(const PROCESSENTRY32W& process,
                             const std::vector<PROCESSENTRY32W>& all,
                             const std::function<bool(ProcessId)>& hidden) {
  if (hidden(process.th32ProcessID)) return true;
  // What a hidden command started (a batch file's program) is hidden with it. A parent's id
  // may have been taken again since: it counts only where the process started after it.
  const auto started = [](ProcessId pid) -> std::optional<uint64_t> {
    ScopedHandle held(
        OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid)));
    FILETIME created{}, exited{}, kernel{}, user{};
    if (!held.valid() || !GetProcessTimes(held.get(), &created, &exited, &kernel, &user)) {
      return std::nullopt;
    }
    return (uint64_t{created.dwHighDateTime} << 32) | created.dwLowDateTime;
  };
  DWORD parent = process.th32ParentProcessID;
  for (int depth = 0; depth < 16 && parent != 0; ++depth) {
    if (hidden(parent)) {
      const std::optional<uint64_t> mine = started(process.th32ProcessID);
      const std::optional<uint64_t> its = started(parent);
      return mine && its && *mine >= *its;
    }
    const auto up = std::find_if(all.begin(), all.end(), [&](const PROCESSENTRY32W& p) {
      return p.th32ProcessID == parent;
    });
    if (up == all.end()) return false;
    parent = up->th32ParentProcessID;
  }
  return false;
}

}  // namespace

ProcessId Win32ProcessTable::FindFirst(const std::string& image_name,
                                       const std::function<bool(ProcessId)>& also) {
  ScopedHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot.valid()) return 0;
  const std::wstring wanted = WideFromText(image_name);
  const auto hidden = [this](ProcessId pid) { return Hidden(pid); };
  std::vector<PROCESSENTRY32W> entries;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
       more = Process32NextW(snapshot.get(), &entry)) {
    entries.push_back(entry);
  }
  for (const PROCESSENTRY32W& candidate : entries) {
    if (SameFileName(candidate.szExeFile, wanted) &&
        !(AnyHidden() && HiddenOrStartedByHidden(candidate, entries, hidden)) &&
        (!also || also(candidate.th32ProcessID))) {
      return candidate.th32ProcessID;
    }
  }
  return 0;
}

namespace {

struct Pipe {
  ScopedHandle read;
  ScopedHandle write;
};

std::optional<Pipe> OpenPipe() {
  HANDLE read = nullptr;
  HANDLE write = nullptr;
  if (!CreatePipe(&read, &write, nullptr, 0)) return std::nullopt;
  return Pipe{ScopedHandle(read), ScopedHandle(write)};
}

// Starts the relay with the read ends as its standard input and error; the relay's process,
// invalid where it could not be started.
ScopedHandle StartRelay(const OutputRelay& relay, const Pipe& output, const Pipe& errors) {
  std::vector<std::string> words{relay.program};
  words.insert(words.end(), relay.arguments.begin(), relay.arguments.end());
  std::wstring command_line = WideFromText(JoinCommandLine(words));
  const std::wstring application = WideFromText(relay.program);
  const InheritOnly inherit({output.read.get(), errors.read.get()});
  if (inherit.list() == nullptr) return {};
  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = output.read.get();
  startup.StartupInfo.hStdError = errors.read.get();
  startup.lpAttributeList = inherit.list();
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(application.c_str(), command_line.data(), nullptr, nullptr, TRUE,
                      CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT, nullptr, nullptr,
                      &startup.StartupInfo, &info)) {
    return {};
  }
  CloseHandle(info.hThread);
  return ScopedHandle(info.hProcess);
}

// This program's environment block with `changes` (NAME=value) set over it; names are told
// apart in any letter case, as Windows tells them. Empty for no change.
std::wstring EnvironmentBlock(const std::vector<std::string>& changes) {
  if (changes.empty()) return {};
  std::vector<std::wstring> entries;
  for (const std::string& change : changes) entries.push_back(WideFromText(change));
  const auto name_of = [](std::wstring_view entry) {
    // Hidden entries, such as the current folder of each drive, begin with their '='.
    return entry.substr(0, entry.find(L'=', 1));
  };
  wchar_t* const own = GetEnvironmentStringsW();
  for (const wchar_t* entry = own; entry != nullptr && *entry != L'\0';
       entry += std::wcslen(entry) + 1) {
    const std::wstring_view name = name_of(entry);
    const bool replaced = std::any_of(entries.begin(), entries.end(), [&](const std::wstring& set) {
      const std::wstring_view other = name_of(set);
      return other.size() == name.size() &&
             CompareStringOrdinal(other.data(), static_cast<int>(other.size()), name.data(),
                                  static_cast<int>(name.size()), TRUE) == CSTR_EQUAL;
    });
    if (!replaced) entries.emplace_back(entry);
  }
  if (own != nullptr) FreeEnvironmentStringsW(own);
  std::wstring block;
  for (const std::wstring& entry : entries) block += entry + L'\0';
  return block + L'\0';
}

}  // namespace

ProcessId Win32ProcessTable::Start(const std::string& path, const std::string& parameter,
                                   ShowState show, const LaunchSettings& launch) {
  const std::string& folder = launch.folder;
  const OutputRelay& relay = launch.relay;
  std::wstring environment = EnvironmentBlock(launch.environment);
  // The path is quoted and the parameter passed on as it came; no shell is involved.
  std::wstring command_line = L"\"" + WideFromText(path) + L"\"";
  if (!parameter.empty()) command_line += L" " + WideFromText(parameter);
  const std::wstring application = WideFromText(path);
  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESHOWWINDOW;
  startup.StartupInfo.wShowWindow = ShowCommand(show);
  // The relay holds the read ends and the program the write ends; the node keeps neither, so
  // that the program's output outlives it.
  std::optional<Pipe> output;
  std::optional<Pipe> errors;
  if (!relay.program.empty()) {
    output = OpenPipe();
    errors = OpenPipe();
  }
  std::optional<InheritOnly> inherit;
  ScopedHandle relayed;
  if (output && errors) relayed = StartRelay(relay, *output, *errors);
  if (relayed.valid()) {
    inherit.emplace(std::vector<HANDLE>{output->write.get(), errors->write.get()});
    startup.StartupInfo.dwFlags |= STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdOutput = output->write.get();
    startup.StartupInfo.hStdError = errors->write.get();
    startup.lpAttributeList = inherit->list();
  }
  const bool inherits = inherit && inherit->list() != nullptr;
  PROCESS_INFORMATION info{};
  // Suspended until it is in its job, so that nothing it starts escapes the job. Jobs nest
  // from Windows 8; where a job cannot be had, the program runs without one.
  const std::wstring working = WideFromText(folder);
  const BOOL created = CreateProcessW(
      application.c_str(), command_line.data(), nullptr, nullptr, inherits ? TRUE : FALSE,
      CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT | (inherits ? EXTENDED_STARTUPINFO_PRESENT : 0),
      environment.empty() ? nullptr : environment.data(),
      working.empty() ? nullptr : working.c_str(), &startup.StartupInfo, &info);
  inherit.reset();
  output.reset();  // the write ends are the program's now, and the read ends the relay's
  errors.reset();
  if (!created) {
    const DWORD number = GetLastError();
    // The system's own words name the file again ("Bad EXE format for %1."): said plainly.
    const bool not_a_program =
        number == ERROR_BAD_EXE_FORMAT || number == ERROR_EXE_MACHINE_TYPE_MISMATCH;
    throw Error(static_cast<long>(number),
                "Cannot start " + path + ": " +
                    (not_a_program ? std::string("it is not a program this Windows can run")
                                   : SystemErrorText(number, "the file")));
  }
  ScopedHandle thread(info.hThread);
  Started entry{ScopedHandle(info.hProcess), ScopedHandle(CreateJobObjectW(nullptr, nullptr)),
                std::move(relayed)};
  if (entry.job.valid() && !AssignProcessToJobObject(entry.job.get(), entry.process.get())) {
    entry.job.Reset();
  }
  ResumeThread(thread.get());
  for (auto it = started_.begin(); it != started_.end();) {
    const bool ended = WaitForSingleObject(it->second.process.get(), 0) != WAIT_TIMEOUT;
    it = ended ? started_.erase(it) : std::next(it);
  }
  // Kept with or without a job: Hold takes the new program through it, however soon it ends.
  started_[info.dwProcessId] = std::move(entry);
  return info.dwProcessId;
}

bool Win32ProcessTable::RelayLost(ProcessId program) {
  const auto found = started_.find(program);
  if (found == started_.end() || !found->second.relay.valid()) return false;
  const HANDLE relay = found->second.relay.get();
  // A relay ends by itself only once its program's output has: exit 0. Ended by force
  // (taskkill /F), it has another code.
  DWORD code = 0;
  return WaitForSingleObject(relay, 0) == WAIT_OBJECT_0 && GetExitCodeProcess(relay, &code) &&
         code != 0;
}

namespace {

// The file an App Paths key names for `file_name` ("notepad.exe"), as the user's own key or
// the computer's gives it; "" when neither does.
std::wstring AppPath(const std::wstring& file_name) {
  const std::wstring key = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\" + file_name;
  for (const HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
    wchar_t value[MAX_PATH * 2] = {};
    DWORD size = sizeof value;
    // Expanded: the keys often name %ProgramFiles%.
    if (RegGetValueW(root, key.c_str(), nullptr, RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ, nullptr,
                     value, &size) != ERROR_SUCCESS) {
      continue;
    }
    std::wstring path = value;
    if (path.size() >= 2 && path.front() == L'"' && path.back() == L'"') {
      path = path.substr(1, path.size() - 2);
    }
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      return path;
    }
  }
  return L"";
}

}  // namespace

std::string Win32ProcessTable::LookUpProgram(const std::string& name) {
  if (name.empty() || name.find_first_of("/\\:") != std::string::npos) return "";
  const std::wstring wide = WideFromText(name);
  const bool has_extension = wide.find(L'.') != std::wstring::npos;
  if (const std::wstring found = AppPath(has_extension ? wide : wide + L".exe"); !found.empty()) {
    return TextFromWide(found);
  }
  // PATH, each of its folders tried with each extension of PATHEXT, as the Run box does.
  std::vector<std::wstring> extensions{L""};
  if (!has_extension) {
    wchar_t pathext[1024] = {};
    const DWORD length = GetEnvironmentVariableW(L"PATHEXT", pathext, 1024);
    std::wstring list = length > 0 && length < 1024 ? pathext : L".COM;.EXE;.BAT;.CMD";
    extensions.clear();
    for (size_t at = 0; at <= list.size();) {
      const size_t semicolon = std::min(list.find(L';', at), list.size());
      if (semicolon > at) extensions.push_back(list.substr(at, semicolon - at));
      at = semicolon + 1;
    }
  }
  std::wstring found(32768, L'\0');
  for (const std::wstring& extension : extensions) {
    // No folder given: the system's own search order, PATH last.
    const DWORD length = SearchPathW(nullptr, (wide + extension).c_str(), nullptr,
                                     static_cast<DWORD>(found.size()), found.data(), nullptr);
    if (length > 0 && length < found.size()) return TextFromWide(found.substr(0, length));
  }
  return "";
}

bool Win32ProcessTable::IsAlive(ProcessId pid) {
  const ScopedHandle process = Open(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, pid);
  return process.valid() && WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT;
}

std::optional<PriorityClass> Win32ProcessTable::GetPriority(ProcessId pid) {
  if (!IsAlive(pid)) return std::nullopt;
  const ScopedHandle process = Open(PROCESS_QUERY_INFORMATION | PROCESS_SET_INFORMATION, pid);
  if (!process.valid()) return std::nullopt;
  const DWORD value = GetPriorityClass(process.get());
  for (const ClassValue& c : kClasses) {
    if (c.value == value) return c.priority;
  }
  return PriorityClass::kOther;
}

bool Win32ProcessTable::SetPriority(ProcessId pid, PriorityClass priority) {
  if (Protected(pid) || !IsAlive(pid)) return false;
  const ScopedHandle process = Open(PROCESS_QUERY_INFORMATION | PROCESS_SET_INFORMATION, pid);
  if (!process.valid()) return false;
  for (const ClassValue& c : kClasses) {
    if (c.priority != priority) continue;
    return GetPriorityClass(process.get()) == c.value ||
           SetPriorityClass(process.get(), c.value) != 0;
  }
  return false;
}

bool Win32ProcessTable::Terminate(ProcessId pid) {
  if (Protected(pid)) return false;
  const ScopedHandle process = Open(PROCESS_ALL_ACCESS, pid);
  if (!process.valid() || WaitForSingleObject(process.get(), 0) != WAIT_TIMEOUT) return false;
  if (const HANDLE job = JobOf(pid); job != nullptr) return TerminateJobObject(job, 1) != 0;
  // Not with the exit code STILL_ACTIVE: the ended process would look alive to anyone who
  // reads its exit code.
  return TerminateProcess(process.get(), 1) != 0;
}

uint64_t Win32ProcessTable::StartedAt(ProcessId pid) {
  const ScopedHandle process = Open(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, pid);
  if (!process.valid() || WaitForSingleObject(process.get(), 0) != WAIT_TIMEOUT) return 0;
  FILETIME created{};
  FILETIME exited{};
  FILETIME kernel{};
  FILETIME user{};
  if (!GetProcessTimes(process.get(), &created, &exited, &kernel, &user)) return 0;
  return (static_cast<uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

std::string Win32ProcessTable::ProgramPath(ProcessId pid) {
  return IsAlive(pid) ? TextFromWide(ProgramPathOf(pid)) : std::string();
}

std::string Win32ProcessTable::ImageName(ProcessId pid) {
  if (!IsAlive(pid)) return {};
  const std::wstring path = ProgramPathOf(pid);
  if (path.empty()) return {};
  const std::wstring_view text(path);
  const size_t slash = text.find_last_of(L"\\/");
  return TextFromWide(slash == std::wstring_view::npos ? text : text.substr(slash + 1));
}

void Win32ProcessTable::RequestClose(ProcessId pid, EndSignal /*signal*/) {
  if (!Protected(pid)) PostCloseToWindowsOf(static_cast<DWORD>(pid));
}

WaitResult Win32ProcessTable::WaitForExit(ProcessId pid, int milliseconds) {
  const ScopedHandle process = Open(SYNCHRONIZE, pid);
  if (!process.valid()) return WaitResult::kCannotWait;
  switch (WaitForSingleObject(process.get(), static_cast<DWORD>(std::max(milliseconds, 0)))) {
    case WAIT_OBJECT_0:
      return WaitResult::kEnded;
    case WAIT_TIMEOUT:
      return WaitResult::kTimedOut;
    default:
      return WaitResult::kCannotWait;
  }
}

uint64_t Win32ProcessTable::WorkingSetBytes(ProcessId pid) {
  const ScopedHandle process = Open(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, pid);
  if (!process.valid()) return 0;
  PROCESS_MEMORY_COUNTERS counters{};
  if (!GetProcessMemoryInfo(process.get(), &counters, sizeof counters)) return 0;
  return counters.WorkingSetSize;
}

std::optional<ProcessTimes> Win32ProcessTable::Times(ProcessId pid) {
  // Wine counts another process's processor time only in the system's process list.
  static const bool wine =
      GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
  if (wine) return TimesFromProcessList(pid);
  // One process through its own handle: a pass asks for every record, and a snapshot of the
  // whole system for each would cost processes x records.
  const ScopedHandle process = Open(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, pid);
  if (!process.valid() || WaitForSingleObject(process.get(), 0) != WAIT_TIMEOUT) {
    return std::nullopt;
  }
  FILETIME created{};
  FILETIME exited{};
  FILETIME kernel{};
  FILETIME user{};
  if (!GetProcessTimes(process.get(), &created, &exited, &kernel, &user)) return std::nullopt;
  const auto ticks = [](const FILETIME& time) {
    return (static_cast<LONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
  };
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  ProcessTimes times;
  times.cpu = Seconds(ticks(kernel) + ticks(user));
  times.elapsed = Seconds(ticks(now) - ticks(created));
  times.sampled_at = static_cast<double>(GetTickCount64()) / 1000.0;
  return times;
}

}  // namespace varnix
