// Cryptography on Windows: CNG (BCrypt) for HMAC-SHA256 and random bytes.
#include <memory>
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
