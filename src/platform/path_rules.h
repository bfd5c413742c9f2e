// How the system spells paths, as one value the logic asks instead of testing the separator.
#pragma once

#include <optional>
#include <string>

namespace varnix {

class PathRules {
 public:
  // Drive letters and "\\server\share" roots, "\" between names, names that ignore case,
  // program files named ".exe".
  static constexpr PathRules Windows() { return PathRules('\\', true); }
  // One root "/", "/" between names, names as they are spelled.
  static constexpr PathRules Posix() { return PathRules('/', false); }

  constexpr char separator() const { return separator_; }
  // Drives, shares, case-blind names and ".exe" files all come together on Windows.
  constexpr bool has_drives() const { return drives_; }
  constexpr bool names_ignore_case() const { return drives_; }
  bool operator==(const PathRules&) const = default;

  // The root of an absolute path ("C:", "\\server\share", or "" before a leading "/"); none
  // for a relative path.
  std::optional<std::string> Root(const std::string& path) const {
    if (!drives_) {
      if (path.empty() || path[0] != '/') return std::nullopt;
      return std::string();
    }
    const auto colon = path.find(':');
    if (colon != std::string::npos) return path.substr(0, colon + 1);
    const auto share = Share(path);
    if (!share) return std::nullopt;
    return path.substr(0, share->rest);
  }

  // "\\server\share\rest" in the local form "share:\rest"; any other path as it is.
  std::string LocalFormOfNetworkPath(const std::string& path) const {
    const auto share = Share(path);
    if (!share) return path;
    return path.substr(share->name, share->rest - share->name) + ":" + path.substr(share->rest);
  }

  // Where a path's file name starts: after the last separator, or on a drive after its ":".
  std::string::size_type NameStart(const std::string& path) const {
    auto at = path.rfind(separator_);
    if (at == std::string::npos && drives_) at = path.rfind(':');
    return at == std::string::npos ? 0 : at + 1;
  }

  // The name a program file has on disk, given the name it was built or started under.
  std::string ProgramFileName(const std::string& name) const {
    if (!drives_) return name;
    return name.substr(0, name.rfind('.')) + ".exe";
  }

 private:
  constexpr PathRules(char separator, bool drives) : separator_(separator), drives_(drives) {}

  struct SharePositions {
    std::string::size_type name;  // where the share's name starts
    std::string::size_type rest;  // where the separator after it is
  };
  std::optional<SharePositions> Share(const std::string& path) const {
    if (!drives_) return std::nullopt;
    const auto start = path.find("\\\\");
    if (start == std::string::npos) return std::nullopt;
    const auto server_end = path.find('\\', start + 2);
    if (server_end == std::string::npos) return std::nullopt;
    const auto share_end = path.find('\\', server_end + 1);
    if (share_end == std::string::npos) return std::nullopt;
    return SharePositions{server_end + 1, share_end};
  }

  char separator_;
  bool drives_;
};

// The rules of the system this program was built for.
PathRules ThisSystemPaths();

}  // namespace varnix
