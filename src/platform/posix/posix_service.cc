// Services on POSIX belong to the init system's own unit files: nothing to register here.
#include <cerrno>

#include "platform/error.h"
#include "platform/service.h"

namespace varnix {

void InstallService(const ServiceDefinition&) {
  throw Error(ENOTSUP, "this system starts services from its own unit files (systemctl enable)");
}

bool ServicesAreRegisteredByPrograms() { return false; }

void RemoveService(const std::string&) {
  throw Error(ENOTSUP, "this system starts services from its own unit files (systemctl disable)");
}

std::optional<int> RunAsService(const std::string&, const ServiceBody&) { return std::nullopt; }

void LogServiceFailure(const std::string&, const std::string&) {}

std::string MachineDataFolder() { return "/var/lib/varnix"; }

}  // namespace varnix
