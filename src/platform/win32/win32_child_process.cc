// Child processes on Windows: CreateProcess with a quoted command line, window close, terminate.
#include "platform/child_process.h"
#include "platform/error.h"
#include "platform/win32/win32_handles.h"

namespace varnix {
namespace {

// Quotes one argument so that the child's command-line parser gives it back unchanged.
std::string Quote(const std::string& argument) {
  if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos) return argument;
  std::string quoted(1, '"');
  size_t backslashes = 0;
  for (const char c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, '\\');
  quoted += '"';
  return quoted;
}

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
                                                const std::vector<std::string>& environment) {
  for (const std::string& entry : environment) {
    // Set in our own block, which the child inherits; these are test helpers' children.
    const auto equals = entry.find('=');
    SetEnvironmentVariableW(WideFromText(entry.substr(0, equals)).c_str(),
                            WideFromText(entry.substr(equals + 1)).c_str());
  }
  std::string command_line = Quote(path);
  for (const std::string& argument : arguments) {
    command_line += ' ';
    command_line += Quote(argument);
  }
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  std::wstring wide_line = WideFromText(command_line);
  const std::wstring application = WideFromText(path);
  const std::wstring folder = WideFromText(working_folder);
  if (!CreateProcessW(application.c_str(), wide_line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      folder.empty() ? nullptr : folder.c_str(), &startup, &info)) {
    const DWORD number = GetLastError();
    throw Error(static_cast<long>(number), "Cannot start " + path + ": " + SystemErrorText(number));
  }
  return std::make_unique<Win32ChildProcess>(info);
}

}  // namespace varnix
