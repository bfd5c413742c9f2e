// The lines of a Process.Log answer: in clear as Line1..LineN, or, where the node holds the
// access key, sealed in one Sealed item that only holders of the key can open.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "xap/xap_link.h"

namespace varnix {

// The Sealed item's value for `lines` (none holds a line break): hex of a fresh nonce and the
// lines sealed with AES-256-GCM under a key derived from the access key `key`. The asker's
// `request` token and the answer's `part` are bound in, so that a sealed value moved into
// another answer does not open.
std::string SealLines(std::string_view key, std::string_view request, std::string_view part,
                      const std::vector<std::string>& lines);

struct CarriedLines {
  std::vector<std::string> lines;
  // Sealed, and this program has no key, or not the one they were sealed with.
  bool unopened = false;
};
// The lines one part of an answer carries, at most `most` and never more than its Lines item
// says: a forged count makes no blank lines. Sealed lines are opened with `key` ("" for none).
CarriedLines LinesCarried(const Heard& part, std::string_view key, size_t most);

}  // namespace varnix
