// ReplaceFileDurably: the order of the steps is what makes the replace safe.
#include "platform/durable_file.h"

#include "platform/error.h"

namespace varnix {

void ReplaceFileDurably(FileSteps& steps, const std::string& path, std::string_view bytes,
                        bool owner_only) {
  const std::string aside = path + ".new";
  try {
    {
      const std::unique_ptr<FileSteps::Writer> writer = steps.Create(aside, owner_only);
      for (std::string_view rest = bytes; !rest.empty();) {
        const size_t taken = writer->Write(rest);
        if (taken == 0) throw Error(errors::kFileIo, "Cannot write " + aside + ": nothing taken");
        rest.remove_prefix(taken);
      }
      // On the disk before it takes the name: renamed first, a power cut could leave the name
      // on an empty file.
      writer->Flush();
    }
    steps.Replace(aside, path);
  } catch (const Error&) {
    steps.Remove(aside);
    throw;
  }
  steps.FlushFolderOf(path);
}

}  // namespace varnix
