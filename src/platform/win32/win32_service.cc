// Windows services: registration with the service control manager, and a run under it whose
// stop request reaches the program's event loop as an end request.
#include <memory>
#include <string>
#include <type_traits>

#include "platform/error.h"
#include "platform/service.h"
#include "platform/win32/win32_event_loop.h"
#include "platform/win32/windows_headers.h"
// After windows.h, which they need.
#include <knownfolders.h>
#include <shlobj.h>

namespace varnix {
namespace {

struct ServiceHandleCloser {
  void operator()(SC_HANDLE handle) const { CloseServiceHandle(handle); }
};
using ServiceHandle = std::unique_ptr<std::remove_pointer_t<SC_HANDLE>, ServiceHandleCloser>;

Error LastError(const std::string& what) {
  const DWORD number = GetLastError();
  return Error(static_cast<long>(number), what + ": " + SystemErrorText(number));
}

ServiceHandle OpenManager(DWORD access) {
  ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, access));
  if (!manager) throw LastError("cannot open the service control manager");
  return manager;
}

std::wstring ThisProgramPath() {
  std::wstring path(32768, L'\0');
  const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
  path.resize(length);
  return path;
}

// One service per process: the manager's callbacks carry no pointer of ours to the run.
struct Run {
  std::wstring name;
  const ServiceBody* body = nullptr;
  SERVICE_STATUS_HANDLE status_handle = nullptr;
  int status = 0;
};
Run g_run;

void Report(DWORD state, DWORD exit_code = NO_ERROR) {
  SERVICE_STATUS status{};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted =
      state == SERVICE_RUNNING
          ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_PARAMCHANGE
          : 0;
  status.dwWin32ExitCode = exit_code == NO_ERROR ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
  status.dwServiceSpecificExitCode = exit_code;
  status.dwWaitHint = state == SERVICE_STOP_PENDING || state == SERVICE_START_PENDING ? 10000 : 0;
  SetServiceStatus(g_run.status_handle, &status);
}

DWORD WINAPI OnControl(DWORD control, DWORD, void*, void*) {
  // "sc control varnix paramchange": programs.ini is read again, as SIGHUP does elsewhere.
  if (control == SERVICE_CONTROL_PARAMCHANGE) {
    PostReloadRequest();
    return NO_ERROR;
  }
  if (control != SERVICE_CONTROL_STOP && control != SERVICE_CONTROL_SHUTDOWN) return NO_ERROR;
  Report(SERVICE_STOP_PENDING);
  // A stop soon after the start may come before the loop listens: it is given a few seconds.
  for (int tries = 0; tries < 50 && !PostEndRequest(); ++tries) Sleep(100);
  return NO_ERROR;
}

void WINAPI ServiceMain(DWORD, LPWSTR*) {
  g_run.status_handle = RegisterServiceCtrlHandlerExW(g_run.name.c_str(), OnControl, nullptr);
  if (g_run.status_handle == nullptr) return;
  // Running only once the body serves: an installer waiting on it learns whether it could.
  Report(SERVICE_START_PENDING);
  g_run.status = (*g_run.body)([] { Report(SERVICE_RUNNING); });
  Report(SERVICE_STOPPED, static_cast<DWORD>(g_run.status));
}

}  // namespace

