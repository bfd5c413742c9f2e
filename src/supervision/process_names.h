// The names of a program file: its file name, and its process name without the extension.
#pragma once

#include <string>

#include "platform/path_rules.h"

namespace varnix {

// The file-name part of a path: after the last separator, or on a drive after its ":". A bare
// name is returned unchanged.
std::string filename(const std::string& path, PathRules paths);

// The file name without folder and extension. On Windows a path without "\" or ":" keeps its
// extension, and a dot that lies only in a folder name throws Error; elsewhere a file name
// without an extension is its own process name.
std::string ProcessName(const std::string& path, PathRules paths);

}  // namespace varnix
