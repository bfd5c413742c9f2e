// Creates the missing folders on the path of a file.
#pragma once

#include <string>

#include "core/failure.h"
#include "platform/file_system.h"

namespace varnix {

// `separator` picks the path rules: '\\' knows drive and network roots, '/' a leading slash.
// A relative path creates nothing. Each folder that cannot be made is reported through
// `report` and the next one is still tried.
void CreateFolders(const std::string& file_path, char separator, FileSystem& files,
                   EventReport& report);

}  // namespace varnix
