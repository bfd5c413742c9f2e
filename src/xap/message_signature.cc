// SignMessage and SignatureCheck: HMAC-SHA256 from the platform's crypto, over the message's
// bytes as they go on the wire, up to the line that carries the Mac.
#include "xap/message_signature.h"

#include <charconv>

#include "core/text.h"
#include "platform/crypto.h"
#include "platform/error.h"
#include "platform/private_file.h"

namespace varnix {
namespace {

constexpr std::string_view kSection = "Varnix.Auth\n{\n";

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Takes the line "<name>value\n" off the front of `rest`: its value, or nothing when the line
// is not there.
std::optional<std::string_view> Line(std::string_view& rest, std::string_view name) {
  const size_t end = rest.find('\n');
  if (end == std::string_view::npos || rest.substr(0, name.size()) != name) return std::nullopt;
  const std::string_view value = rest.substr(name.size(), end - name.size());
  rest.remove_prefix(end + 1);
  return value;
}

// Where the section's name starts: npos when no line names it, nothing when more than one
// does. Letter case is ignored as the xAP parser ignores it, so that no second section can
// hide under another spelling.
std::optional<size_t> OnlySection(std::string_view message) {
  constexpr std::string_view kName = "varnix.auth";
  size_t found = std::string_view::npos;
  for (size_t at = 0; at < message.size();) {
    size_t end = message.find('\n', at);
    if (end == std::string_view::npos) end = message.size();
    std::string_view line = message.substr(at, end - at);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.remove_suffix(1);
    while (!line.empty() && line.front() == ' ') line.remove_prefix(1);
    if (line.size() == kName.size() && EqualsLowered(line, kName)) {
      if (found != std::string_view::npos) return std::nullopt;
      found = at;
    }
    at = end + 1;
  }
  if (found != std::string_view::npos && message.substr(found, kSection.size()) != kSection) {
    return std::nullopt;
  }
  return found;
}

}  // namespace

std::optional<std::string> BytesFromHex(std::string_view text, size_t bytes) {
  if (text.size() != bytes * 2) return std::nullopt;
  std::string out(bytes, '\0');
  for (size_t i = 0; i < bytes; ++i) {
    const int high = HexDigit(text[2 * i]);
    const int low = HexDigit(text[2 * i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    out[i] = static_cast<char>(high * 16 + low);
  }
  return out;
}

std::optional<std::string> KeyFromHex(std::string_view text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
    text.remove_suffix(1);
  }
  return BytesFromHex(text, kAccessKeyBytes);
}

std::string HexOf(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (const char c : bytes) {
    text += kDigits[static_cast<unsigned char>(c) >> 4];
    text += kDigits[static_cast<unsigned char>(c) & 15];
  }
  return text;
}

LoadedKey LoadAccessKey(FileSystem& files, const std::string& path) {
  if (!files.FileExists(path)) return {std::nullopt, path + " does not exist"};
  try {
    // A key that others can read signs for them too.
    if (const std::string others = WhoElseCanRead(path); !others.empty()) {
      return {std::nullopt, path + " is " + others + ": it is not used"};
    }
    std::optional<std::string> key = KeyFromHex(files.ReadAll(path));
    if (!key) return {std::nullopt, path + " does not hold a key of 64 hex digits"};
    // The cryptography is loaded at its first use: a key it cannot serve is said here, once.
    HmacSha256(*key, "");
    return {std::move(key), ""};
  } catch (const Error& e) {
    return {std::nullopt, e.description()};
  }
}

std::string SignMessage(std::string_view message, std::string_view key, int64_t unix_now) {
  std::string text(message);
  if (!text.empty() && text.back() != '\n') text += '\n';
  text += std::string(kSection) + "Time=" + std::to_string(unix_now) +
          "\nNonce=" + HexOf(RandomBytes(16)) + "\n";
  return text + "Mac=" + HexOf(HmacSha256(key, text)) + "\n}\n";
}

SignatureCheck::Verdict SignatureCheck::Check(std::string_view message) {
  const std::optional<size_t> at = OnlySection(message);
  if (!at) return Verdict::kBadSignature;
  if (*at == std::string_view::npos) return Verdict::kUnsigned;
  // Exactly the lines a signer writes, and nothing after them: what came after would not be
  // covered by the Mac.
  std::string_view rest = message.substr(*at + kSection.size());
  const auto time = Line(rest, "Time=");
  const auto nonce = Line(rest, "Nonce=");
  const size_t mac_at = message.size() - rest.size();
  const auto mac_hex = Line(rest, "Mac=");
  if (!time || !nonce || !mac_hex || rest != "}\n" || nonce->size() != 32 ||
      !BytesFromHex(*nonce, 16)) {
    return Verdict::kBadSignature;
  }
  const std::optional<std::string> mac = BytesFromHex(*mac_hex, 32);
  if (!mac || !EqualInConstantTime(*mac, HmacSha256(key_, message.substr(0, mac_at)))) {
    return Verdict::kBadSignature;
  }
  int64_t sent = 0;
  const auto [end, error] = std::from_chars(time->data(), time->data() + time->size(), sent);
  const int64_t now = now_();
  if (error != std::errc() || end != time->data() + time->size() || sent < now - kLeewaySeconds ||
      sent > now + kLeewaySeconds) {
    return Verdict::kStale;
  }
  if (sent < not_before_) return Verdict::kBeforeStart;
  // Only nonces whose message could still be taken are kept, and none of those is ever
  // forgotten: a full cache refuses rather than forgets (a flood would otherwise push out a
  // captured message's nonce, and the message could be replayed).
  while (!nonce_order_.empty() && nonce_order_.front().first < now - kNonceSeconds) {
    nonces_.erase(nonce_order_.front().second);
    nonce_order_.pop_front();
  }
  if (nonces_.count(std::string(*nonce)) != 0) return Verdict::kReplayed;
  if (nonces_.size() >= kMaxNonces) return Verdict::kFull;
  nonces_.emplace(*nonce);
  nonce_order_.emplace_back(now, std::string(*nonce));
  return Verdict::kGood;
}

const char* SignatureCheck::Why(Verdict verdict) {
  switch (verdict) {
    case Verdict::kGood:
      return "signed";
    case Verdict::kUnsigned:
      return "not signed";
    case Verdict::kBadSignature:
      return "bad signature";
    case Verdict::kStale:
      return "stale (its time is more than 60 s from this computer's clock)";
    case Verdict::kReplayed:
      return "replayed";
    case Verdict::kFull:
      return "too many signed messages within two minutes to tell a replay (refused until older "
             "ones expire)";
    case Verdict::kBeforeStart:
      return "signed before this node started";
  }
  return "";
}

}  // namespace varnix
