// The login brake and the salts of names without a record.
#include "clients/login_throttle.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "child.h"
#include "clients/password_hash.h"
#include "clients/password_store.h"

namespace clients {
namespace {

constexpr uint32_t kAddress = 0x0A000001;  // 10.0.0.1

TEST(LoginThrottle, WaitsGrowWithEveryFailureUpToTheCapAndASuccessResetsThem) {
  LoginThrottle t;
  uint64_t now = 1000;
  EXPECT_LE(t.readyAt(kAddress, now), now);  // nothing known: at once
  uint64_t previous = 0;
  for (uint32_t n = 1; n <= 400; ++n) {
    const uint64_t delay = t.failed(kAddress, now);
    EXPECT_EQ(delay, std::min<uint64_t>(n * LoginThrottle::kStepMs, LoginThrottle::kMaxDelayMs));
    EXPECT_GE(delay, previous);
    EXPECT_EQ(t.readyAt(kAddress, now), now + delay);
    EXPECT_GT(t.readyAt(kAddress, now + delay - 1), now + delay - 1);  // not a moment early
    previous = delay;
    now += delay;
  }
  EXPECT_EQ(previous, LoginThrottle::kMaxDelayMs);
  // Another address is not held back by this one's failures.
  EXPECT_LE(t.readyAt(0x0A000002, now), now);
  t.succeeded(kAddress);
  EXPECT_EQ(t.failures(kAddress, now), 0u);
  EXPECT_EQ(t.failed(kAddress, now), LoginThrottle::kStepMs);
}

TEST(LoginThrottle, EveryLoopbackAddressCountsAsOneAndOldFailuresAreForgotten) {
  LoginThrottle t;
  t.failed(0x7F000001, 0);
  t.failed(0x7F123456, 0);  // another loopback address is no way round the brake
  EXPECT_EQ(t.failures(0x7F000001, 0), 2u);
  EXPECT_EQ(t.failures(0x7F000001, LoginThrottle::kForgetAfterMs), 0u);
  EXPECT_EQ(t.failed(0x7F000001, LoginThrottle::kForgetAfterMs), LoginThrottle::kStepMs);
}

TEST(LoginThrottle, TheTableIsBoundedAndForgetsTheOldestAddressFirst) {
  LoginThrottle t;
  for (uint32_t i = 0; i < LoginThrottle::kMaxAddresses; ++i) t.failed(0x0B000000 + i, 10 + i);
  EXPECT_EQ(t.size(), LoginThrottle::kMaxAddresses);
  t.failed(kAddress, 100000);
  EXPECT_EQ(t.size(), LoginThrottle::kMaxAddresses);
  EXPECT_EQ(t.failures(0x0B000000, 100000), 0u);  // the oldest went
  EXPECT_EQ(t.failures(0x0B000001, 100000), 1u);
  EXPECT_EQ(t.failures(kAddress, 100000), 1u);
}

bool isHexNonce(const Salt& s) {
  for (uint8_t c : s) {
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

TEST(PasswordSalts, ANameWithoutARecordGetsTheSameWellFormedSaltEveryTimeAndAcrossRuns) {
  testsupport::TempDir dir;
  const adt::String path = dir.file("am.sec");
  Salt first, other;
  {
    PasswordStore store(path);
    store.setPassword("admin", "secret");
    first = store.saltFor("ghost");
    EXPECT_TRUE(isHexNonce(first));
    EXPECT_EQ(store.saltFor("ghost"), first);
    other = store.saltFor("ghost2");
    EXPECT_NE(other, first);
    EXPECT_EQ(store.saltFor("admin"), store.find("admin")->salt);  // a record keeps its own
  }
  // The secret is kept beside the store, for the owner only.
  const std::filesystem::path secret = PasswordStore(path).secretPath();
  ASSERT_TRUE(std::filesystem::exists(secret));
  EXPECT_EQ(std::filesystem::status(secret).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  PasswordStore again(path);
  EXPECT_EQ(again.saltFor("ghost"), first);
  // Another installation (another secret) gives other salts.
  testsupport::TempDir elsewhere;
  PasswordStore foreign(elsewhere.file("am.sec"));
  EXPECT_NE(foreign.saltFor("ghost"), first);
}

}  // namespace
}  // namespace clients
