// Creates the missing folders on the path of a file.
#pragma once

#include <string>

#include "core/failure.h"
#include "platform/file_system.h"
#include "platform/path_rules.h"

namespace varnix {

// A relative path creates nothing. Each folder that cannot be made is reported through
// `report` and the next one is still tried.
void CreateFolders(const std::string& file_path, PathRules paths, FileSystem& files,
                   EventReport& report);

}  // namespace varnix
