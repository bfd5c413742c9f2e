// Signed messages: the Varnix.Auth section that Varnix's own programs put after a request (and
// a node that has a key after everything it sends), and the check of it. A peer that knows
// nothing of it is unaffected: the section comes last.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
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
// The `bytes` raw bytes that `text` spells in hex; nothing for another length or a non-digit.
std::optional<std::string> BytesFromHex(std::string_view text, size_t bytes);

// The key in the file at `path`, or why there is none to use: no such file, readable by
// others, not 64 hex digits.
struct LoadedKey {
  std::optional<std::string> key;
  std::string problem;
};
LoadedKey LoadAccessKey(FileSystem& files, const std::string& path);

// `message` (a whole xAP message, as it goes on the wire) with the section added: Time (Unix
// seconds), Nonce (16 random bytes) and Mac, the HMAC-SHA256 of every byte before the Mac line,
// so that the time and the nonce cannot be changed either. All hex but Time.
std::string SignMessage(std::string_view message, std::string_view key, int64_t unix_now);

class SignatureCheck {
 public:
  enum class Verdict { kGood, kUnsigned, kBadSignature, kStale, kReplayed, kFull, kBeforeStart };
  static constexpr int64_t kLeewaySeconds = 60;
  static constexpr int64_t kNonceSeconds = 120;
  // A busy LAN's two minutes of signed messages (about 550 a second). A message's nonce is kept
  // for as long as its Time could still be taken (kNonceSeconds covers the leeway both ways);
  // beyond this many at once, further signed messages are refused until older ones expire.
  static constexpr size_t kMaxNonces = 65536;

  // A message signed before `not_before` (Unix seconds) is refused: the nonces of a program's
  // earlier run are gone, and so what it saw could be replayed to it once more.
  SignatureCheck(std::string key, std::function<int64_t()> unix_now,
                 int64_t not_before = std::numeric_limits<int64_t>::min())
      : key_(std::move(key)), now_(std::move(unix_now)), not_before_(not_before) {}

  // `message` as it came on the wire. A good signature's nonce is kept for two minutes: the
  // same message again is a replay. Callers check only what others sent: their own messages,
  // come back, would fill the cache.
  Verdict Check(std::string_view message);
  // The words a refusal ends with: "not signed", "bad signature", ...
  static const char* Why(Verdict verdict);

 private:
  std::string key_;
  std::function<int64_t()> now_;
  int64_t not_before_;
  std::deque<std::pair<int64_t, std::string>> nonce_order_;  // oldest first
  std::unordered_set<std::string> nonces_;
};

}  // namespace varnix
