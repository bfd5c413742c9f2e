// The system's own cryptography, for signing requests: HMAC-SHA256, a constant-time compare
// and random bytes. Nothing here is written by hand.
#pragma once

#include <string>
#include <string_view>

namespace varnix {

// The HMAC-SHA256 of `message` under `key` (raw bytes), as 32 raw bytes. Throws Error when
// the system's library fails.
std::string HmacSha256(std::string_view key, std::string_view message);
// Whether `a` and `b` are equal, in a time that does not depend on where they differ.
bool EqualInConstantTime(std::string_view a, std::string_view b);
// `count` bytes from the system's random source. Throws Error when it has none.
std::string RandomBytes(size_t count);

}  // namespace varnix