void InstallService(const ServiceDefinition& service) {
  const ServiceHandle manager = OpenManager(SC_MANAGER_CREATE_SERVICE);
  const std::wstring command =
      L"\"" + ThisProgramPath() + L"\"" +
      (service.arguments.empty() ? L"" : L" " + WideFromText(service.arguments));
  const std::wstring name = WideFromText(service.name);
  const std::wstring display = WideFromText(service.display_name);
  const ServiceHandle created(
      CreateServiceW(manager.get(), name.c_str(), display.c_str(), SERVICE_ALL_ACCESS,
                     SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                     command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
  if (!created && GetLastError() == ERROR_SERVICE_EXISTS) {
    // Registered by an earlier installation, which may have failed to start it: say what to do.
    const ServiceHandle existing(OpenServiceW(manager.get(), name.c_str(), SERVICE_QUERY_STATUS));
    SERVICE_STATUS status{};
    const bool runs = existing && QueryServiceStatus(existing.get(), &status) &&
                      status.dwCurrentState == SERVICE_RUNNING;
    throw Error(errors::kDuplicateKey,
                runs ? "the service " + service.name +
                           " is installed and runs already; --remove-service removes it"
                     : "the service " + service.name +
                           " is installed already, but does not run: start it with \"sc start " +
                           service.name +
                           "\" (as administrator), or remove it with --remove-service and "
                           "install it again");
  }
  if (!created) throw LastError("cannot register the service " + service.name);
  std::wstring description = WideFromText(service.description);
  SERVICE_DESCRIPTIONW text{description.data()};
  ChangeServiceConfig2W(created.get(), SERVICE_CONFIG_DESCRIPTION, &text);
  if (!StartServiceW(created.get(), 0, nullptr)) {
    throw LastError("registered the service " + service.name + ", but it did not start");
  }
  SERVICE_STATUS status{};
  for (int tries = 0; tries < 300; ++tries) {
    if (!QueryServiceStatus(created.get(), &status)) break;
    if (status.dwCurrentState == SERVICE_RUNNING) return;
    if (status.dwCurrentState == SERVICE_STOPPED) {
      const DWORD code = status.dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR
                             ? status.dwServiceSpecificExitCode
                             : status.dwWin32ExitCode;
      throw Error(static_cast<long>(code), "registered the service " + service.name +
                                               ", but it stopped at once (exit code " +
                                               std::to_string(code) +
                                               "); it stays registered and tries again at the next "
                                               "start of the computer, until --remove-service");
    }
    Sleep(100);
  }
  throw Error(static_cast<long>(ERROR_SERVICE_REQUEST_TIMEOUT),
              "registered the service " + service.name + ", but it did not start within 30 s");
}

void LogServiceFailure(const std::string& name, const std::string& text) {
  const HANDLE source = RegisterEventSourceW(nullptr, WideFromText(name).c_str());
  if (source == nullptr) return;
  const std::wstring wide = WideFromText(text);
  const wchar_t* strings[] = {wide.c_str()};
  ReportEventW(source, EVENTLOG_ERROR_TYPE, 0, 1, nullptr, 1, 0, strings, nullptr);
  DeregisterEventSource(source);
}

bool ServicesAreRegisteredByPrograms() { return true; }

void RemoveService(const std::string& name) {
  const ServiceHandle manager = OpenManager(SC_MANAGER_CONNECT);
  const ServiceHandle service(OpenServiceW(manager.get(), WideFromText(name).c_str(),
                                           DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS));
  if (!service) throw LastError("cannot open the service " + name);
  SERVICE_STATUS status{};
  if (ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) {
    // Removed while running, it would stay listed until it ends: it is given ten seconds.
    for (int tries = 0; tries < 100 && status.dwCurrentState != SERVICE_STOPPED; ++tries) {
      Sleep(100);
      if (!QueryServiceStatus(service.get(), &status)) break;
    }
  }
  if (!DeleteService(service.get())) throw LastError("cannot remove the service " + name);
}

std::optional<int> RunAsService(const std::string& name, const ServiceBody& body) {
  g_run.name = WideFromText(name);
  g_run.body = &body;
  SERVICE_TABLE_ENTRYW table[] = {{g_run.name.data(), ServiceMain}, {nullptr, nullptr}};
  if (!StartServiceCtrlDispatcherW(table)) {
    if (GetLastError() == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) return std::nullopt;
    throw LastError("cannot reach the service control manager");
  }
  return g_run.status;
}

std::string MachineDataFolder() {
  // Asked of the shell, not of the environment: a service's environment may lack ProgramData.
  PWSTR folder = nullptr;
  const HRESULT result = SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, &folder);
  const std::unique_ptr<wchar_t, decltype(&CoTaskMemFree)> owned(folder, &CoTaskMemFree);
  if (FAILED(result) || folder == nullptr) return "";
  return TextFromWide(folder) + "\\Varnix";
}

}  // namespace varnix
