// Child processes on Windows: CreateProcess with a quoted command line, window close, terminate.
#include "platform/child_process.h"
#include "platform/command_line.h"
#include "platform/error.h"
#include "platform/win32/win32_handles.h"

namespace varnix {
namespace {

class Win32ChildProcess : public ChildProcess {
 public:
  explicit Win32ChildProcess(PROCESS_INFORMATION info)
      : process_(info.hProcess), thread_(info.hThread), pid_(info.dwProcessId) {}
  ~Win32ChildProcess() override {
    if (!WaitForExit(std::chrono::milliseconds(0))) {
      TerminateProcess(process_.get(), 1);
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
  void Kill() override { TerminateProcess(process_.get(), 1); }

 private:
  ScopedHandle process_;
  ScopedHandle thread_;
  DWORD pid_;
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
