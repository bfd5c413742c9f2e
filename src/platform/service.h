// Running a program as a background service of the system's own service manager, where the
// program itself has to register (Windows); systemd units do this on Linux.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace varnix {

struct ServiceDefinition {
  std::string name;          // the manager's key for it: "varnix-hub"
  std::string display_name;  // what its list shows
  std::string description;
  std::string arguments;  // after the program's path, as one command-line text
};

// Registers this program file as a service that starts with the computer and starts it, or
// takes it out of the manager's list. Throw Error, saying why (no rights, already there, not
// there). Installing waits until the service runs; one that stops instead stays registered,
// and the Error says so with its exit code. A service registered already is
// errors::kDuplicateKey, and the Error says how to start it or remove it.
void InstallService(const ServiceDefinition& service);
// Whether services are registered by the programs themselves (Windows), rather than by the
// system's own unit files.
bool ServicesAreRegisteredByPrograms();
void RemoveService(const std::string& name);

// Runs `body` as the service `name` when the manager started this process, and returns its
// status once `body` returns; the manager's stop request reaches the program's event loop as
// an end request. The service counts as starting until `body` calls the function it is
// given, once it serves. Empty when this process was not started by the manager (by hand).
using ServiceBody = std::function<int(const std::function<void()>& serving)>;
std::optional<int> RunAsService(const std::string& name, const ServiceBody& body);

// Writes why the service `name` fails where the system keeps such words (the Windows Event
// Log, Application); where a service's standard error is kept already (systemd), nothing.
void LogServiceFailure(const std::string& name, const std::string& text);

// The folder for data that belongs to the computer rather than to a user (a service's), with
// no trailing separator; "" where the system names none.
std::string MachineDataFolder();

}  // namespace varnix
