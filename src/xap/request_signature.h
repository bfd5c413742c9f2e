// Signed requests: the Varnix.Auth section that Varnix's own controllers put after a request,
// and the node's check of it. A controller that knows nothing of it is unaffected: the section
// comes last.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>

#include "platform/file_system.h"

namespace varnix {

// The shared key's file holds 64 hex digits: 32 bytes.
constexpr size_t kAccessKeyBytes = 32;
std::optional<std::string> KeyFromHex(std::string_view text);
std::string HexOf(std::string_view bytes);

// The key in the file at `path`, or why there is none to use: no such file, readable by
// others, not 64 hex digits.
struct LoadedKey {
  std::optional<std::string> key;
  std::string problem;
};
LoadedKey LoadAccessKey(FileSystem& files, const std::string& path);

// `message` (a whole xAP message) with the section added: Time (Unix seconds), Nonce (16
// random bytes) and Mac (HMAC-SHA256 of every byte before the section), all hex but Time.
std::string SignRequest(std::string_view message, std::string_view key, int64_t unix_now);

class SignatureCheck {
 public:
  enum class Verdict { kGood, kUnsigned, kBadSignature, kStale, kReplayed };
  static constexpr int64_t kLeewaySeconds = 60;
  static constexpr int64_t kNonceSeconds = 120;
  static constexpr size_t kMaxNonces = 16384;

  SignatureCheck(std::string key, std::function<int64_t()> unix_now)
      : key_(std::move(key)), now_(std::move(unix_now)) {}

  // A good signature's nonce is kept for two minutes: the same request again is a replay.
  Verdict Check(std::string_view message);
  // The words a refusal ends with: "not signed", "bad signature", ...
  static const char* Why(Verdict verdict);

 private:
  std::string key_;
  std::function<int64_t()> now_;
  std::deque<std::pair<int64_t, std::string>> nonce_order_;  // oldest first
  std::unordered_set<std::string> nonces_;
};

}  // namespace varnix
