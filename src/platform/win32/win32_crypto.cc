// Cryptography on Windows: CNG (BCrypt) for HMAC-SHA256, AES-256-GCM and random bytes.
#include <memory>
#include <optional>
#include <string>
#include <type_traits>

#include "platform/crypto.h"
#include "platform/error.h"
#include "platform/win32/windows_headers.h"
// After windows.h, which it needs.
#include <bcrypt.h>

namespace varnix {
namespace {

void Check(NTSTATUS status, const char* call) {
  if (status < 0) {
    throw Error(static_cast<long>(status), std::string(call) + " failed (NTSTATUS " +
                                               std::to_string(static_cast<unsigned long>(status)) +
                                               ")");
  }
}

struct AlgorithmCloser {
  void operator()(BCRYPT_ALG_HANDLE handle) const { BCryptCloseAlgorithmProvider(handle, 0); }
};
struct HashCloser {
  void operator()(BCRYPT_HASH_HANDLE handle) const { BCryptDestroyHash(handle); }
};
struct KeyCloser {
  void operator()(BCRYPT_KEY_HANDLE handle) const { BCryptDestroyKey(handle); }
};

PUCHAR Bytes(std::string_view text) {
  return reinterpret_cast<PUCHAR>(const_cast<char*>(text.data()));
}

// An AES key in GCM mode, and the provider it was made by (which must outlive it).
struct GcmKey {
  std::unique_ptr<void, AlgorithmCloser> algorithm;
  std::unique_ptr<void, KeyCloser> key;
};

GcmKey GcmKeyOf(std::string_view key, std::string_view nonce) {
  if (key.size() != 32 || nonce.size() != kSealNonceBytes) {
    throw Error(0, "AES-256-GCM needs a key of 32 bytes and a nonce of 12");
  }
  BCRYPT_ALG_HANDLE opened = nullptr;
  Check(BCryptOpenAlgorithmProvider(&opened, BCRYPT_AES_ALGORITHM, nullptr, 0),
        "BCryptOpenAlgorithmProvider");
  GcmKey made;
  made.algorithm.reset(opened);
  Check(BCryptSetProperty(opened, BCRYPT_CHAINING_MODE,
                          reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(BCRYPT_CHAIN_MODE_GCM)),
                          sizeof BCRYPT_CHAIN_MODE_GCM, 0),
        "BCryptSetProperty");
  BCRYPT_KEY_HANDLE generated = nullptr;
  Check(BCryptGenerateSymmetricKey(opened, &generated, nullptr, 0, Bytes(key),
                                   static_cast<ULONG>(key.size()), 0),
        "BCryptGenerateSymmetricKey");
  made.key.reset(generated);
  return made;
}

BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO ModeInfo(std::string_view nonce, std::string_view associated,
                                               std::string& tag) {
  BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO info;
  BCRYPT_INIT_AUTH_MODE_INFO(info);
  info.pbNonce = Bytes(nonce);
  info.cbNonce = static_cast<ULONG>(nonce.size());
  info.pbAuthData = Bytes(associated);
  info.cbAuthData = static_cast<ULONG>(associated.size());
  info.pbTag = reinterpret_cast<PUCHAR>(tag.data());
  info.cbTag = static_cast<ULONG>(tag.size());
  return info;
}

}  // namespace

std::string HmacSha256(std::string_view key, std::string_view message) {
  BCRYPT_ALG_HANDLE opened = nullptr;
  Check(BCryptOpenAlgorithmProvider(&opened, BCRYPT_SHA256_ALGORITHM, nullptr,
                                    BCRYPT_ALG_HANDLE_HMAC_FLAG),
        "BCryptOpenAlgorithmProvider");
  const std::unique_ptr<void, AlgorithmCloser> algorithm(opened);
  BCRYPT_HASH_HANDLE created = nullptr;
  Check(BCryptCreateHash(opened, &created, nullptr, 0,
                         reinterpret_cast<PUCHAR>(const_cast<char*>(key.data())),
                         static_cast<ULONG>(key.size()), 0),
        "BCryptCreateHash");
  const std::unique_ptr<void, HashCloser> hash(created);
  Check(BCryptHashData(created, reinterpret_cast<PUCHAR>(const_cast<char*>(message.data())),
                       static_cast<ULONG>(message.size()), 0),
        "BCryptHashData");
  std::string digest(32, '\0');
  Check(BCryptFinishHash(created, reinterpret_cast<PUCHAR>(digest.data()), 32, 0),
        "BCryptFinishHash");
  return digest;
}

std::string SealAes256Gcm(std::string_view key, std::string_view nonce, std::string_view associated,
                          std::string_view plain) {
  const GcmKey gcm = GcmKeyOf(key, nonce);
  std::string tag(kSealTagBytes, '\0');
  BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO info = ModeInfo(nonce, associated, tag);
  std::string sealed(plain.size(), '\0');
  ULONG written = 0;
  Check(BCryptEncrypt(gcm.key.get(), Bytes(plain), static_cast<ULONG>(plain.size()), &info, nullptr,
                      0, reinterpret_cast<PUCHAR>(sealed.data()), static_cast<ULONG>(sealed.size()),
                      &written, 0),
        "BCryptEncrypt");
  sealed.resize(written);
  return sealed + tag;
}

std::optional<std::string> OpenAes256Gcm(std::string_view key, std::string_view nonce,
                                         std::string_view associated, std::string_view sealed) {
  if (sealed.size() < kSealTagBytes) return std::nullopt;
  const GcmKey gcm = GcmKeyOf(key, nonce);
  const size_t size = sealed.size() - kSealTagBytes;
  std::string tag(sealed.substr(size));
  BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO info = ModeInfo(nonce, associated, tag);
  std::string plain(size, '\0');
  ULONG written = 0;
  const NTSTATUS status = BCryptDecrypt(
      gcm.key.get(), Bytes(sealed.substr(0, size)), static_cast<ULONG>(size), &info, nullptr, 0,
      reinterpret_cast<PUCHAR>(plain.data()), static_cast<ULONG>(plain.size()), &written, 0);
  if (status < 0) return std::nullopt;  // the tag did not hold, or the library failed
  plain.resize(written);
  return plain;
}

bool EqualInConstantTime(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  // Every byte is looked at, whatever the first difference.
  volatile unsigned char differ = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    differ = differ | static_cast<unsigned char>(a[i] ^ b[i]);
  }
  return differ == 0;
}

std::string RandomBytes(size_t count) {
  std::string bytes(count, '\0');
  Check(BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(bytes.data()), static_cast<ULONG>(count),
                        BCRYPT_USE_SYSTEM_PREFERRED_RNG),
        "BCryptGenRandom");
  return bytes;
}

}  // namespace varnix
