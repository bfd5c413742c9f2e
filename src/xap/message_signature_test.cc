// Tests of signed messages: the system's HMAC against RFC 4231, and every verdict of the check.
#include "xap/message_signature.h"

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
  const std::string good = SignMessage(request, key, now);
  using V = SignatureCheck::Verdict;
  EXPECT_EQ(check.Check(good), V::kGood);
  EXPECT_EQ(check.Check(good), V::kReplayed);
  std::string changed = SignMessage(request, key, now);
  changed.replace(changed.find("/bin/sleep"), 10, "/bin/rmdir");
  // A captured message with a new time and nonce, its Mac kept.
  std::string restamped = SignMessage(request, key, now - 100);
  restamped.replace(restamped.find("Time=") + 5, 10, std::to_string(now));
  const std::string fresh = SignMessage(request, key, now);
  const size_t nonce = fresh.find("Nonce=");
  restamped.replace(restamped.find("Nonce="), 39, fresh.substr(nonce, 39));
  const std::string once = SignMessage(request, key, now);
  const struct {
    std::string message;
    V verdict;
  } rows[] = {
      {request, V::kUnsigned},
      {changed, V::kBadSignature},
      {SignMessage(request, std::string(32, 'x'), now), V::kBadSignature},
      {restamped, V::kBadSignature},
      {SignMessage(request, key, now) + "Process.Control\n{\nAction=stop\n}\n", V::kBadSignature},
      // Signed twice, the second over the first: one section only, in any letter case.
      {SignMessage(once, key, now), V::kBadSignature},
      {SignMessage(once.substr(0, once.find("Varnix.Auth")) + "varnix.AUTH \n{\n}\n", key, now),
       V::kBadSignature},
      {SignMessage(request, key, now - 61), V::kStale},
      {SignMessage(request, key, now + 61), V::kStale},
      {SignMessage(request, key, now - 59), V::kGood},
  };
  for (const auto& row : rows) EXPECT_EQ(check.Check(row.message), row.verdict) << row.message;
  // Two minutes on, the nonce is forgotten, but the time is stale by then.
  now += 121;
  EXPECT_EQ(check.Check(good), V::kStale);
  // Signed before the checking program started: a replay of what its last run saw.
  SignatureCheck restarted(
      key, [&] { return now; }, now);
  EXPECT_EQ(restarted.Check(SignMessage(request, key, now - 1)), V::kBeforeStart);
  EXPECT_EQ(restarted.Check(SignMessage(request, key, now)), V::kGood);
  EXPECT_FALSE(KeyFromHex("00"));
  EXPECT_EQ(KeyFromHex(HexOf(key) + "\r\n"), key);
}

// A flood of signed messages never pushes a captured one's nonce out: a full cache refuses
// new messages until the old ones could no longer be taken anyway.
TEST(RequestSignatureTest, AFullReplayCacheRefusesRatherThanForgets) {
  const std::string key(32, 'k');
  int64_t now = 1'800'000'000;
  SignatureCheck check(key, [&] { return now; });
  const std::string request =
      "xap-header\n{\nv=12\nhop=1\nuid=FF123400\nclass=Computer.Control\nsource=qel.a.b"
      "\ntarget=qel.Process.PC\n}\nComputer.Control\n{\nAction=lock\n}\n";
  using V = SignatureCheck::Verdict;
  const std::string captured = SignMessage(request, key, now);
  ASSERT_EQ(check.Check(captured), V::kGood);
  for (size_t i = 1; i < SignatureCheck::kMaxNonces; ++i) {
    ASSERT_EQ(check.Check(SignMessage(request, key, now)), V::kGood);
  }
  EXPECT_EQ(check.Check(SignMessage(request, key, now)), V::kFull);
  EXPECT_EQ(check.Check(captured), V::kReplayed);
  now += 59;
  EXPECT_EQ(check.Check(captured), V::kReplayed) << "still inside its window";
  now += SignatureCheck::kNonceSeconds;
  EXPECT_EQ(check.Check(SignMessage(request, key, now)), V::kGood) << "the old ones expired";
  EXPECT_EQ(check.Check(captured), V::kStale);
}

}  // namespace
}  // namespace varnix
