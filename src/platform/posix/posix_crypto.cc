// Cryptography on Linux: OpenSSL's libcrypto, and getrandom for random bytes.
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <sys/random.h>

#include <cerrno>
#include <cstring>

#include "platform/crypto.h"
#include "platform/error.h"

namespace varnix {

std::string HmacSha256(std::string_view key, std::string_view message) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
           reinterpret_cast<const unsigned char*>(message.data()), message.size(), digest,
           &length) == nullptr) {
    throw Error(EIO, "HMAC-SHA256 failed in libcrypto");
  }
  return std::string(reinterpret_cast<const char*>(digest), length);
}

bool EqualInConstantTime(std::string_view a, std::string_view b) {
  return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
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
