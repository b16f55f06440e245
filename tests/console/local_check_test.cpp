// The local log-in check: the engine's instance lock probed without taking it, the user looked up
// read-only in the engine's registry with its letter case corrected, and a registry that cannot be
// read skips the user check instead of refusing.
#include "console/model/local_check.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include "engine/access/user_db.h"
#include "engine/config/reg_helpers.h"
#include "platform/instance_lock.h"
#include "tests/support/test_env.h"

namespace {

TEST(LocalCheck, OnlyLocalhostInAnyCaseAndTheExactLoopbackAddressAreLocal) {
  EXPECT_TRUE(IsLocalServer("localhost"));
  EXPECT_TRUE(IsLocalServer("LOCALHOST"));
  EXPECT_TRUE(IsLocalServer("127.0.0.1"));
  EXPECT_FALSE(IsLocalServer("127.0.0.01"));
  EXPECT_FALSE(IsLocalServer("localhost.example"));
  EXPECT_FALSE(IsLocalServer("192.168.1.1"));
  // A remote server is not checked at all.
  LocalCheck remote = CheckLocalLogin("127.0.0.01", "whoever");
  EXPECT_EQ(remote.result, LocalCheckResult::Ok);
  EXPECT_EQ(remote.userName, "whoever");
}

TEST(LocalCheck, TheEnginesLockIsProbedWithoutTakingItAndTheUsersSpellingIsCorrected) {
  trellis::test::TempRoot();
  EXPECT_FALSE(LocalEngineRunning());
  EXPECT_EQ(CheckLocalLogin("localhost", "Administrator").result, LocalCheckResult::NotRunning);

  long error = 0;
  auto engineLock = platform::NamedMutex::Create("TrellisEngineApp", &error);
  ASSERT_TRUE(engineLock) << error;
  EXPECT_TRUE(LocalEngineRunning());
  // The probe took nothing: the lock is still the holder's alone.
  EXPECT_EQ(platform::NamedMutex::Create("TrellisEngineApp", &error), nullptr);
  EXPECT_EQ(error, platform::NamedMutex::kAlreadyExists);

  ASSERT_TRUE(RegWriteString(CString(kUserDatabaseKey) + "\\Administrator", "Name", "Administrator"));
  LocalCheck c = CheckLocalLogin("LOCALHOST", "administrator");
  EXPECT_EQ(c.result, LocalCheckResult::Ok);
  EXPECT_EQ(c.userName, "Administrator");
  EXPECT_EQ(CheckLocalLogin("localhost", "nobody").result, LocalCheckResult::NoSuchUser);
  EXPECT_EQ(CheckLocalLogin("localhost", "bad/name").result, LocalCheckResult::NoSuchUser);

  // A registry this user cannot read: the user check is skipped, not failed.
  const std::string saved = getenv("TRELLIS_REGISTRY");
  setenv("TRELLIS_REGISTRY", (trellis::test::TempRoot() + "/no-such-folder/registry.db").c_str(), 1);
  LocalCheck skipped = CheckLocalLogin("localhost", "nobody");
  EXPECT_EQ(skipped.result, LocalCheckResult::Ok);
  EXPECT_EQ(skipped.userName, "nobody");
  setenv("TRELLIS_REGISTRY", saved.c_str(), 1);

  engineLock.reset();
  EXPECT_FALSE(LocalEngineRunning());
}

}  // namespace
