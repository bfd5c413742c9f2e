// CreateFolders: finds the path's root, then makes each missing folder below it in turn.
#include "core/create_folders.h"

#include <optional>
#include <vector>

#include "core/steps.h"
#include "core/text.h"

namespace varnix {
namespace {

// The share root of "\\server\share\rest": the text before the third separator.
std::optional<std::string> NetworkRoot(const std::string& path) {
  const auto p1 = path.find("\\\\");
  if (p1 == std::string::npos) return std::nullopt;
  const auto p2 = path.find('\\', p1 + 2);
  if (p2 == std::string::npos) return std::nullopt;
  const auto p3 = path.find('\\', p2 + 1);
  if (p3 == std::string::npos) return std::nullopt;
  return path.substr(0, p3);
}

std::optional<std::string> Root(const std::string& path, char separator) {
  if (separator == '/') {
    if (path.empty() || path[0] != '/') return std::nullopt;
    return std::string();
  }
  const auto colon = path.find(':');
  if (colon != std::string::npos) return path.substr(0, colon + 1);
  return NetworkRoot(path);
}

}  // namespace

void CreateFolders(const std::string& file_path, char separator, FileSystem& files,
                   EventReport& report) {
  const std::optional<std::string> root = Root(file_path, separator);
  if (!root) return;
  const std::vector<std::string> parts = Split(file_path.substr(root->size()), separator);
  std::string folder = *root;
  // The first part is the empty text before the leading separator, the last the file name.
  for (size_t i = 1; i + 1 < parts.size(); ++i) {
    folder += separator;
    folder += parts[i];
    Steps step([&](const Failure& failure) {
      report.SendErrorEvent(kLogType, " CreateFolders " + folder, failure);
    });
    step(30, [&] {
      if (!files.FolderExists(folder)) files.CreateFolder(folder);
    });
  }
}

}  // namespace varnix
