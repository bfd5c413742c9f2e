// Child processes on Windows: CreateProcess with a quoted command line, window close, terminate.
#include <optional>

#include "platform/child_process.h"
#include "platform/command_line.h"
#include "platform/error.h"
#include "platform/win32/win32_handles.h"

namespace varnix {
namespace {

class Win32ChildProcess : public ChildProcess {
 public:
  // With a `job`, Kill ends the job: the child and everything it started.
  explicit Win32ChildProcess(PROCESS_INFORMATION info, ScopedHandle job = {})
      : process_(info.hProcess),
        thread_(info.hThread),
        pid_(info.dwProcessId),
        job_(std::move(job)) {}
  ~Win32ChildProcess() override {
    if (!WaitForExit(std::chrono::milliseconds(0))) {
      Kill();
      WaitForSingleObject(process_.get(), 5000);
    }
  }

  unsigned long Pid() const override { return pid_; }

  std::optional<int> WaitForExit(std::chrono::milliseconds limit) override {
    if (WaitForSingleObject(process_.get(), static_cast<DWORD>(limit.count())) != WAIT_OBJECT_0) {
      return std::nullopt;
    }
    DWORD code = 0;
    GetExitCodeProcess(process_.get(), &code);
    return static_cast<int>(code);
  }

  void RequestEnd() override { PostCloseToWindowsOf(pid_); }
  void Kill() override {
    if (!job_.valid() || !TerminateJobObject(job_.get(), 1)) TerminateProcess(process_.get(), 1);
  }

 private:
  ScopedHandle process_;
  ScopedHandle thread_;
  DWORD pid_;
  ScopedHandle job_;
};

}  // namespace

std::unique_ptr<ChildProcess> StartChildProcess(const std::string& path,
                                                const std::vector<std::string>& arguments,
                                                const std::string& working_folder,
                                                const std::vector<std::string>& environment,
                                                const std::string& output_file) {
  for (const std::string& entry : environment) {
    // Set in our own block, which the child inherits; these are test helpers' children.
    const auto equals = entry.find('=');
    SetEnvironmentVariableW(WideFromText(entry.substr(0, equals)).c_str(),
                            WideFromText(entry.substr(equals + 1)).c_str());
  }
  std::vector<std::string> words{path};
  words.insert(words.end(), arguments.begin(), arguments.end());
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  ScopedHandle output;
  if (!output_file.empty()) {
    SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
    output = ScopedHandle(CreateFileW(WideFromText(output_file).c_str(), GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!output.valid()) {
      const DWORD number = GetLastError();
      throw Error(static_cast<long>(number), "Cannot create " + output_file);
    }
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = output.get();
    startup.hStdError = output.get();
  }
  PROCESS_INFORMATION info{};
  std::wstring wide_line = WideFromText(JoinCommandLine(words));
  const std::wstring application = WideFromText(path);
  const std::wstring folder = WideFromText(working_folder);
  if (!CreateProcessW(application.c_str(), wide_line.data(), nullptr, nullptr,
                      output_file.empty() ? FALSE : TRUE, 0, nullptr,
                      folder.empty() ? nullptr : folder.c_str(), &startup, &info)) {
    const DWORD number = GetLastError();
    throw Error(static_cast<long>(number), "Cannot start " + path + ": " + SystemErrorText(number));
  }
  return std::make_unique<Win32ChildProcess>(info);
}

}  // namespace varnix

namespace varnix {

std::unique_ptr<ChildProcess> StartCommand(const std::string& path,
                                           const std::vector<std::string>& arguments,
                                           const std::string& output_file,
                                           uint64_t /*most_bytes*/) {
  // No bound on a file's size here: the caller looks at it as it grows.
  ScopedHandle output(CreateFileW(WideFromText(output_file).c_str(), GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  ScopedHandle input(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, 0, nullptr));
  if (!output.valid() || !input.valid()) {
    const DWORD number = GetLastError();
    throw Error(static_cast<long>(number), "Cannot create " + output_file);
  }
  std::vector<std::string> words{path};
  words.insert(words.end(), arguments.begin(), arguments.end());
  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = input.get();
  startup.StartupInfo.hStdOutput = output.get();
  startup.StartupInfo.hStdError = output.get();
  std::optional<InheritOnly> inherit(std::in_place, std::vector<HANDLE>{input.get(), output.get()});
  const bool listed = inherit->list() != nullptr;
  startup.lpAttributeList = inherit->list();
  std::wstring wide_line = WideFromText(JoinCommandLine(words));
  const std::wstring application = WideFromText(path);
  PROCESS_INFORMATION info{};
  // Suspended until it is in its job, so that nothing it starts escapes Kill.
  if (!CreateProcessW(
          application.c_str(), wide_line.data(), nullptr, nullptr, listed,
          CREATE_SUSPENDED | CREATE_NO_WINDOW | (listed ? EXTENDED_STARTUPINFO_PRESENT : 0),
          nullptr, nullptr, &startup.StartupInfo, &info)) {
    const DWORD number = GetLastError();
    throw Error(static_cast<long>(number), "Cannot start " + path + ": " + SystemErrorText(number));
  }
  inherit.reset();
  ScopedHandle job(CreateJobObjectW(nullptr, nullptr));
  if (job.valid()) {
    // Closed with the node, the job ends what is left of the command.
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits);
    if (!AssignProcessToJobObject(job.get(), info.hProcess)) job.Reset();
  }
  ResumeThread(info.hThread);
  return std::make_unique<Win32ChildProcess>(info, std::move(job));
}

}  // namespace varnix
