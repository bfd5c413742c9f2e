// What a node tells of the people at a computer, sealed for the holders of the access key: a
// broadcast is public, and who is at a computer, or what their own sensors read, is not.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace varnix {

using Items = std::vector<std::pair<std::string, std::string>>;

// `plain` sealed for the holders of the access key `key` (raw bytes): hex of a fresh nonce and
// `plain` under AES-256-GCM, with a key derived from `key` for `purpose` alone, so that the
// access key itself serves one thing only, and `associated` bound in.
std::string SealText(std::string_view key, std::string_view purpose, std::string_view associated,
                     std::string_view plain);
// What SealText sealed; nothing when `hex` is no such value, or it does not open with `key`
// (none, another key or purpose, other associated data, or tampered with).
std::optional<std::string> OpenSealedText(std::string_view key, std::string_view purpose,
                                          std::string_view associated, std::string_view hex);

// `items` of block `section` as they travel: with a `key` (raw bytes), those that `is_private`
// names go, in order, into one Sealed item in the place of the first (hex of a fresh nonce and
// the items sealed with AES-256-GCM, the section bound in); without one, all as they are.
Items SealPrivate(std::string_view key, std::string_view section, Items items,
                  const std::function<bool(std::string_view name)>& is_private);

// `items` with a Sealed item of block `section` opened in its place; left as they are when
// there is none, or it does not open with `key` (another key, or none, or tampered with).
Items OpenPrivate(std::string_view key, std::string_view section, Items items);

// Whether `items` still hold a Sealed item: one this program could not open.
bool StillSealed(const Items& items);

}  // namespace varnix
