// Cryptography on Linux: Nettle's HMAC-SHA256 (small, and loaded by GnuTLS anyway), and
// getrandom for random bytes.
#include <nettle/hmac.h>
#include <nettle/memops.h>
#include <nettle/sha2.h>
#include <sys/random.h>

#include <cerrno>
#include <cstring>

#include "platform/crypto.h"
#include "platform/error.h"

namespace varnix {

std::string HmacSha256(std::string_view key, std::string_view message) {
  hmac_sha256_ctx context;
  hmac_sha256_set_key(&context, key.size(), reinterpret_cast<const uint8_t*>(key.data()));
  hmac_sha256_update(&context, message.size(), reinterpret_cast<const uint8_t*>(message.data()));
  std::string digest(SHA256_DIGEST_SIZE, '\0');
  hmac_sha256_digest(&context, SHA256_DIGEST_SIZE, reinterpret_cast<uint8_t*>(digest.data()));
  return digest;
}

bool EqualInConstantTime(std::string_view a, std::string_view b) {
  return a.size() == b.size() && nettle_memeql_sec(a.data(), b.data(), a.size()) != 0;
}

std::string RandomBytes(size_t count) {
  std::string bytes(count, '\0');
  size_t done = 0;
  while (done < count) {
    const ssize_t got = ::getrandom(bytes.data() + done, count - done, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) throw Error(errno, std::string("getrandom: ") + std::strerror(errno));
    done += static_cast<size_t>(got);
  }
  return bytes;
}

}  // namespace varnix
