// Private items sealed into one, and opened again, with a key derived from the access key.
#include "xap/sealed_items.h"

#include <algorithm>

#include "core/text.h"
#include "platform/crypto.h"
#include "xap/message_signature.h"

namespace varnix {
namespace {

constexpr std::string_view kPurpose = "Varnix private items";

std::string Associated(std::string_view section) { return "Sealed\n" + LowerCase(section); }

bool IsSealed(const std::pair<std::string, std::string>& item) {
  return EqualsIgnoringCase(item.first, "Sealed");
}

}  // namespace

std::string SealText(std::string_view key, std::string_view purpose, std::string_view associated,
                     std::string_view plain) {
  const std::string nonce = RandomBytes(kSealNonceBytes);
  return HexOf(nonce + SealAes256Gcm(HmacSha256(key, purpose), nonce, associated, plain));
}

std::optional<std::string> OpenSealedText(std::string_view key, std::string_view purpose,
                                          std::string_view associated, std::string_view hex) {
  const std::optional<std::string> bytes = BytesFromHex(hex, hex.size() / 2);
  if (key.empty() || !bytes || bytes->size() < kSealNonceBytes) return std::nullopt;
  return OpenAes256Gcm(HmacSha256(key, purpose), bytes->substr(0, kSealNonceBytes), associated,
                       bytes->substr(kSealNonceBytes));
}

Items SealPrivate(std::string_view key, std::string_view section, Items items,
                  const std::function<bool(std::string_view name)>& is_private) {
  if (key.empty()) return items;
  std::string plain;
  Items carried;
  size_t place = std::string::npos;
  for (auto& item : items) {
    if (!is_private(item.first)) {
      carried.push_back(std::move(item));
      continue;
    }
    if (place == std::string::npos) place = carried.size();
    plain += item.first + "=" + item.second + "\n";
  }
  if (place == std::string::npos) return carried;
  carried.insert(carried.begin() + static_cast<std::ptrdiff_t>(place),
                 {"Sealed", SealText(key, kPurpose, Associated(section), plain)});
  return carried;
}

Items OpenPrivate(std::string_view key, std::string_view section, Items items) {
  const auto sealed = std::find_if(items.begin(), items.end(), IsSealed);
  if (key.empty() || sealed == items.end()) return items;
  const std::optional<std::string> plain =
      OpenSealedText(key, kPurpose, Associated(section), sealed->second);
  if (!plain) return items;
  Items opened;
  for (const std::string_view line : Split(*plain, '\n')) {
    const size_t mark = line.find('=');
    if (mark != std::string_view::npos) {
      opened.emplace_back(std::string(line.substr(0, mark)), std::string(line.substr(mark + 1)));
    }
  }
  const auto at = items.erase(sealed);
  items.insert(at, opened.begin(), opened.end());
  return items;
}

bool StillSealed(const Items& items) { return std::any_of(items.begin(), items.end(), IsSealed); }

}  // namespace varnix
