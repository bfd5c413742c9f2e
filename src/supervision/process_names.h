// The names of a program file: its file name, and its process name without the extension.
#pragma once

#include <string>

namespace varnix {

// The file-name part of a path. With '\\' paths end at the last "\" or else the last ":";
// with '/' at the last "/". A bare name is returned unchanged.
std::string filename(const std::string& path, char separator);

// The file name without folder and extension. On Windows a path without "\" or ":" keeps its
// extension, and a dot that lies only in a folder name throws Error; elsewhere a file name
// without an extension is its own process name.
std::string ProcessName(const std::string& path, char separator);

}  // namespace varnix
