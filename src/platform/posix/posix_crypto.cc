// Cryptography on Linux: Nettle's HMAC-SHA256 and AES-256-GCM (small, and loaded by GnuTLS
// anyway), and getrandom for random bytes. Nettle is loaded at the first use of a key: a node
// without one never maps it.
#include <nettle/gcm.h>
#include <nettle/hmac.h>
#include <nettle/memops.h>
#include <nettle/sha2.h>
#include <sys/random.h>

#include <cerrno>
#include <cstring>

#include "platform/crypto.h"
#include "platform/error.h"
#include "platform/posix/shared_library.h"

#ifndef VARNIX_NETTLE_SONAME
#error "VARNIX_NETTLE_SONAME names the library to load"
#endif

namespace varnix {
namespace {

// The Nettle functions used here, by their exported names (the headers' short names are macros).
// clang-format off
#define VARNIX_NETTLE_FUNCTIONS(F)                                                           \
  F(nettle_hmac_sha256_set_key) F(nettle_hmac_sha256_update) F(nettle_hmac_sha256_digest)    \
  F(nettle_gcm_aes256_set_key) F(nettle_gcm_aes256_set_iv) F(nettle_gcm_aes256_update)       \
  F(nettle_gcm_aes256_encrypt) F(nettle_gcm_aes256_decrypt) F(nettle_gcm_aes256_digest)      \
  F(nettle_memeql_sec)
// clang-format on

struct Nettle {
  Nettle() : library(VARNIX_NETTLE_SONAME) {
#define VARNIX_NETTLE_FIND(name) complete = library.Find(#name, name) && complete;
    VARNIX_NETTLE_FUNCTIONS(VARNIX_NETTLE_FIND)
#undef VARNIX_NETTLE_FIND
  }

  SharedLibrary library;
  bool complete = true;
#define VARNIX_NETTLE_POINTER(name) decltype(&::name) name = nullptr;
  VARNIX_NETTLE_FUNCTIONS(VARNIX_NETTLE_POINTER)
#undef VARNIX_NETTLE_POINTER
};

// Loaded once, on first use, by whichever thread comes first.
const Nettle& Library() {
  static const Nettle nettle;
  if (!nettle.library.loaded() || !nettle.complete) {
    throw Error(ENOENT, "the cryptography library cannot be loaded: " + nettle.library.error());
  }
  return nettle;
}

}  // namespace

std::string HmacSha256(std::string_view key, std::string_view message) {
  const Nettle& nettle = Library();
  hmac_sha256_ctx context;
  nettle.nettle_hmac_sha256_set_key(&context, key.size(),
                                    reinterpret_cast<const uint8_t*>(key.data()));
  nettle.nettle_hmac_sha256_update(&context, message.size(),
                                   reinterpret_cast<const uint8_t*>(message.data()));
  std::string digest(SHA256_DIGEST_SIZE, '\0');
  nettle.nettle_hmac_sha256_digest(&context, SHA256_DIGEST_SIZE,
                                   reinterpret_cast<uint8_t*>(digest.data()));
  return digest;
}

namespace {

const uint8_t* Bytes(std::string_view text) {
  return reinterpret_cast<const uint8_t*>(text.data());
}

gcm_aes256_ctx GcmStarted(const Nettle& nettle, std::string_view key, std::string_view nonce,
                          std::string_view associated) {
  if (key.size() != 32 || nonce.size() != kSealNonceBytes) {
    throw Error(0, "AES-256-GCM needs a key of 32 bytes and a nonce of 12");
  }
  gcm_aes256_ctx context;
  nettle.nettle_gcm_aes256_set_key(&context, Bytes(key));
  nettle.nettle_gcm_aes256_set_iv(&context, nonce.size(), Bytes(nonce));
  nettle.nettle_gcm_aes256_update(&context, associated.size(), Bytes(associated));
  return context;
}

}  // namespace

std::string SealAes256Gcm(std::string_view key, std::string_view nonce, std::string_view associated,
                          std::string_view plain) {
  const Nettle& nettle = Library();
  gcm_aes256_ctx context = GcmStarted(nettle, key, nonce, associated);
  std::string sealed(plain.size() + kSealTagBytes, '\0');
  auto* out = reinterpret_cast<uint8_t*>(sealed.data());
  nettle.nettle_gcm_aes256_encrypt(&context, plain.size(), out, Bytes(plain));
  nettle.nettle_gcm_aes256_digest(&context, kSealTagBytes, out + plain.size());
  return sealed;
}

std::optional<std::string> OpenAes256Gcm(std::string_view key, std::string_view nonce,
                                         std::string_view associated, std::string_view sealed) {
  if (sealed.size() < kSealTagBytes) return std::nullopt;
  const Nettle& nettle = Library();
  gcm_aes256_ctx context = GcmStarted(nettle, key, nonce, associated);
  const size_t size = sealed.size() - kSealTagBytes;
  std::string plain(size, '\0');
  nettle.nettle_gcm_aes256_decrypt(&context, size, reinterpret_cast<uint8_t*>(plain.data()),
                                   Bytes(sealed));
  std::string tag(kSealTagBytes, '\0');
  nettle.nettle_gcm_aes256_digest(&context, kSealTagBytes, reinterpret_cast<uint8_t*>(tag.data()));
  if (!EqualInConstantTime(tag, sealed.substr(size))) return std::nullopt;
  return plain;
}

bool EqualInConstantTime(std::string_view a, std::string_view b) {
  return a.size() == b.size() && Library().nettle_memeql_sec(a.data(), b.data(), a.size()) != 0;
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
