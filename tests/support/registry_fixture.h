#pragma once
// For the programs that link the configuration library: each test gets a registry store of its
// own, which the configuration's registry helpers (and every Save and Load on top of them) use
// until the test ends. Header only, so the test environment library stays free of the
// configuration library.
#include <gtest/gtest.h>

#include <memory>

#include "engine/config/reg_helpers.h"
#include "tests/support/test_env.h"

namespace trellis::test {

class PrivateRegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    store_ = OpenFreshStore("registry");
    ASSERT_TRUE(store_);
    SetRegistryStore(store_);
  }
  void TearDown() override { SetRegistryStore(nullptr); }

  std::shared_ptr<platform::reg::Store> store_;
};

}  // namespace trellis::test
