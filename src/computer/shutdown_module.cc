// ShutdownModule: the privilege where the system has one, then the request to end the system.
#include "computer/shutdown_module.h"

#include "core/steps.h"

namespace varnix {

bool IsNtPlatform(Machine& machine) {
  bool nt = false;
  Quietly([&] {
    const auto version = machine.Version();
    // Systems without a version call have no 95 family either: they behave as NT does.
    nt = !version || version->family == OSVersion::Family::kWindowsNT;
  });
  return nt;
}

void ShutdownModule::ExitSystem(bool reboot, bool force) {
  Quietly([&] {
    if (IsNtPlatform()) EnableShutdownPrivilege();
  });
  // The computer keeps running when the system refuses: whoever asked must learn it.
  Steps step([&](const Failure& failure) {
    events_.SendErrorEvent(kLogType, reboot ? "RebootComputer" : "ShutdownComputer", failure);
  });
  step(0, [&] { machine_.ExitSystem(reboot, force); });
}

void ShutdownModule::ShutdownComputer(bool force) { ExitSystem(false, force); }

void ShutdownModule::RebootComputer(bool force) { ExitSystem(true, force); }

void ShutdownModule::CloseWindowsAndShutdown() {
  Quietly([&] { windows_.CloseAllWindows(); });
  // Asked to end while closing: the node goes, the computer is left as it is.
  if (!windows_.Ending()) ShutdownComputer(true);
}

void ShutdownModule::SessionAction(SessionRequest request) {
  static const char* const names[] = {"Sleep", "Hibernate", "Lock", "Logoff"};
  if (request == SessionRequest::kLogoff) {
    Quietly([&] { windows_.CloseAllWindows(); });
    if (windows_.Ending()) return;
  }
  // A computer that did not sleep must not look as if it had.
  Steps step([&](const Failure& failure) {
    events_.SendErrorEvent(kLogType, names[static_cast<int>(request)], failure);
  });
  // The node's loop goes on while the system's command takes its time, as in a stop's wait.
  step(0, [&] {
    machine_.SessionAction(request, [this](int milliseconds) {
      loop_.DispatchPending(std::chrono::milliseconds(milliseconds));
    });
  });
}

void ShutdownModule::TurnScreensOff() {
  Steps step(
      [&](const Failure& failure) { events_.SendErrorEvent(kLogType, "ScreenOff", failure); });
  step(0, [&] {
    const std::string instead = desktop_.TurnScreensOff();
    // Done otherwise than asked: said, as a failure would be, with what was done instead.
    if (!instead.empty()) throw Error(1, instead);
  });
}

void ShutdownModule::CloseWindowsAndReboot() {
  Quietly([&] { windows_.CloseAllWindows(); });
  if (!windows_.Ending()) RebootComputer(true);
}

StatusItems ShutdownModule::Status(const std::string& address) {
  StatusItems items = figures_.Status(address);
  if (presence_ != nullptr) {
    for (auto& item : PresenceItems(presence_->Now())) items.push_back(std::move(item));
  }
  return items;
}

std::vector<StatusItems> ShutdownModule::Sensors() {
  std::vector<StatusItems> sensors;
  if (sensors_ == nullptr) return sensors;
  for (const auto& [declared, reading] : sensors_->Readings()) {
    sensors.push_back(SensorItems(declared, reading));
  }
  return sensors;
}

}  // namespace varnix
