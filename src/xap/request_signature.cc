// SignRequest and SignatureCheck: HMAC-SHA256 from the platform's crypto, over the message as
// the receiving program reads it, up to the section that carries the signature.
#include "xap/request_signature.h"

#include <charconv>

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

// The value of "name=" in the section's lines; nothing when it is missing.
std::optional<std::string_view> Item(std::string_view lines, std::string_view name) {
  size_t at = 0;
  while (at < lines.size()) {
    const size_t end = lines.find('\n', at);
    const std::string_view line = lines.substr(at, end - at);
    if (line.size() > name.size() && line.substr(0, name.size()) == name &&
        line[name.size()] == '=') {
      return line.substr(name.size() + 1);
    }
    if (end == std::string_view::npos) break;
    at = end + 1;
  }
  return std::nullopt;
}

}  // namespace

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
    return {std::move(key), ""};
  } catch (const Error& e) {
    return {std::nullopt, e.description()};
  }
}

std::string SignRequest(std::string_view message, std::string_view key, int64_t unix_now) {
  std::string text(message);
  if (!text.empty() && text.back() != '\n') text += '\n';
  const std::string mac = HexOf(HmacSha256(key, text));
  return text + std::string(kSection) + "Time=" + std::to_string(unix_now) +
         "\nNonce=" + HexOf(RandomBytes(16)) + "\nMac=" + mac + "\n}\n";
}

SignatureCheck::Verdict SignatureCheck::Check(std::string_view message) {
  // The last such section: one that an attacker adds after a signed request breaks the Mac.
  const size_t at = message.rfind(kSection);
  if (at == std::string_view::npos || (at != 0 && message[at - 1] != '\n')) {
    return Verdict::kUnsigned;
  }
  const std::string_view rest = message.substr(at + kSection.size());
  const size_t close = rest.find("}\n");
  // Nothing may follow it: what came after would not be covered by the Mac.
  if (close == std::string_view::npos ||
      rest.substr(close + 2).find_first_not_of("\r\n ") != std::string_view::npos) {
    return Verdict::kBadSignature;
  }
  const std::string_view lines = rest.substr(0, close);
  const auto time = Item(lines, "Time");
  const auto nonce = Item(lines, "Nonce");
  const auto mac_hex = Item(lines, "Mac");
  if (!time || !nonce || !mac_hex || nonce->size() != 32) return Verdict::kBadSignature;
  const std::optional<std::string> mac = BytesFromHex(*mac_hex, 32);
  if (!mac || !EqualInConstantTime(*mac, HmacSha256(key_, message.substr(0, at)))) {
    return Verdict::kBadSignature;
  }
  int64_t sent = 0;
  const auto [end, error] = std::from_chars(time->data(), time->data() + time->size(), sent);
  const int64_t now = now_();
  if (error != std::errc() || end != time->data() + time->size() || sent < now - kLeewaySeconds ||
      sent > now + kLeewaySeconds) {
    return Verdict::kStale;
  }
  while (!nonce_order_.empty() &&
         (nonce_order_.front().first < now - kNonceSeconds || nonce_order_.size() >= kMaxNonces)) {
    nonces_.erase(nonce_order_.front().second);
    nonce_order_.pop_front();
  }
  if (!nonces_.emplace(*nonce).second) return Verdict::kReplayed;
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
  }
  return "";
}

}  // namespace varnix
