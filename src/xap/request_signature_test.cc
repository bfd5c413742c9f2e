// Tests of signed requests: the system's HMAC against RFC 4231, and every verdict of the check.
#include "xap/request_signature.h"

#include <gtest/gtest.h>

#include "platform/crypto.h"

namespace varnix {
namespace {

TEST(RequestSignatureTest, TheSystemsHmacIsRfc4231s) {
  // Test case 2 of RFC 4231.
  EXPECT_EQ(HexOf(HmacSha256("Jefe", "what do ya want for nothing?")),
            "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
  EXPECT_EQ(RandomBytes(16).size(), 16u);
  EXPECT_NE(RandomBytes(16), RandomBytes(16));
}

TEST(RequestSignatureTest, OnlyAFreshUntouchedSignatureUnderTheKeyIsGood) {
  const std::string key(32, 'k');
  int64_t now = 1'800'000'000;
  SignatureCheck check(key, [&] { return now; });
  const std::string request =
      "xap-header\n{\nv=12\nhop=1\nuid=FF123400\nclass=Computer.Process\nsource=qel.varnixctl.PC"
      "\ntarget=qel.Process.PC\n}\nProcess.Control\n{\nAction=start\nPath=/bin/sleep\n}\n";
  const std::string good = SignRequest(request, key, now);
  using V = SignatureCheck::Verdict;
  EXPECT_EQ(check.Check(good), V::kGood);
  EXPECT_EQ(check.Check(good), V::kReplayed);
  std::string changed = SignRequest(request, key, now);
  changed.replace(changed.find("/bin/sleep"), 10, "/bin/rmdir");
  const struct {
    std::string message;
    V verdict;
  } rows[] = {
      {request, V::kUnsigned},
      {changed, V::kBadSignature},
      {SignRequest(request, std::string(32, 'x'), now), V::kBadSignature},
      {SignRequest(request, key, now) + "Process.Control\n{\nAction=stop\n}\n", V::kBadSignature},
      {SignRequest(request, key, now - 61), V::kStale},
      {SignRequest(request, key, now + 61), V::kStale},
      {SignRequest(request, key, now - 59), V::kGood},
  };
  for (const auto& row : rows) EXPECT_EQ(check.Check(row.message), row.verdict) << row.message;
  // Two minutes on, the nonce is forgotten, but the time is stale by then.
  now += 121;
  EXPECT_EQ(check.Check(good), V::kStale);
  EXPECT_FALSE(KeyFromHex("00"));
  EXPECT_EQ(KeyFromHex(HexOf(key) + "\r\n"), key);
}

}  // namespace
}  // namespace varnix
