// The sensors of the user's own declared in Config/settings.ini: [Sensor NAME] sections, each
// a command whose output is a reading.
#pragma once

#include <string>
#include <vector>

#include "computer/user_sensors.h"
#include "core/failure.h"
#include "platform/file_system.h"
#include "platform/path_rules.h"

namespace varnix {

// The usable [Sensor NAME] sections of `path` in the file's order, at most
// UserSensors::kMostSensors: Command= (required), Parameter=, Interval= (seconds, 5 to 86,400;
// 60 when missing), Timeout= (seconds, 1 to 600; 10), Unit= and Kind= (number, text or on-off;
// text). A bad value is named in the log with the file, section and key, and leaves that
// sensor out; a key the node does not know is named too, and ignored. Only this file declares
// sensors: nothing that comes over the network adds a command.
std::vector<SensorDeclaration> ReadDeclaredSensors(FileSystem& files, EventReport& report,
                                                   ErrorLog& log, const std::string& path,
                                                   PathRules paths);

}  // namespace varnix
