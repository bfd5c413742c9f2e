// What varnixctl last saw of each computer's network card, kept in the user's state folder so
// that a computer can be woken once it is off and its node silent.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <utility>

#include "platform/file_system.h"
#include "platform/path_rules.h"

namespace varnix {

class KnownComputers {
 public:
  static constexpr size_t kMaxComputers = 1024;
  static constexpr size_t kMaxLineBytes = 320;  // a name of 63 characters, a MAC, an address

  // `path` is the file; "" keeps nothing (no state folder).
  KnownComputers(FileSystem& files, PathRules paths, std::string path);

  struct Card {
    std::string mac;      // normal
    std::string address;  // where its node was heard; may be ""
    // Its node signed what it told this varnixctl under the key: from then on its unsigned
    // word is someone else's. Kept until its line is removed by hand.
    bool signs = false;
  };
  // Nothing when the computer was never seen, or the file cannot be read.
  std::optional<Card> Find(const std::string& computer);
  // Keeps the card of a computer, replacing what was kept of it. Throws Error when the file
  // cannot be written.
  void Remember(const std::string& computer, const Card& card);
  const std::string& path() const { return path_; }

 private:
  std::map<std::string, Card> Read();

  FileSystem& files_;
  PathRules paths_;
  std::string path_;
};

}  // namespace varnix
