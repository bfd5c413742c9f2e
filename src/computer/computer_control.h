// The computer as a whole: its figures and sensors, and shutting it down or rebooting it after the
// application windows were asked to close.
#pragma once

#include <string>
#include <vector>

#include "computer/computer_figures.h"
#include "computer/notice_board.h"
#include "platform/machine.h"

namespace varnix {

class ComputerControl {
 public:
  virtual ~ComputerControl() = default;
  // Both always force; neither waits for the system to go down.
  virtual void CloseWindowsAndShutdown() = 0;
  virtual void CloseWindowsAndReboot() = 0;
  // Sleep, hibernate and lock leave the windows as they are; a log-off asks them to close
  // first, as a shutdown does. Failures are reported, not thrown.
  virtual void SessionAction(SessionRequest request) = 0;
  virtual void TurnScreensOff() = 0;
  // The computer's figures, as ComputerFigures::Status gives them; throws Error.
  virtual StatusItems Status(const std::string& address) = 0;
  // Each sensor of the user's own with its last reading (SensorItems); none by default.
  virtual std::vector<StatusItems> Sensors() { return {}; }
  // Shows a notice to the person at the computer, as NoticeBoard does; nothing by default.
  virtual void Notify(const NoticeRequest& request) { (void)request; }
};

}  // namespace varnix
