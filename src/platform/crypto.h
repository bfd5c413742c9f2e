// The system's own cryptography: HMAC-SHA256 for signing requests, AES-256-GCM for what only
// key holders may read, a constant-time compare and random bytes. Nothing here is written by
// hand.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace varnix {

// The HMAC-SHA256 of `message` under `key` (raw bytes), as 32 raw bytes. Throws Error when
// the system's library fails.
std::string HmacSha256(std::string_view key, std::string_view message);
// AES-256-GCM under `key` (32 bytes) and `nonce` (12 bytes, never used twice with one key),
// with `associated` bound in unencrypted: the cipher text of `plain` followed by its 16-byte
// tag. Throws Error when the system's library fails.
constexpr size_t kSealNonceBytes = 12;
constexpr size_t kSealTagBytes = 16;
std::string SealAes256Gcm(std::string_view key, std::string_view nonce, std::string_view associated,
                          std::string_view plain);
// The plain text of what SealAes256Gcm made, or nullopt when the tag does not hold (another
// key, another nonce or associated text, or a changed byte).
std::optional<std::string> OpenAes256Gcm(std::string_view key, std::string_view nonce,
                                         std::string_view associated, std::string_view sealed);
// Whether `a` and `b` are equal, in a time that does not depend on where they differ.
bool EqualInConstantTime(std::string_view a, std::string_view b);
// `count` bytes from the system's random source. Throws Error when it has none.
std::string RandomBytes(size_t count);

}  // namespace varnix
