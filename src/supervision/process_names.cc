// filename and ProcessName for both path styles.
#include "supervision/process_names.h"

#include "platform/error.h"

namespace varnix {
std::string filename(const std::string& path, PathRules paths) {
  return path.substr(paths.NameStart(path));
}

std::string ProcessName(const std::string& path, PathRules paths) {
  if (!paths.has_drives()) {
    const std::string name = filename(path, paths);
    const auto dot = name.rfind('.');
    return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
  }
  const auto dot = path.rfind('.');
  if (dot == std::string::npos) return path;
  const auto start = paths.NameStart(path);
  if (start == 0) return path;  // no folder: the name keeps its extension
  if (dot < start) throw Error(errors::kInvalidCall, "Invalid procedure call or argument");
  return path.substr(start, dot - start);
}

}  // namespace varnix
