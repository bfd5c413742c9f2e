// CreateFolders: finds the path's root, then makes each missing folder below it in turn.
#include "core/create_folders.h"

#include <optional>
#include <vector>

#include "core/steps.h"
#include "core/text.h"

namespace varnix {
void CreateFolders(const std::string& file_path, PathRules paths, FileSystem& files,
                   EventReport& report) {
  const std::optional<std::string> root = paths.Root(file_path);
  if (!root) return;
  const std::vector<std::string> parts = Split(file_path.substr(root->size()), paths.separator());
  std::string folder = *root;
  // The first part is the empty text before the leading separator, the last the file name.
  for (size_t i = 1; i + 1 < parts.size(); ++i) {
    folder += paths.separator();
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
