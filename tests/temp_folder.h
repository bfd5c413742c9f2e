// A fresh folder under the system's temporary folder, removed with everything in it when dropped.
#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>

#include "platform/text_encoding.h"

namespace varnix {

class TempFolder {
 public:
  TempFolder() {
    static std::atomic<int> counter{0};
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    path_ = std::filesystem::temp_directory_path() /
            ("varnix-test-" + std::to_string(stamp) + "-" + std::to_string(counter++));
    std::filesystem::create_directories(path_);
  }
  ~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  // The folder, or a path inside it, in the system's own form; names in any script.
  std::string path(const std::string& name = "") const {
    return TextFromPath(name.empty() ? path_ : path_ / PathFromText(name));
  }

 private:
  std::filesystem::path path_;
};

}  // namespace varnix
